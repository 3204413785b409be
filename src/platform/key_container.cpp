#include "platform/key_container.h"

#include <algorithm>
#include <array>
#include <map>
#include <mutex>

#include "platform/last_error.h"
#include "platform/registry.h"
#include "platform/rsa_key.h"
#include "platform/sealed_keys.h"
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

// Where a key on a token is: the token, the key pair's CKA_ID, and its public half.
struct TokenKeyLink {
  TokenRef token;
  std::vector<uint8_t> key_id;
  uint32_t bits = 0;
  std::vector<uint8_t> public_key;  // SubjectPublicKeyInfo DER
};

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

// ContainerExists checks that container |id| is still there (NTE_BAD_KEYSET once deleted). The
// folded name is compared too, so a row id reused by a later container is not mistaken for it.
bool ContainerExists(ProfileDatabase& database, int64_t id, const std::string& folded) {
  ProfileStatement query =
      database.Prepare("SELECT 1 FROM key_containers WHERE id = ?1 AND folded = ?2");
  if (!query.valid() || !query.BindInt(1, id) || !query.BindText(2, folded)) {
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

  // TokenLink returns the token key pair that is the key of |spec|, when the key lives on a
  // token; nullopt (nothing recorded) otherwise.
  virtual std::optional<TokenKeyLink> TokenLink(uint32_t) { return std::nullopt; }
  // LoadCertificate returns the certificate kept on the key of |spec| (nullopt inside: none); the
  // outer nullopt is a failure of Load. States whose Load leaves the certificate out read it here.
  virtual std::optional<std::optional<std::vector<uint8_t>>> LoadCertificate(uint32_t spec) {
    auto key = Load(spec);
    if (!key) return std::nullopt;
    return std::move(key->certificate);
  }
  // AddTokenKey records |link| as the key of |spec|, replacing any key there; only states that
  // can hold token keys take it.
  virtual bool AddTokenKey(uint32_t, const TokenKeyLink&) {
    return Fail(platform_error::kPermissionDenied);
  }
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
    auto private_key = UnsealProfileKey(*database_, folded_, spec, query.ColumnBlob(2));
    if (!private_key) return std::nullopt;
    key.private_key = std::move(*private_key);
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
    return database_->Transaction(
        [&] { return Exists() && Insert(*database_, id_, folded_, key); });
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

  // Insert writes |key| into container |id|, whose folded name is |folded|, with its private key
  // sealed (inside the caller's transaction).
  static bool Insert(ProfileDatabase& database, int64_t id, std::string_view folded,
                     const StoredKey& key) {
    const auto sealed =
        SealProfileKey(database, folded, key.description.spec, key.private_key.view());
    if (!sealed) return false;
    ProfileStatement insert = database.Prepare(
        "INSERT OR REPLACE INTO container_keys"
        " (container, spec, bits, flags, private_key, public_key, certificate)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (!insert.valid() || !insert.BindInt(1, id) || !insert.BindInt(2, key.description.spec) ||
        !insert.BindInt(3, key.description.bits) || !insert.BindInt(4, key.description.flags) ||
        !insert.BindBlob(5, sealed->data(), sealed->size()) ||
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

  bool Exists() { return ContainerExists(*database_, id_, folded_); }

  std::shared_ptr<ProfileDatabase> database_;
  int64_t id_;
  std::string folded_;
};

// PresentToken finds the token of |wanted| (same module and serial number) among those present;
// card_error::kNoCard when it is not there.
std::optional<TokenRef> PresentToken(const TokenRef& wanted) {
  for (const TokenInfo& present : PresentTokens()) {
    if (present.ref.module == wanted.module && present.ref.serial == wanted.serial) {
      return present.ref;
    }
  }
  SetLastPlatformError(card_error::kNoCard);
  return std::nullopt;
}

// TokenCertificateOf returns the certificate stored beside the key pair |key_id| on |token|.
std::optional<std::vector<uint8_t>> TokenCertificateOf(const TokenRef& token,
                                                       const std::vector<uint8_t>& key_id) {
  auto certificates = TokenCertificates(token);
  if (!certificates) return std::nullopt;
  for (auto& certificate : *certificates) {
    if (certificate.id == key_id) return std::move(certificate.der);
  }
  return std::nullopt;
}

class VolatileState final : public KeyContainer::State {
 public:
  // A volatile container that made key pairs on a token and was never persisted removes them
  // again: nothing will ever refer to them.
  ~VolatileState() override {
    if (persisted_) return;
    for (const auto& [spec, link] : token_keys_) {
      if (auto token = PresentToken(link.token)) DeleteTokenKey(*token, link.key_id);
    }
  }

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
    token_keys_.erase(key.description.spec);
    return true;
  }

  bool StoreCertificate(uint32_t spec, std::optional<std::vector<uint8_t>> der) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = keys_.find(spec);
    if (found == keys_.end()) return Fail(key_error::kNoKey);
    found->second.certificate = std::move(der);
    return true;
  }

  std::optional<TokenKeyLink> TokenLink(uint32_t spec) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = token_keys_.find(spec);
    if (found == token_keys_.end()) return std::nullopt;
    return found->second;
  }

  bool AddTokenKey(uint32_t spec, const TokenKeyLink& link) override {
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.insert_or_assign(spec, StoredKey{{spec, link.bits, 0}, {}, link.public_key, {}});
    token_keys_.insert_or_assign(spec, link);
    return true;
  }

  // Snapshot copies every key and token link, for persisting; the token's key pairs then belong
  // to the profile's container.
  struct Contents {
    std::vector<StoredKey> keys;  // software keys
    std::vector<std::pair<uint32_t, TokenKeyLink>> token_keys;
  };
  Contents Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    Contents contents;
    for (const auto& [spec, key] : keys_) {
      if (token_keys_.count(spec) == 0) contents.keys.push_back(key.Copy());
    }
    for (const auto& entry : token_keys_) contents.token_keys.push_back(entry);
    return contents;
  }
  void MarkPersisted() {
    std::lock_guard<std::mutex> lock(mutex_);
    persisted_ = true;
  }

 private:
  std::mutex mutex_;
  std::map<uint32_t, StoredKey> keys_;  // by spec, so exchange comes first
  std::map<uint32_t, TokenKeyLink> token_keys_;
  bool persisted_ = false;
};

