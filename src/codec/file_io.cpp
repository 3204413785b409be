// Whole-file transfer between the file system and a ByteBuffer: plain bytes, no text translation.
// Paths arrive as narrow text in the process code page; each function converts its path to the
// file system's spelling on entry (SystemPath) and fails, as for a missing file, when it cannot.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "codec/byte_buffer.h"
#include "platform/handles.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

// A path the system calls can take: not empty and without an embedded NUL, which would silently
// cut it short.
bool UsablePath(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

// Reads exactly |size| bytes into |out|, retrying after signals and short reads. Returns false on
// a read error or when the file ends first (it shrank after its size was taken).
bool ReadExactly(int fd, uint8_t* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, out + done, size - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// Writes all |size| bytes, retrying after signals and short writes.
bool WriteAll(int fd, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fd, data + done, size - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// Makes a rename in |folder| durable. Failure is not reported: the new content is already in
// place and complete, only its survival of a power loss is less certain.
void SyncFolder(const std::string& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

bool ReadFileBytes(const std::string& narrow_path, ByteBuffer& out) {
  out.Reset();
  const std::optional<std::string> system_path = SystemPath(narrow_path);
  if (!system_path) return false;
  const std::string& path = *system_path;
  if (!UsablePath(path)) return false;
  // O_NONBLOCK keeps open() from waiting on a FIFO, which is then refused as not a regular file;
  // it changes nothing for regular files.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size < 1 || info.st_size > ByteBuffer::kMaxLength) return false;
  if (!out.Allocate(static_cast<int32_t>(info.st_size))) return false;
  if (!ReadExactly(fd.get(), out.data(), static_cast<size_t>(out.length()))) {
    out.Reset();
    return false;
  }
  return true;
}

bool WriteFileBytes(const std::string& narrow_path, const ByteBuffer& buffer) {
  const std::optional<std::string> system_path = SystemPath(narrow_path);
  if (!system_path) return false;
  const std::string& path = *system_path;
  if (!UsablePath(path)) return false;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return false;

  // The content goes to a hidden temporary file beside the target (same file system, so the
  // rename is atomic) and replaces the target only once it is complete and on disk; a failure at
  // any point removes the temporary and leaves an existing target as it was. The name is kept
  // short enough to stay within the file system's limit on names.
  std::string temp = folder + "." + name.substr(0, 64) + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));  // mode 0600
  if (!fd.valid()) return false;
  const bool written = WriteAll(fd.get(), buffer.data(), static_cast<size_t>(buffer.length())) &&
                       ::fsync(fd.get()) == 0;
  const bool closed = fd.Close();
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolder(folder);
  return true;
}

bool PathExists(const std::string& narrow_path) {
  const std::optional<std::string> path = SystemPath(narrow_path);
  struct stat info {};
  return path && ::stat(path->c_str(), &info) == 0;
}

bool SameFile(const std::string& narrow_a, const std::string& narrow_b) {
  const std::optional<std::string> a = SystemPath(narrow_a);
  const std::optional<std::string> b = SystemPath(narrow_b);
  struct stat first {};
  struct stat second {};
  if (!a || !b || ::stat(a->c_str(), &first) != 0 || ::stat(b->c_str(), &second) != 0) {
    return false;
  }
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool EnsureFolder(const std::string& narrow_folder) {
  const std::optional<std::string> folder = SystemPath(narrow_folder);
  if (!folder) return false;
  struct stat info {};
  if (::stat(folder->c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  return ::mkdir(folder->c_str(), 0700) == 0;
}

bool RemoveFile(const std::string& narrow_path) {
  const std::optional<std::string> path = SystemPath(narrow_path);
  return path && ::unlink(path->c_str()) == 0;
}

}  // namespace kelvadrome
