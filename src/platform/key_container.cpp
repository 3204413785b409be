#include "platform/key_container.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>

#include "platform/last_error.h"
#include "platform/registry.h"
#include "platform/rsa_key.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

constexpr std::array<uint32_t, 3> kGeneratedSizes = {1024, 2048, 4096};

// One key as kept by a container.
struct StoredKey {
  KeyDescription description;
  SecretBytes private_key;          // PKCS #8 DER
  std::vector<uint8_t> public_key;  // SubjectPublicKeyInfo DER
  std::optional<std::vector<uint8_t>> certificate;

  StoredKey Copy() const { return {description, private_key.Copy(), public_key, certificate}; }
};

bool Fail(uint32_t code) {
  SetLastPlatformError(code);
  return false;
}

bool ValidSpec(uint32_t spec) {
  if (spec == key_spec::kExchange || spec == key_spec::kSignature) return true;
  return Fail(key_error::kBadAlgorithm);
}

uint32_t BlobAlgorithm(uint32_t spec) {
  return spec == key_spec::kSignature ? key_algorithm::kRsaSign : key_algorithm::kRsaExchange;
}

// Container names arrive in the process code page; the profile keeps UTF-8 and compares the folded
// form.
std::string StoredName(std::string_view narrow) {
  return Utf16ToUtf8(ConvertToWide(narrow));
}

// Changes returns how many rows the last statement of |database| changed; nullopt on failure.
std::optional<int64_t> Changes(ProfileDatabase& database) {
  ProfileStatement changed = database.Prepare("SELECT changes()");
  if (!changed.valid() || changed.Step() != ProfileStatement::StepResult::kRow) return std::nullopt;
  return changed.ColumnInt(0);
}

// The key flags a caller may give: exportable and user-protected.
bool KnownFlags(uint32_t flags) {
  return (flags & ~(key_flag::kExportable | key_flag::kUserProtected)) == 0;
}

// InsertContainer adds the container row (inside the caller's transaction); NTE_EXISTS when the
// folded name is taken. A concurrent creator is held off by the write transaction, and the unique
// folded column settles any race left.
bool InsertContainer(ProfileDatabase& database, const std::string& stored,
                     const std::string& folded, std::string_view provider, int64_t* id) {
  ProfileStatement insert = database.Prepare(
      "INSERT INTO key_containers (name, folded, provider) VALUES (?1, ?2, ?3) "
      "ON CONFLICT (folded) DO NOTHING");
  if (!insert.valid() || !insert.BindText(1, stored) || !insert.BindText(2, folded) ||
      !insert.BindText(3, provider)) {
    return Fail(key_error::kNoMemory);
  }
  if (insert.Step() != ProfileStatement::StepResult::kDone) return false;
  const auto changes = Changes(database);
  if (!changes) return false;
  if (*changes != 1) return Fail(key_error::kExists);
  *id = database.LastInsertId();
  return true;
}

// The volatile containers of this process, by folded name. The owner handle removes its entry.
struct VolatileTable {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<KeyContainer::State>> containers;
};

VolatileTable& Volatiles() {
  static VolatileTable* table = new VolatileTable;  // never destroyed: handles may outlive statics
  return *table;
}

struct PromptSlot {
  std::mutex mutex;
  KeyUsePrompt prompt;
};

PromptSlot& DefaultPrompt() {
  static PromptSlot* slot = new PromptSlot;
  return *slot;
}

}  // namespace

// Where a container's keys live. Each call is complete on its own, so that a persistent container
// always reflects the profile as other handles and processes have left it.
struct KeyContainer::State {
  virtual ~State() = default;
  virtual bool is_volatile() const = 0;
  // Load returns the key of |spec|: NTE_NO_KEY when absent, NTE_BAD_KEYSET when the container is
  // gone.
  virtual std::optional<StoredKey> Load(uint32_t spec) = 0;
  virtual std::optional<std::vector<KeyDescription>> List() = 0;
  // Store puts |key| under its spec, replacing a key there.
  virtual bool Store(const StoredKey& key) = 0;
  // StoreCertificate sets (nullopt: removes) the certificate of the key of |spec|.
  virtual bool StoreCertificate(uint32_t spec, std::optional<std::vector<uint8_t>> der) = 0;
  // ChangeStamp returns the profile's stamp (ProfileDatabase::ChangeStamp); nullopt when the keys
  // are not in the profile or the stamp cannot be read.
  virtual std::optional<ProfileChangeStamp> ChangeStamp() { return std::nullopt; }
};

