// The automation object as a client program uses it: only the public header and the shared
// library. The program registers the server, creates KelvadromeATL.CAPI by its ProgID and calls
// every method by NAME through IDispatch (GetIDsOfNames, then Invoke), as a script host does. Run
// it on a throwaway profile with a scripted dialog user (scripts/demo.sh does).
//
//   kelvadrome-demo-automation <work-folder>
//
// Files written to the work folder: automation-request.b64 (for the demo CA), automation-signed.b64
// (attached message, chain, signing time), automation-detached.b64 and automation-document.txt
// (detached message and its content), automation-export.pfx (password demo-pass). The exit
// status is 1 when a step that should succeed failed.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kelvadrome/automation.h"

namespace {

// --- Text --------------------------------------------------------------------------------------

std::string ToUtf8(const char16_t* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
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

std::string ToUtf8(const std::u16string& text) {
  return ToUtf8(text.data(), text.size());
}

// Widens UTF-8 (paths, file contents); a malformed byte becomes U+FFFD.
std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    bool valid = (c < 0x80 || (c >= 0xC2 && c <= 0xF4)) && i + extra < text.size();
    for (size_t k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid) {
      out += u'\uFFFD';
      ++i;
      continue;
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

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary);
  file << content;
  return static_cast<bool>(file.flush());
}

bool ReadFile(const std::string& path, std::string* content) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << file.rdbuf();
  *content = buffer.str();
  return static_cast<bool>(file);
}

// --- Calls by name -----------------------------------------------------------------------------

// One argument of a call: text or a 32-bit number.
using Argument = std::variant<std::u16string, LONG>;

// What a call gave back: the HRESULT of Invoke and the result, as text or number.
struct Result {
  HRESULT hr = E_UNEXPECTED;
  bool is_text = false;
  std::u16string text;
  LONG number = 0;
};

// Calls methods of one object by name, the way a script host does.
class Client {
 public:
  explicit Client(IDispatch* object) : object_(object) {}
  ~Client() {
    if (object_ != nullptr) object_->Release();
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Call looks |name| up with GetIDsOfNames and invokes it with |arguments| in parameter order
  // (handed to Invoke last first, as automation expects).
  Result Call(const char16_t* name, std::initializer_list<Argument> arguments) const {
    Result result;
    std::u16string name_copy(name);
    LPOLESTR names[] = {name_copy.data()};
    DISPID dispid = DISPID_UNKNOWN;
    result.hr = object_->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid);
    if (FAILED(result.hr)) return result;
    std::vector<VARIANT> reversed;
    for (auto it = std::rbegin(arguments); it != std::rend(arguments); ++it) {
      VARIANT value{};
      if (const auto* text = std::get_if<std::u16string>(&*it)) {
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocStringLen(text->data(), static_cast<uint32_t>(text->size()));
      } else {
        value.vt = VT_I4;
        value.lVal = std::get<LONG>(*it);
      }
      reversed.push_back(value);
    }
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    VARIANT answer{};
    answer.vt = VT_EMPTY;
    UINT bad_argument = 0;
    result.hr = object_->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, &answer, nullptr,
                                &bad_argument);
    for (auto& value : reversed) {
      if (value.vt == VT_BSTR) SysFreeString(value.bstrVal);
    }
    if (answer.vt == VT_BSTR) {
      result.is_text = true;
      if (answer.bstrVal != nullptr) {
        result.text.assign(answer.bstrVal, SysStringLen(answer.bstrVal));
      }
      SysFreeString(answer.bstrVal);
    } else if (answer.vt == VT_I4) {
      result.number = answer.lVal;
    }
    return result;
  }

 private:
  IDispatch* object_;
};

// --- Steps -------------------------------------------------------------------------------------

// What a step is expected to do.
enum class Expect {
  kSuccess,  // error code 0 after it
  kFailure,  // shown for its error code; does not count as a failure of the demo
  // A query that leaves the error codes as the call before left them: it succeeds when it gives
  // a non-empty text.
  kTextLeavingCodes,
};

// Runs the demo's steps: prints each result with the error code and message after it, and counts
// the steps that should have succeeded but did not.
class Tour {
 public:
  explicit Tour(const Client& client) : client_(client) {}

