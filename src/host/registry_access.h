// The registry workers' rules: one path argument names a value as key-path "\" value-name below
// the current user's or the machine's root; reads give text (numbers in decimal), writes store a
// 32-bit number or a text under the current user.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvadrome {

// A path split at its last backslash.
struct RegistryValuePath {
  std::string key;    // everything before the last backslash; empty: the root itself
  std::string value;  // everything after it; empty: the key's default value
};

// SplitRegistryValuePath splits |path| (narrow text) at its last backslash character, walking the
// text by characters; false for an empty path or one without a backslash.
bool SplitRegistryValuePath(std::string_view path, RegistryValuePath* split);

// The outcome of a registry worker: a component error code and, for reads, the text (narrow, in
// the process code page).
struct RegistryOutcome {
  int32_t code = 0;
  std::string text;
};

enum class RegistryRootChoice { kCurrentUser, kLocalMachine };

// ReadRegistryText reads the value at |path|: a REG_SZ value as its text (up to its first zero
// byte; values of more than 255 bytes read as empty), a REG_DWORD as signed decimal, anything
// else, or a missing value, as empty text with code 0. A key that cannot be opened gives 5906.
RegistryOutcome ReadRegistryText(RegistryRootChoice root, const RegistryValuePath& path);

// WriteRegistryNumber / WriteRegistryText store |number| as REG_DWORD or |text| as REG_SZ (with
// its terminating zero) under the current user, creating the key path. 5906 when the key cannot
// be created or the value cannot be stored.
int32_t WriteRegistryNumber(const RegistryValuePath& path, int32_t number);
int32_t WriteRegistryText(const RegistryValuePath& path, std::string_view text);

}  // namespace kelvadrome