namespace {

class ProfileState final : public KeyContainer::State {
 public:
  ProfileState(std::shared_ptr<ProfileDatabase> database, int64_t id, std::string folded)
      : database_(std::move(database)), id_(id), folded_(std::move(folded)) {}

  bool is_volatile() const override { return false; }

  std::optional<StoredKey> Load(uint32_t spec) override {
    ProfileStatement query = database_->Prepare(
        "SELECT bits, flags, private_key, public_key, certificate FROM container_keys"
        " WHERE container = ?1 AND spec = ?2");
    if (!query.valid() || !query.BindInt(1, id_) || !query.BindInt(2, spec)) {
      return FailOptional(key_error::kNoMemory);
    }
    switch (query.Step()) {
      case ProfileStatement::StepResult::kError:
        return std::nullopt;
      case ProfileStatement::StepResult::kDone:
        if (!Exists()) return std::nullopt;
        return FailOptional(key_error::kNoKey);
      case ProfileStatement::StepResult::kRow:
        break;
    }
    StoredKey key;
    key.description = {spec, static_cast<uint32_t>(query.ColumnInt(0)),
                       static_cast<uint32_t>(query.ColumnInt(1))};
    key.private_key = SecretBytes(query.ColumnBlob(2));
    key.public_key = query.ColumnBlob(3);
    if (!query.ColumnIsNull(4)) key.certificate = query.ColumnBlob(4);
    return key;
  }

  std::optional<std::vector<KeyDescription>> List() override {
    if (!Exists()) return std::nullopt;
    ProfileStatement query = database_->Prepare(
        "SELECT spec, bits, flags FROM container_keys WHERE container = ?1 ORDER BY spec");
    if (!query.valid() || !query.BindInt(1, id_)) return FailOptional(key_error::kNoMemory);
    std::vector<KeyDescription> keys;
    for (;;) {
      switch (query.Step()) {
        case ProfileStatement::StepResult::kError:
          return std::nullopt;
        case ProfileStatement::StepResult::kDone:
          return keys;
        case ProfileStatement::StepResult::kRow:
          keys.push_back({static_cast<uint32_t>(query.ColumnInt(0)),
                          static_cast<uint32_t>(query.ColumnInt(1)),
                          static_cast<uint32_t>(query.ColumnInt(2))});
          break;
      }
    }
  }

  bool Store(const StoredKey& key) override {
    return database_->Transaction([&] { return Exists() && Insert(*database_, id_, key); });
  }

  std::optional<ProfileChangeStamp> ChangeStamp() override { return database_->ChangeStamp(); }

  bool StoreCertificate(uint32_t spec, std::optional<std::vector<uint8_t>> der) override {
    return database_->Transaction([&] {
      if (!Exists()) return false;
      ProfileStatement update = database_->Prepare(
          "UPDATE container_keys SET certificate = ?3 WHERE container = ?1 AND spec = ?2");
      if (!update.valid() || !update.BindInt(1, id_) || !update.BindInt(2, spec) ||
          !(der ? update.BindBlob(3, der->data(), der->size()) : update.BindNull(3))) {
        return Fail(key_error::kNoMemory);
      }
      if (update.Step() != ProfileStatement::StepResult::kDone) return false;
      const auto changes = Changes(*database_);
      return changes && (*changes == 1 || Fail(key_error::kNoKey));
    });
  }

  // Insert writes |key| into container |id| (inside the caller's transaction).
  static bool Insert(ProfileDatabase& database, int64_t id, const StoredKey& key) {
    ProfileStatement insert = database.Prepare(
        "INSERT OR REPLACE INTO container_keys"
        " (container, spec, bits, flags, private_key, public_key, certificate)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (!insert.valid() || !insert.BindInt(1, id) || !insert.BindInt(2, key.description.spec) ||
        !insert.BindInt(3, key.description.bits) || !insert.BindInt(4, key.description.flags) ||
        !insert.BindBlob(5, key.private_key.data(), key.private_key.size()) ||
        !insert.BindBlob(6, key.public_key.data(), key.public_key.size()) ||
        !(key.certificate ? insert.BindBlob(7, key.certificate->data(), key.certificate->size())
                          : insert.BindNull(7))) {
      return Fail(key_error::kNoMemory);
    }
    return insert.Step() == ProfileStatement::StepResult::kDone;
  }

