#include "platform/sealed_keys.h"

#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/key_container.h"
#include "platform/last_error.h"

namespace kelvadrome {
namespace {

std::string_view StoreName(WrappingKeyStore store) {
  return store == WrappingKeyStore::kKeyring ? "keyring" : "file";
}

std::optional<WrappingKeyStore> StoreNamed(std::string_view name) {
  if (name == "keyring") return WrappingKeyStore::kKeyring;
  if (name == "file") return WrappingKeyStore::kKeyFile;
  return std::nullopt;
}

// The wrapping key a profile records: its store and id.
struct Recorded {
  WrappingKeyStore store;
  std::vector<uint8_t> id;
};

// ReadRecorded returns the profile's record; an empty inner optional when it has none, nullopt
// (error recorded) when the profile cannot be read or the record is not one this release wrote.
std::optional<std::optional<Recorded>> ReadRecorded(ProfileDatabase& profile) {
  ProfileStatement query = profile.Prepare("SELECT store, key_id FROM key_protection WHERE id = 1");
  if (!query.valid()) return std::nullopt;
  switch (query.Step()) {
    case ProfileStatement::StepResult::kError:
      return std::nullopt;
    case ProfileStatement::StepResult::kDone:
      return std::optional<Recorded>();
    case ProfileStatement::StepResult::kRow:
      break;
  }
  const auto store = StoreNamed(query.ColumnText(0));
  if (!store) {
    SetLastPlatformError(key_error::kBadData);
    return std::nullopt;
  }
  return std::optional<Recorded>(Recorded{*store, query.ColumnBlob(1)});
}

bool Record(ProfileDatabase& profile, const WrappingKey& key) {
  ProfileStatement write = profile.Prepare(
      "INSERT OR REPLACE INTO key_protection (id, store, key_id) VALUES (1, ?1, ?2)");
  if (!write.valid() || !write.BindText(1, StoreName(key.store)) ||
      !write.BindBlob(2, key.id.data(), key.id.size())) {
    SetLastPlatformError(key_error::kNoMemory);
    return false;
  }
  return write.Step() == ProfileStatement::StepResult::kDone;
}

// The wrapping keys this process found, by store and id.
struct KeyCache {
  std::mutex mutex;
  std::map<std::pair<int, std::vector<uint8_t>>, std::shared_ptr<const WrappingKey>> keys;
};
KeyCache& Cache() {
  static KeyCache* cache = new KeyCache;  // never destroyed: used until the process ends
  return *cache;
}

std::shared_ptr<const WrappingKey> Remember(WrappingKey&& key) {
  KeyCache& cache = Cache();
  auto kept = std::make_shared<const WrappingKey>(std::move(key));
  const std::lock_guard<std::mutex> lock(cache.mutex);
  cache.keys[{static_cast<int>(kept->store), {kept->id.begin(), kept->id.end()}}] = kept;
  return kept;
}

std::shared_ptr<const WrappingKey> Lookup(const Recorded& recorded) {
  KeyCache& cache = Cache();
  {
    const std::lock_guard<std::mutex> lock(cache.mutex);
    auto found = cache.keys.find({static_cast<int>(recorded.store), recorded.id});
    if (found != cache.keys.end()) return found->second;
  }
  auto key = FindWrappingKey(recorded.store, recorded.id);
  if (!key) return nullptr;
  return Remember(std::move(*key));
}

// CurrentKey returns the profile's wrapping key; with |create|, a profile without one gets one.
std::shared_ptr<const WrappingKey> CurrentKey(ProfileDatabase& profile, bool create) {
  auto recorded = ReadRecorded(profile);
  if (!recorded) return nullptr;
  if (*recorded) return Lookup(**recorded);
  if (!create) {
    SetLastPlatformError(key_protection_error::kKeyNotFound);
    return nullptr;
  }
  auto made = CreateWrappingKey();
  if (!made || !Record(profile, *made)) return nullptr;
  return Remember(std::move(*made));
}

// What binds a record to its place: the container's folded name, a zero byte, the key spec.
std::vector<uint8_t> Associated(std::string_view folded, uint32_t spec) {
  std::vector<uint8_t> bytes(folded.begin(), folded.end());
  bytes.push_back(0);
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(spec >> shift));
  return bytes;
}

// A key record with the container it belongs to.
struct KeyRecord {
  int64_t container = 0;
  uint32_t spec = 0;
  std::string folded;
  SecretBytes private_key;  // in clear only while a profile is being sealed
};

std::optional<std::vector<KeyRecord>> ReadRecords(ProfileDatabase& profile) {
  ProfileStatement query = profile.Prepare(
      "SELECT k.container, k.spec, c.folded, k.private_key FROM container_keys k"
      " JOIN key_containers c ON c.id = k.container ORDER BY k.container, k.spec");
  if (!query.valid()) return std::nullopt;
  std::vector<KeyRecord> records;
  for (;;) {
    switch (query.Step()) {
      case ProfileStatement::StepResult::kError:
        return std::nullopt;
      case ProfileStatement::StepResult::kDone:
        return records;
      case ProfileStatement::StepResult::kRow:
        records.emplace_back();
        records.back().container = query.ColumnInt(0);
        records.back().spec = static_cast<uint32_t>(query.ColumnInt(1));
        records.back().folded = query.ColumnText(2);
        records.back().private_key = SecretBytes(query.ColumnBlob(3));
        break;
    }
  }
}

bool Rewrite(ProfileDatabase& profile, const KeyRecord& record,
             const std::vector<uint8_t>& sealed) {
  ProfileStatement update = profile.Prepare(
      "UPDATE container_keys SET private_key = ?3 WHERE container = ?1 AND spec = ?2");
  if (!update.valid() || !update.BindInt(1, record.container) || !update.BindInt(2, record.spec) ||
      !update.BindBlob(3, sealed.data(), sealed.size())) {
    SetLastPlatformError(key_error::kNoMemory);
    return false;
  }
  return update.Step() == ProfileStatement::StepResult::kDone;
}

}  // namespace

