// A component serving a web page (the bridge's hooks): a path the page names is used only once the
// person picked it for the page's origin, and DeleteIECert asks first. Driven by the script host.
#include "frame/page_hooks.h"

#include <filesystem>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "frame/cert_component.h"
#include "host/origin_picks.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"
#include "ui/dialog_script.h"
#include "ui/script_host.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;
using testing::ShellQuote;

constexpr char kOriginA[] = "https://a.test";
constexpr char kOriginB[] = "https://b.test";

class PageHooksTest : public ::testing::Test {
 protected:
  PageHooksTest() {
    fs::create_directories(dir_.path() / "ca");
    testing::OpensslCa ca(dir_.path() / "ca");
    const auto issued = ca.IssueWithNewKey("holder", "/CN=Holder/O=Pages");
    pfx_ = dir_.path() / "holder.pfx";
    EXPECT_EQ(RunCommand("openssl pkcs12 -export -inkey " + ShellQuote(issued.key.string()) +
                         " -in " + ShellQuote(issued.certificate.string()) +
                         " -passout pass:pw -out " + ShellQuote(pfx_.string()) + " 2>/dev/null"),
              0);
  }

  // A fresh profile and a fresh copy of the PFX file in |folder| (the row's own).
  void Start(const fs::path& folder) {
    fs::create_directories(folder);
    fs::copy_file(pfx_, folder / "holder.pfx");
    profile_.reset();  // restores the variable first, so that the new value is not undone
    profile_ =
        std::make_unique<testing::ScopedEnv>("KELVADROME_PROFILE", (folder / "profile").c_str());
  }

  // A component for |origin| whose person follows |script|; its log lines are in Log().
  CertComponent& Component(const std::string& origin, const std::string& script) {
    hosts_.push_back(std::make_unique<ScriptHost>(ParseDialogScript(script), DialogLog(LogPath())));
    ComponentEnvironment environment;
    environment.protected_mode_probe = [] { return false; };
    environment.dialog_host = hosts_.back().get();
    environment.path_gate = MakeOriginPathGate(origin, hosts_.back().get());
    environment.confirm_delete = MakeOriginDeleteConfirmation(origin, hosts_.back().get());
    components_.push_back(std::make_unique<CertComponent>(std::move(environment)));
    return *components_.back();
  }

  std::string LogPath() const { return (dir_.path() / "dialogs.log").string(); }
  // Log returns what the dialogs logged since the last call.
  std::string Log() {
    const std::string text = fs::exists(LogPath()) ? testing::FileText(LogPath()) : "";
    fs::remove(LogPath());
    return text;
  }

  testing::TempDir dir_;
  fs::path pfx_;
  std::unique_ptr<testing::ScopedEnv> profile_;
  std::vector<std::unique_ptr<DialogHost>> hosts_;
  std::vector<std::unique_ptr<CertComponent>> components_;
};

using Folder = const std::string&;

