// Several processes of one user working on one profile at once, and processes killed half-way:
// everything a call reported as done is there afterwards and consistent (each certificate's key,
// each pending request's key), and the database is sound.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "frame/cert_component.h"
#include "ops/requests.h"
#include "platform/cert_store.h"
#include "platform/key_container.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

using testing::Base64Body;
using testing::RunCommand;
using testing::ShellQuote;

struct PfxFile {
  std::filesystem::path path;
  std::string fingerprint;  // as GetIECertFinger shows it
};

// What one worker process is asked to do in a round.
struct Work {
  int round = 0;
  int worker = 0;
  std::vector<std::string> to_accept;  // Base64 certificates issued for earlier requests
  std::vector<PfxFile> to_import;
  std::vector<std::string> to_delete;  // fingerprints of certificates in "MY"
};

// Runs in a forked child: does |work| through the component and reports each success on |report|
// as one line ("REQ <request>", "ACC <n>", "PFX <fingerprint>", "DEL <fingerprint>",
// "REG <name>"), and each failure as "FAIL <what> <code>".
[[noreturn]] void DoWork(const Work& work, int report) {
  std::string lines;
  {
    CertComponent component;
    const auto say = [&](const std::string& line) { lines += line + "\n"; };
    for (int i = 0; i < 2; ++i) {
      const std::u16string request = component.CreatePKCS10(u"Concurrent", 1024, 1);
      request.empty() ? say("FAIL request " + std::to_string(component.GetErrorCode()))
                      : say("REQ " + ConvertToNarrow(request));
    }
    for (size_t i = 0; i < work.to_accept.size(); ++i) {
      const int32_t code = component.AcceptPKCS7(ConvertToWide(work.to_accept[i]));
      say(code == 0 ? "ACC " + std::to_string(i) : "FAIL accept " + std::to_string(code));
    }
    for (const PfxFile& pfx : work.to_import) {
      const int32_t code =
          component.ImportPfxToIE(ConvertToWide(pfx.path.parent_path().string()),
                                  ConvertToWide(pfx.path.filename().string()), u"secret", 1, 0);
      say(code == 0 ? "PFX " + pfx.fingerprint : "FAIL import " + std::to_string(code));
    }
    for (const std::string& fingerprint : work.to_delete) {
      const int32_t count = component.GetIECertCount();
      int32_t code = -1;
      for (int32_t index = 1; index <= count; ++index) {
        if (ConvertToNarrow(component.GetIECertFinger(index)) == fingerprint) {
          code = component.DeleteIECert(index);
          break;
        }
      }
      say(code == 0 ? "DEL " + fingerprint : "FAIL delete " + std::to_string(code));
    }
    for (int i = 0; i < 4; ++i) {
      const std::string name = "R" + std::to_string(work.round) + "W" +
                               std::to_string(work.worker) + "V" + std::to_string(i);
      const int32_t code =
          component.RegWriteHKCUStr(ConvertToWide("Software\\Concurrency\\" + name), u"kept");
      say(code == 0 ? "REG " + name : "FAIL registry " + std::to_string(code));
    }
  }
  const bool sent = write(report, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
  _exit(sent ? 0 : 1);
}

// Forks one child per piece of |work|, waits for all and returns every line they reported.
std::vector<std::string> RunWorkers(const std::vector<Work>& work) {
  std::vector<std::pair<pid_t, int>> children;
  for (const Work& piece : work) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      close(ends[0]);
      DoWork(piece, ends[1]);
    }
    close(ends[1]);
    children.emplace_back(pid, ends[0]);
  }
  std::vector<std::string> lines;
  for (const auto& [pid, from] : children) {
    std::string text;
    char buffer[8192];
    for (ssize_t got; (got = read(from, buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<size_t>(got));
    }
    close(from);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker status " << status;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);) lines.push_back(line);
  }
  return lines;
}

std::string IntegrityCheck() {
  auto database = ProfileDatabase::OpenUser();
  if (!database) return "profile does not open";
  ProfileStatement check = database->Prepare("PRAGMA integrity_check");
  if (!check.valid() || check.Step() != ProfileStatement::StepResult::kRow) return "no answer";
  return check.ColumnText(0);
}

// The containers the profile holds, and those that a certificate of "MY" or a pending request
// refers to; each reference must name a container holding the key it names.
struct Containers {
  std::set<std::string> present;
  std::set<std::string> referenced;
};

