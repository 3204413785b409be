// Removal of certificate and PKCS #7 armour from PEM text, leaving the bare Base64 body.
#include <string>
#include <string_view>

#include "codec/byte_buffer.h"

namespace kelvadrome {

namespace {

// Removes every occurrence of |marker| from |text| in one left-to-right pass; text that comes
// together where a marker was removed is not searched again.
void RemoveAll(std::string& text, std::string_view marker) {
  if (text.find(marker) == std::string::npos) return;
  std::string kept;
  kept.reserve(text.size());
  size_t read = 0;
  for (size_t found; (found = text.find(marker, read)) != std::string::npos;
       read = found + marker.size()) {
    kept.append(text, read, found - read);
  }
  kept.append(text, read);
  text.swap(kept);
}

}  // namespace

void StripPemArmour(std::string& text) {
  if (text.compare(0, 5, "-----") != 0) return;
  RemoveAll(text, "-----BEGIN CERTIFICATE-----");
  RemoveAll(text, "-----END CERTIFICATE-----");
  RemoveAll(text, "-----BEGIN PKCS #7-----");
  RemoveAll(text, "-----END PKCS #7-----");
  std::erase(text, '\n');
  std::erase(text, '\r');
}

}  // namespace kelvadrome
