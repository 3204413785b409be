#include "ops/signing.h"

#include <bit>
#include <ctime>

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/cert_store_handle.h"
#include "codec/digest.h"
#include "ops/signer_selection.h"
#include "ops/signer_share.h"
#include "platform/cert_chain.h"
#include "platform/certificate_key.h"
#include "platform/error_codes.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pfx_store.h"
#include "platform/pkcs7_signed_data.h"
#include "platform/providers.h"
#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/dialog_host.h"
#include "ui/pfx_dialogs.h"
#include "ui/sign_confirm_dialog.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kExportableKeys = 1;
constexpr size_t kMaxCarriedCertificates = 10;

// The signer's certificate found again where it was selected, with its key link. The PFX store
// stays open while the signature is made; a store signer's store is the cache's.
struct SignerCertificate {
  PfxStore pfx;
  CertStore* store = nullptr;
  bool from_store = false;
  StoredCertificate certificate;
  std::vector<uint8_t> link_value;
  KeyProviderLink link;
};

// FindSignerCertificate opens the signer's store ("MY", kept in |keys|, or the PFX file, whose
// password another instance may have changed and published) and finds the certificate by its
// thumbprint. |missing_link_code| is the code for a certificate without a key link.
SigningOutcome FindSignerCertificate(SelectedSigner& signer, SignerShare* share,
                                     int32_t missing_link_code, SignerKeyCache& keys,
                                     SignerCertificate& found) {
  if (signer.thumbprint.empty() || signer.der.empty())
    return {Code(ErrorCode::kNoSignerSelected), 0, {}};
  std::optional<ProfileChangeStamp> stamp;
  if (signer.source == SignerSource::kStore) {
    if (!keys.store_open) {
      const int32_t opened = keys.signerKeyStore.OpenPersonal();
      if (opened != 0) return {opened, keys.signerKeyStore.last_error(), {}};
      keys.store_open = true;
    }
    found.store = keys.signerKeyStore.store();
    found.from_store = true;
    // Nothing changed in the profile since the certificate was last found: it is still there with
    // the same link, and is not looked up again.
    stamp = found.store->ChangeStamp();
    if (stamp && stamp == keys.found_stamp && keys.found_hash == signer.thumbprint) {
      found.certificate = keys.found_certificate;
      found.link_value = keys.found_link_value;
      found.link = keys.found_link;
      return {};
    }
    keys.found_stamp.reset();
  } else if (signer.source == SignerSource::kPfxFile) {
    const std::string path = JoinFolderAndName(signer.pfx_folder, signer.pfx_name);
    if (!PathExists(path)) return {Code(ErrorCode::kCertificateFileUnreadable), 0, {}};
    if (share != nullptr && share->opened()) {
      std::optional<PublishedPfxFile> published = share->ReadPfxFile();
      if (published && SameFile(JoinFolderAndName(published->folder, published->name), path)) {
        signer.pfx_password = std::move(published->password);
      }
    }
    const int32_t loaded = found.pfx.Load(path, signer.pfx_password.view(), kExportableKeys);
    if (loaded != 0) return {loaded, found.pfx.platform_error(), {}};
    found.store = found.pfx.store();
  } else {
    return {Code(ErrorCode::kNoSignerSelected), 0, {}};
  }

  // The thumbprint is the certificate's SHA-1 as text: the store finds it by its hash, and the
  // text must then be the same as the certificate's own.
  ByteBuffer hash_bytes;
  Thumbprint thumbprint{};
  std::optional<StoredCertificate> located;
  if (hash_bytes.HexDecode(signer.thumbprint.c_str()) &&
      hash_bytes.length() == static_cast<int32_t>(thumbprint.size())) {
    std::copy_n(hash_bytes.data(), thumbprint.size(), thumbprint.begin());
    located = found.store->Find(thumbprint);
  }
  if (!located) return {Code(ErrorCode::kNoSignerSelected), 0, {}};
  const CertInfo info(located->der.data(), static_cast<int32_t>(located->der.size()));
  if (info.GetFingerprint() != signer.thumbprint)
    return {Code(ErrorCode::kNoSignerSelected), 0, {}};
  found.certificate = std::move(*located);
  auto link_value = found.store->GetProperty(found.certificate.id, cert_property::kKeyProviderInfo);
  const auto link = link_value ? DecodeKeyProviderLink(*link_value) : std::nullopt;
  if (!link) return {missing_link_code, LastPlatformError(), {}};
  found.link_value = std::move(*link_value);
  found.link = *link;
  if (found.from_store && stamp) {
    keys.found_stamp = stamp;
    keys.found_hash = signer.thumbprint;
    keys.found_certificate = found.certificate;
    keys.found_link_value = found.link_value;
    keys.found_link = found.link;
  }
  return {};
}