struct ChooserSlot {
  std::mutex mutex;
  TokenChooser chooser;
};

ChooserSlot& DefaultChooser() {
  static ChooserSlot* slot = new ChooserSlot;
  return *slot;
}

// ChooseToken picks the token for a new key: the only one present, else the chooser's pick (the
// first without a chooser). NTE card errors: no token present, or the person cancelled.
std::optional<TokenRef> ChooseToken() {
  const std::vector<TokenInfo> tokens = PresentTokens();
  if (tokens.empty()) {
    SetLastPlatformError(card_error::kNoCard);
    return std::nullopt;
  }
  if (tokens.size() == 1) return tokens.front().ref;
  TokenChooser chooser;
  {
    ChooserSlot& slot = DefaultChooser();
    std::lock_guard<std::mutex> lock(slot.mutex);
    chooser = slot.chooser;
  }
  if (!chooser) return tokens.front().ref;
  const std::optional<size_t> chosen = chooser(tokens);
  if (!chosen || *chosen >= tokens.size()) {
    SetLastPlatformError(card_error::kCancelled);
    return std::nullopt;
  }
  return tokens[*chosen].ref;
}

// The keys of a card container: the profile keeps, per spec, which token and which key pair
// (CKA_ID) it is, with the public half; the token keeps the key pair and its certificate.
class TokenState final : public KeyContainer::State {
 public:
  TokenState(std::shared_ptr<ProfileDatabase> database, int64_t id, std::string folded)
      : database_(std::move(database)), id_(id), folded_(std::move(folded)) {}