 private:
  static std::nullopt_t FailOptional(uint32_t code) {
    SetLastPlatformError(code);
    return std::nullopt;
  }

  // Exists checks that the container is still there (NTE_BAD_KEYSET once deleted). The folded name
  // is compared too, so a row id reused by a later container is not mistaken for this one.
  bool Exists() {
    ProfileStatement query =
        database_->Prepare("SELECT 1 FROM key_containers WHERE id = ?1 AND folded = ?2");
    if (!query.valid() || !query.BindInt(1, id_) || !query.BindText(2, folded_)) {
      return Fail(key_error::kNoMemory);
    }
    switch (query.Step()) {
      case ProfileStatement::StepResult::kRow:
        return true;
      case ProfileStatement::StepResult::kDone:
        return Fail(key_error::kBadKeyset);
      case ProfileStatement::StepResult::kError:
        return false;
    }
    return false;
  }

  std::shared_ptr<ProfileDatabase> database_;
  int64_t id_;
  std::string folded_;
};

class VolatileState final : public KeyContainer::State {
 public:
  bool is_volatile() const override { return true; }

  std::optional<StoredKey> Load(uint32_t spec) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = keys_.find(spec);
    if (found == keys_.end()) {
      SetLastPlatformError(key_error::kNoKey);
      return std::nullopt;
    }
    return found->second.Copy();
  }

  std::optional<std::vector<KeyDescription>> List() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<KeyDescription> keys;
    for (const auto& [spec, key] : keys_) keys.push_back(key.description);
    return keys;
  }

  bool Store(const StoredKey& key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.insert_or_assign(key.description.spec, key.Copy());
    return true;
  }

  bool StoreCertificate(uint32_t spec, std::optional<std::vector<uint8_t>> der) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = keys_.find(spec);
    if (found == keys_.end()) return Fail(key_error::kNoKey);
    found->second.certificate = std::move(der);
    return true;
  }

  // Snapshot copies every key, for persisting.
  std::vector<StoredKey> Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StoredKey> keys;
    for (const auto& [spec, key] : keys_) keys.push_back(key.Copy());
    return keys;
  }

 private:
  std::mutex mutex_;
  std::map<uint32_t, StoredKey> keys_;  // by spec, so exchange comes first
};

}  // namespace

KeyUsePrompt SetDefaultKeyUsePrompt(KeyUsePrompt prompt) {
  PromptSlot& slot = DefaultPrompt();
  std::lock_guard<std::mutex> lock(slot.mutex);
  std::swap(slot.prompt, prompt);
  return prompt;
}

KeyContainer::KeyContainer(Passkey, std::shared_ptr<State> state, std::string name,
                           const ProviderInfo& provider, bool owner)
    : state_(std::move(state)),
      name_(std::move(name)),
      provider_name_(provider.name),
      provider_type_(provider.type),
      owner_(owner) {}

KeyContainer::~KeyContainer() {
  if (!owner_) return;
  VolatileTable& table = Volatiles();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.containers.find(FoldRegistryName(StoredName(name_)));
  if (found != table.containers.end() && found->second.lock() == state_) {
    table.containers.erase(found);
  }
}

std::unique_ptr<KeyContainer> KeyContainer::CreateVolatile(std::string_view name,
                                                           const ProviderInfo& provider) {
  if (name.empty()) {
    SetLastPlatformError(platform_error::kInvalidParameter);
    return nullptr;
  }
  const std::string folded = FoldRegistryName(StoredName(name));
  auto state = std::make_shared<VolatileState>();
  VolatileTable& table = Volatiles();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.containers.find(folded);
  if (found != table.containers.end() && !found->second.expired()) {
    SetLastPlatformError(key_error::kExists);
    return nullptr;
  }
  table.containers[folded] = state;
  return std::make_unique<KeyContainer>(KeyContainer::Passkey{}, std::move(state),
                                        std::string(name), provider, /*owner=*/true);
}

bool KeyContainer::is_volatile() const {
  return state_->is_volatile();
}

