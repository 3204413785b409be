#include "platform/cert_chain.h"

#include <memory>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/crypto_context.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kBadEncoding = 0x8009310B;

// Decodes |der| in the component's own library context; null when it is not one certificate.
UniqueX509 Decode(const std::vector<uint8_t>& der) {
  UniqueX509 certificate(X509_new_ex(CryptoLibraryContext(), CryptoPropertyQuery()));
  if (!certificate) return nullptr;
  X509* target = certificate.get();
  const unsigned char* cursor = der.data();
  if (d2i_X509(&target, &cursor, static_cast<long>(der.size())) == nullptr) {
    // d2i_X509 frees the object it was handed when it fails.
    static_cast<void>(certificate.release());
    return nullptr;
  }
  if (cursor != der.data() + der.size()) return nullptr;  // bytes after the certificate
  return certificate;
}

// StatusForError turns a verification error about |certificate| (may be null) into the status
// bits that describe it. An error it does not name still marks the chain as unfit for use, so that
// no failed check can leave a chain looking good.
uint32_t StatusForError(int error, X509* certificate) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return chain_status::kNotTimeValid;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
    case X509_V_ERR_NO_ISSUER_PUBLIC_KEY:
    case X509_V_ERR_UNSUPPORTED_SIGNATURE_ALGORITHM:
    case X509_V_ERR_SIGNATURE_ALGORITHM_MISMATCH:
    case X509_V_ERR_SIGNATURE_ALGORITHM_INCONSISTENCY:
      return chain_status::kNotSignatureValid;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return chain_status::kUntrustedRoot;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return chain_status::kPartialChain;
    case X509_V_ERR_CERT_REVOKED:
      return chain_status::kRevoked;
    case X509_V_ERR_CERT_REJECTED:
      return chain_status::kExplicitDistrust;
    case X509_V_ERR_PATH_LOOP:
      return chain_status::kCyclic;
    case X509_V_ERR_INVALID_CA:
      // An issuer that says it is a CA but whose key usage leaves out certificate signing may not
      // use its key that way; any other issuer refused here is no CA by its basic constraints.
      if (certificate != nullptr && (X509_get_extension_flags(certificate) & EXFLAG_CA) != 0 &&
          (X509_get_key_usage(certificate) & KU_KEY_CERT_SIGN) == 0) {
        return chain_status::kNotValidForUsage;
      }
      return chain_status::kInvalidBasicConstraints;
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_INVALID_NON_CA:
    case X509_V_ERR_PROXY_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_PATHLEN_INVALID_FOR_NON_CA:
    case X509_V_ERR_PATHLEN_WITHOUT_KU_KEY_CERT_SIGN:
    case X509_V_ERR_CA_BCONS_NOT_CRITICAL:
      return chain_status::kInvalidBasicConstraints;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_KEYUSAGE_NO_DIGITAL_SIGNATURE:
    case X509_V_ERR_KU_KEY_CERT_SIGN_INVALID_FOR_NON_CA:
    case X509_V_ERR_CA_CERT_MISSING_KEY_USAGE:
      return chain_status::kNotValidForUsage;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
      return chain_status::kInvalidExtension | chain_status::kUnsupportedCriticalExtension;
    case X509_V_ERR_INVALID_EXTENSION:
    case X509_V_ERR_PROXY_CERTIFICATES_NOT_ALLOWED:
    case X509_V_ERR_UNSUPPORTED_EXTENSION_FEATURE:
    case X509_V_ERR_EXTENSIONS_REQUIRE_VERSION_3:
      return chain_status::kInvalidExtension;
    case X509_V_ERR_INVALID_POLICY_EXTENSION:
    case X509_V_ERR_NO_EXPLICIT_POLICY:
      return chain_status::kInvalidPolicyConstraints;
    case X509_V_ERR_PERMITTED_VIOLATION:
      return chain_status::kInvalidNameConstraints | chain_status::kNameNotPermitted;
    case X509_V_ERR_EXCLUDED_VIOLATION:
      return chain_status::kInvalidNameConstraints | chain_status::kNameExcluded;
    case X509_V_ERR_SUBTREE_MINMAX:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
    case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
      return chain_status::kInvalidNameConstraints | chain_status::kNameConstraintNotSupported;
    case X509_V_ERR_PROXY_SUBJECT_NAME_VIOLATION:
      return chain_status::kInvalidNameConstraints;
    case X509_V_ERR_EE_KEY_TOO_SMALL:
    case X509_V_ERR_CA_KEY_TOO_SMALL:
    case X509_V_ERR_CA_MD_TOO_WEAK:
      return chain_status::kWeakSignature;
    default:
      return chain_status::kNotValidForUsage;
  }
}

