#include "ui/dialog_language.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/text.h"
#include "support/scoped_code_page.h"
#include "support/test_support.h"
#include "ui/cert_list_dialog.h"
#include "ui/change_password_dialog.h"
#include "ui/consent_dialog.h"
#include "ui/dialog_layout.h"
#include "ui/key_use_dialog.h"
#include "ui/none_host.h"
#include "ui/pfx_dialogs.h"
#include "ui/pin_dialog.h"
#include "ui/sign_confirm_dialog.h"
#include "ui/token_choice_dialog.h"

namespace kelvadrome {
namespace {

// A .mo image of |entries| (msgid, msgstr), little-endian or big-endian, built the way msgfmt
// lays one out: header, the two string tables, then the strings with their NULs.
std::vector<uint8_t> MoImage(const std::vector<std::pair<std::string, std::string>>& entries,
                             bool big_endian) {
  std::vector<uint8_t> image;
  const auto put = [&](uint32_t value) {
    for (int i = 0; i < 4; ++i) {
      const int shift = big_endian ? 24 - 8 * i : 8 * i;
      image.push_back(static_cast<uint8_t>(value >> shift));
    }
  };
  const auto count = static_cast<uint32_t>(entries.size());
  const uint32_t originals = 28, translations = originals + 8 * count;
  put(0x950412de), put(0), put(count), put(originals), put(translations), put(0), put(0);
  uint32_t offset = translations + 8 * count;
  std::string strings;
  for (const bool translated : {false, true}) {
    for (const auto& [id, text] : entries) {
      const std::string& s = translated ? text : id;
      put(static_cast<uint32_t>(s.size())), put(offset);
      strings.append(s).push_back('\0');
      offset += static_cast<uint32_t>(s.size() + 1);
    }
  }
  image.insert(image.end(), strings.begin(), strings.end());
  return image;
}

TEST(MessageCatalogueTest, ReadsBothByteOrdersAndRefusesBrokenImages) {
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"", "Content-Type: text/plain; charset=UTF-8\n"},
      {"確定", "OK"},
      {"未指定", "(none given)"},
      {"untranslated", ""},
      {"憑證檔(%s) : 錯誤或不存在", "Certificate file (%s): wrong or missing"},
      {"%s 到 %s", "from %s to %s"},
  };
  for (const bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
    const auto catalogue = MessageCatalogue::Parse(MoImage(entries, big_endian));
    ASSERT_NE(catalogue, nullptr);
    EXPECT_EQ(catalogue->Translate("確定"), "OK");
    EXPECT_EQ(catalogue->Translate("untranslated"), std::nullopt) << "an empty msgstr is none";
    EXPECT_EQ(catalogue->Translate(""), std::nullopt) << "the header is no translation";
    EXPECT_EQ(catalogue->Translate("確定 "), std::nullopt);
    // A text carrying a path translates as a whole; a hole that is itself a text is translated.
    EXPECT_EQ(catalogue->Translate("憑證檔(/home/a b/x.pfx) : 錯誤或不存在"),
              "Certificate file (/home/a b/x.pfx): wrong or missing");
    EXPECT_EQ(catalogue->Translate("憑證檔() : 錯誤或不存在"),
              "Certificate file (): wrong or missing");
    EXPECT_EQ(catalogue->Translate("1 到 2 到 3"), "from 1 to 2 到 3");
    EXPECT_EQ(catalogue->Translate("憑證檔(x) : 錯誤"), std::nullopt) << "the suffix differs";
  }

  const std::vector<uint8_t> good = MoImage({{"a", "b"}}, false);
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  } broken[] = {
      {"wrong magic", [](auto& image) { image[0] ^= 1; }},
      {"major revision 1", [](auto& image) { image[6] = 1; }},
      {"cut inside the tables", [](auto& image) { image.resize(40); }},
      {"a string without its NUL", [](auto& image) { image.back() = 'x'; }},
      {"a string offset past the end", [](auto& image) { image[32] = 0xF0, image[35] = 0xFF; }},
      {"more entries than the image holds", [](auto& image) { image[8] = 0xFF, image[10] = 1; }},
  };
  for (const auto& b : broken) {
    SCOPED_TRACE(b.what);
    std::vector<uint8_t> image = good;
    b.damage(image);
    EXPECT_EQ(MessageCatalogue::Parse(image), nullptr);
  }
}