bool KeyContainer::GenerateKey(uint32_t spec, uint32_t bits, uint32_t flags) {
  if (!ValidSpec(spec)) return false;
  if (!KnownFlags(flags) ||
      std::find(kGeneratedSizes.begin(), kGeneratedSizes.end(), bits) == kGeneratedSizes.end()) {
    return Fail(key_error::kBadFlags);
  }
  auto material = GenerateRsaKey(bits);
  return material && StoreNewKey(spec, flags, std::move(*material));
}

std::optional<KeyDescription> KeyContainer::DescribeKey(uint32_t spec) {
  if (!ValidSpec(spec)) return std::nullopt;
  auto key = state_->Load(spec);
  if (!key) return std::nullopt;
  return key->description;
}

std::optional<std::vector<KeyDescription>> KeyContainer::Keys() {
  return state_->List();
}

std::optional<std::vector<uint8_t>> KeyContainer::ExportPublicKeyInfo(uint32_t spec) {
  if (!ValidSpec(spec)) return std::nullopt;
  auto key = state_->Load(spec);
  if (!key) return std::nullopt;
  return std::move(key->public_key);
}

std::optional<std::vector<uint8_t>> KeyContainer::ExportPublicKeyBlob(uint32_t spec) {
  if (!ValidSpec(spec)) return std::nullopt;
  auto key = state_->Load(spec);
  if (!key) return std::nullopt;
  return RsaPublicBlob(key->public_key, BlobAlgorithm(spec));
}

bool KeyContainer::AllowUse(uint32_t spec, uint32_t flags, KeyUse use) {
  if ((flags & key_flag::kUserProtected) == 0) return true;
  KeyUsePrompt prompt = prompt_;
  if (!prompt) {
    PromptSlot& slot = DefaultPrompt();
    std::lock_guard<std::mutex> lock(slot.mutex);
    prompt = slot.prompt;
  }
  const KeyUseRequest request{name_, provider_name_, spec, use};
  if (prompt && prompt(request)) return true;
  return Fail(key_error::kCancelled);
}

std::optional<SecretBytes> KeyContainer::ExportPrivateKeyPkcs8(uint32_t spec) {
  if (!ValidSpec(spec)) return std::nullopt;
  auto key = state_->Load(spec);
  if (!key) return std::nullopt;
  if ((key->description.flags & key_flag::kExportable) == 0) {
    SetLastPlatformError(key_error::kBadKeyState);
    return std::nullopt;
  }
  if (!AllowUse(spec, key->description.flags, KeyUse::kExport)) return std::nullopt;
  return std::move(key->private_key);
}

std::optional<SecretBytes> KeyContainer::ExportPrivateKeyBlob(uint32_t spec) {
  auto pkcs8 = ExportPrivateKeyPkcs8(spec);
  if (!pkcs8) return std::nullopt;
  return RsaPrivateBlob(pkcs8->view(), BlobAlgorithm(spec));
}

std::optional<uint32_t> KeyContainer::ImportPrivateKeyBlob(std::span<const uint8_t> blob,
                                                           uint32_t flags) {
  if (!KnownFlags(flags)) {
    SetLastPlatformError(key_error::kBadFlags);
    return std::nullopt;
  }
  uint32_t algorithm = 0;
  auto material = RsaKeyFromPrivateBlob(blob, &algorithm);
  if (!material) return std::nullopt;
  const uint32_t spec =
      algorithm == key_algorithm::kRsaSign ? key_spec::kSignature : key_spec::kExchange;
  if (!StoreNewKey(spec, flags, std::move(*material))) return std::nullopt;
  return spec;
}

bool KeyContainer::ImportPrivateKeyPkcs8(uint32_t spec, std::span<const uint8_t> der,
                                         uint32_t flags) {
  if (!ValidSpec(spec)) return false;
  if (!KnownFlags(flags)) return Fail(key_error::kBadFlags);
  auto material = RsaKeyFromPkcs8(der);
  return material && StoreNewKey(spec, flags, std::move(*material));
}

bool KeyContainer::StoreNewKey(uint32_t spec, uint32_t flags, RsaKeyMaterial&& material) {
  StoredKey key{{spec, material.bits, flags},
                std::move(material.private_key),
                std::move(material.public_key),
                std::nullopt};
  return state_->Store(key);
}

