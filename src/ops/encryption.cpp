#include "ops/encryption.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/cert_store_handle.h"
#include "codec/des.h"
#include "ops/encryption_cipher.h"
#include "platform/certificate.h"
#include "platform/error_codes.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pfx_store.h"
#include "platform/pkcs7_certificates.h"
#include "platform/pkcs7_envelope.h"
#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kExportableKeys = 1;

// What Base64 text may hold besides the alphabet: padding, and the blanks the decoder skips.
constexpr std::array<bool, 256> kBase64Characters = [] {
  std::array<bool, 256> table{};
  for (const char c :
       std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n ")) {
    table[static_cast<uint8_t>(c)] = true;
  }
  return table;
}();

// Base64Body returns the part of |text| the Base64 decoder decodes: the whole text, or with armour
// (any "----"), what lies between the first armour line and the next run of hyphens. False when the
// armour is not closed.
bool Base64Body(std::string_view text, std::string_view& body) {
  constexpr std::string_view kRun = "----";
  if (text.find(kRun) == std::string_view::npos) {
    body = text;
    return true;
  }
  size_t at = text.find_first_not_of('-');
  if (at == std::string_view::npos) return false;
  at = text.find(kRun, at);
  if (at == std::string_view::npos) return false;
  at = text.find_first_not_of("-\r\n", at);
  if (at == std::string_view::npos) return false;
  const size_t end = text.find(kRun, at);
  if (end == std::string_view::npos) return false;
  body = text.substr(at, end - at);
  return true;
}

