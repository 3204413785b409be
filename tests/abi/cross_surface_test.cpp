// The same calls made through every surface a client can reach give the same results and the same
// error codes: the flat export (found by its export name), the automation object's vtable slot,
// IDispatch::Invoke by method name, and the `kelvadrome call` command run as a separate process.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "frame/method_table.h"
#include "kelvadrome/automation.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace {

using kelvadrome::Bstr;
using kelvadrome::testing::RunCommand;
using kelvadrome::testing::ScopedEnv;
using kelvadrome::testing::ShellQuote;
using kelvadrome::testing::TempDir;

// One argument, in parameter order: text or a 32-bit number.
using Argument = std::variant<std::u16string, int32_t>;
using Arguments = std::vector<Argument>;

// What one call gave: its result and the error state right after it.
struct Outcome {
  bool is_text = false;
  std::u16string text;
  int32_t number = 0;
  int32_t error = -1;
  std::u16string message;
  int32_t capi_error = -1;
  bool operator==(const Outcome&) const = default;
};

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::u16string Utf16(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k <= extra && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += extra + 1;
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  out << "{";
  if (outcome.is_text) {
    out << "text \"" << Utf8(outcome.text) << "\"";
  } else {
    out << "number " << outcome.number;
  }
  return out << ", error " << outcome.error << " \"" << Utf8(outcome.message) << "\", capi "
             << outcome.capi_error << "}";
}

std::u16string Take(BSTR text) {
  std::u16string copy = text != nullptr ? std::u16string(text, SysStringLen(text)) : u"";
  SysFreeString(text);
  return copy;
}

template <typename P>
P Pass(const Argument& argument) {
  if constexpr (std::is_same_v<P, int32_t>) {
    return std::get<int32_t>(argument);
  } else {
    return std::get<std::u16string>(argument).c_str();
  }
}

template <typename R>
void Store(Outcome* outcome, R result) {
  if constexpr (std::is_same_v<R, int32_t>) {
    outcome->number = result;
  } else {
    outcome->is_text = true;
    outcome->text = Take(result);
  }
}

// The flat export and the vtable slot of a row whose signature is Result(Parameters...).
template <typename Signature>
struct Typed;

template <typename R, typename... P>
struct Typed<R(P...)> {
  template <size_t... I>
  static Outcome Flat(void* function, const Arguments& arguments, std::index_sequence<I...>) {
    Outcome outcome;
    Store(&outcome, reinterpret_cast<R (*)(P...)>(function)(Pass<P>(arguments[I])...));
    return outcome;
  }
  static Outcome Flat(void* function, const Arguments& arguments) {
    return Flat(function, arguments, std::index_sequence_for<P...>{});
  }
  template <size_t... I>
  static Outcome Slot(ICAPI* object, size_t slot, const Arguments& arguments,
                      std::index_sequence<I...>) {
    using Function = HRESULT (*)(ICAPI*, P..., R*);
    void** vtable = *reinterpret_cast<void***>(object);
    R result{};
    EXPECT_EQ(reinterpret_cast<Function>(vtable[slot])(object, Pass<P>(arguments[I])..., &result),
              S_OK);
    Outcome outcome;
    Store(&outcome, result);
    return outcome;
  }
  static Outcome Slot(ICAPI* object, size_t slot, const Arguments& arguments) {
    return Slot(object, slot, arguments, std::index_sequence_for<P...>{});
  }
};

struct RowCalls {
  Outcome (*flat)(void*, const Arguments&);
  Outcome (*slot)(ICAPI*, size_t, const Arguments&);
};

const RowCalls kRowCalls[] = {
#define KELVADROME_TEST_ROW(name_, export_, dispid_, class_, result_, params_, args_) \
  {&Typed<result_ params_>::Flat, &Typed<result_ params_>::Slot},
    KELVADROME_METHODS(KELVADROME_TEST_ROW)
#undef KELVADROME_TEST_ROW
};
static_assert(std::size(kRowCalls) == kelvadrome::kMethodCount);

// The row of the method |name|; nullopt when there is none.
std::optional<size_t> RowOf(std::string_view name) {
  for (size_t i = 0; i < kelvadrome::kMethodCount; ++i) {
    if (kelvadrome::kMethods[i].name == name) return i;
  }
  return std::nullopt;
}

