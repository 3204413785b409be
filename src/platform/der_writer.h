// DER writing for the few structures the component encodes itself (certification requests):
// elements are built inside out, each from the encodings of its parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace kelvadrome {

// DerElement returns the element of |tag| (one tag octet) whose content is |parts| joined in
// order, with the length in its shortest definite form. Throws std::length_error for content of
// 4 GiB or more, which no length of four octets can carry.
std::vector<uint8_t> DerElement(uint8_t tag, std::initializer_list<std::span<const uint8_t>> parts);

// DerObjectIdentifier returns the OBJECT IDENTIFIER element of the dotted text |dotted|
// ("2.5.4.3"); the text must be a valid identifier of at least two arcs (it is a constant of the
// caller), else std::invalid_argument.
std::vector<uint8_t> DerObjectIdentifier(const char* dotted);

}  // namespace kelvadrome