  // Step calls |name|, prints |label| and the result (long texts cut short), then
  // GetErrorCode / GetErrorMsg. A failed Invoke, or a result against |expect|, counts as a
  // failure of the demo.
  Result Step(const char* label, const char16_t* name, std::initializer_list<Argument> arguments,
              Expect expect = Expect::kSuccess) {
    const Result result = client_.Call(name, arguments);
    std::printf("%-44s ", label);
    if (FAILED(result.hr)) {
      std::printf("Invoke failed: 0x%08X\n", static_cast<unsigned>(result.hr));
    } else if (result.is_text) {
      const std::string text = ToUtf8(result.text);
      if (result.text.size() > 60) {
        std::printf("%s... (%zu characters)\n", ToUtf8(result.text.substr(0, 48)).c_str(),
                    result.text.size());
      } else {
        std::printf("%s\n", text.c_str());
      }
    } else {
      std::printf("%d\n", result.number);
    }
    const LONG code = client_.Call(u"GetErrorCode", {}).number;
    const std::u16string message = client_.Call(u"GetErrorMsg", {}).text;
    std::printf("%-44s %d  %s%s\n", "  -> GetErrorCode / GetErrorMsg", code,
                ToUtf8(message).c_str(),
                expect == Expect::kTextLeavingCodes ? "  (left by the call before)" : "");
    const bool failed = FAILED(result.hr) || (expect == Expect::kSuccess && code != 0) ||
                        (expect == Expect::kTextLeavingCodes && result.text.empty());
    if (failed) {
      std::printf("  ** this step should have succeeded\n");
      ++failures_;
    }
    return result;
  }

  // Check records a condition the demo relies on.
  void Check(const char* what, bool holds) {
    std::printf("%-44s %s\n", what, holds ? "yes" : "NO");
    if (!holds) ++failures_;
  }

  void Fail(const char* what) {
    std::printf("** %s\n", what);
    ++failures_;
  }

  int failures() const { return failures_; }

 private:
  const Client& client_;
  int failures_ = 0;
};