// --- The four surfaces -------------------------------------------------------------------------

// The flat surface keeps one component for the whole process; a call that clears both codes
// first gives it the state of a fresh object, so that calls which leave the codes alone compare.
Outcome ByFlatExport(size_t row, const Arguments& arguments) {
  const auto& method = kelvadrome::kMethods[row];
  EXPECT_EQ(SetProviderName(u"Microsoft Enhanced Cryptographic Provider v1.0"), 0);
  EXPECT_EQ(GetCapiErrorCode(), 0);
  void* function = KelvadromeGetExport(std::string(method.export_name).c_str());
  if (function == nullptr) {
    ADD_FAILURE() << "no export " << method.export_name;
    return {};
  }
  Outcome outcome = kRowCalls[row].flat(function, arguments);
  outcome.error = GetErrorCode();
  outcome.message = Take(GetErrorMsg());
  outcome.capi_error = GetCapiErrorCode();
  return outcome;
}

class Object {
 public:
  Object() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(
        DllGetClassObject(&CLSID_CAPI, &IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    if (factory != nullptr) {
      EXPECT_EQ(factory->CreateInstance(nullptr, IID_ICAPI, reinterpret_cast<void**>(&object_)),
                S_OK);
      factory->Release();
    }
  }
  ~Object() {
    if (object_ != nullptr) object_->Release();
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  ICAPI* get() const { return object_; }

  void ReadErrors(Outcome* outcome) const {
    BSTR message = nullptr;
    EXPECT_EQ(object_->GetErrorCode(&outcome->error), S_OK);
    EXPECT_EQ(object_->GetErrorMsg(&message), S_OK);
    outcome->message = Take(message);
    EXPECT_EQ(object_->GetCapiErrorCode(&outcome->capi_error), S_OK);
  }

 private:
  ICAPI* object_ = nullptr;
};

Outcome BySlot(const Object& object, size_t row, const Arguments& arguments) {
  Outcome outcome = kRowCalls[row].slot(object.get(), 7 + row, arguments);
  object.ReadErrors(&outcome);
  return outcome;
}

// Calls |name| the way a script host does: GetIDsOfNames, then Invoke with VARIANTs last first.
Outcome ByInvoke(const Object& object, std::string_view name, const Arguments& arguments) {
  std::u16string wide_name(name.begin(), name.end());
  LPOLESTR names[] = {wide_name.data()};
  DISPID dispid = DISPID_UNKNOWN;
  EXPECT_EQ(object.get()->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid), S_OK);
  std::vector<VARIANT> reversed;
  for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) {
    VARIANT value{};
    if (const auto* text = std::get_if<std::u16string>(&*it)) {
      value.vt = VT_BSTR;
      value.bstrVal = SysAllocString(text->c_str());
    } else {
      value.vt = VT_I4;
      value.lVal = std::get<int32_t>(*it);
    }
    reversed.push_back(value);
  }
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  VARIANT result{};
  EXPECT_EQ(object.get()->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr,
                                 nullptr),
            S_OK);
  for (auto& value : reversed) {
    if (value.vt == VT_BSTR) SysFreeString(value.bstrVal);
  }
  Outcome outcome;
  if (result.vt == VT_BSTR) {
    outcome.is_text = true;
    outcome.text = Take(result.bstrVal);
  } else {
    EXPECT_EQ(result.vt, VT_I4);
    outcome.number = result.lVal;
  }
  object.ReadErrors(&outcome);
  return outcome;
}

// Reads the one-level JSON object `kelvadrome call --json` prints: string and integer members.
class JsonObject {
 public:
  explicit JsonObject(const std::string& text) : text_(text) { valid_ = Parse(); }
  bool valid() const { return valid_; }
  const std::vector<std::pair<std::string, std::variant<std::string, long long>>>& members() const {
    return members_;
  }

