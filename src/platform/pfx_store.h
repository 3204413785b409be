// PfxStore: a PFX file opened for use. Its certificates sit in a memory store; each key of the file
// sits in a volatile key container of its own (in memory, never on disk), and the certificate it
// belongs to carries the key-provider link to that container. Closing the store forgets the
// containers; a key reaches the user's profile only when a worker persists its container
// (KeyContainerStore::Persist), as importing a certificate into "MY" does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cert_store.h"
#include "platform/key_container.h"

namespace kelvadrome {

// The provider the keys of a PFX file are placed under, as exchange keys.
inline constexpr std::string_view kPfxKeyProvider =
    "Microsoft Enhanced Cryptographic Provider v1.0";

class PfxStore {
 public:
  PfxStore() = default;
  ~PfxStore() { Close(); }
  PfxStore(const PfxStore&) = delete;
  PfxStore& operator=(const PfxStore&) = delete;

  // Load closes any open file, then opens the PFX file at |path| (narrow text) with |password|
  // (narrow text, the process code page): the password as given, and when that fails and it is
  // empty, no password at all. Bit 0 of |flags| makes the keys exportable, bit 1 user-protected.
  // Returns 0; 5005 for an empty path, 5401 when the file cannot be read (or is empty), 5207 when
  // it is no PFX file, 5208 for a wrong password or a file whose content cannot be taken in (a key
  // that is not RSA, a malformed key). platform_error() tells the platform's reason.
  int32_t Load(const std::string& path, std::string_view password, uint32_t flags);

  // Close forgets the certificates and the volatile containers. Nothing happens when nothing is
  // open.
  void Close();

  bool loaded() const { return store_ != nullptr; }
  // The memory store of the file's certificates, in file order; null when nothing is loaded. Owned
  // by this object.
  CertStore* store() const { return store_.get(); }
  uint32_t platform_error() const { return platform_error_; }

 private:
  std::unique_ptr<CertStore> store_;
  std::vector<std::unique_ptr<KeyContainer>> containers_;
  uint32_t platform_error_ = 0;
};

}  // namespace kelvadrome
