#include "platform/cert_store.h"

#include <algorithm>
#include <map>

#include <openssl/evp.h>

#include "platform/byte_reader.h"
#include "platform/certificate.h"
#include "platform/crypto_context.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"
#include "platform/registry.h"
#include "platform/token_certificates.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kNotFound = 0x80092004;
constexpr uint32_t kExists = 0x80092005;

// True when |der| is exactly one DER certificate; else the decoder's error is recorded.
bool IsOneCertificate(const std::vector<uint8_t>& der) {
  Certificate certificate;
  return certificate.Decode(der.data(), der.size());
}

void AppendUint32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void AppendText(std::vector<uint8_t>& out, const std::string& text) {
  AppendUint32(out, static_cast<uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

std::vector<uint8_t> ThumbprintBytes(const Thumbprint& sha1) {
  return std::vector<uint8_t>(sha1.begin(), sha1.end());
}

// --- Memory stores ------------------------------------------------------------------------------

class MemoryStore final : public CertStore {
 public:
  std::optional<std::vector<StoredCertificate>> Enumerate() override {
    std::vector<StoredCertificate> all;
    for (const auto& entry : entries_) all.push_back(entry.certificate);
    return all;
  }

  std::optional<StoredCertificate> Find(const Thumbprint& sha1) override {
    for (const auto& entry : entries_) {
      if (entry.certificate.sha1 == sha1) return entry.certificate;
    }
    SetLastPlatformError(kNotFound);
    return std::nullopt;
  }

  std::optional<StoredCertificate> Get(int64_t id) override {
    auto entry = Locate(id);
    if (entry == entries_.end()) return std::nullopt;
    return entry->certificate;
  }

  std::optional<int64_t> AddWithProperties(
      const std::vector<uint8_t>& der, AddDisposition disposition,
      const std::vector<CertificateProperty>& properties) override {
    if (!IsOneCertificate(der)) return std::nullopt;
    const Thumbprint sha1 = CertificateThumbprint(der);
    auto existing = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const Entry& e) { return e.certificate.sha1 == sha1; });
    Entry* target = nullptr;
    if (existing != entries_.end() && disposition != AddDisposition::kAlways) {
      switch (disposition) {
        case AddDisposition::kNew:
          SetLastPlatformError(kExists);
          return std::nullopt;
        case AddDisposition::kUseExisting:
          return existing->certificate.id;
        case AddDisposition::kReplaceExisting:
          existing->properties.clear();
          [[fallthrough]];
        default:
          existing->certificate.der = der;
          target = &*existing;
      }
    } else {
      entries_.push_back(Entry{{next_id_++, der, sha1}, {}});
      target = &entries_.back();
    }
    for (const auto& property : properties) target->properties[property.id] = property.value;
    return target->certificate.id;
  }

  std::optional<int64_t> AddLink(CertStore& source, int64_t source_id) override {
    auto certificate = source.Get(source_id);
    if (!certificate) return std::nullopt;
    Entry link{
        {next_id_++, std::move(certificate->der), certificate->sha1}, {}, &source, source_id};
    entries_.push_back(std::move(link));
    return entries_.back().certificate.id;
  }

  bool Delete(int64_t id) override {
    auto entry = Locate(id);
    if (entry == entries_.end()) return false;
    entries_.erase(entry);
    return true;
  }

  std::optional<std::vector<uint8_t>> GetProperty(int64_t id, uint32_t property) override {
    auto entry = Locate(id);
    if (entry == entries_.end()) return std::nullopt;
    if (property == cert_property::kSha1Hash) return ThumbprintBytes(entry->certificate.sha1);
    if (entry->link_source != nullptr)
      return entry->link_source->GetProperty(entry->link_id, property);
    auto found = entry->properties.find(property);
    if (found == entry->properties.end()) {
      SetLastPlatformError(kNotFound);
      return std::nullopt;
    }
    return found->second;
  }

  std::optional<std::vector<std::pair<int64_t, std::vector<uint8_t>>>> WithProperty(
      uint32_t property) override {
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> found;
    for (const Entry& entry : entries_) {
      if (auto value = GetProperty(entry.certificate.id, property)) {
        found.emplace_back(entry.certificate.id, std::move(*value));
      }
    }
    return found;
  }

  bool SetProperty(int64_t id, uint32_t property, const std::vector<uint8_t>* value) override {
    auto entry = Locate(id);
    if (entry == entries_.end()) return false;
    if (entry->link_source != nullptr) {
      return entry->link_source->SetProperty(entry->link_id, property, value);
    }
    if (value == nullptr) {
      entry->properties.erase(property);
    } else {
      entry->properties[property] = *value;
    }
    return true;
  }

 private:
  struct Entry {
    StoredCertificate certificate;
    std::map<uint32_t, std::vector<uint8_t>> properties;
    // A link: the certificate of another store, whose properties it shares.
    CertStore* link_source = nullptr;
    int64_t link_id = 0;
  };

  std::vector<Entry>::iterator Locate(int64_t id) {
    auto entry = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.certificate.id == id; });
    if (entry == entries_.end()) SetLastPlatformError(kNotFound);
    return entry;
  }

  std::vector<Entry> entries_;
  int64_t next_id_ = 1;
};

