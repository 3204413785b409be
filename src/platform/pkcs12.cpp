#include "platform/pkcs12.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/ber_reader.h"
#include "platform/certificate.h"  // the ASN.1 error values
#include "platform/crypto_context.h"
#include "platform/der_reader.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"

namespace kelvadrome {
namespace {

constexpr int kWriteIterations = 2048;
// ---------------------------------------------------------------------------------------------
// The outline check: the BER reader finds where elements end, so that a PFX cut short is told
// apart from bytes that are no PFX before OpenSSL decodes anything.

using Fault = BerFault;
using Element = BerElement;

uint32_t FaultError(Fault fault) {
  return fault == Fault::kEndOfData ? platform_error::kAsn1EndOfData : platform_error::kAsn1BadTag;
}

// CheckOutline checks PFX ::= SEQUENCE { version INTEGER (3), authSafe ContentInfo, macData
// MacData OPTIONAL } over all of |bytes|; 0 or the decoder error.
uint32_t CheckOutline(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return platform_error::kAsn1EndOfData;
  BerReader input(bytes.data(), bytes.data() + bytes.size(), bytes.data() + bytes.size());
  Element pfx;
  Fault fault = input.Read(der_tag::kSequence, pfx, 0);
  if (fault != Fault::kNone) return FaultError(fault);
  if (!input.empty()) return platform_error::kAsn1BadTag;
  BerReader fields = input.Inside(pfx);
  Element field;
  if ((fault = fields.Read(der_tag::kInteger, field, 1)) != Fault::kNone) return FaultError(fault);
  if (field.content_size() != 1 || field.content[0] != 3) {
    return platform_error::kAsn1BadTag;
  }
  if ((fault = fields.Read(der_tag::kSequence, field, 1)) != Fault::kNone) return FaultError(fault);
  if (!fields.empty() && (fault = fields.Read(der_tag::kSequence, field, 1)) != Fault::kNone) {
    return FaultError(fault);
  }
  return fields.empty() ? 0 : platform_error::kAsn1BadTag;
}

// DecodePfx checks the outline and decodes the PFX. The decoding is pure ASN.1; every
// computation on the result is given the component's library context explicitly. Null with
// |*error| set on failure.
UniquePkcs12 DecodePfx(std::span<const uint8_t> bytes, uint32_t* error) {
  *error = CheckOutline(bytes);
  if (*error != 0) return nullptr;
  if (bytes.size() > static_cast<size_t>(LONG_MAX)) {
    *error = platform_error::kAsn1BadTag;
    return nullptr;
  }
  const unsigned char* cursor = bytes.data();
  UniquePkcs12 pfx(d2i_PKCS12(nullptr, &cursor, static_cast<long>(bytes.size())));
  if (!pfx || cursor != bytes.data() + bytes.size()) {
    *error = platform_error::kAsn1BadTag;
    return nullptr;
  }
  return pfx;
}

// The content octets of 1.2.840.113549.1.7.1 (data).
constexpr uint8_t kDataType[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};

// AppendOctets appends the octets of the OCTET STRING |element| to |out|: a primitive one's
// content, or the chunks of a constructed (BER) one in order.
bool AppendOctets(const BerReader& holder, const Element& element, int depth,
                  std::vector<uint8_t>& out) {
  if (element.Is(der_tag::kOctetString)) {
    out.insert(out.end(), element.content, element.content_end);
    return true;
  }
  if (!element.Is(der_tag::kOctetString | der_tag::kConstructed)) return false;
  BerReader chunks = holder.Inside(element);
  while (!chunks.empty()) {
    Element chunk;
    if (chunks.Read(chunk, depth + 1) != Fault::kNone) return false;
    if (!AppendOctets(chunks, chunk, depth + 1, out)) return false;
  }
  return true;
}

// AuthSafeOctets gives the octets the MAC covers: the content of the authSafe's data OCTET STRING
// as the file holds it (chunks of a BER one joined). |bytes| passed CheckOutline. kAsn1BadTag
// when the authSafe is malformed, kPkcs12BadAlgorithm when it is not of type data (a signed
// authSafe).
uint32_t AuthSafeOctets(std::span<const uint8_t> bytes, std::vector<uint8_t>& out) {
  BerReader input(bytes.data(), bytes.data() + bytes.size(), bytes.data() + bytes.size());
  Element pfx, version, info, type, wrapper, octets;
  if (input.Read(pfx, 0) != Fault::kNone) return platform_error::kAsn1BadTag;
  BerReader fields = input.Inside(pfx);
  if (fields.Read(version, 1) != Fault::kNone || fields.Read(info, 1) != Fault::kNone) {
    return platform_error::kAsn1BadTag;
  }
  BerReader info_fields = fields.Inside(info);
  if (info_fields.Read(der_tag::kObjectIdentifier, type, 2) != Fault::kNone) {
    return platform_error::kAsn1BadTag;
  }
  if (type.content_size() != sizeof(kDataType) ||
      std::memcmp(type.content, kDataType, sizeof(kDataType)) != 0) {
    return platform_error::kPkcs12BadAlgorithm;
  }
  if (info_fields.Read(der_tag::ContextConstructed(0), wrapper, 2) != Fault::kNone) {
    return platform_error::kAsn1BadTag;
  }
  BerReader content = info_fields.Inside(wrapper);
  if (content.Read(octets, 3) != Fault::kNone || !AppendOctets(content, octets, 3, out)) {
    return platform_error::kAsn1BadTag;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Passwords.

struct PasswordForm {
  const char* data = nullptr;  // null: the absent password
  int size = 0;
};

// Passwords holds the caller's password (NUL-terminated, so even the empty one has an address)
// and, built on first need, the other forms some producers derived their PBES2 keys from: the
// ISO-8859-1 octets of the text, and its BMPString with and without the terminating zeros.
class Passwords {
 public:
  explicit Passwords(std::optional<std::string_view> password) : absent_(!password.has_value()) {
    if (password) {
      // A password too long for OpenSSL's int lengths is refused by every caller (fits()).
      fits_ = password->size() < static_cast<size_t>(INT_MAX);
      if (!fits_) return;
      text_ = SecretBytes(password->size() + 1);
      if (!password->empty()) std::memcpy(text_.data(), password->data(), password->size());
      text_.data()[password->size()] = 0;
    }
  }

  // False when the password is too long for OpenSSL's int lengths.
  bool fits() const { return fits_; }

  PasswordForm primary() const {
    if (absent_) return {};
    return {reinterpret_cast<const char*>(text_.data()), static_cast<int>(text_.size() - 1)};
  }

  // AllowAlternates lets decryption try the other forms; only once the MAC has shown the password
  // to be the right one, so a file without a MAC opens with exactly the password it was made with.
  void AllowAlternates() { allow_alternates_ = true; }

  const std::vector<SecretBytes>& alternates() {
    if (built_ || absent_ || !allow_alternates_) return alternates_;
    built_ = true;
    const PasswordForm text = primary();
    SecretBytes latin1;
    if (ToLatin1(text, latin1)) alternates_.push_back(std::move(latin1));
    unsigned char* bmp = nullptr;
    int bmp_size = 0;
    if (OPENSSL_utf82uni(text.data, text.size, &bmp, &bmp_size) != nullptr && bmp_size >= 2) {
      alternates_.emplace_back(bmp, static_cast<size_t>(bmp_size));
      alternates_.emplace_back(bmp, static_cast<size_t>(bmp_size - 2));
    }
    if (bmp != nullptr) OPENSSL_clear_free(bmp, static_cast<size_t>(bmp_size));
    return alternates_;
  }

 private:
  // ToLatin1 gives the ISO-8859-1 octets of |text| when it is UTF-8 of code points up to U+00FF
  // with at least one above U+007F (otherwise the octets would be the text's own).
  static bool ToLatin1(PasswordForm text, SecretBytes& out) {
    std::vector<uint8_t> octets;
    octets.reserve(static_cast<size_t>(text.size));  // never reallocated: no unwiped copies
    bool wide = false;
    bool ok = true;
    for (int i = 0; i < text.size && ok;) {
      const auto lead = static_cast<uint8_t>(text.data[i]);
      if (lead < 0x80) {
        octets.push_back(lead);
        i += 1;
      } else if ((lead == 0xC2 || lead == 0xC3) && i + 1 < text.size &&
                 (static_cast<uint8_t>(text.data[i + 1]) & 0xC0) == 0x80) {
        octets.push_back(static_cast<uint8_t>(((lead & 0x03) << 6) |
                                              (static_cast<uint8_t>(text.data[i + 1]) & 0x3F)));
        wide = true;
        i += 2;
      } else {
        ok = false;
      }
    }
    SecretBytes owned(std::move(octets));
    if (!ok || !wide) return false;
    out = std::move(owned);
    return true;
  }

  bool absent_;
  bool fits_ = true;
  bool built_ = false;
  bool allow_alternates_ = false;
  SecretBytes text_;
  std::vector<SecretBytes> alternates_;
};

// Decrypt calls |decrypt| with the password and then with each alternate form until one gives a
// result; null when none does.
template <typename Decrypt>
auto DecryptWithForms(Passwords& passwords, Decrypt decrypt) -> decltype(decrypt(PasswordForm{})) {
  auto result = decrypt(passwords.primary());
  if (result != nullptr) return result;
  for (const SecretBytes& form : passwords.alternates()) {
    if (form.empty()) continue;  // the empty form would be the absent password
    result = decrypt(
        PasswordForm{reinterpret_cast<const char*>(form.data()), static_cast<int>(form.size())});
    if (result != nullptr) return result;
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// Reading the bags.

struct BagAttributes {
  std::vector<std::vector<uint8_t>> local_key_ids;  // every value of every localKeyId attribute
  std::string friendly_name;
};

struct RawCertificate {
  std::vector<uint8_t> der;
  BagAttributes attributes;
};

struct RawKey {
  SecretBytes info;  // PrivateKeyInfo DER as found (decrypted)
  BagAttributes attributes;
};

struct RawContents {
  std::vector<RawCertificate> certificates;
  std::vector<RawKey> keys;
};

BagAttributes ReadAttributes(PKCS12_SAFEBAG* bag) {
  BagAttributes out;
  const STACK_OF(X509_ATTRIBUTE)* attributes = PKCS12_SAFEBAG_get0_attrs(bag);
  for (int i = 0; i < X509at_get_attr_count(attributes); ++i) {
    X509_ATTRIBUTE* attribute = X509at_get_attr(attributes, i);
    if (OBJ_obj2nid(X509_ATTRIBUTE_get0_object(attribute)) != NID_localKeyID) continue;
    for (int j = 0; j < X509_ATTRIBUTE_count(attribute); ++j) {
      const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, j);
      if (value == nullptr || value->type != V_ASN1_OCTET_STRING) continue;
      const ASN1_OCTET_STRING* id = value->value.octet_string;
      const uint8_t* data = ASN1_STRING_get0_data(id);
      out.local_key_ids.emplace_back(data, data + ASN1_STRING_length(id));
    }
  }
  const UniqueOpensslText name(PKCS12_get_friendlyname(bag));
  if (name) out.friendly_name = name.get();
  return out;
}

// CertificateOctets gives the certificate octets of an X.509 certBag as the file holds them:
//   SafeBag ::= SEQUENCE { bagId OID, bagValue [0] EXPLICIT CertBag, bagAttributes SET OPTIONAL }
//   CertBag ::= SEQUENCE { certId OID, certValue [0] EXPLICIT OCTET STRING }
// The bag is re-encoded as DER first; the OCTET STRING keeps its octets whatever form it had.
bool CertificateOctets(const PKCS12_SAFEBAG* bag, std::vector<uint8_t>& der) {
  unsigned char* encoded = nullptr;
  const int size = i2d_PKCS12_SAFEBAG(bag, &encoded);
  if (size <= 0) return false;
  const UniqueOpensslBytes owner(encoded);
  DerReader input(encoded, static_cast<size_t>(size));
  DerReader safe_bag, explicit_bag, cert_bag, explicit_value, octets;
  if (!input.ReadElement(der_tag::kSequence, safe_bag) ||
      !safe_bag.SkipElement(der_tag::kObjectIdentifier) ||
      !safe_bag.ReadElement(der_tag::ContextConstructed(0), explicit_bag) ||
      !explicit_bag.ReadElement(der_tag::kSequence, cert_bag) ||
      !cert_bag.SkipElement(der_tag::kObjectIdentifier) ||
      !cert_bag.ReadElement(der_tag::ContextConstructed(0), explicit_value) ||
      !explicit_value.ReadElement(der_tag::kOctetString, octets)) {
    return false;
  }
  der.assign(octets.data(), octets.data() + octets.size());
  return true;
}

// InfoBytes encodes |info| into a buffer that is wiped when freed.
bool InfoBytes(const PKCS8_PRIV_KEY_INFO* info, SecretBytes& out) {
  const int size = i2d_PKCS8_PRIV_KEY_INFO(info, nullptr);
  if (size <= 0) return false;
  SecretBytes bytes(static_cast<size_t>(size));
  unsigned char* cursor = bytes.data();
  if (i2d_PKCS8_PRIV_KEY_INFO(info, &cursor) != size) return false;
  out = std::move(bytes);
  return true;
}

// ReadBags appends the certificates and keys of |bags| (nested safe contents at |depth|) to |out|;
// 0 or the error to record.
uint32_t ReadBags(const STACK_OF(PKCS12_SAFEBAG) * bags, Passwords& passwords, int depth,
                  RawContents& out) {
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_keyBag: {
        const PKCS8_PRIV_KEY_INFO* info = PKCS12_SAFEBAG_get0_p8inf(bag);
        RawKey key;
        if (info == nullptr || !InfoBytes(info, key.info)) return platform_error::kAsn1BadTag;
        key.attributes = ReadAttributes(bag);
        out.keys.push_back(std::move(key));
        break;
      }
      case NID_pkcs8ShroudedKeyBag: {
        const X509_SIG* shrouded = PKCS12_SAFEBAG_get0_pkcs8(bag);
        if (shrouded == nullptr) return platform_error::kAsn1BadTag;
        const UniquePkcs8Info info(DecryptWithForms(passwords, [&](PasswordForm form) {
          return PKCS8_decrypt_ex(shrouded, form.data, form.size, CryptoLibraryContext(),
                                  CryptoPropertyQuery());
        }));
        if (!info) return platform_error::kInvalidPassword;
        RawKey key;
        if (!InfoBytes(info.get(), key.info)) return platform_error::kPkcs12Fail;
        key.attributes = ReadAttributes(bag);
        out.keys.push_back(std::move(key));
        break;
      }
      case NID_certBag: {
        if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
        RawCertificate certificate;
        if (!CertificateOctets(bag, certificate.der)) return platform_error::kAsn1BadTag;
        certificate.attributes = ReadAttributes(bag);
        out.certificates.push_back(std::move(certificate));
        break;
      }
      case NID_safeContentsBag: {
        if (depth >= kPkcs12MaxBagNesting) return platform_error::kAsn1BadTag;
        const uint32_t error = ReadBags(PKCS12_SAFEBAG_get0_safes(bag), passwords, depth + 1, out);
        if (error != 0) return error;
        break;
      }
      default:  // CRL, secret and unknown bags carry nothing the codec returns
        break;
    }
  }
  return 0;
}

// ReadSafes decrypts every safe contents of |pfx| and gathers its bags; 0 or the error.
uint32_t ReadSafes(PKCS12* pfx, Passwords& passwords, RawContents& out) {
  const UniquePkcs7Stack safes(PKCS12_unpack_authsafes(pfx));
  if (!safes) return platform_error::kAsn1BadTag;
  for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* safe = sk_PKCS7_value(safes.get(), i);
    UniqueSafeBagStack bags;
    switch (OBJ_obj2nid(safe->type)) {
      case NID_pkcs7_data:
        bags.reset(PKCS12_unpack_p7data(safe));
        if (!bags) return platform_error::kAsn1BadTag;
        break;
      case NID_pkcs7_encrypted: {
        const PKCS7_ENCRYPT* encrypted = safe->d.encrypted;
        if (encrypted == nullptr || encrypted->enc_data == nullptr ||
            encrypted->enc_data->algorithm == nullptr) {
          return platform_error::kAsn1BadTag;
        }
        const PKCS7_ENC_CONTENT* content = encrypted->enc_data;
        if (content->enc_data == nullptr) continue;  // nothing was encrypted
        bags.reset(DecryptWithForms(passwords, [&](PasswordForm form) {
          return static_cast<STACK_OF(PKCS12_SAFEBAG)*>(PKCS12_item_decrypt_d2i_ex(
              content->algorithm, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), form.data, form.size,
              content->enc_data, 1, CryptoLibraryContext(), CryptoPropertyQuery()));
        }));
        if (!bags) return platform_error::kInvalidPassword;
        break;
      }
      default:  // public-key privacy (envelopedData) is not supported
        return platform_error::kPkcs12BadAlgorithm;
    }
    const uint32_t error = ReadBags(bags.get(), passwords, 0, out);
    if (error != 0) return error;
  }
  return 0;
}

// CheckMac verifies the MAC of |pfx| (decoded from |bytes|) when it has one, in the component's
// context: the PKCS #12 key derivation (purpose 3) over the password's BMPString, then an HMAC of
// the authSafe octets. 0, kInvalidPassword for a mismatch, kPkcs12BadAlgorithm when the digest is
// unknown (such as a password-based MAC of another scheme). |*has_mac| says whether there is one.
uint32_t CheckMac(const PKCS12* pfx, std::span<const uint8_t> bytes, const PasswordForm& password,
                  bool* has_mac) {
  *has_mac = PKCS12_mac_present(pfx) != 0;
  if (!*has_mac) return 0;
  const ASN1_OCTET_STRING* stored = nullptr;
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* salt = nullptr;
  const ASN1_INTEGER* iterations = nullptr;
  PKCS12_get0_mac(&stored, &algorithm, &salt, &iterations, pfx);
  const ASN1_OBJECT* digest_oid = nullptr;
  X509_ALGOR_get0(&digest_oid, nullptr, nullptr, algorithm);
  if (stored == nullptr || salt == nullptr || digest_oid == nullptr) {
    return platform_error::kAsn1BadTag;
  }
  long count = 1;  // the iteration count defaults to 1
  if (iterations != nullptr) count = ASN1_INTEGER_get(iterations);
  if (count < 1 || count > INT_MAX) return platform_error::kAsn1BadTag;

  char digest_name[80];
  if (OBJ_obj2txt(digest_name, sizeof(digest_name), digest_oid, 0) <= 0) {
    return platform_error::kPkcs12BadAlgorithm;
  }
  OSSL_LIB_CTX* context = CryptoLibraryContext();
  const char* query = CryptoPropertyQuery();
  const UniqueEvpMd digest(EVP_MD_fetch(context, digest_name, query));
  if (!digest || EVP_MD_get_size(digest.get()) <= 0) return platform_error::kPkcs12BadAlgorithm;
  const int digest_size = EVP_MD_get_size(digest.get());

  std::vector<uint8_t> covered;
  if (const uint32_t error = AuthSafeOctets(bytes, covered); error != 0) return error;
  SecretBytes key(static_cast<size_t>(digest_size));
  if (PKCS12_key_gen_utf8_ex(password.data, password.size,
                             const_cast<unsigned char*>(ASN1_STRING_get0_data(salt)),
                             ASN1_STRING_length(salt), PKCS12_MAC_ID, static_cast<int>(count),
                             digest_size, key.data(), digest.get(), context, query) != 1) {
    return platform_error::kPkcs12Fail;
  }
  const UniqueEvpMac hmac(EVP_MAC_fetch(context, "HMAC", query));
  const UniqueEvpMacContext mac(hmac ? EVP_MAC_CTX_new(hmac.get()) : nullptr);
  if (!mac) return platform_error::kPkcs12Fail;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                       const_cast<char*>(EVP_MD_get0_name(digest.get())), 0),
      OSSL_PARAM_construct_end()};
  uint8_t computed[EVP_MAX_MD_SIZE];
  size_t computed_size = 0;
  if (EVP_MAC_init(mac.get(), key.data(), key.size(), params) != 1 ||
      EVP_MAC_update(mac.get(), covered.data(), covered.size()) != 1 ||
      EVP_MAC_final(mac.get(), computed, &computed_size, sizeof(computed)) != 1) {
    return platform_error::kPkcs12Fail;
  }
  const bool equal = static_cast<size_t>(ASN1_STRING_length(stored)) == computed_size &&
                     CRYPTO_memcmp(ASN1_STRING_get0_data(stored), computed, computed_size) == 0;
  return equal ? 0 : platform_error::kInvalidPassword;
}

