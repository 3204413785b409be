// Whole-file transfer between the file system and a ByteBuffer: plain bytes, no text translation.
// Paths arrive as narrow text in the process code page; each function converts its path to the
// file system's spelling on entry (SystemPath) and fails, as for a missing file, when it cannot.
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "codec/byte_buffer.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

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
  const bool read = ReadWholeFile(narrow_path, ByteBuffer::kMaxLength, [&out](size_t size) {
    return out.Allocate(static_cast<int32_t>(size)) ? out.data() : nullptr;
  });
  if (!read) out.Reset();
  return read;
}

namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";

// The hidden name of a temporary beside |name|, kept short enough for the file system's limit.
std::string TemporaryPrefix(const std::string& name) {
  return "." + name.substr(0, 64) + std::string(kTemporaryMark);
}

std::string RandomSuffix() {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  uint8_t random[8] = {};
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    const auto clock = static_cast<uint64_t>(::time(nullptr)) ^ static_cast<uint64_t>(::getpid());
    std::memcpy(random, &clock, sizeof random);
  }
  std::string suffix;
  for (const uint8_t byte : random) suffix += kLetters[byte % (sizeof kLetters - 1)];
  return suffix;
}

// Gives the unnamed file |fd| a fresh name starting with |prefix|, stored in |temp|, so that it can
// then be renamed over the target (linkat cannot replace a file itself). False, with |temp|
// untouched, when the file cannot be named (no /proc and no right to link by descriptor).
bool NameUnnamedFile(int fd, const std::string& prefix, std::string& temp) {
  const std::string by_descriptor = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string candidate = prefix + RandomSuffix();
    if (::linkat(fd, "", AT_FDCWD, candidate.c_str(), AT_EMPTY_PATH) == 0 ||
        ::linkat(AT_FDCWD, by_descriptor.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) ==
            0) {
      temp = candidate;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Where unnamed files cannot be made, a temporary left by a writer that was killed would stay
// forever: remove those of the target's own naming that nobody has touched for a while (a live
// writer touches its temporary all the time, and names it only for the moment before the rename).
void RemoveStaleTemporaries(const std::string& folder, const std::string& hidden_prefix) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return;
  const time_t stale_before = ::time(nullptr) - 600;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view entry_name(entry->d_name);
    if (entry_name.size() <= hidden_prefix.size() ||
        entry_name.substr(0, hidden_prefix.size()) != hidden_prefix) {
      continue;
    }
    struct stat info {};
    if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_mtime < stale_before &&
        info.st_ctime < stale_before) {
      ::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
  }
  ::closedir(listing);
}

}  // namespace

bool WriteFileBytes(const std::string& narrow_path, const ByteBuffer& buffer) {
  const std::optional<std::string> system_path = SystemPath(narrow_path);
  if (!system_path) return false;
  const std::string& path = *system_path;
  if (!UsablePath(path)) return false;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return false;
  const std::string prefix = folder + TemporaryPrefix(name);

  // A regular file being replaced keeps its mode and owner; a link or anything else is replaced
  // by a private file.
  struct stat existing {};
  const bool replacing = ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);

  // Fills |fd| with the content, with the replaced file's owner and mode, and syncs it.
  const auto fill = [&](int fd) {
    if (!WriteAll(fd, buffer.data(), static_cast<size_t>(buffer.length()))) return false;
    if (replacing) {
      // The owner first: changing it may clear mode bits. Keeping the owner is allowed only to a
      // privileged process, and not keeping it is no reason to fail.
      if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
        (void)::fchown(fd, existing.st_uid, existing.st_gid);
      }
      if (::fchmod(fd, existing.st_mode & 07777) != 0) return false;
    }
    return ::fsync(fd) == 0;
  };

  // The content goes to a temporary file beside the target (same file system, so the rename is
  // atomic) and replaces the target only once it is complete and on disk; a failure at any point
  // removes the temporary and leaves an existing target as it was. The temporary has no name while
  // it is written, so a writer killed meanwhile leaves nothing behind; it is named only for the
  // moment before the rename.
  std::string temp;
  bool ready = false;
  UniqueFd unnamed(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (unnamed.valid()) {
    if (!fill(unnamed.get())) return false;
    ready = NameUnnamedFile(unnamed.get(), prefix, temp) && unnamed.Close();
    if (!ready) {
      if (!temp.empty()) ::unlink(temp.c_str());
      temp.clear();
    }
  }
  if (!ready) {
    // A file system without unnamed files (or without a way to name one): a named temporary.
    RemoveStaleTemporaries(folder, TemporaryPrefix(name));
    temp = prefix + "XXXXXX";
    UniqueFd named(::mkostemp(temp.data(), O_CLOEXEC));  // mode 0600
    if (!named.valid()) return false;
    ready = fill(named.get());
    ready = named.Close() && ready;
  }
  if (!ready || ::rename(temp.c_str(), path.c_str()) != 0) {
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

bool IsExistingFile(const std::string& narrow_path) {
  const std::optional<std::string> path = SystemPath(narrow_path);
  struct stat info {};
  return path && ::stat(path->c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
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