// --- Persistent stores --------------------------------------------------------------------------

class ProfileStore final : public CertStore {
 public:
  ProfileStore(std::shared_ptr<ProfileDatabase> database, int64_t store)
      : database_(std::move(database)), store_(store) {}

  static std::unique_ptr<CertStore> Open(std::string_view name,
                                         std::shared_ptr<ProfileDatabase> database) {
    if (!database) return nullptr;
    const std::string stored(name);
    const std::string folded = FoldRegistryName(stored);
    int64_t store = 0;
    const bool ok = database->Transaction([&] {
      ProfileStatement insert = database->Prepare(
          "INSERT INTO cert_stores(name, folded) VALUES (?1, ?2) ON CONFLICT(folded) DO NOTHING");
      ProfileStatement find = database->Prepare("SELECT id FROM cert_stores WHERE folded = ?1");
      if (!insert.valid() || !find.valid() || !insert.BindText(1, stored) ||
          !insert.BindText(2, folded) || insert.Step() != ProfileStatement::StepResult::kDone ||
          !find.BindText(1, folded) || find.Step() != ProfileStatement::StepResult::kRow) {
        return false;
      }
      store = find.ColumnInt(0);
      return true;
    });
    if (!ok) return nullptr;
    auto opened = std::make_unique<ProfileStore>(database, store);
    // The user's own store also shows the certificates of the tokens present.
    if (folded == FoldRegistryName("MY")) RefreshTokenCertificates(*opened, database);
    return opened;
  }

  std::optional<std::vector<StoredCertificate>> Enumerate() override {
    ProfileStatement list =
        database_->Prepare("SELECT id, der, sha1 FROM certificates WHERE store = ?1 ORDER BY id");
    if (!list.valid() || !list.BindInt(1, store_)) return std::nullopt;
    std::vector<StoredCertificate> all;
    for (;;) {
      const auto step = list.Step();
      if (step == ProfileStatement::StepResult::kError) return std::nullopt;
      if (step == ProfileStatement::StepResult::kDone) return all;
      all.push_back(Row(list));
    }
  }

  std::optional<std::vector<ListedCertificate>> List() override {
    // The index on (store, id, sha1) gives the order without a sort and without the table's rows,
    // which hold the DER.
    ProfileStatement list = database_->Prepare(
        "SELECT c.id, c.sha1, s.summary FROM certificates c INDEXED BY certificates_in_order "
        "LEFT JOIN certificate_summaries s ON s.certificate = c.id "
        "WHERE c.store = ?1 ORDER BY c.id");
    if (!list.valid() || !list.BindInt(1, store_)) return std::nullopt;
    std::vector<ListedCertificate> all;
    for (;;) {
      const auto step = list.Step();
      if (step == ProfileStatement::StepResult::kError) return std::nullopt;
      if (step == ProfileStatement::StepResult::kDone) return all;
      ListedCertificate& listed = all.emplace_back();
      listed.id = list.ColumnInt(0);
      CopyThumbprint(list.ColumnBlob(1), listed.sha1);
      if (!list.ColumnIsNull(2)) listed.summary = list.ColumnBlob(2);
    }
  }

