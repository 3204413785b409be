// Reading whole files. Paths arrive as narrow text in the process code page and are converted to
// the file system's spelling (SystemPath, platform/text.h); a path that cannot be converted fails
// as a missing file would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kelvadrome {

// UsablePath tells whether the system calls can take |path|: not empty and without an embedded
// NUL, which would silently cut it short.
bool UsablePath(const std::string& path);

// ReadExactly reads exactly |size| bytes into |out|, retrying after signals and short reads.
// False on a read error or when the file ends first (it shrank after its size was taken).
bool ReadExactly(int fd, uint8_t* out, size_t size);

// ReadWholeFile reads the regular file at |narrow_path| into storage |allocate| gives for its size
// (null from |allocate| fails the read). False for an unusable path, a missing or unreadable file,
// a FIFO, a directory, a zero-length file or one larger than |max_size|; the storage then holds
// nothing the caller may use.
bool ReadWholeFile(const std::string& narrow_path, size_t max_size,
                   const std::function<uint8_t*(size_t)>& allocate);

}  // namespace kelvadrome
