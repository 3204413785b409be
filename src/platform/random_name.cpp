#include "platform/random_name.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace kelvadrome {

std::string RandomGuidText() {
  unsigned char bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    filled += static_cast<size_t>(got);
  }
  std::string name;
  char pair[3];
  for (size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) name += '-';
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    name += pair;
  }
  return name;
}

}  // namespace kelvadrome
