// What a method does with the error slots when it is entered, and whether it refuses to work when
// the host runs in a browser's protected mode.
//
//   class  clears errorCode  clears capiErrorCode  refuses in protected mode
//     1          yes               yes                    yes
//     2          yes               yes                    no
//     3          yes               no                     yes
//     4          yes               no                     no
//     5          no                no                     yes
//     6          no                no                     no
#pragma once

#include <cstdint>

namespace kelvadrome {

enum class ResetClass : uint8_t { k1 = 1, k2, k3, k4, k5, k6 };

constexpr bool ClearsErrorCode(ResetClass c) {
  return c <= ResetClass::k4;
}
constexpr bool ClearsCapiErrorCode(ResetClass c) {
  return c <= ResetClass::k2;
}
constexpr bool RefusesInProtectedMode(ResetClass c) {
  return c == ResetClass::k1 || c == ResetClass::k3 || c == ResetClass::k5;
}

}  // namespace kelvadrome