  bool CacheSummaries(
      const std::vector<std::pair<int64_t, std::vector<uint8_t>>>& summaries) override {
    if (summaries.empty()) return true;
    return database_->Transaction([&] {
      // Only for a certificate of this store that is still there.
      ProfileStatement keep = database_->Prepare(
          "INSERT OR REPLACE INTO certificate_summaries(certificate, summary) "
          "SELECT id, ?2 FROM certificates WHERE id = ?1 AND store = ?3");
      if (!keep.valid()) return false;
      for (const auto& [id, summary] : summaries) {
        keep.Reset();
        if (!keep.BindInt(1, id) ||
            !keep.BindBlob(2, summary.data(), summary.size()) || !keep.BindInt(3, store_) ||
            keep.Step() != ProfileStatement::StepResult::kDone) {
          return false;
        }
      }
      return true;
    });
  }

  std::optional<StoredCertificate> Find(const Thumbprint& sha1) override {
    ProfileStatement find =
        database_->Prepare("SELECT id, der, sha1 FROM certificates WHERE store = ?1 AND sha1 = ?2");
    if (!find.valid() || !find.BindInt(1, store_) || !find.BindBlob(2, sha1.data(), sha1.size())) {
      return std::nullopt;
    }
    return SingleCertificate(find);
  }

  std::optional<StoredCertificate> Get(int64_t id) override {
    ProfileStatement get =
        database_->Prepare("SELECT id, der, sha1 FROM certificates WHERE id = ?1 AND store = ?2");
    if (!get.valid() || !get.BindInt(1, id) || !get.BindInt(2, store_)) return std::nullopt;
    return SingleCertificate(get);
  }

  std::optional<int64_t> AddWithProperties(
      const std::vector<uint8_t>& der, AddDisposition disposition,
      const std::vector<CertificateProperty>& properties) override {
    if (!IsOneCertificate(der)) return std::nullopt;
    const Thumbprint sha1 = CertificateThumbprint(der);
    int64_t id = 0;
    const bool ok = database_->Transaction([&] {
      ProfileStatement find =
          database_->Prepare("SELECT id FROM certificates WHERE store = ?1 AND sha1 = ?2");
      if (!find.valid() || !find.BindInt(1, store_) ||
          !find.BindBlob(2, sha1.data(), sha1.size())) {
        return false;
      }
      const auto found = find.Step();
      if (found == ProfileStatement::StepResult::kError) return false;
      if (found == ProfileStatement::StepResult::kRow) {
        id = find.ColumnInt(0);
        if (disposition == AddDisposition::kNew) {
          SetLastPlatformError(kExists);
          return false;
        }
        if (disposition == AddDisposition::kUseExisting) return true;
        // The same certificate: its place in the order stays; only the properties may go.
        if (disposition != AddDisposition::kReplaceExistingInheritProperties) {
          ProfileStatement drop =
              database_->Prepare("DELETE FROM certificate_properties WHERE certificate = ?1");
          if (!drop.valid() || !drop.BindInt(1, id) ||
              drop.Step() != ProfileStatement::StepResult::kDone) {
            return false;
          }
        }
      } else {
        ProfileStatement insert =
            database_->Prepare("INSERT INTO certificates(store, der, sha1) VALUES (?1, ?2, ?3)");
        if (!insert.valid() || !insert.BindInt(1, store_) ||
            !insert.BindBlob(2, der.data(), der.size()) ||
            !insert.BindBlob(3, sha1.data(), sha1.size()) ||
            insert.Step() != ProfileStatement::StepResult::kDone) {
          return false;
        }
        id = database_->LastInsertId();
      }
      for (const auto& property : properties) {
        if (!WriteProperty(id, property.id, &property.value)) return false;
      }
      return true;
    });
    if (!ok) return std::nullopt;
    return id;
  }

  std::optional<int64_t> AddLink(CertStore&, int64_t) override {
    SetLastPlatformError(platform_error::kInvalidParameter);  // links live in memory stores only
    return std::nullopt;
  }

