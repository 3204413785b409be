#include "ops/signing.h"

#include <strings.h>

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/cert_store_handle.h"
#include "codec/digest.h"
#include "codec/pfx_store.h"
#include "codec/secure_wipe.h"
#include "ops/signer_selection.h"
#include "ops/signer_share.h"
#include "platform/certificate_key.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/providers.h"
#include "platform/text.h"
#include "ui/dialog_host.h"
#include "ui/pfx_dialogs.h"
#include "ui/sign_confirm_dialog.h"

namespace kelvadrome {

namespace {

constexpr int32_t kBadArgument = 5005;
constexpr int32_t kNoSigner = 5067;
constexpr int32_t kPfxFileGone = 1102;
constexpr int32_t kNoKey = 5206;
constexpr int32_t kCardNotReady = 5225;
constexpr int32_t kSigningFailed = 5061;
constexpr int32_t kDialogUnavailable = 5002;
constexpr int32_t kCancelled = 5070;
constexpr uint32_t kExportableKeys = 1;

// The bytes that are signed: the code-page text, or the UTF-16 code units least significant
// byte first.
std::vector<uint8_t> ContentBytes(std::u16string_view content, const std::string& narrow,
                                  int32_t flags) {
  if ((flags & pkcs1_flag::kCodePageBytes) != 0) {
    return std::vector<uint8_t>(narrow.begin(), narrow.end());
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(2 * content.size());
  for (const char16_t unit : content) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

}  // namespace

SigningOutcome SignPkcs1Text(std::u16string_view content, int32_t flags, SelectedSigner& signer,
                             SignerShare* share, DialogHost& host) {
  SigningOutcome outcome;
  const std::string narrow = ConvertToNarrow(content);
  if (narrow.empty()) return {kBadArgument, 0, {}};
  if (signer.signerCertHash.empty() || signer.signerCertBytes.empty()) return {kNoSigner, 0, {}};

  // The store that holds the signer's certificate now.
  CertStoreHandle personal;
  PfxStore pfx;
  CertStore* store = nullptr;
  if (signer.signerMedia == static_cast<int32_t>(signer_source::kStore)) {
    const int32_t opened = personal.OpenPersonal();
    if (opened != 0) return {opened, personal.last_error(), {}};
    store = personal.store();
  } else if (signer.signerMedia == static_cast<int32_t>(signer_source::kPfxFile)) {
    const std::string path =
        JoinFolderAndName(signer.signerCertFilePath, signer.signerCertFileName);
    if (!PathExists(path)) return {kPfxFileGone, 0, {}};
    // Another instance may have changed the file's password and published the new one.
    if (share != nullptr && share->opened() &&
        share->ReadInt("signerMedia") == static_cast<int32_t>(signer_source::kPfxFile)) {
      std::string password = share->ReadText("signerCertPasswd");
      const std::string shared_path = JoinFolderAndName(share->ReadText("signerCertFilePath"),
                                                        share->ReadText("signerCertFileName"));
      if (strcasecmp(shared_path.c_str(), path.c_str()) == 0) {
        SecureWipe(signer.signerCertPasswd);
        signer.signerCertPasswd = password;
      }
      SecureWipe(password);
    }
    const int32_t loaded = pfx.Load(path, signer.signerCertPasswd, kExportableKeys);
    if (loaded != 0) return {loaded, pfx.platform_error(), {}};
    store = pfx.store();
  } else {
    return {kNoSigner, 0, {}};
  }

  std::optional<StoredCertificate> found;
  for (auto& certificate : store->Enumerate().value_or(std::vector<StoredCertificate>{})) {
    const CertInfo info(certificate.der.data(), static_cast<int32_t>(certificate.der.size()));
    if (info.GetFingerprint() == signer.signerCertHash) {
      found = std::move(certificate);
      break;
    }
  }
  if (!found) return {kNoSigner, 0, {}};
  const auto link_value = store->GetProperty(found->id, cert_property::kKeyProviderInfo);
  const auto link = link_value ? DecodeKeyProviderLink(*link_value) : std::nullopt;
  if (!link) return {kNoKey, LastPlatformError(), {}};
  auto key = AcquireCertificatePrivateKey(*store, found->id, false);
  if (!key) {
    return {IsSoftwareProvider(link->provider) ? kNoKey : kCardNotReady, LastPlatformError(), {}};
  }
  if ((flags & pkcs1_flag::kConfirm) != 0) {
    const DialogOutcome answer = ConfirmSigning(host, narrow, found->der);
    if (answer == DialogOutcome::kUnavailable) return {kDialogUnavailable, 0, {}};
    if (answer != DialogOutcome::kOk) return {kCancelled, 0, {}};
  }

  const std::vector<uint8_t> bytes = ContentBytes(content, narrow, flags);
  Md5Digest md5;
  Sha1Digest sha1;
  const uint8_t* digest = nullptr;
  size_t digest_size = 0;
  uint32_t algorithm = key_algorithm::kSha1;
  md5.Begin();
  md5.Update(bytes.data(), bytes.size());
  md5.Finish();
  if ((flags & pkcs1_flag::kMd5) != 0) {
    digest = md5.data();
    digest_size = md5.DigestSize();
    algorithm = key_algorithm::kMd5;
  } else {
    sha1.Begin();
    if ((flags & pkcs1_flag::kSha1OverMd5) != 0) {
      sha1.Update(md5.data(), md5.DigestSize());
    } else {
      sha1.Update(bytes.data(), bytes.size());
    }
    sha1.Finish();
    digest = sha1.data();
    digest_size = sha1.DigestSize();
  }
  const auto signature = key->container->SignHash(key->key_spec, algorithm,
                                                  std::span<const uint8_t>(digest, digest_size));
  if (!signature) return {kSigningFailed, LastPlatformError(), {}};

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
  if (!encoded) return {kSigningFailed, 0, {}};
  outcome.text = text.ToString();
  return outcome;
}

}  // namespace kelvadrome
