// The component's side of the shared signer block: publishing the selected signer for the other
// instances of the same user, and reading what they published.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome {

class SharedBlock;
struct SelectedSigner;

class SignerShare {
 public:
  SignerShare();
  ~SignerShare();
  SignerShare(const SignerShare&) = delete;
  SignerShare& operator=(const SignerShare&) = delete;

  // opened reports whether the block was opened in this instance; the readers below give their
  // empty results until it is.
  bool opened() const { return block_ != nullptr; }
  // Open opens (or creates) the block on first use; later calls do nothing. The block is the
  // user's "QuorixATL Module", or the one KELVADROME_SHARE_NAME names (for tests).
  void Open();

  // PublishSigner writes |signer| into the block (opening it first); results are not checked.
  void PublishSigner(const SelectedSigner& signer);
  // WriteText replaces the item |name| with |text|'s bytes; empty text removes it.
  void WriteText(std::string_view name, std::string_view text);
  // ReadInt gives the item as a number, -1 when absent (or the block was never opened here).
  int32_t ReadInt(std::string_view name);
  // ReadText gives the item as text, empty when absent.
  std::string ReadText(std::string_view name);
  // ReadBytes gives the item's bytes; false when absent.
  bool ReadBytes(std::string_view name, std::vector<uint8_t>& bytes);

 private:
  std::unique_ptr<SharedBlock> block_;
};

}  // namespace kelvadrome