// AcquireSignerKey gives the key linked to the signer's certificate: a store signer's key from the
// cache when it was acquired for the same certificate and link. A key that cannot be reached is
// refused as a software store's (5206) or a card's (5225) by the provider's name.
CertificateKey* AcquireSignerKey(SignerCertificate& found, SignerKeyCache& keys,
                                 std::optional<CertificateKey>& pfx_key, SigningOutcome& outcome) {
  if (found.from_store && keys.signerProvider && keys.certificate_id == found.certificate.id &&
      keys.link == found.link_value) {
    // A card may have been taken away since: its key is acquired again, and fails as a card
    // that is not ready.
    if (IsSoftwareProvider(found.link.provider) ||
        keys.signerProvider->container->DescribeKey(keys.signerProvider->key_spec)) {
      return &*keys.signerProvider;
    }
    keys.signerProvider.reset();
  }
  auto key = AcquireCertificatePrivateKey(*found.store, found.certificate.id, false);
  if (!key) {
    // A key that cannot be reached: the store refused it (5206), or the card is not ready (5225).
    outcome = {IsSoftwareProvider(found.link.provider) ? Code(ErrorCode::kPersonalStoreDenied)
                                                       : Code(ErrorCode::kCardNotReady),
               LastPlatformError(),
               {}};
    return nullptr;
  }
  if (!found.from_store) {
    pfx_key = std::move(key);
    return &*pfx_key;
  }
  keys.signerProvider = std::move(key);
  keys.certificate_id = found.certificate.id;
  keys.link = found.link_value;
  return &*keys.signerProvider;
}

// Confirm asks the user when |flags| has the confirmation bit; 0 when signing may go on.
int32_t Confirm(int32_t flags, DialogHost& host, std::u16string_view content,
                const std::vector<uint8_t>& certificate) {
  if ((flags & pkcs1_flag::kConfirm) == 0) return 0;
  const DialogOutcome answer = ConfirmSigning(host, ConvertToNarrow(content), certificate);
  // A dialog that cannot be shown counts as a resource the component could not allocate (5002).
  if (answer == DialogOutcome::kUnavailable) return Code(ErrorCode::kAllocationFailed);
  return answer == DialogOutcome::kOk ? 0 : Code(ErrorCode::kCancelled);
}

// The bytes that are signed: the code-page text, or the UTF-16 code units least significant byte
// first. On a little-endian machine the latter are the text's own bytes and are not copied.
class ContentBytes {
 public:
  ContentBytes(std::u16string_view content, int32_t flags) {
    if ((flags & pkcs1_flag::kCodePageBytes) != 0) {
      const std::string narrow = ConvertToNarrow(content);
      owned_.assign(narrow.begin(), narrow.end());
      bytes_ = owned_;
    } else if constexpr (std::endian::native == std::endian::little) {
      bytes_ = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(content.data()),
                                        2 * content.size());
    } else {
      owned_.reserve(2 * content.size());
      for (const char16_t unit : content) {
        owned_.push_back(static_cast<uint8_t>(unit & 0xFF));
        owned_.push_back(static_cast<uint8_t>(unit >> 8));
      }
      bytes_ = owned_;
    }
  }
  ContentBytes(const ContentBytes&) = delete;  // the span may point into owned_
  ContentBytes& operator=(const ContentBytes&) = delete;
  std::span<const uint8_t> span() const { return bytes_; }

 private:
  std::vector<uint8_t> owned_;
  std::span<const uint8_t> bytes_;
};