Containers CheckReferences() {
  Containers containers;
  auto store = KeyContainerStore::OpenUser();
  auto names = store->Names();
  EXPECT_TRUE(names.has_value());
  for (const auto& name : names.value_or(std::vector<std::string>{})) {
    containers.present.insert(name);
  }
  const auto expect_key = [&](const std::string& container, uint32_t spec, const std::string& by) {
    containers.referenced.insert(container);
    auto opened = store->Open(container, "", 1);
    EXPECT_TRUE(opened && opened->DescribeKey(spec)) << by << " refers to a missing key";
  };
  auto personal = CertStore::OpenSystem("MY");
  for (const auto& certificate : personal->Enumerate().value_or(std::vector<StoredCertificate>{})) {
    const auto value = personal->GetProperty(certificate.id, cert_property::kKeyProviderInfo);
    const auto link = value ? DecodeKeyProviderLink(*value) : std::nullopt;
    EXPECT_TRUE(link.has_value()) << "a certificate of MY without its key";
    if (link) expect_key(link->container, link->key_spec, "a certificate of MY");
  }
  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  if (auto records = registry->SubkeyValues(kPendingRequestsKey, "KeySpec")) {
    for (const auto& [name, spec] : *records) {
      EXPECT_TRUE(spec.has_value() && spec->data.size() == 4) << "record " << name;
      if (spec && spec->data.size() == 4) expect_key(name, spec->data[0], "record " + name);
    }
  }
  return containers;
}

// Runs in a forked child until it is killed: requests without end, with one import of each file
// among the first of them (each file once, since importing a certificate again replaces it and
// leaves the key of the first import to the caller).
[[noreturn]] void RequestAndImportUntilKilled(const std::vector<PfxFile>& files) {
  CertComponent component;
  for (size_t i = 0;; ++i) {
    component.CreatePKCS10(u"Killed", 1024, 1);
    if (i < files.size()) {
      component.ImportPfxToIE(ConvertToWide(files[i].path.parent_path().string()),
                              ConvertToWide(files[i].path.filename().string()), u"secret", 1, 0);
    }
  }
}

class ConcurrentProfile : public ::testing::Test {
 protected:
  ConcurrentProfile()
      : profile_("KELVADROME_PROFILE", (dir_.path() / "profile").c_str()),
        dialogs_("KELVADROME_DIALOGS", "none") {
    std::filesystem::create_directories(dir_.path() / "ca");
    ca_ = std::make_unique<testing::OpensslCa>(dir_.path() / "ca");
  }

  // A PFX file made by openssl for a new key, with password "secret".
  PfxFile MakePfx(const std::string& name) {
    const auto issued = ca_->IssueWithNewKey(name, "/CN=" + name);
    PfxFile pfx{dir_.path() / (name + ".pfx"), ""};
    EXPECT_EQ(RunCommand("openssl pkcs12 -export -passout pass:secret -in " +
                         ShellQuote(issued.certificate.string()) + " -inkey " +
                         ShellQuote(issued.key.string()) + " -out " + ShellQuote(pfx.path)),
              0);
    ByteBuffer der;
    EXPECT_TRUE(der.Base64Decode(Base64Body(issued.certificate).c_str()));
    pfx.fingerprint = CertInfo(der.data(), der.length()).GetFingerprint();
    return pfx;
  }

  testing::TempDir dir_;
  testing::ScopedEnv profile_;
  testing::ScopedEnv dialogs_;
  std::unique_ptr<testing::OpensslCa> ca_;
};