// Collects every problem instead of stopping at the first one.
int CollectProblems(int ok, X509_STORE_CTX* context) {
  if (!ok) {
    auto* status = static_cast<uint32_t*>(X509_STORE_CTX_get_app_data(context));
    *status |=
        StatusForError(X509_STORE_CTX_get_error(context), X509_STORE_CTX_get_current_cert(context));
  }
  return 1;
}

// Loads the certificates of |store| into |stack| (untrusted issuers) or |trusted|.
bool Load(CertStore& store, STACK_OF(X509) * stack, X509_STORE* trusted) {
  const auto all = store.Enumerate();
  if (!all) return false;
  for (const auto& stored : *all) {
    UniqueX509 certificate = Decode(stored.der);
    if (!certificate) continue;  // a store only holds certificates; skip any it cannot read
    if (trusted != nullptr) {
      if (X509_STORE_add_cert(trusted, certificate.get()) != 1) return false;
    } else if (!sk_X509_push(stack, certificate.get())) {
      return false;
    } else {
      certificate.release();  // the stack owns it now
    }
  }
  return true;
}

}  // namespace

std::optional<CertificateChain> BuildCertificateChain(const std::vector<uint8_t>& der,
                                                      int64_t at_time, CertStore* extra) {
  // Verification queues an error for every problem the callback lets through; none of them is
  // the caller's business, who learns of them from the status bits.
  const OpensslErrorScope scope;
  UniqueX509 leaf = Decode(der);
  if (!leaf) {
    SetLastPlatformError(kBadEncoding);
    return std::nullopt;
  }
  const UniqueX509Store trusted(X509_STORE_new());
  const UniqueX509Stack issuers(sk_X509_new_null());
  if (!trusted || !issuers) {
    SetLastPlatformError(platform_error::kNotEnoughMemory);
    return std::nullopt;
  }
  auto root = CertStore::OpenSystem("ROOT");
  auto ca = CertStore::OpenSystem("CA");
  auto my = CertStore::OpenSystem("MY");
  if (!root || !ca || !my || !Load(*root, nullptr, trusted.get()) ||
      !Load(*ca, issuers.get(), nullptr) || !Load(*my, issuers.get(), nullptr) ||
      (extra != nullptr && !Load(*extra, issuers.get(), nullptr))) {
    return std::nullopt;
  }

  const UniqueX509StoreContext context(
      X509_STORE_CTX_new_ex(CryptoLibraryContext(), CryptoPropertyQuery()));
  if (!context) {
    SetLastPlatformError(platform_error::kNotEnoughMemory);
    return std::nullopt;
  }
  if (!OpensslCall(platform_error::kNotEnoughMemory, [&] {
        return X509_STORE_CTX_init(context.get(), trusted.get(), leaf.get(), issuers.get());
      })) {
    return std::nullopt;
  }
  X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context.get());
  X509_VERIFY_PARAM_set_time(parameters, static_cast<time_t>(at_time));
  // Old certificates (SHA-1, 1024-bit keys) are judged by their chain, not by today's strength.
  X509_VERIFY_PARAM_set_auth_level(parameters, 0);
  uint32_t status = 0;
  X509_STORE_CTX_set_app_data(context.get(), &status);
  X509_STORE_CTX_set_verify_cb(context.get(), CollectProblems);
  // The callback lets every problem through, so a failure here is one the callback never saw (the
  // library gave up): the chain is marked with what the library recorded, never left good.
  if (X509_verify_cert(context.get()) != 1) {
    status |= StatusForError(X509_STORE_CTX_get_error(context.get()), nullptr);
  }

  CertificateChain chain;
  STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(context.get());
  for (int i = 0; i < sk_X509_num(built); ++i) {
    X509* element = sk_X509_value(built, i);
    unsigned char* encoded = nullptr;
    const int length = i2d_X509(element, &encoded);
    const UniqueOpensslBytes owner(encoded);
    if (length > 0) chain.elements.emplace_back(encoded, encoded + length);
    // A validity that reaches outside the issuer's.
    if (i + 1 < sk_X509_num(built)) {
      X509* issuer = sk_X509_value(built, i + 1);
      if (ASN1_TIME_compare(X509_get0_notBefore(element), X509_get0_notBefore(issuer)) < 0 ||
          ASN1_TIME_compare(X509_get0_notAfter(element), X509_get0_notAfter(issuer)) > 0) {
        status |= chain_status::kNotTimeNested;
      }
    }
  }
  chain.error_status = status;
  return chain;
}

}  // namespace kelvadrome