// DigestOf returns the MD5 (key_algorithm::kMd5) or SHA-1 (any other) digest of |data|.
std::vector<uint8_t> DigestOf(uint32_t algorithm, std::span<const uint8_t> data) {
  if (algorithm == key_algorithm::kMd5) {
    Md5Digest md5;
    md5.Begin();
    md5.Update(data.data(), data.size());
    md5.Finish();
    return std::vector<uint8_t>(md5.data(), md5.data() + md5.DigestSize());
  }
  Sha1Digest sha1;
  sha1.Begin();
  sha1.Update(data.data(), data.size());
  sha1.Finish();
  return std::vector<uint8_t>(sha1.data(), sha1.data() + sha1.DigestSize());
}

// CardMapping turns the platform error of a failed message signature into the component's code:
// the PIN refusals of a card, and a cancelled prompt.
int32_t CardMapping(uint32_t platform_error) {
  switch (platform_error) {
    case 0x8010006B:  // SCARD_W_WRONG_CHV
      return Code(ErrorCode::kCardPinWrong);
    case 0x8010006C:  // SCARD_W_CHV_BLOCKED
      return Code(ErrorCode::kCardPinBlocked);
    case 0x8010006E:  // SCARD_W_CANCELLED_BY_USER
    case key_error::kCancelled:
      return Code(ErrorCode::kCancelled);
    default:
      return Code(ErrorCode::kSigningFailed);
  }
}

}  // namespace

void SignerKeyCache::Release() {
  signerProvider.reset();
  certificate_id = -1;
  link.clear();
  found_stamp.reset();
  found_hash.clear();
  found_certificate = StoredCertificate{};
  found_link_value.clear();
  found_link = KeyProviderLink{};
  signerKeyStore.Close();
  store_open = false;
}

bool ChainIsCarried(uint32_t status) {
  if (status == 0) return true;
  if ((status & (chain_status::kNotTimeValid | chain_status::kNotTimeNested)) != 0) return true;
  if ((status & (chain_status::kRevoked | chain_status::kNotSignatureValid |
                 chain_status::kNotValidForUsage)) != 0) {
    return false;
  }
  return (status & chain_status::kUntrustedRoot) != 0;
}

SigningOutcome SignPkcs1Text(std::u16string_view content, int32_t flags, SelectedSigner& signer,
                             SignerShare* share, DialogHost& host, SignerKeyCache& keys) {
  if (content.empty()) return {Code(ErrorCode::kBadArgument), 0, {}};
  SignerCertificate found;
  // A store certificate without a key link is reported as the store refusing its key (5206).
  SigningOutcome outcome =
      FindSignerCertificate(signer, share, Code(ErrorCode::kPersonalStoreDenied), keys, found);
  if (outcome.code != 0) return outcome;
  std::optional<CertificateKey> pfx_key;
  CertificateKey* key = AcquireSignerKey(found, keys, pfx_key, outcome);
  if (key == nullptr) return outcome;
  if (const int32_t refused = Confirm(flags, host, content, found.certificate.der); refused != 0) {
    return {refused, 0, {}};
  }

  const ContentBytes bytes(content, flags);
  uint32_t algorithm = key_algorithm::kSha1;
  std::vector<uint8_t> digest;
  if ((flags & pkcs1_flag::kMd5) != 0) {
    algorithm = key_algorithm::kMd5;
    digest = DigestOf(key_algorithm::kMd5, bytes.span());
  } else if ((flags & pkcs1_flag::kSha1OverMd5) != 0) {
    digest = DigestOf(key_algorithm::kSha1, DigestOf(key_algorithm::kMd5, bytes.span()));
  } else {
    digest = DigestOf(key_algorithm::kSha1, bytes.span());
  }
  const auto signature = key->container->SignHash(key->key_spec, algorithm, digest);
  if (!signature) {
    const uint32_t error = LastPlatformError();
    keys.Release();
    return {Code(ErrorCode::kSigningFailed), error, {}};
  }

  // Signatures come least significant byte first; PKCS #1 order is the reverse.
  ByteBuffer ordered;
  const auto length = static_cast<int32_t>(signature->size());
  bool kept = false;
  if ((flags & pkcs1_flag::kLeastSignificantFirst) != 0) {
    kept = ordered.Append(signature->data(), length);
  } else {
    kept = ordered.AssignReversed(signature->data(), length);
  }
  ByteBuffer text;
  const bool encoded = kept && ((flags & pkcs1_flag::kBase64) != 0
                                    ? text.Base64Encode(ordered.data(), ordered.length())
                                    : text.HexEncode(ordered.data(), ordered.length()));
  if (!encoded) return {Code(ErrorCode::kSigningFailed), 0, {}};
  outcome.text = text.ToString();
  return outcome;
}