struct KeyContainer::ParsedKey {
  uint32_t spec = 0;
  SecretBytes private_key;
  UniqueEvpPkey key;
  // What UsablePrivateKey read with the key: its flags, and the profile's stamp just before.
  uint32_t flags = 0;
  std::optional<ProfileChangeStamp> stamp;
};

evp_pkey_st* KeyContainer::ParsedPrivateKey(uint32_t spec, const SecretBytes& private_key) {
  // The caller loads the key afresh whenever the profile may have changed (it may have been
  // replaced, or its flags changed), and only its parsed form is reused.
  if (parsed_ != nullptr && parsed_->spec == spec &&
      std::ranges::equal(parsed_->private_key.view(), private_key.view())) {
    return parsed_->key.get();
  }
  parsed_.reset();
  UniqueEvpPkey key = ParseRsaPrivateKey(private_key.view());
  if (key == nullptr) return nullptr;
  parsed_ = std::make_unique<ParsedKey>(
      ParsedKey{spec, private_key.Copy(), std::move(key), 0, std::nullopt});
  return parsed_->key.get();
}

evp_pkey_st* KeyContainer::UsablePrivateKey(uint32_t spec, KeyUse use) {
  // Taken before reading, so that a change made while the key is read moves the stamp past it.
  const std::optional<ProfileChangeStamp> stamp = state_->ChangeStamp();
  if (stamp && parsed_ != nullptr && parsed_->spec == spec && parsed_->stamp == stamp) {
    return AllowUse(spec, parsed_->flags, use) ? parsed_->key.get() : nullptr;
  }
  auto key = state_->Load(spec);
  if (!key || !AllowUse(spec, key->description.flags, use)) return nullptr;
  evp_pkey_st* parsed = ParsedPrivateKey(spec, key->private_key);
  if (parsed == nullptr) return nullptr;
  parsed_->flags = key->description.flags;
  parsed_->stamp = stamp;
  return parsed;
}

std::optional<std::vector<uint8_t>> KeyContainer::SignHash(uint32_t spec, uint32_t algorithm,
                                                           std::span<const uint8_t> hash) {
  if (!ValidSpec(spec)) return std::nullopt;
  evp_pkey_st* parsed = UsablePrivateKey(spec, KeyUse::kSign);
  if (parsed == nullptr) return std::nullopt;
  return RsaSignHash(parsed, algorithm, hash);
}

std::optional<SecretBytes> KeyContainer::Decrypt(uint32_t spec, std::span<const uint8_t> block) {
  if (!ValidSpec(spec)) return std::nullopt;
  evp_pkey_st* parsed = UsablePrivateKey(spec, KeyUse::kDecrypt);
  if (parsed == nullptr) return std::nullopt;
  return RsaDecryptPkcs1(parsed, block);
}

bool KeyContainer::SetCertificate(uint32_t spec, std::span<const uint8_t> der) {
  if (!ValidSpec(spec)) return false;
  std::optional<std::vector<uint8_t>> certificate;
  if (!der.empty()) certificate.emplace(der.begin(), der.end());
  return state_->StoreCertificate(spec, std::move(certificate));
}

std::optional<std::vector<uint8_t>> KeyContainer::Certificate(uint32_t spec) {
  if (!ValidSpec(spec)) return std::nullopt;
  auto key = state_->Load(spec);
  if (!key) return std::nullopt;
  if (!key->certificate) {
    SetLastPlatformError(key_error::kNotFound);
    return std::nullopt;
  }
  return std::move(key->certificate);
}

std::unique_ptr<KeyContainerStore> KeyContainerStore::OpenUser() {
  auto database = ProfileDatabase::OpenUser();
  if (database == nullptr) return nullptr;
  return std::make_unique<KeyContainerStore>(std::move(database));
}

KeyContainerStore::KeyContainerStore(std::shared_ptr<ProfileDatabase> database)
    : database_(std::move(database)) {}

std::unique_ptr<KeyContainer> KeyContainerStore::Create(std::string_view name,
                                                        std::string_view provider_name,
                                                        uint32_t provider_type) {
  const ProviderInfo* provider = ResolveProvider(provider_name, provider_type);
  if (provider == nullptr) return nullptr;
  if (name.empty()) {
    SetLastPlatformError(platform_error::kInvalidParameter);
    return nullptr;
  }
  const std::string stored = StoredName(name);
  const std::string folded = FoldRegistryName(stored);
  int64_t id = 0;
  const bool created = database_->Transaction(
      [&] { return InsertContainer(*database_, stored, folded, provider->name, &id); });
  if (!created) return nullptr;
  return std::make_unique<KeyContainer>(KeyContainer::Passkey{},
                                        std::make_shared<ProfileState>(database_, id, folded),
                                        std::string(name), *provider, false);
}

