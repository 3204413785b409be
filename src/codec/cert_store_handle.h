// CertStoreHandle: the holder through which workers open the user's personal store or an empty
// memory store, and read the key-provider link of a store certificate. It owns the open store and
// remembers the platform error of its last failed platform call, which workers copy into their
// error slots.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/cert_store.h"

namespace kelvadrome {

class CertStoreHandle {
 public:
  CertStoreHandle() = default;
  ~CertStoreHandle() { Close(); }
  CertStoreHandle(const CertStoreHandle&) = delete;
  CertStoreHandle& operator=(const CertStoreHandle&) = delete;

  // OpenPersonal closes any open store and opens the user's "MY". Returns 0, or 5201 with
  // last_error() set to the platform's error.
  int32_t OpenPersonal();

  // OpenMemory closes any open store and opens an empty memory store. Returns 0, or 5226.
  int32_t OpenMemory();

  // Close forgets the open store (if any) and clears last_error(). Returns 0.
  int32_t Close();

  // GetKeyProvInfo returns the key-provider link of certificate |id| of the open store; nullopt
  // (last_error() set) when no store is open or the certificate has no link.
  std::optional<KeyProviderLink> GetKeyProvInfo(int64_t id);

  // FilterCertificates applies the store form of the certificate filter (certificate_filter.h)
  // to the open store: |candidates| is emptied and receives copies of the accepted certificates.
  // Returns the filter's code (5010 when no store is open) and sets last_error() to the platform
  // error the filter reports.
  int32_t FilterCertificates(std::string_view filter, uint32_t flags, int32_t key_usage,
                             std::optional<int64_t> comparison_time,
                             std::vector<StoredCertificate>& candidates);

  // The open store; null when closed.
  CertStore* store() const { return store_.get(); }
  uint32_t last_error() const { return last_error_; }

 private:
  std::unique_ptr<CertStore> store_;
  uint32_t last_error_ = 0;
};

}  // namespace kelvadrome
