// Acceptance of an issued certificate: the second half of the key-request engine.
#include <algorithm>
#include <atomic>
#include <span>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "ops/requests.h"
#include "platform/cert_store.h"
#include "platform/certificate.h"
#include "platform/error_codes.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pkcs7_certificates.h"
#include "platform/providers.h"
#include "platform/registry.h"
#include "platform/rsa_key.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

constexpr uint8_t kKeyCertSign = 0x04;
constexpr size_t kBlobHeaderSize = 8;
// Longest provider name a record may hold for it to be read (the terminating NUL included).
constexpr size_t kProviderNameBuffer = 256;

// The DWORD value |name| of a record; 0 when it is missing or not four bytes.
uint32_t ReadRecordNumber(Registry& registry, const std::string& path, std::string_view name) {
  const auto value = registry.QueryValue(path, name);
  return value ? value->AsDword().value_or(0) : 0;
}

// The text value |name| of a record, up to its first NUL; empty when missing or too long.
std::string ReadRecordText(Registry& registry, const std::string& path, std::string_view name,
                           size_t buffer_size) {
  const auto value = registry.QueryValue(path, name);
  if (!value || value->data.size() > buffer_size) return std::string();
  std::string text(value->data.begin(), value->data.end());
  return text.substr(0, text.find('\0'));
}

// The key context of a certificate: its size (12), the number of the open key handle in this
// process, and the key spec.
std::vector<uint8_t> EncodeKeyContext(uint32_t handle, uint32_t key_spec) {
  std::vector<uint8_t> value;
  for (const uint32_t field : {12u, handle, key_spec}) {
    for (int shift = 0; shift < 32; shift += 8)
      value.push_back(static_cast<uint8_t>(field >> shift));
  }
  return value;
}

uint32_t NextKeyHandleNumber() {
  static std::atomic<uint32_t> next{1};
  return next.fetch_add(1);
}

}  // namespace

int32_t KeyRequestEngine::AcceptCertificate(std::string_view text) {
  ClearErrors();
  uint32_t probe_error = 0;
  if (RegistryRightsProbe(&probe_error) != 0) {
    Fail(Code(ErrorCode::kRightsDenied), probe_error);
    return error_code_;
  }
  if (text.empty()) {
    Fail(Code(ErrorCode::kBadArgument), 0);
    return error_code_;
  }
  ByteBuffer decoded;
  if (!decoded.Base64Decode(std::string(text).c_str())) {
    Fail(Code(ErrorCode::kBadBase64), 0);
    return error_code_;
  }
  const std::span<const uint8_t> bytes(decoded.data(), static_cast<size_t>(decoded.length()));

  std::span<const uint8_t> candidate;
  bool have_candidate = false;
  const Pkcs7Certificates message = ReadPkcs7Certificates(bytes);
  switch (message.reading) {
    case Pkcs7Reading::kNoCertificateCount:
      Fail(Code(ErrorCode::kBadCertificate), LastPlatformError());
      return error_code_;
    case Pkcs7Reading::kCertificates:
      for (const auto& encoded : message.certificates) {
        Certificate certificate;
        if (!certificate.Decode(encoded.data(), encoded.size())) continue;
        if (!InstallChainCertificate(certificate)) {
          // The last certificate that is not part of the chain is the issued one.
          candidate = encoded;
          have_candidate = true;
        }
      }
      break;
    case Pkcs7Reading::kNotAMessage:
      // Not a message: the bytes themselves should be the certificate.
      candidate = bytes;
      have_candidate = true;
      break;
  }
  if (!have_candidate) {
    // No certificate for a key of ours: reported as the key missing (5060).
    Fail(Code(ErrorCode::kKeyMissing), 0);
    return error_code_;
  }
  Certificate certificate;
  if (!certificate.Decode(candidate.data(), candidate.size())) {
    Fail(Code(ErrorCode::kBadCertificate), LastPlatformError());
    return error_code_;
  }
  InstallPersonalCertificate(certificate);
  return error_code_;
}

bool KeyRequestEngine::InstallChainCertificate(const Certificate& certificate) {
  const CertInfo info(certificate);
  const char* store_name = nullptr;
  if (info.GetSubject() == info.GetIssuer()) {
    store_name = "ROOT";
  } else if (certificate.key_usage() && (*certificate.key_usage() & kKeyCertSign) != 0) {
    store_name = "CA";
  } else {
    return false;
  }
  // Whether the store opens and takes the certificate does not change the outcome.
  if (auto store = CertStore::OpenSystem(store_name)) {
    store->Add(certificate.der(), AddDisposition::kReplaceExistingInheritProperties);
  }
  return true;
}