std::unique_ptr<KeyContainer> KeyContainerStore::Open(std::string_view name,
                                                      std::string_view provider_name,
                                                      uint32_t provider_type) {
  const ProviderInfo* provider = ResolveProvider(provider_name, provider_type);
  if (provider == nullptr) return nullptr;
  const std::string folded = FoldRegistryName(StoredName(name));
  {
    VolatileTable& table = Volatiles();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.containers.find(folded);
    if (found != table.containers.end()) {
      if (auto state = found->second.lock()) {
        return std::make_unique<KeyContainer>(KeyContainer::Passkey{}, std::move(state),
                                              std::string(name), *provider, false);
      }
    }
  }
  ProfileStatement query = database_->Prepare("SELECT id FROM key_containers WHERE folded = ?1");
  if (!query.valid() || !query.BindText(1, folded)) {
    SetLastPlatformError(key_error::kNoMemory);
    return nullptr;
  }
  switch (query.Step()) {
    case ProfileStatement::StepResult::kError:
      return nullptr;
    case ProfileStatement::StepResult::kDone:
      SetLastPlatformError(key_error::kBadKeyset);
      return nullptr;
    case ProfileStatement::StepResult::kRow:
      break;
  }
  return std::make_unique<KeyContainer>(
      KeyContainer::Passkey{},
      std::make_shared<ProfileState>(database_, query.ColumnInt(0), folded), std::string(name),
      *provider, false);
}

bool KeyContainerStore::Delete(std::string_view name, std::string_view provider_name,
                               uint32_t provider_type) {
  if (ResolveProvider(provider_name, provider_type) == nullptr) return false;
  const std::string folded = FoldRegistryName(StoredName(name));
  return database_->Transaction([&] {
    // The keys go with the container (ON DELETE CASCADE).
    ProfileStatement remove = database_->Prepare("DELETE FROM key_containers WHERE folded = ?1");
    if (!remove.valid() || !remove.BindText(1, folded)) return Fail(key_error::kNoMemory);
    if (remove.Step() != ProfileStatement::StepResult::kDone) return false;
    const auto changes = Changes(*database_);
    return changes && (*changes == 1 || Fail(key_error::kBadKeyset));
  });
}

std::optional<std::vector<ContainerListing>> KeyContainerStore::List() {
  ProfileStatement query =
      database_->Prepare("SELECT name, provider FROM key_containers ORDER BY id");
  if (!query.valid()) return std::nullopt;
  std::vector<ContainerListing> listing;
  for (;;) {
    switch (query.Step()) {
      case ProfileStatement::StepResult::kError:
        return std::nullopt;
      case ProfileStatement::StepResult::kDone:
        return listing;
      case ProfileStatement::StepResult::kRow:
        listing.push_back({ConvertToNarrow(Utf8ToUtf16(query.ColumnText(0))),
                           ConvertToNarrow(Utf8ToUtf16(query.ColumnText(1)))});
        break;
    }
  }
}

std::optional<std::vector<std::string>> KeyContainerStore::Names() {
  auto listing = List();
  if (!listing) return std::nullopt;
  std::vector<std::string> names;
  for (auto& entry : *listing) names.push_back(std::move(entry.name));
  return names;
}

bool KeyContainerStore::Persist(KeyContainer& container) {
  auto* state = dynamic_cast<VolatileState*>(container.state_.get());
  if (state == nullptr) return Fail(platform_error::kInvalidParameter);
  const std::vector<StoredKey> keys = state->Snapshot();
  const std::string stored = StoredName(container.name());
  const std::string folded = FoldRegistryName(stored);
  return database_->Transaction([&] {
    int64_t id = 0;
    if (!InsertContainer(*database_, stored, folded, container.provider_name(), &id)) {
      return false;
    }
    for (const StoredKey& key : keys) {
      if (!ProfileState::Insert(*database_, id, key)) return false;
    }
    return true;
  });
}

}  // namespace kelvadrome
