// What a method does with the error slots when it is entered, and whether it refuses to work when
// the host runs in a browser's protected mode. The name says both: "Both" is errorCode and
// capiErrorCode, "Code" is errorCode alone; "RefuseProtected" refuses in protected mode.
//
//   class                          clears errorCode  clears capiErrorCode  refuses in protected
//   mode 1 kClearBothRefuseProtected          yes               yes                    yes 2
//   kClearBoth                         yes               yes                    no 3
//   kClearCodeRefuseProtected          yes               no                     yes 4 kClearCode
//   yes               no                     no 5 kKeepBothRefuseProtected           no no yes 6
//   kKeepBoth                          no                no                     no
//
// The numbers are the classes' place in the interface description and stay fixed.
#pragma once

#include <cstdint>

namespace kelvadrome {

enum class ResetClass : uint8_t {
  kClearBothRefuseProtected = 1,
  kClearBoth = 2,
  kClearCodeRefuseProtected = 3,
  kClearCode = 4,
  kKeepBothRefuseProtected = 5,
  kKeepBoth = 6,
};

constexpr bool ClearsErrorCode(ResetClass c) {
  return c <= ResetClass::kClearCode;
}
constexpr bool ClearsCapiErrorCode(ResetClass c) {
  return c <= ResetClass::kClearBoth;
}
constexpr bool RefusesInProtectedMode(ResetClass c) {
  return c == ResetClass::kClearBothRefuseProtected || c == ResetClass::kClearCodeRefuseProtected ||
         c == ResetClass::kKeepBothRefuseProtected;
}

}  // namespace kelvadrome