// Rounds of workers that make requests, accept certificates issued for the previous round's
// requests, import PFX files, delete the previous round's imports and write settings, all at once.
TEST_F(ConcurrentProfile, MixedWritersInSeparateProcessesLoseNothing) {
  constexpr int kRounds = 3;
  constexpr int kWorkers = 6;
  std::vector<std::string> issued_for_next;      // certificates for the last round's requests
  std::vector<std::string> accepted_next_round;  // their fingerprints
  std::vector<std::string> imported_last_round;
  std::set<std::string> expected_in_my;
  std::set<std::string> deleted;
  size_t requests = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<Work> work(kWorkers);
    std::vector<std::string> imported_now;
    for (int worker = 0; worker < kWorkers; ++worker) {
      work[worker].round = round;
      work[worker].worker = worker;
      for (size_t i = worker; i < issued_for_next.size(); i += kWorkers) {
        work[worker].to_accept.push_back(issued_for_next[i]);
      }
      for (size_t i = worker; i < imported_last_round.size(); i += kWorkers) {
        work[worker].to_delete.push_back(imported_last_round[i]);
      }
      const PfxFile pfx = MakePfx("pfx-" + std::to_string(round) + "-" + std::to_string(worker));
      work[worker].to_import.push_back(pfx);
      imported_now.push_back(pfx.fingerprint);
    }
    issued_for_next.clear();
    // Acceptances that fail are reported as such; the others must leave their certificate in MY.
    expected_in_my.insert(accepted_next_round.begin(), accepted_next_round.end());
    accepted_next_round.clear();
    const std::vector<std::string> lines = RunWorkers(work);
    for (const std::string& line : lines) {
      SCOPED_TRACE("round " + std::to_string(round) + ": " + line.substr(0, 40));
      EXPECT_NE(line.rfind("FAIL", 0), 0u) << "a call failed under contention";
      const std::string what = line.substr(0, 3);
      const std::string rest = line.size() > 4 ? line.substr(4) : std::string();
      if (what == "REQ") {
        ++requests;
        const auto issued = ca_->Issue(rest, "issued-" + std::to_string(requests));
        ASSERT_FALSE(issued.empty());
        issued_for_next.push_back(Base64Body(issued));
        ByteBuffer der;
        ASSERT_TRUE(der.Base64Decode(Base64Body(issued).c_str()));
        accepted_next_round.push_back(CertInfo(der.data(), der.length()).GetFingerprint());
      } else if (what == "PFX") {
        expected_in_my.insert(rest);
      } else if (what == "DEL") {
        deleted.insert(rest);
      } else if (what == "REG") {
        auto registry = Registry::Open(Registry::Root::kCurrentUser);
        EXPECT_TRUE(registry->QueryValue("Software\\Concurrency", rest).has_value());
      }
    }
    imported_last_round = imported_now;

    ASSERT_EQ(IntegrityCheck(), "ok");
    CheckReferences();
    auto records = Registry::Open(Registry::Root::kCurrentUser)->SubkeyNames(kPendingRequestsKey);
    ASSERT_TRUE(records.has_value());
    EXPECT_EQ(records->size(), requests) << "pending records lost";
  }
  // Every accepted and imported certificate is in "MY", except those deleted.
  std::set<std::string> in_my;
  auto personal = CertStore::OpenSystem("MY");
  for (const auto& certificate : personal->Enumerate().value_or(std::vector<StoredCertificate>{})) {
    in_my.insert(CertInfo(certificate.der.data(), static_cast<int32_t>(certificate.der.size()))
                     .GetFingerprint());
  }
  for (const std::string& fingerprint : expected_in_my) {
    if (deleted.count(fingerprint)) continue;
    EXPECT_TRUE(in_my.count(fingerprint)) << fingerprint << " is gone from MY";
  }
  for (const std::string& fingerprint : deleted) EXPECT_FALSE(in_my.count(fingerprint));
}

// Imports and requests killed at random moments leave no key that nothing refers to.
TEST_F(ConcurrentProfile, KilledImportsAndRequestsLeaveNoStrayKey) {
  std::vector<PfxFile> files;
  for (int i = 0; i < 4; ++i) files.push_back(MakePfx("killed-" + std::to_string(i)));
  std::mt19937 random(13);
  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    // A fresh profile for each round, so that re-importing a file never replaces a certificate.
    const std::filesystem::path folder = dir_.path() / ("killed-profile-" + std::to_string(round));
    testing::ScopedEnv profile("KELVADROME_PROFILE", folder.c_str());
    const pid_t pid = fork();
    if (pid == 0) RequestAndImportUntilKilled(files);
    usleep(std::uniform_int_distribution<useconds_t>(5000, 300000)(random));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);

    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(IntegrityCheck(), "ok");
    const Containers containers = CheckReferences();
    for (const std::string& name : containers.present) {
      EXPECT_TRUE(containers.referenced.count(name)) << "stray key container " << name;
    }
  }
}

}  // namespace
}  // namespace kelvadrome