// Open decodes |bytes|, checks the password and (when |contents| is given, or the file has no MAC)
// reads every bag; 0 or the error.
uint32_t Open(std::span<const uint8_t> bytes, std::optional<std::string_view> password,
              RawContents* contents) {
  uint32_t error = 0;
  const UniquePkcs12 pfx = DecodePfx(bytes, &error);
  if (!pfx) return error;
  Passwords passwords(password);
  if (!passwords.fits()) return platform_error::kInvalidPassword;
  bool has_mac = false;
  if ((error = CheckMac(pfx.get(), bytes, passwords.primary(), &has_mac)) != 0) return error;
  if (contents == nullptr && has_mac) return 0;
  if (has_mac) passwords.AllowAlternates();
  RawContents scratch;
  return ReadSafes(pfx.get(), passwords, contents != nullptr ? *contents : scratch);
}

// ---------------------------------------------------------------------------------------------
// Turning raw bags into the result.

UniqueX509 DecodeCertificate(std::span<const uint8_t> der) {
  if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
  X509* raw = X509_new_ex(CryptoLibraryContext(), CryptoPropertyQuery());
  if (raw == nullptr) return nullptr;
  const unsigned char* cursor = der.data();
  X509* decoded = d2i_X509(&raw, &cursor, static_cast<long>(der.size()));
  UniqueX509 certificate(decoded != nullptr ? decoded : raw);
  if (decoded == nullptr || cursor != der.data() + der.size()) return nullptr;
  return certificate;
}

