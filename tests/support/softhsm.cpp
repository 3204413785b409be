#include "support/softhsm.h"

#include <cstdlib>
#include <fstream>
#include <set>

#include "support/openssl_ca.h"

// p11-kit's way to read its configuration from other places than the system's; declared by
// <p11-kit/p11-kit.h> only for callers that accept an API p11-kit may still change, so the test
// declares it itself rather than include PKCS #11 headers outside the platform layer.
extern "C" void p11_kit_override_system_files(const char* system_conf, const char* user_conf,
                                              const char* package_modules,
                                              const char* system_modules, const char* user_modules);

namespace kelvadrome::testing {
namespace {

std::set<std::filesystem::path> Entries(const std::filesystem::path& folder) {
  std::set<std::filesystem::path> entries;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    entries.insert(entry.path());
  }
  return entries;
}

}  // namespace

bool SoftHsm::Start(const std::filesystem::path& wrapper) {
  for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                                "/usr/lib/aarch64-linux-gnu/softhsm/libsofthsm2.so",
                                "/usr/lib/softhsm/libsofthsm2.so", "/usr/lib64/libsofthsm2.so"}) {
    if (std::filesystem::exists(candidate)) {
      module_path_ = candidate;
      break;
    }
  }
  if (module_path_.empty()) {
    why_not_ = "SoftHSM2's module is not installed";
    return false;
  }
  if (RunCommand("command -v softhsm2-util pkcs11-tool >/dev/null") != 0) {
    why_not_ = "softhsm2-util or pkcs11-tool is not installed";
    return false;
  }
  const auto tokens = folder() / "tokens";
  std::filesystem::create_directories(tokens);
  std::filesystem::create_directories(folder() / "modules");
  std::filesystem::create_directories(folder() / "none");
  const auto conf = folder_.WriteFile("softhsm2.conf", "directories.tokendir = " + tokens.string() +
                                                           "\nobjectstore.backend = file\n"
                                                           "log.level = ERROR\n");
  if (wrapper.empty()) {
    folder_.WriteFile("modules/softhsm2.module", "module: " + module_path_.string() + "\n");
  } else {
    setenv("KELVADROME_TEST_INNER_MODULE", module_path_.c_str(), 1);
    folder_.WriteFile("modules/test-card.module", "module: " + wrapper.string() + "\n");
  }
  folder_.WriteFile("pkcs11.conf", "user-config: none\n");
  setenv("SOFTHSM2_CONF", conf.c_str(), 1);
  // The system's configuration file and its module folders are replaced by the test's: one
  // module, no user configuration. Nothing on the system is read or changed.
  // p11-kit keeps the pointers, not copies: the texts live as long as this object.
  p11_conf_ = {(folder() / "pkcs11.conf").string(), (folder() / "none" / "pkcs11.conf").string(),
               (folder() / "modules").string(), (folder() / "none").string()};
  p11_kit_override_system_files(p11_conf_[0].c_str(), p11_conf_[1].c_str(), p11_conf_[2].c_str(),
                                p11_conf_[3].c_str(), p11_conf_[3].c_str());
  return true;
}

std::filesystem::path SoftHsm::InitToken(const std::string& label, const std::string& pin) {
  const auto tokens = folder() / "tokens";
  const auto before = Entries(tokens);
  std::string output;
  const int status = RunCommand("softhsm2-util --init-token --free --label " + ShellQuote(label) +
                                    " --so-pin 87654321 --pin " + ShellQuote(pin) + " 2>&1",
                                &output);
  if (status != 0) {
    why_not_ = "softhsm2-util --init-token failed: " + output;
    return {};
  }
  for (const auto& entry : Entries(tokens)) {
    if (before.count(entry) == 0) return entry;
  }
  why_not_ = "softhsm2-util made no token folder";
  return {};
}

int SoftHsm::Pkcs11Tool(const std::string& arguments, std::string* output) const {
  return RunCommand(
      "pkcs11-tool --module " + ShellQuote(module_path_.string()) + " " + arguments + " 2>&1",
      output);
}

}  // namespace kelvadrome::testing