bool KeyRequestEngine::InstallPersonalCertificate(const Certificate& certificate) {
  const auto public_key = RsaPublicBlob(certificate.public_key_info(), key_algorithm::kRsaExchange);
  if (!public_key) return Fail(Code(ErrorCode::kBadCertificate), platform_error::kAsn1BadTag);

  auto registry = Registry::Open(Registry::Root::kCurrentUser);
  if (!registry || !registry->KeyExists(kPendingRequestsKey)) {
    return Fail(Code(ErrorCode::kRightsDenied), LastPlatformError());
  }
  // Every record's public key in one read; the walk itself runs in memory.
  const auto keys = registry->SubkeyValues(kPendingRequestsKey, "PublicKey");
  if (!keys) return Fail(Code(ErrorCode::kRightsDenied), LastPlatformError());
  // The first record whose key matches past the blob header, which names the key's algorithm and
  // so differs between signature and exchange keys.
  std::optional<KeyProviderLink> link;
  for (const auto& [name, stored] : *keys) {
    if (!stored || stored->data.size() != public_key->size() ||
        !std::equal(stored->data.begin() + kBlobHeaderSize, stored->data.end(),
                    public_key->begin() + kBlobHeaderSize)) {
      continue;
    }
    const std::string path = std::string(kPendingRequestsKey) + '\\' + name;
    link =
        KeyProviderLink{name, ReadRecordText(*registry, path, "ProviderName", kProviderNameBuffer),
                        ReadRecordNumber(*registry, path, "ProviderType"), 0,
                        ReadRecordNumber(*registry, path, "KeySpec")};
    break;
  }
  // No pending request for the key: the certificate is not one this profile asked for (5010).
  if (!link) return Fail(Code(ErrorCode::kCertificateNotFound), provider_error::kNoMoreItems);

  // The certificate object carries the link and the key context until it is stored.
  auto memory = CertStore::OpenMemory();
  const auto held = memory->Add(certificate.der(), AddDisposition::kAlways);
  if (!held) return Fail(Code(ErrorCode::kPersonalStoreDenied), LastPlatformError());
  const std::vector<uint8_t> encoded_link = EncodeKeyProviderLink(*link);
  if (!memory->SetProperty(*held, cert_property::kKeyProviderInfo, &encoded_link)) {
    return Fail(Code(ErrorCode::kPersonalStoreDenied), LastPlatformError());
  }
  auto containers = KeyContainerStore::OpenUser();
  auto container =
      containers ? containers->Open(link->container, link->provider, link->provider_type) : nullptr;
  if (container == nullptr) return Fail(Code(ErrorCode::kNoProviderResource), LastPlatformError());
  const std::vector<uint8_t> key_context = EncodeKeyContext(NextKeyHandleNumber(), link->key_spec);
  if (!memory->SetProperty(*held, cert_property::kKeyContext, &key_context)) {
    return Fail(Code(ErrorCode::kProviderDenied), LastPlatformError());
  }
  // A card or token keeps the certificate with its key.
  if (!IsSoftwareProvider(link->provider)) {
    if (!container->DescribeKey(link->key_spec)) {
      return Fail(Code(ErrorCode::kPersonalStoreDenied), LastPlatformError());
    }
    if (!container->SetCertificate(link->key_spec, certificate.der())) {
      return Fail(Code(ErrorCode::kProviderDenied), LastPlatformError());
    }
  }
  auto personal = CertStore::OpenSystem("MY");
  if (!personal) return Fail(Code(ErrorCode::kPersonalStoreNotOpened), LastPlatformError());
  // The link goes into "MY" with the certificate; the key context names a handle of this process
  // only and stays behind.
  const auto stored = personal->AddWithProperties(
      certificate.der(), AddDisposition::kAlways,
      {CertificateProperty{cert_property::kKeyProviderInfo, encoded_link}});
  if (!stored) return Fail(Code(ErrorCode::kPersonalStoreDenied), LastPlatformError());
  const std::vector<uint8_t> friendly =
      EncodeFriendlyName(ConvertToWide(CertInfo(certificate).GetSubjectCN()));
  personal->SetProperty(*stored, cert_property::kFriendlyName, &friendly);
  return true;
}

}  // namespace kelvadrome
