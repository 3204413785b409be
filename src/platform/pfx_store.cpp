#include "platform/pfx_store.h"

#include <sys/stat.h>

#include <optional>

#include "platform/error_codes.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/pkcs12.h"
#include "platform/random_name.h"
#include "platform/secrets.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kKeyFlags = key_flag::kExportable | key_flag::kUserProtected;
// The largest file taken, as for every other file the component reads whole.
constexpr size_t kMaxFileSize = INT32_MAX - 2;

// Why a file could not be read, as the platform would say.
uint32_t ReadError(const std::string& path) {
  const std::optional<std::string> system_path = SystemPath(path);
  struct stat info {};
  if (!system_path || stat(system_path->c_str(), &info) != 0) return platform_error::kFileNotFound;
  return S_ISREG(info.st_mode) && info.st_size == 0 ? 0 : platform_error::kAccessDenied;
}

}  // namespace

int32_t PfxStore::Load(const std::string& path, std::string_view password, uint32_t flags) {
  Close();
  platform_error_ = 0;
  if (path.empty()) return Code(ErrorCode::kBadArgument);
  std::vector<uint8_t> file;
  if (!ReadWholeFile(path, kMaxFileSize, [&file](size_t size) {
        file.resize(size);
        return file.data();
      })) {
    platform_error_ = ReadError(path);
    return Code(ErrorCode::kPfxFileUnreadable);
  }
  const std::span<const uint8_t> bytes(file);
  if (!IsPkcs12(bytes)) {
    platform_error_ = LastPlatformError();
    return Code(ErrorCode::kNotPfx);
  }
  // Passwords reach the file's key derivation as UTF-8 of the caller's characters.
  const SecretString utf8 = SecretNarrowToUtf8(password);
  std::optional<std::string_view> chosen = utf8.view();
  if (!VerifyPkcs12Password(bytes, chosen)) {
    chosen.reset();
    if (!password.empty() || !VerifyPkcs12Password(bytes, chosen)) {
      platform_error_ = LastPlatformError();
      return Code(ErrorCode::kWrongPfxPassword);
    }
  }
  auto contents = ReadPkcs12(bytes, chosen);
  if (!contents) {
    platform_error_ = LastPlatformError();
    return Code(ErrorCode::kWrongPfxPassword);
  }
  auto store = CertStore::OpenMemory();
  std::vector<std::unique_ptr<KeyContainer>> containers;
  std::vector<std::string> container_names(contents->keys.size());
  const ProviderInfo provider{kPfxKeyProvider, provider_type::kRsaFull};
  for (size_t k = 0; k < contents->keys.size(); ++k) {
    container_names[k] = RandomGuidText();
    auto container = KeyContainer::CreateVolatile(container_names[k], provider);
    if (!container ||
        !container->ImportPrivateKeyPkcs8(key_spec::kExchange, contents->keys[k].private_key.view(),
                                          flags & kKeyFlags)) {
      platform_error_ = LastPlatformError();
      return Code(ErrorCode::kWrongPfxPassword);
    }
    containers.push_back(std::move(container));
  }
  for (const auto& certificate : contents->certificates) {
    std::vector<CertificateProperty> properties;
    if (certificate.key_index >= 0) {
      const KeyProviderLink link{container_names[static_cast<size_t>(certificate.key_index)],
                                 std::string(kPfxKeyProvider), provider_type::kRsaFull, 0,
                                 key_spec::kExchange};
      properties.push_back({cert_property::kKeyProviderInfo, EncodeKeyProviderLink(link)});
    }
    // The file's friendly name stays with the certificate; its key's bag names it when the
    // certificate's own bag does not.
    std::string_view friendly_name = certificate.friendly_name;
    if (friendly_name.empty() && certificate.key_index >= 0) {
      friendly_name = contents->keys[static_cast<size_t>(certificate.key_index)].friendly_name;
    }
    if (!friendly_name.empty()) {
      properties.push_back(
          {cert_property::kFriendlyName, EncodeFriendlyName(Utf8ToUtf16(friendly_name))});
    }
    // A certificate the store does not take (not one well-formed certificate) is left out.
    store->AddWithProperties(certificate.der, AddDisposition::kAlways, properties);
  }
  store_ = std::move(store);
  containers_ = std::move(containers);
  return 0;
}

void PfxStore::Close() {
  store_.reset();
  containers_.clear();
}

}  // namespace kelvadrome
