#include "codec/cert_store_handle.h"

#include "codec/certificate_filter.h"
#include "platform/error_codes.h"
#include "platform/last_error.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kNoKeyProperty = 0x8009200B;

}  // namespace

int32_t CertStoreHandle::OpenPersonal() {
  last_error_ = 0;
  Close();
  store_ = CertStore::OpenSystem("MY");
  if (store_) return 0;
  last_error_ = LastPlatformError();
  return Code(ErrorCode::kPersonalStoreNotOpened);
}

int32_t CertStoreHandle::OpenMemory() {
  Close();
  store_ = CertStore::OpenMemory();
  if (store_) return 0;
  last_error_ = LastPlatformError();
  return Code(ErrorCode::kMemoryStoreNotOpened);
}

int32_t CertStoreHandle::Close() {
  store_.reset();
  last_error_ = 0;
  return 0;
}

std::optional<KeyProviderLink> CertStoreHandle::GetKeyProvInfo(int64_t id) {
  if (!store_) {
    last_error_ = platform_error::kInvalidParameter;
    return std::nullopt;
  }
  const auto property = store_->GetProperty(id, cert_property::kKeyProviderInfo);
  if (!property) {
    last_error_ = LastPlatformError();
    return std::nullopt;
  }
  auto link = DecodeKeyProviderLink(*property);
  last_error_ = link ? 0 : kNoKeyProperty;
  return link;
}

int32_t CertStoreHandle::FilterCertificates(std::string_view filter, uint32_t flags,
                                            int32_t key_usage,
                                            std::optional<int64_t> comparison_time,
                                            std::vector<StoredCertificate>& candidates) {
  const FilterResult result = ::kelvadrome::FilterCertificates(
      store_.get(), FilterForm::kStore, filter, flags, key_usage, comparison_time, candidates);
  last_error_ = result.platform_error;
  return result.code;
}

}  // namespace kelvadrome