  bool is_volatile() const override { return false; }

  // Load needs the token present: a key whose token is away cannot be used. The certificate is
  // left out (reading a card's certificates is slow); LoadCertificate reads it.
  std::optional<StoredKey> Load(uint32_t spec) override {
    auto link = ReadLink(spec);
    if (!link) return std::nullopt;
    if (!PresentToken(link->token)) return std::nullopt;
    StoredKey key;
    key.description = {spec, link->bits, 0};
    key.public_key = std::move(link->public_key);
    return key;
  }

  std::optional<std::optional<std::vector<uint8_t>>> LoadCertificate(uint32_t spec) override {
    auto link = ReadLink(spec);
    if (!link) return std::nullopt;
    auto token = PresentToken(link->token);
    if (!token) return std::nullopt;
    return TokenCertificateOf(*token, link->key_id);
  }

  std::optional<std::vector<KeyDescription>> List() override {
    if (!Exists()) return std::nullopt;
    ProfileStatement query =
        database_->Prepare("SELECT spec, bits FROM token_keys WHERE container = ?1 ORDER BY spec");
    if (!query.valid() || !query.BindInt(1, id_)) {
      SetLastPlatformError(key_error::kNoMemory);
      return std::nullopt;
    }
    std::vector<KeyDescription> keys;
    for (;;) {
      switch (query.Step()) {
        case ProfileStatement::StepResult::kError:
          return std::nullopt;
        case ProfileStatement::StepResult::kDone:
          return keys;
        case ProfileStatement::StepResult::kRow:
          keys.push_back({static_cast<uint32_t>(query.ColumnInt(0)),
                          static_cast<uint32_t>(query.ColumnInt(1)), 0});
          break;
      }
    }
  }

  // A key from elsewhere (a PFX file, a key blob) is never put on a token by this route.
  bool Store(const StoredKey&) override { return Fail(platform_error::kPermissionDenied); }

  // The certificate goes onto the token beside its key; the token's label for it is the
  // container's name.
  bool StoreCertificate(uint32_t spec, std::optional<std::vector<uint8_t>> der) override {
    if (!der) return Fail(platform_error::kPermissionDenied);
    auto link = ReadLink(spec);
    if (!link) return false;
    auto token = PresentToken(link->token);
    return token && StoreTokenCertificate(*token, link->key_id, Label(), *der);
  }

  std::optional<TokenKeyLink> TokenLink(uint32_t spec) override {
    const uint32_t error = LastPlatformError();
    auto link = ReadLink(spec);
    if (!link) SetLastPlatformError(error);  // "not on a token" records nothing
    return link;
  }

  bool AddTokenKey(uint32_t spec, const TokenKeyLink& link) override {
    return database_->Transaction([&] { return Exists() && Insert(*database_, id_, spec, link); });
  }

  // Insert writes the token key |link| of |spec| into container |id| (inside the caller's
  // transaction).
  static bool Insert(ProfileDatabase& database, int64_t id, uint32_t spec,
                     const TokenKeyLink& link) {
    ProfileStatement insert = database.Prepare(
        "INSERT OR REPLACE INTO token_keys"
        " (container, spec, module, serial, token_label, key_id, bits, public_key)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    if (!insert.valid() || !insert.BindInt(1, id) || !insert.BindInt(2, spec) ||
        !insert.BindText(3, link.token.module) || !insert.BindText(4, link.token.serial) ||
        !insert.BindText(5, link.token.label) ||
        !insert.BindBlob(6, link.key_id.data(), link.key_id.size()) ||
        !insert.BindInt(7, link.bits) ||
        !insert.BindBlob(8, link.public_key.data(), link.public_key.size())) {
      return Fail(key_error::kNoMemory);
    }
    return insert.Step() == ProfileStatement::StepResult::kDone;
  }

