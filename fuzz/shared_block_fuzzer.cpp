// Item-table walks over an arbitrary block image. The first input byte is the data length for a
// new item; the rest is the block, held in a heap buffer of exactly its size so that any read or
// write past it is caught. Checks that lookups agree with each other, that an added item reads
// back whole and can be deleted again, and that reported lengths stay inside the block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/shared_block.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The ASCII characters of the first item's name field, so the walks also meet a name that exists.
std::string FirstName(const std::vector<uint8_t>& image) {
  std::string name;
  for (size_t i = 8; i + 1 < image.size() && i < 8 + 78 && image[i] != 0; i += 2) {
    if (image[i] < 0x80 && image[i + 1] == 0) name += static_cast<char>(image[i]);
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kelvadrome::SharedBlock;
  if (size < 1) return 0;
  const uint32_t add_length = data[0];
  std::vector<uint8_t> image(data + 1, data + size);
  SharedBlock block(SharedBlock::OverMemory{}, image.data(), image.size());
  if (!block.valid()) {
    Check(image.size() < kelvadrome::kSharedBlockHeaderSize && !block.HasItem("a") &&
          block.last_error() == kelvadrome::share_error::kNotValid);
    return 0;
  }
  Check(block.total_size() <= image.size());

  const std::string names[] = {"a", "signerMedia", "", FirstName(image)};
  for (const std::string& name : names) {
    uint32_t length = 0;
    const bool has = block.HasItem(name);
    Check(block.GetItem(name, nullptr, &length) == has);
    if (!has) continue;
    Check(length != 0 && length <= block.total_size());
    std::vector<uint8_t> buffer(length);
    uint32_t got = length;
    Check(block.GetItem(name, buffer.data(), &got) && got == length);
    Check(block.SetItem(name, buffer.data(), 1));
    block.GetInt(name, 0);
  }

  const std::string fresh = "fz";
  if (!block.HasItem(fresh)) {
    const std::vector<uint8_t> payload(add_length, 0xA5);
    if (block.AddItem(fresh, payload.data(), add_length)) {
      std::vector<uint8_t> back(add_length);
      uint32_t got = add_length;
      Check(block.GetItem(fresh, back.data(), &got) && got == add_length && back == payload);
      Check(block.DeleteItem(fresh) && !block.HasItem(fresh));
    } else {
      Check(block.last_error() != 0);
    }
  }
  for (const std::string& name : names) {
    if (block.HasItem(name)) Check(block.DeleteItem(name));
  }
  return 0;
}