TEST_F(PageHooksTest, NamedPathsAreUsedOnlyWhenPickedForTheOrigin) {
  const struct {
    const char* method;
    bool folder_target;  // the page names the export folder, not the file
    std::function<void(CertComponent&, Folder folder, Folder name)> call;
    std::string after_pick{};  // the worker's own dialogs once the path is through
  } rows[] = {
      {"HashFile", false,
       [](CertComponent& c, Folder f, Folder n) { c.HashFile(Utf8ToUtf16(f + "/" + n), 1); }},
      {"ImportPfxToIE", false,
       [](CertComponent& c, Folder f, Folder n) {
         c.ImportPfxToIE(Utf8ToUtf16(f), Utf8ToUtf16(n), u"pw", 1, 0);
       }},
      {"QueryPfxInfo", false,
       [](CertComponent& c, Folder f, Folder n) {
         c.QueryPfxInfo(Utf8ToUtf16(f), Utf8ToUtf16(n), u"pw", 0, 0);
       }},
      {"ChangePfxPasswd", false,
       [](CertComponent& c, Folder f, Folder n) {
         c.ChangePfxPasswd(Utf8ToUtf16(f), Utf8ToUtf16(n), u"pw", u"pw", 0);
       }},
      {"ChangePfxPasswdEx", false,
       [](CertComponent& c, Folder f, Folder n) {
         c.ChangePfxPasswdEx(Utf8ToUtf16(f), Utf8ToUtf16(n), u"pw", u"pw", 0, 0);
       }},
      {"ExportMobileFromPfx", false,
       [](CertComponent& c, Folder f, Folder n) {
         c.ExportMobileFromPfx(Utf8ToUtf16(f), Utf8ToUtf16(n), u"pw", 0, 0);
       }},
      {"SelectSignerEx", false,
       [](CertComponent& c, Folder f, Folder n) {
         c.SelectSignerEx(u"", Utf8ToUtf16(f), Utf8ToUtf16(n), u"pw", u"", 0x200, 0);
       }},
      {"SelectSignerEx2", false,
       [](CertComponent& c, Folder f, Folder n) {
         c.SelectSignerEx2(u"", Utf8ToUtf16(f), Utf8ToUtf16(n), 0, u"", 0x200, 0);
       },
       "expect 202\nset 303 pw\nclick 1\n"},
      {"ExportPfxFromIE", true,
       [](CertComponent& c, Folder f, Folder) {
         c.ExportPfxFromIE(u"", Utf8ToUtf16(f), u"pw2", 0, 0);
       },
       "expect 206\nset 304 pw2\nclick 1\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.method);
    const fs::path folder = dir_.path() / row.method;
    Start(folder);
    const std::string out = (folder / "out").string();
    const std::string suggested = row.folder_target ? out : (folder / "holder.pfx").string();
    const std::string use = row.method == std::string("ChangePfxPasswd") ||
                                    row.method == std::string("ChangePfxPasswdEx")
                                ? "rewrite"
                            : row.folder_target ? "folder"
                                                : "read";
    if (row.folder_target) {
      // The certificate to export, with an exportable key, imported without any page.
      CertComponent plain;
      ASSERT_EQ(plain.ImportPfxToIE(Utf8ToUtf16(folder.string()), u"holder.pfx", u"pw", 1, 0), 0);
    }
    const auto bytes_before = testing::ReadWholeFile(folder / "holder.pfx");
    const auto call = [&](CertComponent& component) {
      row.call(component, row.folder_target ? out : folder.string(), "holder.pfx");
      return component.GetErrorCode();
    };

    // Not picked: the dialog names the origin and shows the page's path; cancelled, nothing is
    // touched.
    EXPECT_EQ(call(Component(kOriginA, "expect path-pick\ncancel\n")), 5070);
    std::string log = Log();
    EXPECT_NE(log.find("show path-pick"), std::string::npos) << log;
    EXPECT_NE(log.find("field 501 https://a.test\n"), std::string::npos) << log;
    EXPECT_NE(log.find("field 502 " + suggested + "\n"), std::string::npos) << log;
    EXPECT_EQ(testing::ReadWholeFile(folder / "holder.pfx"), bytes_before);
    EXPECT_FALSE(fs::exists(folder / "out" / "Holder.pfx"));
    EXPECT_FALSE(IsPickedPath(kOriginA, use, suggested));

    // Picked: the worker goes on with it, and the pick is kept for the origin and use.
    EXPECT_EQ(call(Component(kOriginA, "expect path-pick\nclick 1\n" + row.after_pick)), 0);
    EXPECT_NE(Log().find("close path-pick ok"), std::string::npos);
    EXPECT_TRUE(IsPickedPath(kOriginA, use, suggested));
    if (row.folder_target) {
      EXPECT_TRUE(fs::exists(folder / "out" / "Holder.pfx"));
    }

    // Picked before: no dialog of the gate.
    EXPECT_EQ(call(Component(kOriginA, row.after_pick)), 0);
    log = Log();
    EXPECT_EQ(log.find("path-pick"), std::string::npos) << log;

    // Another origin's pick is not this one's.
    EXPECT_EQ(call(Component(kOriginB, "expect path-pick\ncancel\n")), 5070);
    EXPECT_NE(Log().find("field 501 https://b.test\n"), std::string::npos);

    // Forgotten with the origin, the path is asked about again.
    EXPECT_TRUE(ForgetOriginPicks(kOriginA));
    EXPECT_EQ(call(Component(kOriginA, "expect path-pick\ncancel\n")), 5070);
    EXPECT_NE(Log().find("show path-pick"), std::string::npos);
  }
}

TEST_F(PageHooksTest, ThePersonsPickReplacesThePagesPathAndOnlyThePickIsKept) {
  Start(dir_.path() / "pick");
  const std::string real = (dir_.path() / "pick" / "holder.pfx").string();
  const std::string named = "/etc/shadow";
  const std::u16string md5 = CertComponent().HashFile(Utf8ToUtf16(real), 1);
  ASSERT_EQ(md5.size(), 32u);
  const struct {
    const char* label;
    std::string page_path;
    std::string script;
    std::u16string result;
    int32_t code;
  } cases[] = {
      {"typed over", named, "expect path-pick\nset 502 " + real + "\nclick 1\n", md5, 0},
      {"browsed", named,
       "expect path-pick\nclick 503\nexpect open-file\nchoose " + real + "\nclick 1\n", md5, 0},
      // The kept pick is the person's path, not the page's: the page's path is asked again.
      {"page path again", named, "expect path-pick\ncancel\n", u"", 5070},
      {"picked path", real, "", md5, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertComponent& component = Component(kOriginA, c.script);
    EXPECT_EQ(component.HashFile(Utf8ToUtf16(c.page_path), 1), c.result);
    EXPECT_EQ(component.GetErrorCode(), c.code);
  }
  EXPECT_FALSE(IsPickedPath(kOriginA, "read", named));
  EXPECT_FALSE(IsPickedPath(kOriginA, "rewrite", real));
}

TEST_F(PageHooksTest, DeleteIECertAsksThePersonFirst) {
  const struct {
    const char* label;
    std::string script;
    int32_t code;
    int32_t capi_code;
    int32_t left;  // certificates in "MY" afterwards
  } cases[] = {
      {"kept", "expect confirm-delete\nclick 7\n", 5010, 1223, 1},
      {"closed", "expect confirm-delete\ncancel\n", 5010, 1223, 1},
      {"no dialog", "", 5010, 1223, 1},
      {"deleted", "expect confirm-delete\nclick 6\n", 0, 0, 0},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = dir_.path() / ("delete" + std::to_string(row++));
    Start(folder);
    CertComponent plain;
    ASSERT_EQ(plain.ImportPfxToIE(Utf8ToUtf16(folder.string()), u"holder.pfx", u"pw", 0, 0), 0);
    // The bridge leaves the host to the process: the hook asks the current host.
    InstallDialogHost(
        std::make_unique<ScriptHost>(ParseDialogScript(c.script), DialogLog(LogPath())));
    ComponentEnvironment environment;
    environment.confirm_delete = MakeOriginDeleteConfirmation(kOriginA);
    CertComponent page(std::move(environment));
    ASSERT_EQ(page.GetIECertCount(), 1);
    EXPECT_EQ(page.DeleteIECert(1), c.code);
    EXPECT_EQ(page.GetCapiErrorCode(), c.capi_code);
    InstallDialogHost(nullptr);
    EXPECT_EQ(plain.GetIECertCount(), c.left);
    const std::string log = Log();
    EXPECT_NE(log.find("field 501 https://a.test\n"), std::string::npos) << log;
    EXPECT_NE(log.find("field 502 CN=Holder, O=Pages\n"), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace kelvadrome