  // Links lists the token keys of container |id| (for removal with the container).
  static std::vector<TokenKeyLink> Links(ProfileDatabase& database, int64_t id) {
    std::vector<TokenKeyLink> links;
    ProfileStatement query = database.Prepare(
        "SELECT module, serial, token_label, key_id FROM token_keys WHERE container = ?1");
    if (!query.valid() || !query.BindInt(1, id)) return links;
    while (query.Step() == ProfileStatement::StepResult::kRow) {
      TokenKeyLink link;
      link.token = {query.ColumnText(0), query.ColumnText(1), query.ColumnText(2)};
      link.key_id = query.ColumnBlob(3);
      links.push_back(std::move(link));
    }
    return links;
  }

 private:
  // ReadLink returns the token key of |spec|: NTE_NO_KEY when there is none, NTE_BAD_KEYSET when
  // the container is gone.
  std::optional<TokenKeyLink> ReadLink(uint32_t spec) {
    ProfileStatement query = database_->Prepare(
        "SELECT module, serial, token_label, key_id, bits, public_key FROM token_keys"
        " WHERE container = ?1 AND spec = ?2");
    if (!query.valid() || !query.BindInt(1, id_) || !query.BindInt(2, spec)) {
      SetLastPlatformError(key_error::kNoMemory);
      return std::nullopt;
    }
    switch (query.Step()) {
      case ProfileStatement::StepResult::kError:
        return std::nullopt;
      case ProfileStatement::StepResult::kDone:
        if (Exists()) SetLastPlatformError(key_error::kNoKey);
        return std::nullopt;
      case ProfileStatement::StepResult::kRow:
        break;
    }
    TokenKeyLink link;
    link.token = {query.ColumnText(0), query.ColumnText(1), query.ColumnText(2)};
    link.key_id = query.ColumnBlob(3);
    link.bits = static_cast<uint32_t>(query.ColumnInt(4));
    link.public_key = query.ColumnBlob(5);
    return link;
  }

  // The container's name as written, the label of its objects on the token.
  std::string Label() {
    ProfileStatement query = database_->Prepare("SELECT name FROM key_containers WHERE id = ?1");
    if (!query.valid() || !query.BindInt(1, id_) ||
        query.Step() != ProfileStatement::StepResult::kRow) {
      return folded_;
    }
    return query.ColumnText(0);
  }

  bool Exists() { return ContainerExists(*database_, id_, folded_); }

  std::shared_ptr<ProfileDatabase> database_;
  int64_t id_;
  std::string folded_;
};

}  // namespace

TokenChooser SetTokenChooser(TokenChooser chooser) {
  ChooserSlot& slot = DefaultChooser();
  std::lock_guard<std::mutex> lock(slot.mutex);
  std::swap(slot.chooser, chooser);
  return chooser;
}

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
  // A card provider's key is made by a token; no flag applies to it (it never leaves the token).
  if (!IsSoftwareProvider(provider_name_)) return GenerateOnToken(spec, bits);
  auto material = GenerateRsaKey(bits);
  return material && StoreNewKey(spec, flags, std::move(*material));
}

bool KeyContainer::GenerateOnToken(uint32_t spec, uint32_t bits) {
  // The container's second key goes to the token of its first.
  const uint32_t other = spec == key_spec::kExchange ? key_spec::kSignature : key_spec::kExchange;
  std::optional<TokenRef> token;
  if (auto sibling = state_->TokenLink(other)) {
    token = PresentToken(sibling->token);
  } else {
    token = ChooseToken();
  }
  if (!token) return false;
  const std::optional<TokenKeyLink> previous = state_->TokenLink(spec);
  auto key = GenerateTokenKey(*token, bits, StoredName(name_));
  if (!key) return false;
  const TokenKeyLink link{*token, key->id, key->bits, key->public_key_info};
  if (!state_->AddTokenKey(spec, link)) {
    const uint32_t error = LastPlatformError();
    DeleteTokenKey(*token, key->id);  // nothing refers to it
    SetLastPlatformError(error);
    return false;
  }
  // The replaced key pair goes, as a software container's replaced key does.
  if (previous && previous->key_id != key->id) {
    if (auto old_token = PresentToken(previous->token))
      DeleteTokenKey(*old_token, previous->key_id);
  }
  return true;
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
  if (auto link = state_->TokenLink(spec)) {
    auto digest_info = DigestInfoFor(algorithm, hash);
    if (!digest_info) return std::nullopt;
    auto token = PresentToken(link->token);
    if (!token) return std::nullopt;
    auto signature = SignWithTokenKey(*token, link->key_id, *digest_info);
    if (!signature) return std::nullopt;
    std::reverse(signature->begin(), signature->end());
    return signature;
  }
  evp_pkey_st* parsed = UsablePrivateKey(spec, KeyUse::kSign);
  if (parsed == nullptr) return std::nullopt;
  return RsaSignHash(parsed, algorithm, hash);
}