  bool Delete(int64_t id) override {
    return database_->Transaction([&] {
      ProfileStatement remove =
          database_->Prepare("DELETE FROM certificates WHERE id = ?1 AND store = ?2 RETURNING id");
      if (!remove.valid() || !remove.BindInt(1, id) || !remove.BindInt(2, store_)) return false;
      const auto step = remove.Step();
      if (step == ProfileStatement::StepResult::kRow) {
        return remove.Step() == ProfileStatement::StepResult::kDone;
      }
      if (step == ProfileStatement::StepResult::kDone) SetLastPlatformError(kNotFound);
      return false;
    });
  }

  std::optional<std::vector<uint8_t>> GetProperty(int64_t id, uint32_t property) override {
    if (property == cert_property::kSha1Hash) {
      ProfileStatement hash =
          database_->Prepare("SELECT sha1 FROM certificates WHERE id = ?1 AND store = ?2");
      if (!hash.valid() || !hash.BindInt(1, id) || !hash.BindInt(2, store_)) return std::nullopt;
      return Single(hash);
    }
    ProfileStatement read = database_->Prepare(
        "SELECT p.value FROM certificate_properties p JOIN certificates c ON c.id = p.certificate "
        "WHERE p.certificate = ?1 AND c.store = ?2 AND p.property = ?3");
    if (!read.valid() || !read.BindInt(1, id) || !read.BindInt(2, store_) ||
        !read.BindInt(3, property)) {
      return std::nullopt;
    }
    return Single(read);
  }

  std::optional<ProfileChangeStamp> ChangeStamp() override { return database_->ChangeStamp(); }

  std::optional<std::vector<std::pair<int64_t, std::vector<uint8_t>>>> WithProperty(
      uint32_t property) override {
    ProfileStatement query = database_->Prepare(
        "SELECT c.id, p.value FROM certificate_properties p JOIN certificates c"
        " ON c.id = p.certificate WHERE c.store = ?1 AND p.property = ?2 ORDER BY c.id");
    if (!query.valid() || !query.BindInt(1, store_) || !query.BindInt(2, property)) {
      return std::nullopt;
    }
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> found;
    for (;;) {
      switch (query.Step()) {
        case ProfileStatement::StepResult::kError:
          return std::nullopt;
        case ProfileStatement::StepResult::kDone:
          return found;
        case ProfileStatement::StepResult::kRow:
          found.emplace_back(query.ColumnInt(0), query.ColumnBlob(1));
          break;
      }
    }
  }

  bool SetProperty(int64_t id, uint32_t property, const std::vector<uint8_t>* value) override {
    return database_->Transaction([&] {
      ProfileStatement owner =
          database_->Prepare("SELECT id FROM certificates WHERE id = ?1 AND store = ?2");
      if (!owner.valid() || !owner.BindInt(1, id) || !owner.BindInt(2, store_)) return false;
      const auto found = owner.Step();
      if (found != ProfileStatement::StepResult::kRow) {
        if (found == ProfileStatement::StepResult::kDone) SetLastPlatformError(kNotFound);
        return false;
      }
      return WriteProperty(id, property, value);
    });
  }

 private:
  // Sets (or, for null |value|, removes) property |property| of certificate |id|; runs inside a
  // write transaction.
  bool WriteProperty(int64_t id, uint32_t property, const std::vector<uint8_t>* value) {
    ProfileStatement change =
        value == nullptr
            ? database_->Prepare(
                  "DELETE FROM certificate_properties WHERE certificate = ?1 AND property = ?2")
            : database_->Prepare(
                  "INSERT INTO certificate_properties(certificate, property, value) "
                  "VALUES (?1, ?2, ?3) ON CONFLICT(certificate, property) "
                  "DO UPDATE SET value = excluded.value");
    if (!change.valid() || !change.BindInt(1, id) || !change.BindInt(2, property)) return false;
    if (value != nullptr && !change.BindBlob(3, value->data(), value->size())) return false;
    return change.Step() == ProfileStatement::StepResult::kDone;
  }

  static StoredCertificate Row(const ProfileStatement& row) {
    StoredCertificate certificate;
    certificate.id = row.ColumnInt(0);
    certificate.der = row.ColumnBlob(1);
    CopyThumbprint(row.ColumnBlob(2), certificate.sha1);
    return certificate;
  }

  static void CopyThumbprint(const std::vector<uint8_t>& bytes, Thumbprint& sha1) {
    std::copy_n(bytes.begin(), std::min(bytes.size(), sha1.size()), sha1.begin());
  }