 private:
  bool Parse() {
    SkipBlanks();
    if (!Eat('{')) return false;
    SkipBlanks();
    if (Eat('}')) return true;
    while (true) {
      std::string key;
      SkipBlanks();
      if (!String(&key)) return false;
      SkipBlanks();
      if (!Eat(':')) return false;
      SkipBlanks();
      if (at_ < text_.size() && text_[at_] == '"') {
        std::string value;
        if (!String(&value)) return false;
        members_.emplace_back(key, value);
      } else {
        size_t used = 0;
        long long number = 0;
        try {
          number = std::stoll(text_.substr(at_), &used);
        } catch (const std::exception&) {
          return false;
        }
        at_ += used;
        members_.emplace_back(key, number);
      }
      SkipBlanks();
      if (Eat('}')) return true;
      if (!Eat(',')) return false;
    }
  }
  void SkipBlanks() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Eat(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool String(std::string* out) {
    if (!Eat('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char escaped = text_[at_++];
      switch (escaped) {
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          if (at_ + 4 > text_.size()) return false;
          const unsigned long unit = std::stoul(text_.substr(at_, 4), nullptr, 16);
          at_ += 4;
          *out += Utf8(std::u16string(1, static_cast<char16_t>(unit)));
          break;
        }
        default:
          *out += escaped;
      }
    }
    return false;
  }

  std::string text_;
  size_t at_ = 0;
  bool valid_ = false;
  std::vector<std::pair<std::string, std::variant<std::string, long long>>> members_;
};

// Runs `kelvadrome --json -- call <name> <arguments...>` with UTF-8 as the command's code page.
// The command prints the error message and platform code only for a failed call.
Outcome ByCommand(std::string_view name, const Arguments& arguments, int* exit_status) {
  std::string command = "KELVADROME_CODEPAGE=UTF-8 " + ShellQuote(KELVADROME_COMMAND_PATH) +
                        " --json -- call " + std::string(name);
  for (const auto& argument : arguments) {
    if (const auto* text = std::get_if<std::u16string>(&argument)) {
      command += " " + ShellQuote(Utf8(*text));
    } else {
      command += " " + std::to_string(std::get<int32_t>(argument));
    }
  }
  std::string output;
  *exit_status = RunCommand(command, &output);
  const JsonObject json(output);
  EXPECT_TRUE(json.valid()) << "not a JSON object: " << output;
  Outcome outcome;
  outcome.error = 0;
  outcome.capi_error = 0;
  for (const auto& [key, value] : json.members()) {
    if (key == "result") {
      if (const auto* text = std::get_if<std::string>(&value)) {
        outcome.is_text = true;
        outcome.text = Utf16(*text);
      } else {
        outcome.number = static_cast<int32_t>(std::get<long long>(value));
      }
    } else if (key == "errorCode") {
      outcome.error = static_cast<int32_t>(std::get<long long>(value));
    } else if (key == "errorMessage") {
      outcome.message = Utf16(std::get<std::string>(value));
    } else if (key == "capiErrorCode") {
      outcome.capi_error = static_cast<int32_t>(static_cast<uint32_t>(std::get<long long>(value)));
    }
  }
  return outcome;
}

// What the command reports of an outcome: message and platform code of failed calls only, with
// line breaks of platform messages turned into blanks.
Outcome AsTheCommandReportsIt(Outcome outcome) {
  if (outcome.error == 0) {
    outcome.message.clear();
    outcome.capi_error = 0;
  }
  for (size_t at; (at = outcome.message.find(u"\r\n")) != std::u16string::npos;) {
    outcome.message.replace(at, 2, u" ");
  }
  return outcome;
}

// Whether the process code page is UTF-8: the MD5 of code-page bytes (flags 0x11) of a non-ASCII
// text is then the MD5 of its UTF-8 form, which OpenSSL computes here independently.
bool ProcessCodePageIsUtf8() {
  const std::string utf8 = Utf8(u"憑證");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(utf8.data(), utf8.size(), digest, &length, EVP_md5(), nullptr);
  std::u16string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", digest[i]);
    hex += Utf16(two);
  }
  return Take(Hash(u"憑證", 0x11)) == hex;
}

class CrossSurface : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedEnv profile_{"KELVADROME_PROFILE", (dir_.path() / "profile").c_str()};
  ScopedEnv machine_{"KELVADROME_MACHINE_PROFILE", (dir_.path() / "machine").c_str()};
  ScopedEnv dialogs_{"KELVADROME_DIALOGS", "none"};
};

