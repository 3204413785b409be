// The registry: two roots of keys with named values, kept in the profile databases. The current
// user's root lives in the user's profile; the machine root in the machine profile, read only.
//
// A key is named by its path below the root: key names joined by '\' ("Software\ORLA\QuorixATL");
// the empty path is the root itself. Key and value names compare without regard to letter case, and
// keep the spelling they were created with. The empty value name is the key's default value.
//
// Names and text values cross this interface as narrow text in the process code page, as the
// component keeps them; inside, names are UTF-8 and text values UTF-16LE, so a value written under
// one code page reads back as the same characters under another. Other value types are kept raw.
//
// Every failure records the platform error a registry would give: 2 for a missing key or value,
// 161 for a malformed path, 5 when writing the machine root, and the profile's own errors.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/profile.h"

namespace kelvadrome {

namespace registry_type {
inline constexpr uint32_t kNone = 0;
inline constexpr uint32_t kString = 1;        // REG_SZ
inline constexpr uint32_t kExpandString = 2;  // REG_EXPAND_SZ
inline constexpr uint32_t kBinary = 3;        // REG_BINARY
inline constexpr uint32_t kDword = 4;         // REG_DWORD, little-endian
inline constexpr uint32_t kMultiString = 7;   // REG_MULTI_SZ
inline constexpr uint32_t kQword = 11;        // REG_QWORD, little-endian
}  // namespace registry_type

struct RegistryValue {
  uint32_t type = registry_type::kNone;
  std::vector<uint8_t> data;  // for text types: bytes of the process code page

  // A REG_DWORD value of |number| (little-endian).
  static RegistryValue Dword(uint32_t number) {
    return {registry_type::kDword,
            {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
             static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)}};
  }
  // The number held in four bytes of data, whatever the type; nullopt for another size.
  std::optional<uint32_t> AsDword() const {
    if (data.size() != 4) return std::nullopt;
    return data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t{data[3]} << 24);
  }
};

class Registry {
 public:
  enum class Root { kCurrentUser, kLocalMachine };

  // Open opens a root. The current user's root fails (null, error recorded) when the profile
  // cannot be opened; a missing machine profile gives an empty, read-only root.
  static std::unique_ptr<Registry> Open(Root root);

  // The root kept in |database| (null: an empty, read-only root). The connection may be shared
  // with other stores, so that their changes can be joined in one transaction.
  explicit Registry(std::shared_ptr<ProfileDatabase> database);

  // KeyExists reports whether the key at |path| exists (the root always does).
  bool KeyExists(std::string_view path);

  // CreateKey creates the key at |path| and every missing key above it, in one transaction.
  bool CreateKey(std::string_view path);

  // QueryValue returns the value |name| of the key at |path|; nullopt (error 2) when either is
  // missing.
  std::optional<RegistryValue> QueryValue(std::string_view path, std::string_view name);

  // SetValue stores |value| as |name| of the key at |path|, creating the key path when missing,
  // replacing any value of that name (its spelling is kept).
  bool SetValue(std::string_view path, std::string_view name, const RegistryValue& value);

  // SetValues stores each of |values| (name and value) as SetValue does, in the given order and
  // in one step: when it fails none of them is stored.
  bool SetValues(std::string_view path,
                 const std::vector<std::pair<std::string, RegistryValue>>& values);

  // DeleteValue removes the value |name|; false (error 2) when it does not exist.
  bool DeleteValue(std::string_view path, std::string_view name);

  // DeleteKey removes the key at |path| with all its subkeys and values; the root cannot be
  // deleted (error 5).
  bool DeleteKey(std::string_view path);

  // SubkeyNames lists the names of the key's direct subkeys in a stable order (by their folded
  // names); nullopt when the key does not exist.
  std::optional<std::vector<std::string>> SubkeyNames(std::string_view path);

  // SubkeyValues reads one value from every direct subkey at once: for each subkey, in the order
  // of SubkeyNames, its name and its value |name| (nullopt when it has none). nullopt when the key
  // does not exist.
  std::optional<std::vector<std::pair<std::string, std::optional<RegistryValue>>>> SubkeyValues(
      std::string_view path, std::string_view name);

  // Values lists the key's values (name and value) in a stable order; nullopt for a missing key.
  std::optional<std::vector<std::pair<std::string, RegistryValue>>> Values(std::string_view path);

 private:
  std::optional<int64_t> FindKey(std::string_view path);
  std::optional<int64_t> FindOrCreateKey(std::string_view path);
  bool Writable();

  std::shared_ptr<ProfileDatabase> database_;
};

// FoldRegistryName returns the form in which registry names are compared: the UTF-8 name with
// every letter in upper case.
std::string FoldRegistryName(std::string_view utf8_name);

}  // namespace kelvadrome
