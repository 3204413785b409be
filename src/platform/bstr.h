// Automation strings (BSTR) with the layout callers written for OLE expect: a 32-bit byte length
// stored just before the characters, and a zero character after them. The library exports the four
// Sys* functions over these; the surfaces use them for every text result.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvadrome {

using OleChar = char16_t;
using Bstr = OleChar*;

// AllocBstr returns a new string of |length| characters copied from |text| (zero characters when
// |text| is null) plus the terminator; null when the length is too large or memory is short. The
// caller owns it and releases it with FreeBstr.
Bstr AllocBstr(const OleChar* text, uint32_t length);

// AllocBstr of a zero-terminated string; null for null |text|.
Bstr AllocBstr(const OleChar* text);

inline Bstr AllocBstr(std::u16string_view text) {
  return text.size() > UINT32_MAX ? nullptr
                                  : AllocBstr(text.data(), static_cast<uint32_t>(text.size()));
}

// BstrLength returns the character count recorded before |text|; 0 for null.
uint32_t BstrLength(const OleChar* text);

// FreeBstr releases a string made by AllocBstr; null does nothing.
void FreeBstr(Bstr text);

}  // namespace kelvadrome
