#include "platform/registry.h"

#include <cwctype>

#include <locale.h>

#include "platform/last_error.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

constexpr int64_t kRootKey = 1;
constexpr size_t kMaxKeyNameCharacters = 255;
constexpr uint32_t kBadPathname = 161;

bool IsTextType(uint32_t type) {
  return type == registry_type::kString || type == registry_type::kExpandString ||
         type == registry_type::kMultiString;
}

// Names arrive in the process code page; the database keeps UTF-8.
std::string StoredName(std::string_view narrow) {
  return Utf16ToUtf8(ConvertToWide(narrow));
}

std::string CallerName(std::string_view stored) {
  return ConvertToNarrow(Utf8ToUtf16(stored));
}

std::vector<uint8_t> StoredData(const RegistryValue& value) {
  if (!IsTextType(value.type)) return value.data;
  const std::u16string wide = ConvertToWide(
      std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size()));
  std::vector<uint8_t> bytes(wide.size() * 2);
  for (size_t i = 0; i < wide.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(wide[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
  }
  return bytes;
}

RegistryValue CallerValue(uint32_t type, std::vector<uint8_t> stored) {
  if (!IsTextType(type)) return {type, std::move(stored)};
  std::u16string wide(stored.size() / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    wide[i] = static_cast<char16_t>(stored[2 * i] | (stored[2 * i + 1] << 8));
  }
  const std::string narrow = ConvertToNarrow(wide);
  return {type, std::vector<uint8_t>(narrow.begin(), narrow.end())};
}

// Splits a key path (narrow text) into its stored names; false (error 161) for an empty name or an
// overlong one. The path is split in its UTF-8 form, where a '\\' byte is always the character
// itself: in a double-byte code page it can be the second byte of a character (許 is B3 5C in code
// page 950).
bool SplitKeyPath(std::string_view path, std::vector<std::string>* names) {
  names->clear();
  if (path.empty()) return true;
  const std::string stored_path = StoredName(path);
  const std::string_view stored(stored_path);
  size_t start = 0;
  for (;;) {
    const size_t end = stored.find('\\', start);
    const std::string_view name = stored.substr(start, end - start);
    if (name.empty() || Utf8ToUtf16(name).size() > kMaxKeyNameCharacters) {
      SetLastPlatformError(kBadPathname);
      return false;
    }
    names->emplace_back(name);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

locale_t CaseLocale() {
  // The C.UTF-8 locale carries the full Unicode case tables; it is made once and kept.
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::string FoldRegistryName(std::string_view utf8_name) {
  std::u16string wide = Utf8ToUtf16(utf8_name);
  const locale_t locale = CaseLocale();
  for (auto& unit : wide) {
    if (unit < 0x80) {
      if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - 0x20);
    } else if (locale != nullptr && (unit < 0xD800 || unit > 0xDFFF)) {
      const wint_t upper = towupper_l(static_cast<wint_t>(unit), locale);
      if (upper <= 0xFFFF) unit = static_cast<char16_t>(upper);
    }
  }
  return Utf16ToUtf8(wide);
}

std::unique_ptr<Registry> Registry::Open(Root root) {
  if (root == Root::kCurrentUser) {
    auto database = ProfileDatabase::OpenUser();
    if (!database) return nullptr;
    return std::make_unique<Registry>(std::move(database));
  }
  // A machine without a machine profile has an empty machine registry.
  return std::make_unique<Registry>(ProfileDatabase::OpenMachine());
}

Registry::Registry(std::shared_ptr<ProfileDatabase> database) : database_(std::move(database)) {}

bool Registry::Writable() {
  if (database_ == nullptr || database_->read_only()) {
    SetLastPlatformError(platform_error::kAccessDenied);
    return false;
  }
  return true;
}

std::optional<int64_t> Registry::FindKey(std::string_view path) {
  std::vector<std::string> names;
  if (!SplitKeyPath(path, &names)) return std::nullopt;
  if (database_ == nullptr) {
    if (names.empty()) return kRootKey;
    SetLastPlatformError(platform_error::kFileNotFound);
    return std::nullopt;
  }
  ProfileStatement find =
      database_->Prepare("SELECT id FROM registry_keys WHERE parent = ?1 AND folded = ?2");
  if (!find.valid()) return std::nullopt;
  int64_t key = kRootKey;
  for (const auto& name : names) {
    find.Reset();
    if (!find.BindInt(1, key) || !find.BindText(2, FoldRegistryName(name))) return std::nullopt;
    switch (find.Step()) {
      case ProfileStatement::StepResult::kRow:
        key = find.ColumnInt(0);
        break;
      case ProfileStatement::StepResult::kDone:
        SetLastPlatformError(platform_error::kFileNotFound);
        return std::nullopt;
      case ProfileStatement::StepResult::kError:
        return std::nullopt;
    }
  }
  return key;
}

// Runs inside a write transaction.
std::optional<int64_t> Registry::FindOrCreateKey(std::string_view path) {
  std::vector<std::string> names;
  if (!SplitKeyPath(path, &names)) return std::nullopt;
  ProfileStatement find =
      database_->Prepare("SELECT id FROM registry_keys WHERE parent = ?1 AND folded = ?2");
  ProfileStatement insert =
      database_->Prepare("INSERT INTO registry_keys(parent, name, folded) VALUES (?1, ?2, ?3)");
  if (!find.valid() || !insert.valid()) return std::nullopt;
  int64_t key = kRootKey;
  for (const auto& name : names) {
    const std::string folded = FoldRegistryName(name);
    find.Reset();
    if (!find.BindInt(1, key) || !find.BindText(2, folded)) return std::nullopt;
    const auto found = find.Step();
    if (found == ProfileStatement::StepResult::kError) return std::nullopt;
    if (found == ProfileStatement::StepResult::kRow) {
      key = find.ColumnInt(0);
      continue;
    }
    insert.Reset();
    if (!insert.BindInt(1, key) || !insert.BindText(2, name) || !insert.BindText(3, folded) ||
        insert.Step() != ProfileStatement::StepResult::kDone) {
      return std::nullopt;
    }
    key = database_->LastInsertId();
  }
  return key;
}

bool Registry::KeyExists(std::string_view path) {
  return FindKey(path).has_value();
}

bool Registry::CreateKey(std::string_view path) {
  if (!Writable()) return false;
  return database_->Transaction([&] { return FindOrCreateKey(path).has_value(); });
}

std::optional<RegistryValue> Registry::QueryValue(std::string_view path, std::string_view name) {
  const auto key = FindKey(path);
  if (!key) return std::nullopt;
  if (database_ == nullptr) {
    SetLastPlatformError(platform_error::kFileNotFound);
    return std::nullopt;
  }
  ProfileStatement query =
      database_->Prepare("SELECT type, data FROM registry_values WHERE key = ?1 AND folded = ?2");
  if (!query.valid() || !query.BindInt(1, *key) ||
      !query.BindText(2, FoldRegistryName(StoredName(name)))) {
    return std::nullopt;
  }
  switch (query.Step()) {
    case ProfileStatement::StepResult::kRow:
      return CallerValue(static_cast<uint32_t>(query.ColumnInt(0)), query.ColumnBlob(1));
    case ProfileStatement::StepResult::kDone:
      SetLastPlatformError(platform_error::kFileNotFound);
      return std::nullopt;
    case ProfileStatement::StepResult::kError:
      break;
  }
  return std::nullopt;
}

bool Registry::SetValue(std::string_view path, std::string_view name, const RegistryValue& value) {
  return SetValues(path, {{std::string(name), value}});
}

bool Registry::SetValues(std::string_view path,
                         const std::vector<std::pair<std::string, RegistryValue>>& values) {
  if (!Writable()) return false;
  return database_->Transaction([&] {
    const auto key = FindOrCreateKey(path);
    if (!key) return false;
    // An existing value keeps the spelling of its name; only its type and data change.
    ProfileStatement upsert = database_->Prepare(
        "INSERT INTO registry_values(key, name, folded, type, data) VALUES (?1, ?2, ?3, ?4, ?5) "
        "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
    if (!upsert.valid()) return false;
    for (const auto& [name, value] : values) {
      const std::string stored_name = StoredName(name);
      const std::vector<uint8_t> data = StoredData(value);
      upsert.Reset();
      if (!upsert.BindInt(1, *key) || !upsert.BindText(2, stored_name) ||
          !upsert.BindText(3, FoldRegistryName(stored_name)) || !upsert.BindInt(4, value.type) ||
          !upsert.BindBlob(5, data.data(), data.size()) ||
          upsert.Step() != ProfileStatement::StepResult::kDone) {
        return false;
      }
    }
    return true;
  });
}

bool Registry::DeleteValue(std::string_view path, std::string_view name) {
  if (!Writable()) return false;
  return database_->Transaction([&] {
    const auto key = FindKey(path);
    if (!key) return false;
    ProfileStatement remove =
        database_->Prepare("DELETE FROM registry_values WHERE key = ?1 AND folded = ?2");
    if (!remove.valid() || !remove.BindInt(1, *key) ||
        !remove.BindText(2, FoldRegistryName(StoredName(name))) ||
        remove.Step() != ProfileStatement::StepResult::kDone) {
      return false;
    }
    ProfileStatement changed = database_->Prepare("SELECT changes()");
    if (!changed.valid() || changed.Step() != ProfileStatement::StepResult::kRow) return false;
    if (changed.ColumnInt(0) == 0) {
      SetLastPlatformError(platform_error::kFileNotFound);
      return false;
    }
    return true;
  });
}

bool Registry::DeleteKey(std::string_view path) {
  if (!Writable()) return false;
  return database_->Transaction([&] {
    const auto key = FindKey(path);
    if (!key) return false;
    if (*key == kRootKey) {
      SetLastPlatformError(platform_error::kAccessDenied);
      return false;
    }
    // Subkeys and values go with the key (ON DELETE CASCADE).
    ProfileStatement remove = database_->Prepare("DELETE FROM registry_keys WHERE id = ?1");
    return remove.valid() && remove.BindInt(1, *key) &&
           remove.Step() == ProfileStatement::StepResult::kDone;
  });
}

std::optional<std::vector<std::string>> Registry::SubkeyNames(std::string_view path) {
  const auto key = FindKey(path);
  if (!key) return std::nullopt;
  std::vector<std::string> names;
  if (database_ == nullptr) return names;
  ProfileStatement list =
      database_->Prepare("SELECT name FROM registry_keys WHERE parent = ?1 ORDER BY folded");
  if (!list.valid() || !list.BindInt(1, *key)) return std::nullopt;
  for (;;) {
    const auto step = list.Step();
    if (step == ProfileStatement::StepResult::kError) return std::nullopt;
    if (step == ProfileStatement::StepResult::kDone) return names;
    names.push_back(CallerName(list.ColumnText(0)));
  }
}

std::optional<std::vector<std::pair<std::string, std::optional<RegistryValue>>>>
Registry::SubkeyValues(std::string_view path, std::string_view name) {
  const auto key = FindKey(path);
  if (!key) return std::nullopt;
  std::vector<std::pair<std::string, std::optional<RegistryValue>>> found;
  if (database_ == nullptr) return found;
  ProfileStatement list = database_->Prepare(
      "SELECT k.name, v.type, v.data FROM registry_keys k LEFT JOIN registry_values v "
      "ON v.key = k.id AND v.folded = ?2 WHERE k.parent = ?1 ORDER BY k.folded");
  if (!list.valid() || !list.BindInt(1, *key) ||
      !list.BindText(2, FoldRegistryName(StoredName(name)))) {
    return std::nullopt;
  }
  for (;;) {
    const auto step = list.Step();
    if (step == ProfileStatement::StepResult::kError) return std::nullopt;
    if (step == ProfileStatement::StepResult::kDone) return found;
    std::optional<RegistryValue> value;
    if (!list.ColumnIsNull(1)) {
      value = CallerValue(static_cast<uint32_t>(list.ColumnInt(1)), list.ColumnBlob(2));
    }
    found.emplace_back(CallerName(list.ColumnText(0)), std::move(value));
  }
}

std::optional<std::vector<std::pair<std::string, RegistryValue>>> Registry::Values(
    std::string_view path) {
  const auto key = FindKey(path);
  if (!key) return std::nullopt;
  std::vector<std::pair<std::string, RegistryValue>> values;
  if (database_ == nullptr) return values;
  ProfileStatement list = database_->Prepare(
      "SELECT name, type, data FROM registry_values WHERE key = ?1 ORDER BY folded");
  if (!list.valid() || !list.BindInt(1, *key)) return std::nullopt;
  for (;;) {
    const auto step = list.Step();
    if (step == ProfileStatement::StepResult::kError) return std::nullopt;
    if (step == ProfileStatement::StepResult::kDone) return values;
    values.emplace_back(CallerName(list.ColumnText(0)),
                        CallerValue(static_cast<uint32_t>(list.ColumnInt(1)), list.ColumnBlob(2)));
  }
}

}  // namespace kelvadrome