TEST(DialogLanguageTest, ChineseUnderAChineseLocaleEnglishOtherwise) {
  const struct {
    const char* locale;
    const char* language;
  } cases[] = {
      {"zh_TW.UTF-8", "zh"}, {"zh_CN.GB18030", "zh"}, {"zh", "zh"},
      {"en_GB.UTF-8", "en"}, {"fr_FR.UTF-8", "en"},  // no French catalogue: English
      {"C", "en"},           {"POSIX", "en"},         {"", "en"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    EXPECT_EQ(DialogLanguageOf(c.locale), c.language);
  }
  // LC_ALL before LC_MESSAGES before LANG.
  testing::ScopedEnv all("LC_ALL", nullptr);
  testing::ScopedEnv messages("LC_MESSAGES", "zh_TW.UTF-8");
  testing::ScopedEnv lang("LANG", "en_US.UTF-8");
  EXPECT_EQ(UserDialogLanguage(), "zh");
  testing::ScopedEnv all_english("LC_ALL", "en_US.UTF-8");
  EXPECT_EQ(UserDialogLanguage(), "en");
}

// Every Chinese text a dialog of the component shows has an English form in the built-in
// catalogue, in any process code page; under a Chinese locale the texts stay as they are.
TEST(DialogLanguageTest, EveryDialogTextHasAnEnglishForm) {
  const KeyUseRequest key_use{"container", "provider", 2, KeyUse::kSign};
  const std::vector<std::vector<uint8_t>> no_candidates;  // the list dialog keeps a reference
  const std::vector<TokenInfo> no_tokens;                 // so does the token choice
  std::vector<std::function<std::unique_ptr<DialogModel>()>> dialogs = {
      [] { return std::make_unique<PfxFileDialog>(); },
      [] { return std::make_unique<PfxExportDialog>(); },
      [] { return std::make_unique<MobileExportDialog>(); },
      [] { return std::make_unique<PasswordDialog>(); },
      [] { return std::make_unique<ChangePasswordDialog>(); },
      [] { return std::make_unique<SignConfirmDialog>(); },
      [&] { return std::make_unique<CertListDialog>(no_candidates); },
      [&] { return std::make_unique<KeyUseDialog>(key_use); },
      [] { return std::make_unique<ConsentDialog>("https://shop.example"); },
      // Every warning line the PIN dialog can show.
      [] {
        return std::make_unique<PinDialog>(PinRequest{{"m", "01", "Card"}, true, true, false});
      },
      [] {
        return std::make_unique<PinDialog>(PinRequest{{"m", "01", "Card"}, false, false, true});
      },
      [&] { return std::make_unique<TokenChoiceDialog>(no_tokens); },
  };
  // Texts shown outside the models: message boxes and picker titles.
  const char* const loose[] = {"密碼不一致",
                               "錯誤訊息",
                               "請選擇檔案",
                               "選擇憑證檔案",
                               "選擇憑證檔案儲存路徑 :",
                               "憑證檔(未指定) : 錯誤或不存在",
                               "憑證目錄 (/tmp) : 錯誤或沒有寫入權限"};
  for (const char* code_page : {"UTF-8", "CP950"}) {
    SCOPED_TRACE(code_page);
    testing::ScopedCodePage pinned(code_page);
    std::vector<std::string> texts;
    for (const char* text : loose) texts.push_back(Utf8ToNarrow(text));
    NoneHost none;
    for (const auto& make : dialogs) {
      const auto dialog = make();
      dialog->Initialize(none);
      texts.push_back(dialog->caption());
      for (const auto& text : dialog->statics()) texts.push_back(text);
      for (const auto& button : dialog->buttons()) texts.push_back(button.label);
      for (const auto& check : dialog->checks()) texts.push_back(check.label);
      if (dialog->list() != nullptr) {
        for (const auto& column : dialog->list()->columns) texts.push_back(column);
      }
      for (const LayoutRow& row : LayoutFor(*dialog)) {
        if (row.translated) texts.push_back(dialog->EditText(row.edit));
      }
    }
    testing::ScopedEnv all("LC_ALL", "en_US.UTF-8");
    for (const std::string& text : texts) {
      SCOPED_TRACE(NarrowToUtf8(text));
      const std::string english = TranslateDialogText(text);
      // A few texts are English already ("From :").
      if (!IsAsciiText(text)) {
        EXPECT_NE(english, text) << "no English form";
      }
      EXPECT_TRUE(IsAsciiText(english)) << english;
    }
    testing::ScopedEnv chinese("LC_ALL", "zh_TW.UTF-8");
    for (const std::string& text : texts) EXPECT_EQ(TranslateDialogText(text), text);
  }
}

// The kelvadrome command explains every error code in the user's language.
TEST(DialogLanguageTest, EveryErrorMessageHasAnEnglishExplanation) {
  const MessageCatalogue* english = BuiltInCatalogue("en");
  ASSERT_NE(english, nullptr);
#define KELVADROME_TEST_EXPLAINED(number, name, text) \
  EXPECT_TRUE(english->Translate(text).has_value()) << number;
  KELVADROME_ERROR_CODES(KELVADROME_TEST_EXPLAINED)
#undef KELVADROME_TEST_EXPLAINED
}

}  // namespace
}  // namespace kelvadrome