// Plaintext returns the bytes a text stands for: its code-page form, or its UTF-16 code units least
// significant byte first. Wiped when released.
SecretBytes Plaintext(std::u16string_view text, int32_t flags) {
  if ((flags & encryption_flag::kCodePageBytes) != 0) {
    const SecretString narrow = ConvertSecretToNarrow(text);
    return SecretBytes(reinterpret_cast<const uint8_t*>(narrow.data()), narrow.size());
  }
  SecretBytes bytes(2 * text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    bytes.data()[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    bytes.data()[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
  return bytes;
}

// TextOf reads decrypted bytes back as text: code-page text up to the first zero byte, or UTF-16LE
// up to the first zero code unit, a lone last byte being a unit with a zero high byte.
std::u16string TextOf(std::span<const uint8_t> bytes, int32_t flags) {
  if ((flags & encryption_flag::kCodePageBytes) != 0) {
    const auto zero = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    return ConvertToWide(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<size_t>(zero - bytes.begin())));
  }
  std::u16string text;
  text.reserve((bytes.size() + 1) / 2);
  for (size_t i = 0; i < bytes.size(); i += 2) {
    const auto high = i + 1 < bytes.size() ? bytes[i + 1] : uint8_t{0};
    const auto unit = static_cast<char16_t>(bytes[i] | (high << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

// SymmetricAlgorithm picks the algorithm for iAlgorithm and the key length; 0 or the code.
int32_t SymmetricAlgorithm(int32_t algorithm, int32_t key_length, uint32_t& alg_id) {
  if (algorithm == 0) {
    if (key_length == 16) {
      alg_id = kCalg3Des112;
    } else if (key_length == 24) {
      alg_id = kCalg3Des;
    } else {
      return Code(ErrorCode::kCipherBadKeyLength);
    }
    return 0;
  }
  if (algorithm == 1) {
    if (key_length != 8) return Code(ErrorCode::kCipherBadKeyLength);
    alg_id = kCalgDes;
    return 0;
  }
  return Code(ErrorCode::kCipherBadAlgorithm);
}

// Base64Text returns the Base64 form of |bytes| as UTF-16; empty when it cannot be made.
std::u16string Base64Text(std::span<const uint8_t> bytes) {
  ByteBuffer text;
  if (bytes.empty() || bytes.size() > static_cast<size_t>(INT32_MAX) / 4 * 3 ||
      !text.Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size()))) {
    return {};
  }
  return std::u16string(text.c_str(), text.c_str() + text.length());
}

// AddRecipient appends |der| unless it is not one certificate or is already listed.
void AddRecipient(std::span<const uint8_t> der, std::vector<std::vector<uint8_t>>& recipients) {
  if (der.empty() || der.size() > static_cast<size_t>(INT32_MAX)) return;
  CertInfo info;
  if (!info.LoadFromDer(der.data(), static_cast<int32_t>(der.size()))) return;
  for (const auto& listed : recipients) {
    if (std::equal(listed.begin(), listed.end(), der.begin(), der.end())) return;
  }
  recipients.emplace_back(der.begin(), der.end());
}

}  // namespace

int32_t ReadCiphertextText(std::u16string_view text, ByteBuffer& bytes) {
  bytes.Reset();
  if (text.empty()) return Code(ErrorCode::kBadArgument);
  // Base64 is ASCII, which every code page keeps as it is; only other text needs converting.
  const bool ascii = std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
  const std::string narrow = ascii ? std::string(text.begin(), text.end()) : ConvertToNarrow(text);
  if (narrow.empty()) return Code(ErrorCode::kBadArgument);
  std::string_view body;
  if (!Base64Body(narrow, body)) return Code(ErrorCode::kCipherBadFormat);
  for (const char c : body) {
    if (!kBase64Characters[static_cast<uint8_t>(c)]) return Code(ErrorCode::kCipherBadFormat);
  }
  // A body of blanks and line breaks alone is Base64 of no bytes: the caller's decryption fails.
  if (!bytes.Base64Decode(narrow.c_str())) {
    bytes.Reset();
    return Code(ErrorCode::kCipherBadFormat);
  }
  return 0;
}

int32_t ReadKeyText(std::u16string_view text, ByteBuffer& key) {
  key.Reset();
  const SecretString narrow = ConvertSecretToNarrow(text);
  // A key with a stray character would decode to bytes nobody chose; it is refused instead.
  const std::string_view digits = narrow.view();
  const bool hex = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  });
  const bool decoded = hex && key.HexDecode(narrow.c_str());
  if (!decoded) {
    key.Reset();
    return Code(ErrorCode::kBadArgument);
  }
  return 0;
}

EncryptionOutcome EncryptSymmetric(std::u16string_view plain_text, const ByteBuffer& key,
                                   int32_t algorithm, int32_t flags) {
  if (plain_text.empty()) return {Code(ErrorCode::kBadArgument), 0, {}};
  uint32_t alg_id = 0;
  if (const int32_t refused = SymmetricAlgorithm(algorithm, key.length(), alg_id); refused != 0) {
    return {refused, 0, {}};
  }
  const SecretBytes plain = Plaintext(plain_text, flags);
  if (plain.size() > static_cast<size_t>(ByteBuffer::kMaxLength - 8)) {
    return {Code(ErrorCode::kCipherEncryptFailed), key_error::kBadLength, {}};
  }
  PlatformCipher cipher;
  cipher.SetAlgorithm(alg_id);
  cipher.SetKey(key.data(), key.length());
  cipher.SetMode(cipher_mode::kCbc);
  if (!cipher.EncryptAll(plain.data(), static_cast<int32_t>(plain.size()))) {
    return {Code(ErrorCode::kCipherEncryptFailed), cipher.last_error(), {}};
  }
  const ByteBuffer& output = cipher.output();
  std::u16string text = Base64Text({output.data(), static_cast<size_t>(output.length())});
  if (text.empty()) return {Code(ErrorCode::kCipherEncryptFailed), key_error::kNoMemory, {}};
  return {0, 0, std::move(text)};
}

EncryptionOutcome DecryptSymmetric(std::span<const uint8_t> ciphertext, const ByteBuffer& key,
                                   int32_t algorithm, int32_t flags) {
  uint32_t alg_id = 0;
  if (const int32_t refused = SymmetricAlgorithm(algorithm, key.length(), alg_id); refused != 0) {
    return {refused, 0, {}};
  }
  PlatformCipher cipher;
  cipher.SetAlgorithm(alg_id);
  cipher.SetKey(key.data(), key.length());
  cipher.SetMode(cipher_mode::kCbc);
  if (ciphertext.size() > static_cast<size_t>(INT32_MAX) ||
      !cipher.DecryptAll(ciphertext.data(), static_cast<int32_t>(ciphertext.size()))) {
    return {Code(ErrorCode::kCipherDecryptFailed), cipher.last_error(), {}};
  }
  const ByteBuffer& output = cipher.output();
  return {0, 0, TextOf({output.data(), static_cast<size_t>(output.length())}, flags)};
}

RecipientReading ReadRecipientCertificates(std::string_view text) {
  RecipientReading reading;
  if (text.empty()) {
    reading.code = Code(ErrorCode::kBadArgument);
    return reading;
  }
  std::string stripped(text);
  StripPemArmour(stripped);
  ByteBuffer der;
  // Base64 of a DER SEQUENCE, certificate or message, begins with M.
  if (stripped.empty() || stripped[0] != 'M' || !der.Base64Decode(stripped.c_str()) ||
      der.empty()) {
    reading.code = Code(ErrorCode::kBadCertificate);
    return reading;
  }

  const std::span<const uint8_t> bytes(der.data(), static_cast<size_t>(der.length()));
  const Pkcs7Certificates message = ReadPkcs7Certificates(bytes);
  switch (message.reading) {
    case Pkcs7Reading::kCertificates:
      for (const auto entry : message.certificates) AddRecipient(entry, reading.certificates);
      break;
    case Pkcs7Reading::kNoCertificateCount:
      reading.code = Code(ErrorCode::kBadCertificate);
      reading.platform_error = LastPlatformError();
      return reading;
    case Pkcs7Reading::kNotAMessage: {
      Certificate certificate;
      if (!certificate.Decode(bytes.data(), bytes.size())) {
        reading.code = Code(ErrorCode::kBadCertificate);
        reading.platform_error = LastPlatformError();
        return reading;
      }
      AddRecipient(bytes, reading.certificates);
      break;
    }
  }
  if (reading.certificates.empty()) reading.code = Code(ErrorCode::kBadCertificate);
  return reading;
}

const char* EnvelopeAlgorithmFor(int32_t algorithm) {
  switch (algorithm) {
    case 1:
      return envelope_algorithm::kDesCbc;
    case 2:
      return envelope_algorithm::kRc4;
    default:
      return envelope_algorithm::kDesEde3Cbc;
  }
}

EncryptionOutcome EncryptForRecipients(std::u16string_view plain_text,
                                       const std::vector<std::vector<uint8_t>>& recipients,
                                       int32_t algorithm, int32_t flags) {
  if (plain_text.empty()) return {Code(ErrorCode::kBadArgument), 0, {}};
  if (recipients.empty()) return {Code(ErrorCode::kBadCertificate), 0, {}};
  const SecretBytes plain = Plaintext(plain_text, flags);
  EnvelopeRequest request;
  request.content = plain.view();
  request.content_algorithm = EnvelopeAlgorithmFor(algorithm);
  for (const auto& recipient : recipients) request.recipients.emplace_back(recipient);
  const auto message = EncodeEnvelopedData(request);
  if (!message) return {Code(ErrorCode::kCipherEncryptFailed), 0, {}};
  std::u16string text = Base64Text(*message);
  if (text.empty()) return {Code(ErrorCode::kCipherEncryptFailed), 0, {}};
  return {0, 0, std::move(text)};
}

int32_t EnvelopeDecryptCode(uint32_t platform_error) {
  switch (platform_error) {
    case key_error::kBadKey:
      return Code(ErrorCode::kKeyUsageUnfit);
    case key_error::kBadAlgorithm:
    case platform_error::kUnexpectedMessageType:
      return Code(ErrorCode::kBadPkcs7);
    case platform_error::kNoDecryptCert:
      return Code(ErrorCode::kNoDecryptCertificate);
    default:
      return Code(ErrorCode::kCipherDecryptFailed);
  }
}

EncryptionOutcome DecryptEnvelope(const EnvelopeDecryptRequest& request, DialogHost& host) {
  // A personal store that cannot be opened is no store: the decryption then finds no certificate.
  CertStoreHandle personal;
  personal.OpenPersonal();
  CertStore* const personal_store[] = {personal.store()};
  auto content = DecryptEnvelopedData(request.message, personal_store);
  if (!content) {
    const int32_t code = EnvelopeDecryptCode(LastPlatformError());
    if (code != Code(ErrorCode::kNoDecryptCertificate)) return {code, 0, {}};

    // No key of "MY" fits: the user may have it in a PFX file.
    PfxPromptFields fields;
    fields.min_length = request.min_password_length;
    fields.max_length = request.max_password_length;
    if (const int32_t answer = PromptPfxFile(host, fields); answer != Code(ErrorCode::kSuccess)) {
      return {answer, 0, {}};
    }
    PfxStore pfx;
    if (pfx.Load(JoinFolderAndName(fields.folder, fields.file_name), fields.password.view(),
                 kExportableKeys) != 0) {
      // A file that does not load offers no certificate to decrypt with (5010).
      return {Code(ErrorCode::kCertificateNotFound), pfx.platform_error(), {}};
    }
    CertStore* const pfx_store[] = {pfx.store()};
    content = DecryptEnvelopedData(request.message, pfx_store);
    if (!content) return {EnvelopeDecryptCode(LastPlatformError()), 0, {}};
  }
  // The text comes back exactly as it was encrypted: UTF-16 content is not narrowed to the code
  // page on the way, which would replace every character the code page lacks.
  return {0, 0, TextOf(content->view(), request.flags)};
}

}  // namespace kelvadrome