// RsaKey decodes the PrivateKeyInfo |info|, which must be an rsaEncryption key, and gives the key
// and its plain PKCS #8 encoding; kPkcs12BadData when it is not one.
uint32_t RsaKey(const SecretBytes& info, UniqueEvpPkey& key, SecretBytes& pkcs8) {
  const unsigned char* cursor = info.data();
  const UniquePkcs8Info decoded(
      d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(info.size())));
  if (!decoded || cursor != info.data() + info.size()) return platform_error::kPkcs12BadData;
  const ASN1_OBJECT* algorithm = nullptr;
  if (PKCS8_pkey_get0(&algorithm, nullptr, nullptr, nullptr, decoded.get()) != 1 ||
      OBJ_obj2nid(algorithm) != NID_rsaEncryption) {
    return platform_error::kPkcs12BadData;
  }
  key.reset(EVP_PKCS82PKEY_ex(decoded.get(), CryptoLibraryContext(), CryptoPropertyQuery()));
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    return platform_error::kPkcs12BadData;
  }
  const UniquePkcs8Info plain(EVP_PKEY2PKCS8(key.get()));
  if (!plain || !InfoBytes(plain.get(), pkcs8)) return platform_error::kPkcs12Fail;
  return 0;
}

bool SharesId(const BagAttributes& a, const BagAttributes& b) {
  for (const auto& id : a.local_key_ids) {
    if (id.empty()) continue;
    for (const auto& other : b.local_key_ids) {
      if (id == other) return true;
    }
  }
  return false;
}

