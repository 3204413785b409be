#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/handles.h"
#include "platform/text.h"

namespace kelvadrome {

bool UsablePath(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

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

bool ReadWholeFile(const std::string& narrow_path, size_t max_size,
                   const std::function<uint8_t*(size_t)>& allocate) {
  const std::optional<std::string> system_path = SystemPath(narrow_path);
  if (!system_path || !UsablePath(*system_path)) return false;
  // O_NONBLOCK keeps open() from waiting on a FIFO, which is then refused as not a regular file;
  // it changes nothing for regular files.
  UniqueFd fd(::open(system_path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size < 1 || static_cast<uint64_t>(info.st_size) > max_size) return false;
  const auto size = static_cast<size_t>(info.st_size);
  uint8_t* storage = allocate(size);
  return storage != nullptr && ReadExactly(fd.get(), storage, size);
}

}  // namespace kelvadrome