  // The one certificate a query finds; nullopt (CRYPT_E_NOT_FOUND) when it finds none.
  static std::optional<StoredCertificate> SingleCertificate(ProfileStatement& statement) {
    switch (statement.Step()) {
      case ProfileStatement::StepResult::kRow:
        return Row(statement);
      case ProfileStatement::StepResult::kDone:
        SetLastPlatformError(kNotFound);
        return std::nullopt;
      case ProfileStatement::StepResult::kError:
        break;
    }
    return std::nullopt;
  }

  static std::optional<std::vector<uint8_t>> Single(ProfileStatement& statement) {
    switch (statement.Step()) {
      case ProfileStatement::StepResult::kRow:
        return statement.ColumnBlob(0);
      case ProfileStatement::StepResult::kDone:
        SetLastPlatformError(kNotFound);
        return std::nullopt;
      case ProfileStatement::StepResult::kError:
        break;
    }
    return std::nullopt;
  }

  std::shared_ptr<ProfileDatabase> database_;
  int64_t store_;
};

}  // namespace

std::vector<uint8_t> EncodeKeyProviderLink(const KeyProviderLink& link) {
  std::vector<uint8_t> out;
  AppendText(out, link.container);
  AppendText(out, link.provider);
  AppendUint32(out, link.provider_type);
  AppendUint32(out, link.flags);
  AppendUint32(out, link.key_spec);
  return out;
}

std::optional<KeyProviderLink> DecodeKeyProviderLink(const std::vector<uint8_t>& value) {
  ByteReader reader(value);
  KeyProviderLink link;
  if (!reader.ReadU32PrefixedText(link.container) || !reader.ReadU32PrefixedText(link.provider) ||
      !reader.ReadU32(link.provider_type) || !reader.ReadU32(link.flags) ||
      !reader.ReadU32(link.key_spec) || !reader.empty()) {
    return std::nullopt;
  }
  return link;
}

std::vector<uint8_t> EncodeFriendlyName(std::u16string_view name) {
  std::vector<uint8_t> value;
  value.reserve(2 * name.size() + 2);
  for (const char16_t unit : name) {
    value.push_back(static_cast<uint8_t>(unit & 0xFF));
    value.push_back(static_cast<uint8_t>(unit >> 8));
  }
  value.insert(value.end(), {0, 0});
  return value;
}

std::optional<std::u16string> DecodeFriendlyName(const std::vector<uint8_t>& value) {
  if (value.size() % 2 != 0) return std::nullopt;
  std::u16string name;
  for (size_t i = 0; i < value.size(); i += 2) {
    const auto unit = static_cast<char16_t>(value[i] | (value[i + 1] << 8));
    if (unit == 0) break;
    name.push_back(unit);
  }
  return name;
}

Thumbprint CertificateThumbprint(const std::vector<uint8_t>& der) {
  const OpensslErrorScope scope;
  Thumbprint sha1{};
  unsigned int length = 0;
  const UniqueEvpMd md(EVP_MD_fetch(CryptoLibraryContext(), "SHA1", CryptoPropertyQuery()));
  if (md != nullptr) EVP_Digest(der.data(), der.size(), sha1.data(), &length, md.get(), nullptr);
  return sha1;
}

std::optional<std::vector<ListedCertificate>> CertStore::List() {
  std::optional<std::vector<StoredCertificate>> all = Enumerate();
  if (!all) return std::nullopt;
  std::vector<ListedCertificate> listed;
  listed.reserve(all->size());
  for (StoredCertificate& certificate : *all) {
    listed.push_back({certificate.id, certificate.sha1, {}, std::move(certificate.der)});
  }
  return listed;
}

std::unique_ptr<CertStore> CertStore::OpenSystem(std::string_view name) {
  return ProfileStore::Open(name, ProfileDatabase::OpenUser());
}

std::unique_ptr<CertStore> CertStore::OpenSystem(std::string_view name,
                                                 std::shared_ptr<ProfileDatabase> profile) {
  return ProfileStore::Open(name, std::move(profile));
}

std::unique_ptr<CertStore> CertStore::OpenMemory() {
  return std::make_unique<MemoryStore>();
}

}  // namespace kelvadrome