// Builds the result from |raw|; 0 or the error.
uint32_t BuildContents(RawContents& raw, Pkcs12Contents& result) {
  std::vector<UniqueX509> certificates;
  for (RawCertificate& bag : raw.certificates) {
    UniqueX509 certificate = DecodeCertificate(bag.der);
    if (!certificate) return platform_error::kAsn1BadTag;
    certificates.push_back(std::move(certificate));
    Pkcs12Certificate out;
    out.der = std::move(bag.der);
    if (!bag.attributes.local_key_ids.empty()) out.local_key_id = bag.attributes.local_key_ids[0];
    out.friendly_name = bag.attributes.friendly_name;
    result.certificates.push_back(std::move(out));
  }
  std::vector<UniqueEvpPkey> keys;
  for (RawKey& bag : raw.keys) {
    UniqueEvpPkey key;
    Pkcs12Key out;
    const uint32_t error = RsaKey(bag.info, key, out.private_key);
    if (error != 0) return error;
    keys.push_back(std::move(key));
    if (!bag.attributes.local_key_ids.empty()) out.local_key_id = bag.attributes.local_key_ids[0];
    out.friendly_name = bag.attributes.friendly_name;
    result.keys.push_back(std::move(out));
  }

  // EVP_PKEY_eq: 1 the same key, 0 a different one, below 0 when the two cannot be compared.
  auto compare = [&](size_t c, size_t k) {
    const EVP_PKEY* public_key = X509_get0_pubkey(certificates[c].get());
    return public_key == nullptr ? -1 : EVP_PKEY_eq(public_key, keys[k].get());
  };
  std::vector<bool> key_used(keys.size(), false);
  for (size_t k = 0; k < keys.size(); ++k) {
    for (size_t c = 0; c < certificates.size(); ++c) {
      if (result.certificates[c].key_index >= 0) continue;
      if (!SharesId(raw.keys[k].attributes, raw.certificates[c].attributes)) continue;
      if (compare(c, k) == 0) continue;
      result.certificates[c].key_index = static_cast<int>(k);
      key_used[k] = true;
      break;
    }
  }
  for (size_t k = 0; k < keys.size(); ++k) {
    if (key_used[k]) continue;
    for (size_t c = 0; c < certificates.size(); ++c) {
      if (result.certificates[c].key_index >= 0 || compare(c, k) != 1) continue;
      result.certificates[c].key_index = static_cast<int>(k);
      break;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Writing.

// Adds |name| (UTF-8) as friendlyName and |id| as localKeyId to |bag|.
bool AddAttributes(PKCS12_SAFEBAG* bag, const std::string& name, std::vector<uint8_t>& id) {
  if (!id.empty() && PKCS12_add_localkeyid(bag, id.data(), static_cast<int>(id.size())) != 1) {
    return false;
  }
  if (!name.empty() &&
      (name.size() > INT_MAX ||
       PKCS12_add_friendlyname_utf8(bag, name.data(), static_cast<int>(name.size())) != 1)) {
    return false;
  }
  return true;
}

uint32_t Write(const std::vector<Pkcs12Entry>& entries, std::string_view password,
               std::vector<uint8_t>& out) {
  OSSL_LIB_CTX* context = CryptoLibraryContext();
  const char* query = CryptoPropertyQuery();
  Passwords passwords(password);
  if (!passwords.fits()) return platform_error::kInvalidParameter;
  const PasswordForm pass = passwords.primary();
  const UniqueEvpMd sha1(EVP_MD_fetch(context, "SHA1", query));
  if (context == nullptr || !sha1) return platform_error::kPkcs12Fail;
  constexpr int kPbe = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;

  UniqueSafeBagStack certificate_bags(sk_PKCS12_SAFEBAG_new_null());
  UniqueSafeBagStack key_bags(sk_PKCS12_SAFEBAG_new_null());
  if (!certificate_bags || !key_bags) return platform_error::kPkcs12Fail;
  for (const Pkcs12Entry& entry : entries) {
    const UniqueX509 certificate = DecodeCertificate(entry.certificate);
    if (!certificate) return platform_error::kAsn1BadTag;
    std::vector<uint8_t> id;
    if (entry.private_key) {
      const SecretBytes& key_bytes = *entry.private_key;
      UniqueEvpPkey key;
      SecretBytes plain;
      const uint32_t error = RsaKey(key_bytes, key, plain);
      if (error != 0) return error;
      const EVP_PKEY* public_key = X509_get0_pubkey(certificate.get());
      if (public_key == nullptr || EVP_PKEY_eq(public_key, key.get()) != 1) {
        return platform_error::kPkcs12BadData;
      }
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int digest_size = 0;
      if (X509_digest(certificate.get(), sha1.get(), digest, &digest_size) != 1) {
        return platform_error::kPkcs12Fail;
      }
      id.assign(digest, digest + digest_size);
      const UniquePkcs8Info info(EVP_PKEY2PKCS8(key.get()));
      if (!info) return platform_error::kPkcs12Fail;
      PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create_pkcs8_encrypt_ex(
          kPbe, pass.data, pass.size, nullptr, 0, kWriteIterations, info.get(), context, query);
      if (bag == nullptr) return platform_error::kPkcs12Fail;
      if (sk_PKCS12_SAFEBAG_push(key_bags.get(), bag) == 0) {
        PKCS12_SAFEBAG_free(bag);
        return platform_error::kPkcs12Fail;
      }
      if (!AddAttributes(bag, entry.friendly_name, id)) return platform_error::kPkcs12Fail;
    }
    PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create_cert(certificate.get());
    if (bag == nullptr) return platform_error::kPkcs12Fail;
    if (sk_PKCS12_SAFEBAG_push(certificate_bags.get(), bag) == 0) {
      PKCS12_SAFEBAG_free(bag);
      return platform_error::kPkcs12Fail;
    }
    if (!AddAttributes(bag, entry.friendly_name, id)) return platform_error::kPkcs12Fail;
  }

  UniquePkcs7Stack safes(sk_PKCS7_new_null());
  if (!safes) return platform_error::kPkcs12Fail;
  auto push = [&](PKCS7* safe) {
    if (safe == nullptr) return false;
    if (sk_PKCS7_push(safes.get(), safe) == 0) {
      PKCS7_free(safe);
      return false;
    }
    return true;
  };
  if (sk_PKCS12_SAFEBAG_num(certificate_bags.get()) > 0 &&
      !push(PKCS12_pack_p7encdata_ex(kPbe, pass.data, pass.size, nullptr, 0, kWriteIterations,
                                     certificate_bags.get(), context, query))) {
    return platform_error::kPkcs12Fail;
  }
  if (sk_PKCS12_SAFEBAG_num(key_bags.get()) > 0 && !push(PKCS12_pack_p7data(key_bags.get()))) {
    return platform_error::kPkcs12Fail;
  }
  // The PFX keeps the context for its MAC. OpenSSL 3.0 loses the copy it makes of a property
  // query here when it packs the safes, so an empty query is passed as none (the same meaning).
  const UniquePkcs12 pfx(PKCS12_add_safes_ex(safes.get(), NID_pkcs7_data, context,
                                             query[0] == '\0' ? nullptr : query));
  if (!pfx || PKCS12_set_mac(pfx.get(), pass.data, pass.size, nullptr, 0, kWriteIterations,
                             sha1.get()) != 1) {
    return platform_error::kPkcs12Fail;
  }
  const int size = i2d_PKCS12(pfx.get(), nullptr);
  if (size <= 0) return platform_error::kPkcs12Fail;
  out.resize(static_cast<size_t>(size));
  unsigned char* cursor = out.data();
  if (i2d_PKCS12(pfx.get(), &cursor) != size) return platform_error::kPkcs12Fail;
  return 0;
}

}  // namespace

bool IsPkcs12(std::span<const uint8_t> bytes) {
  const OpensslErrorScope scope;
  uint32_t error = 0;
  const bool ok = DecodePfx(bytes, &error) != nullptr;
  SetLastPlatformError(error);
  return ok;
}

bool VerifyPkcs12Password(std::span<const uint8_t> bytes,
                          std::optional<std::string_view> password) {
  const OpensslErrorScope scope;
  const uint32_t error = Open(bytes, password, nullptr);
  SetLastPlatformError(error);
  return error == 0;
}

std::optional<Pkcs12Contents> ReadPkcs12(std::span<const uint8_t> bytes,
                                         std::optional<std::string_view> password) {
  const OpensslErrorScope scope;
  RawContents raw;
  uint32_t error = Open(bytes, password, &raw);
  Pkcs12Contents contents;
  if (error == 0) error = BuildContents(raw, contents);
  SetLastPlatformError(error);
  if (error != 0) return std::nullopt;
  return contents;
}

std::optional<std::vector<uint8_t>> WritePkcs12(const std::vector<Pkcs12Entry>& entries,
                                                std::string_view password) {
  const OpensslErrorScope scope;
  std::vector<uint8_t> out;
  const uint32_t error = Write(entries, password, out);
  SetLastPlatformError(error);
  if (error != 0) return std::nullopt;
  return out;
}

}  // namespace kelvadrome