std::optional<SecretBytes> KeyContainer::Decrypt(uint32_t spec, std::span<const uint8_t> block) {
  if (!ValidSpec(spec)) return std::nullopt;
  if (auto link = state_->TokenLink(spec)) {
    auto token = PresentToken(link->token);
    if (!token) return std::nullopt;
    const std::vector<uint8_t> big_endian(block.rbegin(), block.rend());
    return DecryptWithTokenKey(*token, link->key_id, big_endian);
  }
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
  auto certificate = state_->LoadCertificate(spec);
  if (!certificate) return std::nullopt;
  if (!*certificate) {
    SetLastPlatformError(key_error::kNotFound);
    return std::nullopt;
  }
  return std::move(*certificate);
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
  std::shared_ptr<KeyContainer::State> state;
  if (IsSoftwareProvider(provider->name)) {
    state = std::make_shared<ProfileState>(database_, id, folded);
  } else {
    state = std::make_shared<TokenState>(database_, id, folded);
  }
  return std::make_unique<KeyContainer>(KeyContainer::Passkey{}, std::move(state),
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
  // The provider the container was created through decides where its keys are, whatever name
  // it is opened by now; a card container of an earlier release holds software keys and stays so.
  ProfileStatement query = database_->Prepare(
      "SELECT id, provider,"
      " EXISTS (SELECT 1 FROM container_keys WHERE container = key_containers.id)"
      " FROM key_containers WHERE folded = ?1");
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
  const int64_t id = query.ColumnInt(0);
  const std::string recorded = query.ColumnText(1);
  std::shared_ptr<KeyContainer::State> state;
  if (!recorded.empty() && !IsSoftwareProvider(recorded) && query.ColumnInt(2) == 0) {
    state = std::make_shared<TokenState>(database_, id, folded);
  } else {
    state = std::make_shared<ProfileState>(database_, id, folded);
  }
  return std::make_unique<KeyContainer>(KeyContainer::Passkey{}, std::move(state),
                                        std::string(name), *provider, false);
}

bool KeyContainerStore::Delete(std::string_view name, std::string_view provider_name,
                               uint32_t provider_type) {
  if (ResolveProvider(provider_name, provider_type) == nullptr) return false;
  const std::string folded = FoldRegistryName(StoredName(name));
  std::vector<TokenKeyLink> token_keys;
  const bool removed = database_->Transaction([&] {
    ProfileStatement find = database_->Prepare("SELECT id FROM key_containers WHERE folded = ?1");
    if (!find.valid() || !find.BindText(1, folded)) return Fail(key_error::kNoMemory);
    if (find.Step() == ProfileStatement::StepResult::kRow) {
      token_keys = TokenState::Links(*database_, find.ColumnInt(0));
    }
    // The keys and token links go with the container (ON DELETE CASCADE).
    ProfileStatement remove = database_->Prepare("DELETE FROM key_containers WHERE folded = ?1");
    if (!remove.valid() || !remove.BindText(1, folded)) return Fail(key_error::kNoMemory);
    if (remove.Step() != ProfileStatement::StepResult::kDone) return false;
    const auto changes = Changes(*database_);
    return changes && (*changes == 1 || Fail(key_error::kBadKeyset));
  });
  if (!removed) return false;
  // The key pairs on a present token go too; an absent token keeps them (nothing refers to them
  // any more, and the card's own tools can remove them).
  for (const auto& link : token_keys) {
    if (auto token = PresentToken(link.token)) DeleteTokenKey(*token, link.key_id);
  }
  return true;
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

std::optional<KeyContainerStore::AdoptedKey> KeyContainerStore::AdoptTokenKey(
    const TokenRef& token, std::span<const uint8_t> key_id, std::span<const uint8_t> public_key) {
  const std::optional<uint32_t> bits = RsaPublicKeyBits(public_key);
  if (!bits) return std::nullopt;
  // Container names are ASCII here, the same in every code page.
  static constexpr char kHex[] = "0123456789abcdef";
  std::string base = "token-";
  for (char c : token.serial) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) base += c;
  }
  base += '-';
  for (uint8_t byte : key_id) {
    base += kHex[byte >> 4];
    base += kHex[byte & 0xF];
  }
  AdoptedKey adopted;
  const bool ok = database_->Transaction([&] {
    ProfileStatement find = database_->Prepare(
        "SELECT c.name, t.spec FROM token_keys t JOIN key_containers c ON c.id = t.container"
        " WHERE t.module = ?1 AND t.serial = ?2 AND t.key_id = ?3 ORDER BY c.id LIMIT 1");
    if (!find.valid() || !find.BindText(1, token.module) || !find.BindText(2, token.serial) ||
        !find.BindBlob(3, key_id.data(), key_id.size())) {
      return Fail(key_error::kNoMemory);
    }
    switch (find.Step()) {
      case ProfileStatement::StepResult::kError:
        return false;
      case ProfileStatement::StepResult::kRow:
        adopted = {ConvertToNarrow(Utf8ToUtf16(find.ColumnText(0))),
                   static_cast<uint32_t>(find.ColumnInt(1))};
        return true;
      case ProfileStatement::StepResult::kDone:
        break;
    }
    // A name somebody took already gets a number after it.
    int64_t id = 0;
    std::string name = base;
    for (int attempt = 2;; ++attempt) {
      if (InsertContainer(*database_, name, FoldRegistryName(name), CardProvider().name, &id)) {
        break;
      }
      if (LastPlatformError() != key_error::kExists || attempt > 100) return false;
      name = base + "-" + std::to_string(attempt);
    }
    const TokenKeyLink link{token, {key_id.begin(), key_id.end()}, *bits,
                            {public_key.begin(), public_key.end()}};
    adopted = {name, key_spec::kExchange};
    return TokenState::Insert(*database_, id, key_spec::kExchange, link);
  });
  if (!ok) return std::nullopt;
  return adopted;
}

bool KeyContainerStore::Persist(KeyContainer& container) {
  auto* state = dynamic_cast<VolatileState*>(container.state_.get());
  if (state == nullptr) return Fail(platform_error::kInvalidParameter);
  const VolatileState::Contents contents = state->Snapshot();
  const std::string stored = StoredName(container.name());
  const std::string folded = FoldRegistryName(stored);
  const bool persisted = database_->Transaction([&] {
    int64_t id = 0;
    if (!InsertContainer(*database_, stored, folded, container.provider_name(), &id)) {
      return false;
    }
    for (const StoredKey& key : contents.keys) {
      if (!ProfileState::Insert(*database_, id, folded, key)) return false;
    }
    for (const auto& [spec, link] : contents.token_keys) {
      if (!TokenState::Insert(*database_, id, spec, link)) return false;
    }
    return true;
  });
  // Only the caller's transaction, if there is one, makes this final; a key pair stays on the
  // token from here on, as a failed later step leaves a software key's row rolled back too.
  if (persisted) state->MarkPersisted();
  return persisted;
}

}  // namespace kelvadrome
