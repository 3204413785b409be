// The component's side of the shared signer record: publishing the selected signer for the other
// instances of the same user, and reading what they published. The record's items and their
// names are known here only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ops/signer_selection.h"
#include "platform/secrets.h"

namespace kelvadrome {

class SharedBlock;

// The PFX file of a published signer: where it is and the password that opens it.
struct PublishedPfxFile {
  std::string folder;
  std::string name;
  SecretString password;
};

class SignerShare {
 public:
  SignerShare();
  ~SignerShare();
  SignerShare(const SignerShare&) = delete;
  SignerShare& operator=(const SignerShare&) = delete;

  // opened reports whether the block was opened in this instance; the readers below find nothing
  // until it is.
  bool opened() const { return block_ != nullptr; }
  // Open opens (or creates) the block on first use; later calls do nothing. The block is the
  // user's "QuorixATL Module", or the one KELVADROME_SHARE_NAME names (for tests).
  void Open();

  // Publish writes |signer| into the record (opening the block first); results are not checked:
  // a publish that fails leaves the items published before.
  void Publish(const SelectedSigner& signer);
  // Read returns the published signer, every item as it stands (an item not published is empty);
  // nullopt when no certificate was published (or the block was never opened here). A source
  // the record does not name is kNone.
  std::optional<SelectedSigner> Read();
  // ReadPfxFile returns the published PFX file when the published signer's source is a PFX file.
  std::optional<PublishedPfxFile> ReadPfxFile();
  // PublishPfxPassword replaces the published PFX file's password (opening the block first).
  void PublishPfxPassword(const SecretString& password);

 private:
  void WriteBytes(std::string_view name, const void* data, size_t size);
  SignerSource ReadSource();
  bool ReadBytes(std::string_view name, std::vector<uint8_t>& bytes);
  std::string ReadText(std::string_view name);
  SecretString ReadSecretText(std::string_view name);

  std::unique_ptr<SharedBlock> block_;
};

}  // namespace kelvadrome
