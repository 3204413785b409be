#include "platform/secrets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <tuple>
#include <vector>
#include <string>

#include "platform/text.h"
#include "support/scoped_code_page.h"

namespace kelvadrome {
namespace {

// True when the |count| bytes at |data| are all zero.
bool Zeroed(const void* data, size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  return std::all_of(bytes, bytes + count, [](unsigned char b) { return b == 0; });
}

// A password must not survive in storage its string still owns after the text moved on: the
// inline buffer of a moved-from string, the tail left by a shorter assignment, a removed
// character. (Freed heap blocks are covered by the allocator, which cannot be observed safely.)
TEST(SecretStringTest, StorageItStillOwnsHoldsNoOldText) {
  SecretString short_text(std::string_view("pw-1234"));  // short enough to fit inline
  const char* old_buffer = short_text.data();
  SecretString taken(std::move(short_text));
  EXPECT_EQ(taken, "pw-1234");
  EXPECT_TRUE(short_text.empty());
  // Either the storage went over to |taken|, or the text was copied and the old buffer wiped.
  if (taken.data() != old_buffer) {
    EXPECT_TRUE(Zeroed(old_buffer, 7)) << "the moved-from buffer still holds the text";
  }
  EXPECT_TRUE(Zeroed(short_text.data(), 7)) << "the moved-from string's own buffer holds text";

  SecretString text(std::string_view("a long passphrase on the heap"));
  text.assign("ab");
  EXPECT_EQ(text, "ab");
  EXPECT_TRUE(Zeroed(text.data() + 3, 26)) << "the tail of the longer text was left behind";

  text.pop_back();
  EXPECT_EQ(text, "a");
  EXPECT_TRUE(Zeroed(text.data() + 1, 2));

  SecretString assigned;
  assigned = taken;
  taken.Wipe();
  EXPECT_EQ(assigned, "pw-1234") << "a copy is independent of its source";
  EXPECT_TRUE(Zeroed(taken.data(), 7));
}

// The secret conversions give exactly what the plain ones give, in UTF-8 and in a double-byte
// code page, for characters the code page has and lacks.
TEST(SecretStringTest, SecretConversionsMatchThePlainOnes) {
  for (const char* code_page : {"UTF-8", "CP950"}) {
    SCOPED_TRACE(code_page);
    testing::ScopedCodePage pinned(code_page);
    for (const std::u16string& text :
         {std::u16string(u""), std::u16string(u"plain"), std::u16string(u"密碼-許功蓋"),
          std::u16string(u"\u00e9\U0001F511"), std::u16string(1, u'\xD800')}) {
      const std::string narrow = ConvertToNarrow(text);
      EXPECT_EQ(ConvertSecretToNarrow(text), narrow);
      EXPECT_EQ(SecretNarrowToUtf8(narrow), NarrowToUtf8(narrow));
    }
  }
}

// The VmFlags the kernel reports in /proc/self/smaps for the mapping that holds |address|; empty
// when no mapping holds it.
std::string MappingFlags(const void* address) {
  const auto wanted = reinterpret_cast<uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long start = 0, end = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 && line.find(':') > 8) {
      inside = wanted >= start && wanted < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line.substr(8) + " ";
    }
  }
  return {};
}

bool LeftOutOfDumps(const void* address) {
  return MappingFlags(address).find(" dd ") != std::string::npos;
}

// Every secret's storage, small or large, whichever owner holds it and however it got its text, is
// in a mapping marked "dd" (MADV_DONTDUMP) from its first byte to its last; plain heap memory is not.
TEST(SecretStorageTest, EverySecretIsInMemoryLeftOutOfCoreDumps) {
  const std::string plain_heap(100, 'x');
  ASSERT_FALSE(LeftOutOfDumps(plain_heap.data())) << "smaps is not read as expected";
  for (const size_t size : {size_t{1}, size_t{7}, size_t{15}, size_t{16}, size_t{17}, size_t{100},
                            kSecretPoolBlockLimit, kSecretPoolBlockLimit + 1, size_t{4096},
                            size_t{70000}}) {
    SCOPED_TRACE(size);
    SecretBytes bytes(size);
    EXPECT_TRUE(LeftOutOfDumps(bytes.data()));
    EXPECT_TRUE(LeftOutOfDumps(bytes.data() + size - 1));

    const std::string text(size, 'p');
    SecretString constructed(text);
    SecretString appended;
    for (const char c : text) appended.push_back(c);
    const SecretString copied(constructed);
    SecretString moved(std::move(appended));
    const SecretU16String wide(std::u16string(size, u'p'));
    for (const auto& [what, data, length] :
         {std::tuple{"constructed", constructed.data(), size}, {"copied", copied.data(), size},
          {"pushed back, then moved", moved.data(), size}}) {
      SCOPED_TRACE(what);
      EXPECT_TRUE(LeftOutOfDumps(data));
      EXPECT_TRUE(LeftOutOfDumps(data + length - 1));
    }
    EXPECT_TRUE(LeftOutOfDumps(wide.data()));
    EXPECT_TRUE(LeftOutOfDumps(wide.data() + size - 1));
  }
}

// Blocks handed out together never overlap, whatever their sizes and however freed blocks are
// reused: each keeps its own pattern while the others are written, freed and taken again. Blocks
// are aligned to 16 bytes.
TEST(SecretStorageTest, BlocksHandedOutTogetherDoNotOverlap) {
  struct Held {
    uint8_t* block;
    size_t size;
    uint8_t pattern;
  };
  const std::vector<size_t> sizes = {1,    8,    16,   17,   31,   32,   33,   500,
                                     1024, 1025, 2047, 2048, 2049, 5000, 65536, 3};
  std::vector<Held> held;
  uint8_t next_pattern = 1;
  auto take = [&](size_t size) {
    auto* block = static_cast<uint8_t*>(SecretAllocate(size));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << size;
    std::fill(block, block + size, next_pattern);
    held.push_back({block, size, next_pattern++});
  };
  // Enough rounds that size classes run past their first chunk.
  for (int round = 0; round < 40; ++round) {
    for (const size_t size : sizes) take(size);
    // Free every third block, then take blocks of the same sizes again.
    std::vector<size_t> freed;
    for (size_t i = held.size() - sizes.size(); i < held.size(); i += 3) {
      SecretFree(held[i].block, held[i].size);
      freed.push_back(held[i].size);
      held[i].block = nullptr;
    }
    std::erase_if(held, [](const Held& h) { return h.block == nullptr; });
    for (const size_t size : freed) take(size);
  }
  for (const Held& h : held) {
    SCOPED_TRACE(h.size);
    EXPECT_TRUE(std::all_of(h.block, h.block + h.size, [&](uint8_t b) { return b == h.pattern; }))
        << "another block was written over this one";
    SecretFree(h.block, h.size);
  }
}

}  // namespace
}  // namespace kelvadrome