std::optional<std::vector<uint8_t>> SealProfileKey(ProfileDatabase& profile,
                                                   std::string_view folded, uint32_t spec,
                                                   std::span<const uint8_t> plaintext) {
  const auto key = CurrentKey(profile, /*create=*/true);
  if (!key) return std::nullopt;
  return SealPrivateKey(*key, Associated(folded, spec), plaintext);
}

std::optional<SecretBytes> UnsealProfileKey(ProfileDatabase& profile, std::string_view folded,
                                            uint32_t spec, std::span<const uint8_t> sealed) {
  const auto key = CurrentKey(profile, /*create=*/false);
  if (!key) return std::nullopt;
  return UnsealPrivateKey(*key, Associated(folded, spec), sealed);
}

bool SealStoredKeys(ProfileDatabase& profile) {
  auto records = ReadRecords(profile);
  if (!records) return false;
  if (records->empty()) return true;  // the wrapping key is made with the first key
  const auto key = CurrentKey(profile, /*create=*/true);
  if (!key) return false;
  for (const KeyRecord& record : *records) {
    auto sealed = SealPrivateKey(*key, Associated(record.folded, record.spec),
                                 record.private_key.view());
    if (!sealed || !Rewrite(profile, record, *sealed)) return false;
  }
  return true;
}

bool RewrapProfileKeys(ProfileDatabase& profile) {
  return profile.Transaction([&] {
    auto records = ReadRecords(profile);
    if (!records) return false;
    auto recorded = ReadRecorded(profile);
    if (!recorded) return false;
    std::shared_ptr<const WrappingKey> old_key;
    if (*recorded) {
      old_key = Lookup(**recorded);
      if (!old_key) return false;  // the keys cannot be opened: nothing can be moved
    } else if (!records->empty()) {
      SetLastPlatformError(key_protection_error::kKeyNotFound);
      return false;
    }
    auto made = CreateWrappingKey();
    if (!made || !Record(profile, *made)) return false;
    const auto new_key = Remember(std::move(*made));
    for (const KeyRecord& record : *records) {
      const auto associated = Associated(record.folded, record.spec);
      auto plaintext = UnsealPrivateKey(*old_key, associated, record.private_key.view());
      if (!plaintext) return false;
      auto sealed = SealPrivateKey(*new_key, associated, plaintext->view());
      if (!sealed || !Rewrite(profile, record, *sealed)) return false;
    }
    return true;
  });
}

std::optional<ProfileKeyProtection> DescribeProfileKeyProtection(ProfileDatabase& profile) {
  auto recorded = ReadRecorded(profile);
  if (!recorded || !*recorded) return std::nullopt;
  ProfileKeyProtection described;
  described.store = (*recorded)->store;
  described.id = (*recorded)->id;
  described.where = DescribeWrappingKeyStore(described.store);
  described.present = Lookup(**recorded) != nullptr;
  ProfileStatement count = profile.Prepare("SELECT count(*) FROM container_keys");
  if (count.valid() && count.Step() == ProfileStatement::StepResult::kRow) {
    described.sealed_keys = count.ColumnInt(0);
  }
  return described;
}

}  // namespace kelvadrome
