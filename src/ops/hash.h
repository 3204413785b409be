// The hash workers: the digest of a text or of a file as upper-case hex text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/digest.h"

namespace kelvadrome {

class DialogHost;

// Flag bits of the hash workers.
inline constexpr int32_t kHashAlgorithmMask = 7;      // 1 MD5, 3 SHA-256, 4 SHA-512, else SHA-1
inline constexpr int32_t kHashTextInCodePage = 0x10;  // hash the text as code-page bytes

// The result of a hash worker: a component error code (0 on success) and the hex digest, empty
// on failure.
struct HashResult {
  int32_t code = 0;
  std::string hex;
};

// DigestForFlags returns the algorithm that |flags| AND 7 selects.
DigestAlgorithm DigestForFlags(int32_t flags);

// HashText hashes |text| as its UTF-16LE code units, or, with kHashTextInCodePage, as its bytes in
// the process code page up to the first NUL. Empty text fails with 5005.
HashResult HashText(std::u16string_view text, int32_t flags);

// HashFileAt hashes the bytes of the file at |path| (narrow, process code page). An empty path asks
// |host| for a file; a cancelled or impossible picker fails with 5070. A path that names nothing
// fails with 5902; a file that cannot be read, is not a regular file, is empty, or changes size
// while it is read fails with 1002. The file is streamed, so memory stays bounded whatever its
// size.
HashResult HashFileAt(std::string path, int32_t flags, DialogHost& host);

}  // namespace kelvadrome
