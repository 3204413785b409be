#include "platform/der_writer.h"

#include <cstdlib>
#include <stdexcept>

namespace kelvadrome {

std::vector<uint8_t> DerElement(uint8_t tag,
                                std::initializer_list<std::span<const uint8_t>> parts) {
  size_t length = 0;
  for (const auto& part : parts) length += part.size();
  if (length > UINT32_MAX) throw std::length_error("DER content too long");
  std::vector<uint8_t> out;
  out.reserve(length + 6);
  out.push_back(tag);
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
  } else {
    uint8_t octets = 0;
    for (size_t rest = length; rest != 0; rest >>= 8) ++octets;
    out.push_back(static_cast<uint8_t>(0x80 | octets));
    for (int shift = 8 * (octets - 1); shift >= 0; shift -= 8) {
      out.push_back(static_cast<uint8_t>(length >> shift));
    }
  }
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::vector<uint8_t> DerObjectIdentifier(const char* dotted) {
  std::vector<uint64_t> arcs;
  const char* cursor = dotted;
  while (*cursor != '\0') {
    char* end = nullptr;
    arcs.push_back(std::strtoull(cursor, &end, 10));
    if (end == cursor || (*end != '.' && *end != '\0')) throw std::invalid_argument(dotted);
    cursor = *end == '.' ? end + 1 : end;
  }
  if (arcs.size() < 2 || arcs[0] > 2) throw std::invalid_argument(dotted);
  std::vector<uint8_t> content;
  auto put = [&](uint64_t arc) {
    uint8_t groups[10];
    size_t count = 0;
    do {
      groups[count++] = static_cast<uint8_t>(arc & 0x7F);
      arc >>= 7;
    } while (arc != 0);
    while (count > 1) content.push_back(static_cast<uint8_t>(0x80 | groups[--count]));
    content.push_back(groups[0]);
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  return DerElement(0x06, {content});
}

}  // namespace kelvadrome