int RunTour(const Client& client, const std::string& work) {
  Tour tour(client);
  const std::u16string wide_work = FromUtf8(work);
  const std::u16string common_name = u"Automation 憑證 Demo";
  const std::u16string filter = u"S_CN=" + common_name;

  std::printf("\n== The component\n");
  tour.Step("GetVersion", u"GetVersion", {});

  std::printf("\n== Enrolment: CreatePKCS10, the demo CA, AcceptPKCS7\n");
  tour.Step("SetProviderName", u"SetProviderName",
            {u"Microsoft Enhanced Cryptographic Provider v1.0"});
  const Result request =
      tour.Step("CreatePKCS10 (2048 bits)", u"CreatePKCS10", {common_name, LONG{2048}, LONG{1}});
  // The demo CA reads <work>/demo-request.b64 and answers in <work>/demo-response.p7b.
  if (!WriteFile(work + "/demo-request.b64", ToUtf8(request.text)) ||
      !WriteFile(work + "/automation-request.b64", ToUtf8(request.text))) {
    tour.Fail("cannot write the request");
  }
  const char* ca = std::getenv("KELVADROME_DEMO_CA");
  if (ca == nullptr) {
    tour.Fail(
        "no certificate authority: set KELVADROME_DEMO_CA to a script, as scripts/demo.sh does");
  } else {
    const std::string command = "'" + std::string(ca) + "' '" + work + "'";
    if (std::system(command.c_str()) != 0) tour.Fail("the certificate authority failed");
    std::string response;
    if (!ReadFile(work + "/demo-response.p7b", &response)) tour.Fail("no answer from the CA");
    tour.Step("AcceptPKCS7 (PKCS #7 with chain)", u"AcceptPKCS7", {FromUtf8(response)});
  }

  std::printf("\n== Signing with the enrolled certificate\n");
  tour.Step("SelectSigner (S_CN=...)", u"SelectSigner", {filter, LONG{0x108}, LONG{0}});
  tour.Step("GetCertSubjectCN", u"GetCertSubjectCN", {});
  const std::u16string document = u"A document signed through IDispatch";
  if (!WriteFile(work + "/automation-document.txt", ToUtf8(document))) {
    tour.Fail("cannot write the document");
  }
  const Result attached = tour.Step("SignPkcs7 (attached, chain, signing time)", u"SignPkcs7",
                                    {document, LONG{0x0800 | 0x0200 | 0x2000}});
  const Result detached =
      tour.Step("SignPkcs7 (detached)", u"SignPkcs7", {document, LONG{0x0800 | 0x0400}});
  if (!WriteFile(work + "/automation-signed.b64", ToUtf8(attached.text)) ||
      !WriteFile(work + "/automation-detached.b64", ToUtf8(detached.text))) {
    tour.Fail("cannot write the signed messages");
  }

  std::printf("\n== Encryption: a shared key, then an envelope for the enrolled certificate\n");
  const std::u16string secret = u"A secret for the automation demo: 機密文件";
  const std::u16string key_hex = u"00112233445566778899AABBCCDDEEFF0011223344556677";
  const Result sealed = tour.Step("SymEncrypt (3DES, 24-byte key)", u"SymEncrypt",
                                  {secret, key_hex, LONG{0}, LONG{0}});
  const Result opened =
      tour.Step("SymDecrypt", u"SymDecrypt", {sealed.text, key_hex, LONG{0}, LONG{0}});
  tour.Check("  the same text", opened.text == secret);
  tour.Step("SymDecrypt of text that is not Base64", u"SymDecrypt",
            {std::u16string(u"not base64 !"), key_hex, LONG{0}, LONG{0}}, Expect::kFailure);
  const Result recipient =
      tour.Step("GetCertB64 (the selected signer)", u"GetCertB64", {}, Expect::kTextLeavingCodes);
  const Result envelope = tour.Step("CertEncryptPkcs7 (3DES, code page)", u"CertEncryptPkcs7",
                                    {secret, recipient.text, LONG{0}, LONG{0x0800}});
  const Result unsealed =
      tour.Step("CertDecryptPkcs7 (key in MY)", u"CertDecryptPkcs7", {envelope.text, LONG{0x0800}});
  tour.Check("  the same text", unsealed.text == secret);

  std::printf("\n== PFX: export the enrolled certificate with its key, import it back\n");
  tour.Step("SetDefaultPfxFileName", u"SetDefaultPfxFileName",
            {std::u16string(u"automation-export")});
  // The export dialog (206) asks for the password twice: the scripted user types demo-pass.
  tour.Step("ExportPfxFromIE (S_CN=...)", u"ExportPfxFromIE",
            {filter, wide_work, std::u16string(), LONG{0x8}, LONG{0}});
  tour.Step("GetExportedPfxFilePath", u"GetExportedPfxFilePath", {}, Expect::kTextLeavingCodes);
  const Result exported_name =
      tour.Step("GetExportedPfxFileName", u"GetExportedPfxFileName", {}, Expect::kTextLeavingCodes);
  tour.Step("ImportPfxToIE, wrong password", u"ImportPfxToIE",
            {wide_work, exported_name.text, std::u16string(u"not-the-password"), LONG{1}, LONG{0}},
            Expect::kFailure);
  tour.Step("ImportPfxToIE, right password", u"ImportPfxToIE",
            {wide_work, exported_name.text, std::u16string(u"demo-pass"), LONG{1}, LONG{0}});
  tour.Step("GetImportedPfxFileName", u"GetImportedPfxFileName", {}, Expect::kTextLeavingCodes);

  std::printf("\n== The certificates of MY\n");
  const Result count = tour.Step("GetIECertCount", u"GetIECertCount", {});
  tour.Check("  at least the enrolled certificate", count.number >= 1);
  for (LONG index = 1; index <= count.number; ++index) {
    const std::string label = "  GetIECertCommonName(" + std::to_string(index) + ")";
    tour.Step(label.c_str(), u"GetIECertCommonName", {index}, Expect::kTextLeavingCodes);
  }
  return tour.failures();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string work = argc > 1 ? argv[1] : "/tmp";
  std::printf("== Registering and creating the object\n");
  const HRESULT registered = DllRegisterServer();
  std::printf("%-44s 0x%08X\n", "DllRegisterServer", static_cast<unsigned>(registered));
  if (FAILED(registered)) return 1;
  void* made = nullptr;
  const HRESULT created = KelvadromeCreateObject(u"KelvadromeATL.CAPI", &IID_IDispatch, &made);
  std::printf("%-44s 0x%08X\n", "KelvadromeCreateObject(\"KelvadromeATL.CAPI\")",
              static_cast<unsigned>(created));
  if (FAILED(created)) {
    DllUnregisterServer();
    return 1;
  }
  int failures = 0;
  {
    const Client client(static_cast<IDispatch*>(made));
    failures = RunTour(client, work);
  }  // the object is released here
  std::printf("\n== Releasing the object and unregistering the server\n");
  std::printf("%-44s %s\n", "DllCanUnloadNow after the release",
              DllCanUnloadNow() == S_OK ? "S_OK" : "S_FALSE");
  const HRESULT unregistered = DllUnregisterServer();
  std::printf("%-44s 0x%08X\n", "DllUnregisterServer", static_cast<unsigned>(unregistered));
  if (FAILED(unregistered)) ++failures;
  void* again = nullptr;
  const HRESULT after = KelvadromeCreateObject(u"KelvadromeATL.CAPI", &IID_IDispatch, &again);
  std::printf("%-44s 0x%08X (not registered any more)\n", "KelvadromeCreateObject again",
              static_cast<unsigned>(after));
  if (SUCCEEDED(after)) {
    static_cast<IDispatch*>(again)->Release();
    ++failures;
  }
  std::printf("\n%d step%s failed\n", failures, failures == 1 ? "" : "s");
  return failures == 0 ? 0 : 1;
}
