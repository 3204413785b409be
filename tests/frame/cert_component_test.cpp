#include "frame/cert_component.h"

#include <fstream>

#include <gtest/gtest.h>

#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/dialog_host.h"

namespace kelvadrome {
namespace {

// A dialog host that answers every picker the same way and counts what it was asked.
class AnsweringHost : public DialogHost {
 public:
  explicit AnsweringHost(PickResult answer) : answer_(std::move(answer)) {}
  PickResult PickOpenFile(const OpenFileRequest& request) override {
    ++pickers_shown;
    last_title = request.title;
    return answer_;
  }
  PickResult BrowseFolder(const std::string&) override { return answer_; }
  DialogOutcome ShowModal(DialogModel&) override { return DialogOutcome::kUnavailable; }
  void ShowMessage(const std::string&, const std::string&) override {}
  void ViewFile(const std::string&) override {}
  int pickers_shown = 0;
  std::string last_title;

 private:
  PickResult answer_;
};

CertComponent MakeComponent(bool protected_mode, DialogHost* host = nullptr) {
  ComponentEnvironment environment;
  environment.protected_mode_probe = [protected_mode] { return protected_mode; };
  environment.dialog_host = host;
  return CertComponent(std::move(environment));
}

TEST(CertComponent, FreshInstanceReportsSuccessAndEmptyTexts) {
  CertComponent component;
  EXPECT_FALSE(component.protected_mode());
  EXPECT_EQ(component.GetErrorCode(), 0);
  EXPECT_EQ(component.GetCapiErrorCode(), 0);
  EXPECT_EQ(component.GetErrorMsg(), u"成功(0)");
  EXPECT_EQ(component.GetCapiErrorMsg(), u"成功(0)");
  EXPECT_EQ(component.min_password_length(), 0);
  EXPECT_EQ(component.max_password_length(), 16);
  using Getter = std::u16string (CertComponent::*)();
  for (Getter getter :
       {&CertComponent::GetCsrForSign, &CertComponent::GetCsrForEncrypt,
        &CertComponent::GetImportedPfxFilePath, &CertComponent::GetImportedPfxFileName,
        &CertComponent::GetExportedPfxFilePath, &CertComponent::GetExportedPfxFileName,
        &CertComponent::GetSignerPfxFilePath, &CertComponent::GetSignerPfxFileName}) {
    EXPECT_EQ((component.*getter)(), u"");
  }
  EXPECT_EQ(component.GetVersion(), u"4.2.0.0");
  EXPECT_EQ(component.GetPortEx(), 65537);
}

TEST(CertComponent, ProtectedModeRefusesOnlyTheRefusingClasses) {
  CertComponent component = MakeComponent(/*protected_mode=*/true);
  EXPECT_TRUE(component.protected_mode());
  EXPECT_EQ(component.GetMacAddress(), u"");
  EXPECT_EQ(component.GetErrorCode(), 1500);
  // GetOSName (class 6) leaves the refusal's code; GetPortEx works in every state.
  EXPECT_EQ(component.GetOSName(), u"Windows 系統無法識別");
  EXPECT_EQ(component.GetErrorCode(), 1500);
  EXPECT_EQ(component.GetPortEx(), 65537);
  // Hash (class 4) and GetUserHomePath (class 2) work and clear the code.
  EXPECT_EQ(component.Hash(u"abc", 0x11), u"900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(component.GetErrorCode(), 0);
  component.GetMacAddress();
  EXPECT_EQ(component.GetErrorCode(), 1500);
  component.GetUserHomePath();
  EXPECT_EQ(component.GetErrorCode(), 0);
}

TEST(CertComponent, ClassSixLeavesAFailureCodeAndClassFourClearsIt) {
  CertComponent component = MakeComponent(false);
  EXPECT_EQ(component.Hash(u"", 0), u"");
  EXPECT_EQ(component.GetErrorCode(), 5005);
  EXPECT_EQ(component.GetErrorMsg(), u"錯誤的參數(5005)");
  component.GetOSName();
  component.GetErrorMsg();
  EXPECT_EQ(component.GetErrorCode(), 5005);
  component.SetDefaultPfxFileName(u"prefix");
  EXPECT_EQ(component.GetErrorCode(), 0);
  EXPECT_EQ(component.default_pfx_file_name(), "prefix");
}

TEST(CertComponent, MessagesKeepTheirCharactersInEveryCodePage) {
  for (const char* code_page : {"UTF-8", "CP950", "ISO-8859-1"}) {
    SCOPED_TRACE(code_page);
    testing::ScopedCodePage pinned(code_page);
    CertComponent component;
    component.Hash(u"", 0);
    EXPECT_EQ(component.GetErrorMsg(), u"錯誤的參數(5005)");
    EXPECT_EQ(component.GetOSName(), u"Windows 系統無法識別");
  }
}

TEST(CertComponent, CapiErrorMessageAppendsTheCodeInHex) {
  EXPECT_EQ(CapiErrorMessage(0), u"成功(0)");
  EXPECT_EQ(CapiErrorMessage(0x80090016), u"Keyset does not exist\r\n(0x80090016)");
  EXPECT_EQ(CapiErrorMessage(1223), u"The operation was canceled by the user.\r\n(0x000004C7)");
  // A code without text gives only the hex part.
  EXPECT_EQ(CapiErrorMessage(0x12345678), u"(0x12345678)");
}

TEST(CertComponent, HomePathIsFixedAtConstruction) {
  testing::ScopedEnv home("HOME", "/home/someone");
  CertComponent component;
  testing::ScopedEnv later("HOME", "/elsewhere");
  EXPECT_EQ(component.GetUserHomePath(), u"/home/someone");
  EXPECT_EQ(component.GetErrorCode(), 0);
}

TEST(CertComponent, HashFileAsksTheComponentsDialogHost) {
  testing::TempDir dir;
  const auto file = dir.WriteFile("doc.txt", "abc");
  AnsweringHost chooses({DialogOutcome::kOk, file.string()});
  CertComponent component = MakeComponent(false, &chooses);
  EXPECT_EQ(component.HashFile(nullptr, 1), u"900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(chooses.pickers_shown, 1);
  EXPECT_EQ(chooses.last_title, "請選擇檔案");

  AnsweringHost cancels({DialogOutcome::kCancel, {}});
  CertComponent other = MakeComponent(false, &cancels);
  EXPECT_EQ(other.HashFile(u"", 1), u"");
  EXPECT_EQ(other.GetErrorCode(), 5070);
}

}  // namespace
}  // namespace kelvadrome
