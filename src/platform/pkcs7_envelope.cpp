#include "platform/pkcs7_envelope.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "platform/ber_reader.h"
#include "platform/cert_store.h"
#include "platform/certificate.h"
#include "platform/certificate_key.h"
#include "platform/crypto_context.h"
#include "platform/der_reader.h"
#include "platform/der_writer.h"
#include "platform/handles.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"
#include "platform/pkcs7_signed_data.h"  // kBadEncode

namespace kelvadrome {

namespace {

constexpr const char* kDataType = "1.2.840.113549.1.7.1";
constexpr const char* kRsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* kEnvelopedDataType = "1.2.840.113549.1.7.3";
// Content octets of the envelopedData content type, 1.2.840.113549.1.7.3.
constexpr uint8_t kEnvelopedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
constexpr uint8_t kVersionZero[] = {0x02, 0x01, 0x00};
constexpr uint8_t kNull[] = {0x05, 0x00};
constexpr uint8_t kEmptyOctetString[] = {0x04, 0x00};
// The library takes int lengths; content is fed to it in pieces no longer than this.
constexpr size_t kCipherPiece = size_t{1} << 30;

// A content-encryption algorithm: the library's name for it and its sizes.
struct ContentCipher {
  const char* oid;
  const char* name;
  size_t key_size;  // made by the encoder; a block cipher also needs exactly this to decrypt
  size_t iv_size;   // 0: a stream cipher without IV
  bool block;       // a block cipher with PKCS #5 padding
  bool encodes;     // offered for new messages; the others are only opened
};

constexpr ContentCipher kCiphers[] = {
    {envelope_algorithm::kDesCbc, "DES-CBC", 8, 8, true, true},
    {envelope_algorithm::kRc4, "RC4", 16, 0, false, true},
    {envelope_algorithm::kDesEde3Cbc, "DES-EDE3-CBC", 24, 8, true, true},
    {envelope_algorithm::kAes128Cbc, "AES-128-CBC", 16, 16, true, false},
    {envelope_algorithm::kAes192Cbc, "AES-192-CBC", 24, 16, true, false},
    {envelope_algorithm::kAes256Cbc, "AES-256-CBC", 32, 16, true, false},
};

const ContentCipher* FindCipher(std::string_view oid) {
  for (const ContentCipher& cipher : kCiphers) {
    if (oid == cipher.oid) return &cipher;
  }
  return nullptr;
}

UniqueEvpCipher FetchCipher(const ContentCipher& cipher) {
  OSSL_LIB_CTX* context = CryptoLibraryContext();
  if (context == nullptr) return nullptr;
  return UniqueEvpCipher(EVP_CIPHER_fetch(context, cipher.name, CryptoPropertyQuery()));
}

template <typename T>
std::optional<T> Fail(uint32_t error) {
  SetLastPlatformError(error);
  return std::nullopt;
}

// RunCipher encrypts or decrypts |input| in one pass (with padding for block ciphers). A refused
// key length gives NTE_BAD_KEY, a final block that does not decrypt NTE_BAD_DATA, anything else
// the library refuses NTE_FAIL.
std::optional<SecretBytes> RunCipher(EVP_CIPHER* cipher, bool encrypt, std::span<const uint8_t> key,
                                     std::span<const uint8_t> iv, std::span<const uint8_t> input) {
  const UniqueEvpCipherContext context(EVP_CIPHER_CTX_new());
  if (!context ||
      EVP_CipherInit_ex2(context.get(), cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr) != 1) {
    return Fail<SecretBytes>(key_error::kFail);
  }
  if (key.size() > INT_MAX) return Fail<SecretBytes>(key_error::kBadKey);
  const int key_length = static_cast<int>(key.size());
  if (EVP_CIPHER_CTX_get_key_length(context.get()) != key_length &&
      EVP_CIPHER_CTX_set_key_length(context.get(), key_length) != 1) {
    return Fail<SecretBytes>(key_error::kBadKey);
  }
  if (EVP_CipherInit_ex2(context.get(), nullptr, key.data(), iv.empty() ? nullptr : iv.data(), -1,
                         nullptr) != 1) {
    return Fail<SecretBytes>(key_error::kFail);
  }
  const size_t block = static_cast<size_t>(EVP_CIPHER_CTX_get_block_size(context.get()));
  SecretBytes output(input.size() + block);
  size_t written = 0;
  for (size_t offset = 0; offset < input.size(); offset += kCipherPiece) {
    const size_t piece = std::min(kCipherPiece, input.size() - offset);
    int produced = 0;
    if (EVP_CipherUpdate(context.get(), output.data() + written, &produced, input.data() + offset,
                         static_cast<int>(piece)) != 1) {
      return Fail<SecretBytes>(key_error::kFail);
    }
    written += static_cast<size_t>(produced);
  }
  int produced = 0;
  if (EVP_CipherFinal_ex(context.get(), output.data() + written, &produced) != 1) {
    return Fail<SecretBytes>(encrypt ? key_error::kFail : key_error::kBadData);
  }
  written += static_cast<size_t>(produced);
  output.Truncate(written);
  return output;
}

// DES keys carry odd parity in the low bit of each byte, as key generators make them.
void SetOddParity(SecretBytes& key) {
  for (size_t i = 0; i < key.size(); ++i) {
    uint8_t byte = key.data()[i] & 0xFE;
    const int ones = __builtin_popcount(byte);
    key.data()[i] = static_cast<uint8_t>(byte | ((ones & 1) == 0 ? 1 : 0));
  }
}

// RsaEncryptKey returns the PKCS #1 v1.5 encryption of |key| under |public_key|, most significant
// byte first.
std::optional<std::vector<uint8_t>> RsaEncryptKey(EVP_PKEY* public_key,
                                                  std::span<const uint8_t> key) {
  const UniqueEvpPkeyContext context(
      EVP_PKEY_CTX_new_from_pkey(CryptoLibraryContext(), public_key, CryptoPropertyQuery()));
  size_t length = 0;
  if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(context.get(), nullptr, &length, key.data(), key.size()) != 1) {
    return Fail<std::vector<uint8_t>>(key_error::kFail);
  }
  std::vector<uint8_t> encrypted(length);
  if (EVP_PKEY_encrypt(context.get(), encrypted.data(), &length, key.data(), key.size()) != 1) {
    return Fail<std::vector<uint8_t>>(key_error::kFail);
  }
  encrypted.resize(length);
  return encrypted;
}

// Serial numbers compare as numbers: leading zero octets do not count.
bool SameSerial(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  while (a.size() > 1 && a[0] == 0) a = a.subspan(1);
  while (b.size() > 1 && b[0] == 0) b = b.subspan(1);
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// --- Reading -------------------------------------------------------------------------------------

uint32_t FaultError(BerFault fault) {
  return fault == BerFault::kEndOfData ? platform_error::kAsn1EndOfData
                                       : platform_error::kAsn1BadTag;
}

std::span<const uint8_t> WholeOf(const BerElement& element) {
  return {element.begin, static_cast<size_t>(element.end - element.begin)};
}

// ReadString appends the octets of the string |element| (level |depth|): its content when
// primitive, else the pieces of its children, which must be OCTET STRINGs, primitive or
// constructed in turn.
BerFault ReadString(const BerReader& parent, const BerElement& element, int depth,
                    std::vector<uint8_t>& out) {
  if ((element.identifier & der_tag::kConstructed) == 0) {
    out.insert(out.end(), element.content, element.content_end);
    return BerFault::kNone;
  }
  BerReader pieces = parent.Inside(element);
  while (!pieces.empty()) {
    BerElement piece;
    BerFault fault = pieces.Read(piece, depth + 1);
    if (fault != BerFault::kNone) return fault;
    if (!piece.Is(der_tag::kOctetString) &&
        !piece.Is(der_tag::kOctetString | der_tag::kConstructed)) {
      return BerFault::kBadTag;
    }
    if ((fault = ReadString(pieces, piece, depth + 1, out)) != BerFault::kNone) return fault;
  }
  return BerFault::kNone;
}

// ReadAlgorithm reads an AlgorithmIdentifier: the dotted identifier and its parameters element
// (empty when absent).
BerFault ReadAlgorithm(const BerReader& parent, const BerElement& element, int depth,
                       std::string& oid, std::span<const uint8_t>& parameters) {
  BerReader fields = parent.Inside(element);
  BerElement identifier;
  BerFault fault = fields.Read(der_tag::kObjectIdentifier, identifier, depth + 1);
  if (fault != BerFault::kNone) return fault;
  if (!IsValidObjectIdentifier(identifier.content, identifier.content_size())) {
    return BerFault::kBadTag;
  }
  oid = ObjectIdentifierToText(identifier.content, identifier.content_size());
  parameters = {};
  if (!fields.empty()) {
    BerElement value;
    if ((fault = fields.Read(value, depth + 1)) != BerFault::kNone) return fault;
    parameters = WholeOf(value);
  }
  return fields.empty() ? BerFault::kNone : BerFault::kBadTag;
}

//   KeyTransRecipientInfo ::= SEQUENCE { version INTEGER, rid RecipientIdentifier,
//     keyEncryptionAlgorithm AlgorithmIdentifier, encryptedKey OCTET STRING }
//   RecipientIdentifier ::= CHOICE { issuerAndSerialNumber SEQUENCE { issuer Name,
//     serialNumber INTEGER }, subjectKeyIdentifier [0] IMPLICIT OCTET STRING }
BerFault ReadRecipient(const BerReader& parent, const BerElement& element, int depth,
                       EnvelopeRecipient& recipient) {
  BerReader fields = parent.Inside(element);
  const int level = depth + 1;
  BerElement field;
  BerFault fault = fields.Read(der_tag::kInteger, field, level);
  if (fault != BerFault::kNone) return fault;
  if (field.content_size() == 0) return BerFault::kBadTag;
  if (fields.NextIs(der_tag::kSequence)) {
    if ((fault = fields.Read(der_tag::kSequence, field, level)) != BerFault::kNone) return fault;
    BerReader identity = fields.Inside(field);
    BerElement issuer;
    BerElement serial;
    if ((fault = identity.Read(der_tag::kSequence, issuer, level + 1)) != BerFault::kNone ||
        (fault = identity.Read(der_tag::kInteger, serial, level + 1)) != BerFault::kNone) {
      return fault;
    }
    if (!identity.empty() || serial.content_size() == 0) return BerFault::kBadTag;
    recipient.issuer = WholeOf(issuer);
    recipient.serial = {serial.content, serial.content_size()};
  } else if (fields.NextIs(der_tag::ContextPrimitive(0)) ||
             fields.NextIs(der_tag::ContextConstructed(0))) {
    if ((fault = fields.Read(field, level)) != BerFault::kNone) return fault;
    if ((fault = ReadString(fields, field, level, recipient.subject_key_id)) != BerFault::kNone) {
      return fault;
    }
  } else {
    return fields.empty() ? BerFault::kEndOfData : BerFault::kBadTag;
  }
  if ((fault = fields.Read(der_tag::kSequence, field, level)) != BerFault::kNone) return fault;
  std::span<const uint8_t> parameters;
  if ((fault = ReadAlgorithm(fields, field, level, recipient.key_algorithm, parameters)) !=
      BerFault::kNone) {
    return fault;
  }
  if (!fields.NextIs(der_tag::kOctetString) &&
      !fields.NextIs(der_tag::kOctetString | der_tag::kConstructed)) {
    return fields.empty() ? BerFault::kEndOfData : BerFault::kBadTag;
  }
  if ((fault = fields.Read(field, level)) != BerFault::kNone) return fault;
  if ((fault = ReadString(fields, field, level, recipient.encrypted_key)) != BerFault::kNone) {
    return fault;
  }
  return fields.empty() ? BerFault::kNone : BerFault::kBadTag;
}

//   EnvelopedData ::= SEQUENCE { version INTEGER, originatorInfo [0] IMPLICIT OPTIONAL,
//     recipientInfos SET OF RecipientInfo, encryptedContentInfo EncryptedContentInfo,
//     unprotectedAttrs [1] IMPLICIT OPTIONAL }
//   EncryptedContentInfo ::= SEQUENCE { contentType OBJECT IDENTIFIER,
//     contentEncryptionAlgorithm AlgorithmIdentifier, encryptedContent [0] IMPLICIT OCTET STRING
//     OPTIONAL }
// Recipient infos of the other kinds ([1] to [4]) are passed over.
BerFault ReadEnvelopedData(const BerReader& parent, const BerElement& element, int depth,
                           ParsedEnvelope& envelope) {
  BerReader fields = parent.Inside(element);
  const int level = depth + 1;
  BerElement field;
  BerFault fault = fields.Read(der_tag::kInteger, field, level);
  if (fault != BerFault::kNone) return fault;
  if (field.content_size() == 0) return BerFault::kBadTag;
  if (fields.NextIs(der_tag::ContextConstructed(0))) {
    if ((fault = fields.Read(field, level)) != BerFault::kNone) return fault;
  }
  if ((fault = fields.Read(der_tag::kSet, field, level)) != BerFault::kNone) return fault;
  BerReader infos = fields.Inside(field);
  while (!infos.empty()) {
    BerElement info;
    if ((fault = infos.Read(info, level + 1)) != BerFault::kNone) return fault;
    if (!info.Is(der_tag::kSequence)) continue;
    EnvelopeRecipient recipient;
    if ((fault = ReadRecipient(infos, info, level + 1, recipient)) != BerFault::kNone) return fault;
    envelope.recipients.push_back(std::move(recipient));
  }

  if ((fault = fields.Read(der_tag::kSequence, field, level)) != BerFault::kNone) return fault;
  BerReader content = fields.Inside(field);
  BerElement part;
  if ((fault = content.Read(der_tag::kObjectIdentifier, part, level + 1)) != BerFault::kNone) {
    return fault;
  }
  if (!IsValidObjectIdentifier(part.content, part.content_size())) return BerFault::kBadTag;
  if ((fault = content.Read(der_tag::kSequence, part, level + 1)) != BerFault::kNone) return fault;
  if ((fault = ReadAlgorithm(content, part, level + 1, envelope.content_algorithm,
                             envelope.algorithm_parameters)) != BerFault::kNone) {
    return fault;
  }
  if (content.NextIs(der_tag::ContextPrimitive(0)) ||
      content.NextIs(der_tag::ContextConstructed(0))) {
    if ((fault = content.Read(part, level + 1)) != BerFault::kNone) return fault;
    if ((fault = ReadString(content, part, level + 1, envelope.encrypted_content)) !=
        BerFault::kNone) {
      return fault;
    }
    envelope.has_encrypted_content = true;
  }
  if (!content.empty()) return BerFault::kBadTag;

  if (fields.NextIs(der_tag::ContextConstructed(1))) {
    if ((fault = fields.Read(field, level)) != BerFault::kNone) return fault;
  }
  return fields.empty() ? BerFault::kNone : BerFault::kBadTag;
}

// Parse does the work of ParseEnvelopedData except recording the error, which it returns.
uint32_t Parse(std::span<const uint8_t> message, ParsedEnvelope& envelope) {
  if (message.empty()) return platform_error::kAsn1EndOfData;
  const uint8_t* end = message.data() + message.size();
  BerReader input(message.data(), end, end);
  BerElement info;
  BerFault fault = input.Read(der_tag::kSequence, info, 0);
  if (fault != BerFault::kNone) return FaultError(fault);
  if (!input.empty()) return platform_error::kAsn1BadTag;
  BerReader fields = input.Inside(info);
  BerElement oid;
  if ((fault = fields.Read(der_tag::kObjectIdentifier, oid, 1)) != BerFault::kNone) {
    return FaultError(fault);
  }
  if (!IsValidObjectIdentifier(oid.content, oid.content_size())) return platform_error::kAsn1BadTag;
  BerElement wrapper;
  BerElement content;
  BerReader inside = fields;
  bool has_content = false;
  if (!fields.empty()) {
    if ((fault = fields.Read(der_tag::ContextConstructed(0), wrapper, 1)) != BerFault::kNone) {
      return FaultError(fault);
    }
    inside = fields.Inside(wrapper);
    if ((fault = inside.Read(content, 2)) != BerFault::kNone) return FaultError(fault);
    if (!inside.empty() || !fields.empty()) return platform_error::kAsn1BadTag;
    has_content = true;
  }
  const bool enveloped =
      oid.content_size() == sizeof(kEnvelopedDataOid) &&
      std::memcmp(oid.content, kEnvelopedDataOid, sizeof(kEnvelopedDataOid)) == 0;
  if (!enveloped) return platform_error::kUnexpectedMessageType;
  if (!has_content || !content.Is(der_tag::kSequence)) return platform_error::kAsn1BadTag;
  fault = ReadEnvelopedData(inside, content, 2, envelope);
  return fault == BerFault::kNone ? 0 : FaultError(fault);
}

// Matches tells whether the DER certificate |der| is the one |recipient| names. Only the key
// identifier form needs the decoded certificate, which |decoded| caches.
bool Matches(const EnvelopeRecipient& recipient, const std::vector<uint8_t>& der,
             std::optional<Certificate>& decoded) {
  if (!recipient.issuer.empty()) {
    const auto identity = ReadIssuerAndSerial(der);
    return identity &&
           std::equal(identity->issuer.begin(), identity->issuer.end(), recipient.issuer.begin(),
                      recipient.issuer.end()) &&
           SameSerial(identity->serial_octets, recipient.serial);
  }
  if (recipient.subject_key_id.empty()) return false;
  if (!decoded) {
    decoded.emplace();
    decoded->Decode(der.data(), der.size());
  }
  X509* x509 = decoded->decoded() ? decoded->x509() : nullptr;
  const ASN1_OCTET_STRING* key_id = x509 != nullptr ? X509_get0_subject_key_id(x509) : nullptr;
  if (key_id == nullptr) return false;
  const std::span<const uint8_t> own(ASN1_STRING_get0_data(key_id),
                                     static_cast<size_t>(ASN1_STRING_length(key_id)));
  return std::equal(own.begin(), own.end(), recipient.subject_key_id.begin(),
                    recipient.subject_key_id.end());
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeEnvelopedData(const EnvelopeRequest& request) {
  const OpensslErrorScope scope;
  const ContentCipher* algorithm =
      request.content_algorithm != nullptr ? FindCipher(request.content_algorithm) : nullptr;
  if (algorithm == nullptr || !algorithm->encodes) {
    return Fail<std::vector<uint8_t>>(key_error::kBadAlgorithm);
  }
  if (request.recipients.empty()) {
    return Fail<std::vector<uint8_t>>(platform_error::kInvalidParameter);
  }

  // Every recipient is checked before anything is encrypted.
  std::vector<Certificate> certificates(request.recipients.size());
  std::vector<IssuerAndSerial> identities;
  std::vector<EVP_PKEY*> public_keys;
  for (size_t i = 0; i < request.recipients.size(); ++i) {
    const auto der = request.recipients[i];
    if (!certificates[i].Decode(der.data(), der.size())) return std::nullopt;
    const auto identity = ReadIssuerAndSerial(certificates[i].der());
    X509* x509 = certificates[i].x509();
    if (!identity || x509 == nullptr) return Fail<std::vector<uint8_t>>(key_error::kBadData);
    EVP_PKEY* key = X509_get0_pubkey(x509);
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
      return Fail<std::vector<uint8_t>>(key_error::kBadAlgorithm);
    }
    identities.push_back(*identity);
    public_keys.push_back(key);
  }

  const UniqueEvpCipher cipher = FetchCipher(*algorithm);
  if (!cipher) return Fail<std::vector<uint8_t>>(key_error::kBadAlgorithm);
  SecretBytes key(algorithm->key_size);
  std::vector<uint8_t> iv(algorithm->iv_size);
  OSSL_LIB_CTX* context = CryptoLibraryContext();
  if (RAND_bytes_ex(context, key.data(), key.size(), 0) != 1 ||
      (!iv.empty() && RAND_bytes_ex(context, iv.data(), iv.size(), 0) != 1)) {
    return Fail<std::vector<uint8_t>>(key_error::kFail);
  }
  if (algorithm->block) SetOddParity(key);
  const auto encrypted = RunCipher(cipher.get(), true, key.view(), iv, request.content);
  if (!encrypted) return std::nullopt;

  try {
    // The encrypted content is copied once, straight into the message; the elements around it
    // reserve length octets for its size.
    const size_t expected = encrypted->size() + 1024 * identities.size();
    DerBuilder out(expected + 256);
    out.Open(der_tag::kSequence, expected);  // ContentInfo
    out.AddObjectIdentifier(kEnvelopedDataType);
    out.Open(der_tag::ContextConstructed(0), expected);
    out.Open(der_tag::kSequence, expected);  // EnvelopedData
    out.AddEncoded(kVersionZero);
    out.Open(der_tag::kSet);  // recipientInfos, in the order of their encodings
    for (size_t i = 0; i < identities.size(); ++i) {
      const auto encrypted_key = RsaEncryptKey(public_keys[i], key.view());
      if (!encrypted_key) return std::nullopt;
      out.Open(der_tag::kSequence);
      out.AddEncoded(kVersionZero);
      out.Open(der_tag::kSequence);  // issuerAndSerialNumber
      out.AddEncoded(identities[i].issuer);
      out.AddEncoded(identities[i].serial);
      out.Close();
      out.Open(der_tag::kSequence);  // keyEncryptionAlgorithm
      out.AddObjectIdentifier(kRsaEncryption);
      out.AddEncoded(kNull);
      out.Close();
      out.AddElement(der_tag::kOctetString, *encrypted_key);
      out.Close();
    }
    out.CloseSetOf();
    out.Open(der_tag::kSequence, encrypted->size());  // encryptedContentInfo
    out.AddObjectIdentifier(kDataType);
    out.Open(der_tag::kSequence);  // contentEncryptionAlgorithm; no IV is an empty OCTET STRING
    out.AddObjectIdentifier(algorithm->oid);
    out.AddElement(der_tag::kOctetString, iv);
    out.Close();
    out.AddElement(der_tag::ContextPrimitive(0), encrypted->view());
    out.Close();
    out.Close();
    out.Close();
    out.Close();
    return out.Finish();
  } catch (const std::length_error&) {
    return Fail<std::vector<uint8_t>>(platform_error::kBadEncode);
  }
}

std::optional<ParsedEnvelope> ParseEnvelopedData(std::span<const uint8_t> message) {
  const OpensslErrorScope scope;
  ParsedEnvelope envelope;
  const uint32_t error = Parse(message, envelope);
  SetLastPlatformError(error);
  if (error != 0) return std::nullopt;
  return envelope;
}

std::optional<SecretBytes> DecryptEnvelopeContent(const ParsedEnvelope& envelope,
                                                  std::span<const uint8_t> key) {
  const OpensslErrorScope scope;
  const ContentCipher* algorithm = FindCipher(envelope.content_algorithm);
  if (algorithm == nullptr) return Fail<SecretBytes>(key_error::kBadAlgorithm);
  if (!envelope.has_encrypted_content) return Fail<SecretBytes>(key_error::kBadData);
  const bool key_fits =
      algorithm->block ? key.size() == algorithm->key_size : !key.empty() && key.size() <= 256;
  if (!key_fits) return Fail<SecretBytes>(key_error::kBadKey);

  std::span<const uint8_t> iv;
  const auto parameters = envelope.algorithm_parameters;
  if (algorithm->iv_size != 0) {
    // An OCTET STRING of exactly the IV's size.
    if (parameters.size() != 2 + algorithm->iv_size || parameters[0] != der_tag::kOctetString ||
        parameters[1] != algorithm->iv_size) {
      return Fail<SecretBytes>(key_error::kBadData);
    }
    iv = parameters.subspan(2);
  } else {
    // A stream cipher without IV: no parameters, NULL, or an empty OCTET STRING.
    const bool none =
        parameters.empty() ||
        std::equal(parameters.begin(), parameters.end(), std::begin(kNull), std::end(kNull)) ||
        std::equal(parameters.begin(), parameters.end(), std::begin(kEmptyOctetString),
                   std::end(kEmptyOctetString));
    if (!none) return Fail<SecretBytes>(key_error::kBadData);
  }
  const UniqueEvpCipher cipher = FetchCipher(*algorithm);
  if (!cipher) return Fail<SecretBytes>(key_error::kBadAlgorithm);
  return RunCipher(cipher.get(), false, key, iv, envelope.encrypted_content);
}

std::optional<SecretBytes> DecryptEnvelopedData(std::span<const uint8_t> message,
                                                std::span<CertStore* const> stores) {
  const OpensslErrorScope scope;
  const auto envelope = ParseEnvelopedData(message);
  if (!envelope) return std::nullopt;

  std::vector<std::vector<StoredCertificate>> listed;
  for (CertStore* store : stores) {
    std::optional<std::vector<StoredCertificate>> certificates;
    if (store != nullptr) certificates = store->Enumerate();
    listed.push_back(certificates ? std::move(*certificates) : std::vector<StoredCertificate>{});
  }
  for (const EnvelopeRecipient& recipient : envelope->recipients) {
    for (size_t s = 0; s < stores.size(); ++s) {
      for (const StoredCertificate& certificate : listed[s]) {
        std::optional<Certificate> decoded;
        if (!Matches(recipient, certificate.der, decoded)) continue;
        auto key = AcquireCertificatePrivateKey(*stores[s], certificate.id, false);
        if (!key) continue;
        // The first certificate with a reachable key decides; no later one is tried.
        if (key->key_spec != key_spec::kExchange) return Fail<SecretBytes>(key_error::kBadKey);
        if (recipient.key_algorithm != kRsaEncryption) {
          return Fail<SecretBytes>(key_error::kBadAlgorithm);
        }
        // Key-transport blocks go to the container least significant byte first.
        std::vector<uint8_t> block(recipient.encrypted_key.rbegin(),
                                   recipient.encrypted_key.rend());
        const auto content_key = key->container->Decrypt(key->key_spec, block);
        if (!content_key) return std::nullopt;
        return DecryptEnvelopeContent(*envelope, content_key->view());
      }
    }
  }
  return Fail<SecretBytes>(platform_error::kNoDecryptCert);
}

}  // namespace kelvadrome