TEST_F(CrossSurface, EverySurfaceGivesTheSameResultsAndErrorCodes) {
  ASSERT_TRUE(std::filesystem::is_regular_file(KELVADROME_COMMAND_PATH))
      << "build the kelvadrome command first: " << KELVADROME_COMMAND_PATH;
  const std::string file = dir_.WriteFile("document.txt", "The quick brown fox\r\n憑證\n").string();
  const std::u16string wide_file = Utf16(file);
  const std::u16string missing_file = Utf16((dir_.path() / "no-such-file").string());
  const std::u16string key_hex = u"00112233445566778899AABBCCDDEEFF0011223344556677";
  const std::u16string secret = u"A secret: 機密文件";
  // The ciphertext of |secret| as the flat surface makes it; each surface must open it again.
  const std::u16string sealed = Take(SymEncrypt(secret.c_str(), key_hex.c_str(), 0, 0));
  ASSERT_FALSE(sealed.empty());
  const bool utf8_code_page = ProcessCodePageIsUtf8();

  struct Case {
    const char* label;
    const char* method;
    Arguments arguments;
    int32_t expected_error;
    // Code-page bytes of non-ASCII text: the command runs with UTF-8, so only comparable when
    // this process uses UTF-8 too.
    bool needs_utf8 = false;
    bool empty_text = false;  // a text result that is empty although the call succeeds
  };
  const Case cases[] = {
      {"GetVersion", "GetVersion", {}, 0},
      {"Hash SHA-1 of code-page bytes", "Hash", {u"abc", 0x10}, 0},
      {"Hash SHA-256 of code-page bytes", "Hash", {u"abc", 0x13}, 0},
      {"Hash MD5 of UTF-16LE units", "Hash", {u"abc", 0x01}, 0},
      {"Hash SHA-256 of non-ASCII UTF-16LE", "Hash", {u"憑證元件 über", 3}, 0},
      {"Hash SHA-512 of non-ASCII code-page bytes", "Hash", {u"憑證元件 über", 0x14}, 0, true},
      {"Hash of a text with a character outside the BMP", "Hash", {u"\U0001F511 key", 4}, 0},
      {"Hash of empty text fails", "Hash", {u"", 0}, 5005},
      {"HashFile SHA-1", "HashFile", {wide_file, 0}, 0},
      {"HashFile SHA-256", "HashFile", {wide_file, 3}, 0},
      {"HashFile of a missing file", "HashFile", {missing_file, 0}, 5902},
      {"SymEncrypt three-key triple DES", "SymEncrypt", {secret, key_hex, 0, 0}, 0},
      {"SymEncrypt of code-page bytes", "SymEncrypt", {u"plain ASCII", key_hex, 0, 0x0800}, 0},
      {"SymDecrypt of the flat surface's ciphertext", "SymDecrypt", {sealed, key_hex, 0, 0}, 0},
      // Not Base64: blanks and '!' are no Base64 characters.
      {"SymDecrypt of text that is not Base64",
       "SymDecrypt",
       {u"not base64 !", key_hex, 0, 0},
       9002},
      // A key of 5 bytes: neither 16 nor 24.
      {"SymEncrypt with a key of the wrong length",
       "SymEncrypt",
       {secret, u"0011223344", 0, 0},
       9003},
      {"RegWriteHKCUStr",
       "RegWriteHKCUStr",
       {u"Software\\Kelvadrome\\Cross\\Greeting", u"憑證元件 says hello"},
       0},
      {"RegReadHKCU of that value, in another letter case",
       "RegReadHKCU",
       {u"SOFTWARE\\kelvadrome\\cross\\greeting"},
       0},
      {"RegWriteHKCUInt negative",
       "RegWriteHKCUInt",
       {u"Software\\Kelvadrome\\Cross\\Level", -5},
       0},
      {"RegReadHKCU of a number", "RegReadHKCU", {u"Software\\Kelvadrome\\Cross\\Level"}, 0},
      // A path without a backslash names no key.
      {"RegReadHKCU without a backslash", "RegReadHKCU", {u"Level"}, 5005},
      {"GetIECertCount on an empty profile", "GetIECertCount", {}, 0},
      {"DeleteIECert(0) on an empty profile", "DeleteIECert", {0}, 5010},
      // Outside the snapshot: empty text, and the error code stays as the call before left it.
      {"GetIECertCommonName(1) on an empty profile", "GetIECertCommonName", {1}, 0, false, true},
      {"PresetPasswdLengthRange 4 to 16", "PresetPasswdLengthRange", {4, 16}, 0},
      {"PresetPasswdLengthRange with min above max: swapped",
       "PresetPasswdLengthRange",
       {16, 4},
       0},
      {"SetProviderName of a provider that is not installed",
       "SetProviderName",
       {u"No Such Provider"},
       5046},
      {"CreatePKCS10 with a key size no provider makes", "CreatePKCS10", {u"x", 1536, 1}, 5301},
      {"GetCertSubject without a signer: empty text", "GetCertSubject", {}, 0, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto row = RowOf(c.method);
    ASSERT_TRUE(row.has_value()) << c.method;
    const auto& method = kelvadrome::kMethods[*row];
    ASSERT_EQ(c.arguments.size(), method.parameter_count);
    for (size_t i = 0; i < c.arguments.size(); ++i) {
      ASSERT_EQ(std::holds_alternative<int32_t>(c.arguments[i]),
                method.parameters[i] == kelvadrome::ValueKind::kInteger)
          << "argument " << i;
    }
    // Each object is fresh, so that no call sees what another left behind.
    const Outcome flat = ByFlatExport(*row, c.arguments);
    const Outcome slot = BySlot(Object(), *row, c.arguments);
    const Outcome invoked = ByInvoke(Object(), c.method, c.arguments);
    int exit_status = -1;
    const Outcome command = ByCommand(c.method, c.arguments, &exit_status);

    EXPECT_EQ(flat.error, c.expected_error) << flat;
    EXPECT_EQ(flat.is_text, method.result == kelvadrome::ValueKind::kText);
    if (c.expected_error == 0 && flat.is_text) {
      EXPECT_EQ(flat.text.empty(), c.empty_text) << "a call that succeeds gives a text";
    }
    EXPECT_EQ(slot, flat);
    EXPECT_EQ(invoked, flat);
    EXPECT_EQ(exit_status, c.expected_error == 0 ? 0 : 1);
    if (!c.needs_utf8 || utf8_code_page) {
      EXPECT_EQ(command, AsTheCommandReportsIt(flat));
    }
  }
}

// A registry value written through one surface is read back through every other one, the command
// included: they all keep the current user's registry in the same profile.
TEST_F(CrossSurface, WhatOneSurfaceWritesEveryOtherReads) {
  const std::u16string path = u"Software\\Kelvadrome\\Cross\\Written";
  const auto write = RowOf("RegWriteHKCUStr");
  const auto read = RowOf("RegReadHKCU");
  ASSERT_TRUE(write && read);
  const Arguments read_arguments{path};
  struct Writer {
    const char* label;
    std::u16string value;
  };
  const Writer writers[] = {{"flat", u"by the flat export 憑證"},
                            {"slot", u"by the vtable slot 憑證"},
                            {"invoke", u"by IDispatch 憑證"},
                            {"command", u"by the command 憑證"}};
  for (const auto& writer : writers) {
    SCOPED_TRACE(writer.label);
    const Arguments arguments{path, writer.value};
    const std::string label = writer.label;
    int exit_status = 0;
    Outcome written;
    if (label == "flat") written = ByFlatExport(*write, arguments);
    if (label == "slot") written = BySlot(Object(), *write, arguments);
    if (label == "invoke") written = ByInvoke(Object(), "RegWriteHKCUStr", arguments);
    if (label == "command") written = ByCommand("RegWriteHKCUStr", arguments, &exit_status);
    ASSERT_EQ(written.error, 0);
    ASSERT_EQ(exit_status, 0);
    EXPECT_EQ(ByFlatExport(*read, read_arguments).text, writer.value);
    EXPECT_EQ(BySlot(Object(), *read, read_arguments).text, writer.value);
    EXPECT_EQ(ByInvoke(Object(), "RegReadHKCU", read_arguments).text, writer.value);
    EXPECT_EQ(ByCommand("RegReadHKCU", read_arguments, &exit_status).text, writer.value);
  }
}

}  // namespace