SigningOutcome SignPkcs7Text(std::u16string_view content, int32_t flags, SelectedSigner& signer,
                             SignerShare* share, DialogHost& host, SignerKeyCache& keys) {
  if (content.empty()) return {Code(ErrorCode::kBadArgument), 0, {}};
  SignerCertificate found;
  SigningOutcome outcome =
      FindSignerCertificate(signer, share, Code(ErrorCode::kSigningFailed), keys, found);
  if (outcome.code != 0) return outcome;
  if (const int32_t refused = Confirm(flags, host, content, found.certificate.der); refused != 0) {
    return {refused, 0, {}};
  }

  const ContentBytes bytes(content, flags);
  const bool md5 = (flags & pkcs7_flag::kMd5) != 0;
  const uint32_t algorithm = md5 ? key_algorithm::kMd5 : key_algorithm::kSha1;
  std::vector<uint8_t> content_digest;

  SignedDataRequest request;
  request.content = bytes.span();
  request.detached = (flags & pkcs7_flag::kDetached) != 0;
  request.digest_algorithm = md5 ? "1.2.840.113549.1.1.4" : "1.3.14.3.2.26";
  request.signer_certificate = found.certificate.der;
  if ((flags & pkcs7_flag::kSigningTime) != 0) {
    request.signing_time = static_cast<int64_t>(std::time(nullptr));
    content_digest = DigestOf(algorithm, bytes.span());
    request.content_digest = content_digest;
  }

  std::optional<CertificateKey> pfx_key;
  CertificateKey* key = AcquireSignerKey(found, keys, pfx_key, outcome);
  if (key == nullptr) return outcome;

  std::optional<CertificateChain> chain;
  if ((flags & pkcs7_flag::kChain) != 0) {
    chain = BuildCertificateChain(found.certificate.der, static_cast<int64_t>(std::time(nullptr)),
                                  found.from_store ? nullptr : found.pfx.store());
    if (!chain) return {Code(ErrorCode::kNoChain), LastPlatformError(), {}};
    if (!ChainIsCarried(chain->error_status)) return {Code(ErrorCode::kNoChain), 0, {}};
    const size_t carried = std::min(chain->elements.size(), kMaxCarriedCertificates);
    for (size_t i = 0; i < carried; ++i) request.certificates.emplace_back(chain->elements[i]);
  } else if ((flags & pkcs7_flag::kNoCertificate) == 0) {
    request.certificates.emplace_back(found.certificate.der);
  }

  const SignData sign =
      [&](std::span<const uint8_t> to_be_signed) -> std::optional<std::vector<uint8_t>> {
    const std::vector<uint8_t> digest = DigestOf(algorithm, to_be_signed);
    auto signature = key->container->SignHash(key->key_spec, algorithm, digest);
    if (signature) std::reverse(signature->begin(), signature->end());
    return signature;
  };
  const auto message = EncodeSignedData(request, sign);
  if (!message) {
    const uint32_t error = LastPlatformError();
    keys.Release();
    return {CardMapping(error), error, {}};
  }
  ByteBuffer text;
  if (message->size() > static_cast<size_t>(INT32_MAX) ||
      !text.Base64Encode(message->data(), static_cast<int32_t>(message->size()))) {
    return {Code(ErrorCode::kAllocationFailed), 0, {}};
  }
  outcome.text = text.ToString();
  return outcome;
}

}  // namespace kelvadrome
