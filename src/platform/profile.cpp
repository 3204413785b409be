#include "platform/profile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/last_error.h"
#include "platform/sealed_keys.h"
#include "platform/sqlite_library.h"

namespace kelvadrome {

namespace {

constexpr int kBusyTimeoutMs = 15000;
constexpr uint32_t kResourceBusy = 170;

// Each step brings the schema from version i to i + 1. Steps are only ever added, never changed:
// a profile at any earlier version is migrated by running the steps after its version in order.
constexpr std::string_view kMigrations[] = {
    // 0 -> 1: the registry. Key and value names are kept as written (UTF-8) and compared through
    // their folded form, since names compare without regard to letter case.
    R"sql(
      CREATE TABLE registry_keys (
        id INTEGER PRIMARY KEY,
        parent INTEGER REFERENCES registry_keys(id) ON DELETE CASCADE,
        name TEXT NOT NULL,
        folded TEXT NOT NULL);
      CREATE UNIQUE INDEX registry_keys_by_name ON registry_keys(parent, folded);
      INSERT INTO registry_keys(id, parent, name, folded) VALUES (1, NULL, '', '');
      CREATE TABLE registry_values (
        key INTEGER NOT NULL REFERENCES registry_keys(id) ON DELETE CASCADE,
        name TEXT NOT NULL,
        folded TEXT NOT NULL,
        type INTEGER NOT NULL,
        data BLOB NOT NULL,
        PRIMARY KEY (key, folded)) WITHOUT ROWID;
    )sql",
    // 1 -> 2: key containers and certificate stores. Container and store names compare without
    // regard to letter case, as registry names do. Certificates keep their insertion order (id).
    R"sql(
      CREATE TABLE key_containers (
        id INTEGER PRIMARY KEY,
        name TEXT NOT NULL,
        folded TEXT NOT NULL UNIQUE);
      CREATE TABLE container_keys (
        container INTEGER NOT NULL REFERENCES key_containers(id) ON DELETE CASCADE,
        spec INTEGER NOT NULL,
        bits INTEGER NOT NULL,
        flags INTEGER NOT NULL,
        private_key BLOB NOT NULL,
        public_key BLOB NOT NULL,
        certificate BLOB,
        PRIMARY KEY (container, spec)) WITHOUT ROWID;
      CREATE TABLE cert_stores (
        id INTEGER PRIMARY KEY,
        name TEXT NOT NULL,
        folded TEXT NOT NULL UNIQUE);
      CREATE TABLE certificates (
        id INTEGER PRIMARY KEY,
        store INTEGER NOT NULL REFERENCES cert_stores(id) ON DELETE CASCADE,
        der BLOB NOT NULL,
        sha1 BLOB NOT NULL);
      CREATE UNIQUE INDEX certificates_by_hash ON certificates(store, sha1);
      CREATE TABLE certificate_properties (
        certificate INTEGER NOT NULL REFERENCES certificates(id) ON DELETE CASCADE,
        property INTEGER NOT NULL,
        value BLOB NOT NULL,
        PRIMARY KEY (certificate, property)) WITHOUT ROWID;
    )sql",
    // 2 -> 3: the provider a key container was created through, for listings.
    R"sql(
      ALTER TABLE key_containers ADD COLUMN provider TEXT NOT NULL DEFAULT '';
    )sql",
    // 3 -> 4: listings without the DER. A certificate's summary (the fields filters and listings
    // read, in a form the codec layer defines) is kept beside it once it has been worked out, and
    // a store's certificates can be walked in order without reading their DER.
    R"sql(
      CREATE TABLE certificate_summaries (
        certificate INTEGER PRIMARY KEY REFERENCES certificates(id) ON DELETE CASCADE,
        summary BLOB NOT NULL);
      CREATE INDEX certificates_in_order ON certificates(store, id, sha1);
    )sql",
    // 4 -> 5: keys that live on a token. The container's key of a spec is the token's key pair of
    // that CKA_ID; the profile keeps only where it is and its public half.
    R"sql(
      CREATE TABLE token_keys (
        container INTEGER NOT NULL REFERENCES key_containers(id) ON DELETE CASCADE,
        spec INTEGER NOT NULL,
        module TEXT NOT NULL,
        serial TEXT NOT NULL,
        token_label TEXT NOT NULL,
        key_id BLOB NOT NULL,
        bits INTEGER NOT NULL,
        public_key BLOB NOT NULL,
        PRIMARY KEY (container, spec)) WITHOUT ROWID;
    )sql",
    // 5 -> 6: private keys sealed at rest (sealed_keys.h). The profile names its wrapping key; the
    // key records written in clear before are sealed in the same transaction (SealStoredKeys).
    R"sql(
      CREATE TABLE key_protection (
        id INTEGER PRIMARY KEY CHECK (id = 1),
        store TEXT NOT NULL,
        key_id BLOB NOT NULL);
    )sql",
};
// The step after which the keys written in clear are sealed.
constexpr int kSealingStep = 5;
static_assert(std::size(kMigrations) == kProfileSchemaVersion);

std::string EnvironmentOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

// Creates |folder| and missing parents with mode 0700. The profile folder itself must belong to
// this user: another user's profile is never used.
bool PrepareFolder(const std::string& folder) {
  std::string partial;
  size_t position = 0;
  while (position != std::string::npos) {
    position = folder.find('/', position + 1);
    partial = folder.substr(0, position);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      SetLastPlatformError(errno == ENOSPC ? 112 : platform_error::kAccessDenied);
      return false;
    }
  }
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    SetLastPlatformError(platform_error::kAccessDenied);
    return false;
  }
  // Keep the folder private even if something loosened it.
  if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    SetLastPlatformError(platform_error::kAccessDenied);
    return false;
  }
  return true;
}

// Makes sure the database file exists with mode 0600 before SQLite opens it, so that it (and the
// journal files SQLite gives the same mode) is never readable by others.
//
// An existing file is only looked at, never opened: SQLite's locks are POSIX record locks, which
// belong to the process, and closing any descriptor of the file drops every lock the process holds
// on it, including those of this process's open connections. Another process could then take the
// database for its own (checkpointing and removing the write-ahead log under a live connection),
// losing committed transactions. A missing file is created with O_EXCL, so the descriptor closed
// here is of a file no connection of this process can have open yet.
bool PrepareFile(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) {
      if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        SetLastPlatformError(platform_error::kAccessDenied);
        return false;
      }
      return true;
    }
    if (errno != ENOENT) {
      SetLastPlatformError(platform_error::kAccessDenied);
      return false;
    }
    UniqueFd created(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (created.valid()) return true;
    if (errno != EEXIST) {
      SetLastPlatformError(errno == ENOSPC ? 112 : platform_error::kAccessDenied);
      return false;
    }
    // Another process created it meanwhile: look at what it made.
  }
  SetLastPlatformError(platform_error::kAccessDenied);
  return false;
}

int ReadUserVersion(sqlite3* db, int* version) {
  sqlite3_stmt* raw = nullptr;
  int result = Sqlite()->prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr);
  UniqueSqliteStatement statement(raw);
  if (result != SQLITE_OK) return result;
  result = Sqlite()->step(statement.get());
  if (result != SQLITE_ROW) return result;
  *version = Sqlite()->column_int(statement.get(), 0);
  return SQLITE_OK;
}

}  // namespace

void RecordSqliteError(int sqlite_result) {
  switch (sqlite_result & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      SetLastPlatformError(kResourceBusy);
      break;
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
      SetLastPlatformError(platform_error::kAccessDenied);
      break;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      SetLastPlatformError(1009);  // the database is corrupt
      break;
    case SQLITE_FULL:
      SetLastPlatformError(112);  // the disk is full
      break;
    case SQLITE_NOMEM:
      SetLastPlatformError(platform_error::kNotEnoughMemory);
      break;
    case SQLITE_IOERR:
      SetLastPlatformError(1016);  // an I/O operation of the database failed
      break;
    default:
      SetLastPlatformError(0x80004005);
      break;
  }
}

std::string UserProfileFolder() {
  const char* explicit_folder = std::getenv("KELVADROME_PROFILE");
  if (explicit_folder != nullptr && *explicit_folder != '\0') return explicit_folder;
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home != nullptr && data_home[0] == '/') return std::string(data_home) + "/kelvadrome";
  return EnvironmentOr("HOME", "") + "/.local/share/kelvadrome";
}

std::string MachineProfileFolder() {
  return EnvironmentOr("KELVADROME_MACHINE_PROFILE", "/var/lib/kelvadrome");
}

std::unique_ptr<ProfileDatabase> ProfileDatabase::Open(const std::string& folder, Access access) {
  if (folder.empty()) {
    SetLastPlatformError(platform_error::kPathNotFound);
    return nullptr;
  }
  const std::string path = folder + "/" + std::string(kProfileDatabaseName);
  int flags = SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
  if (access == Access::kReadWrite) {
    if (!PrepareFolder(folder) || !PrepareFile(path)) return nullptr;
    flags |= SQLITE_OPEN_READWRITE;
  } else {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
      SetLastPlatformError(platform_error::kFileNotFound);
      return nullptr;
    }
    flags |= SQLITE_OPEN_READONLY;
  }
  const SqliteLibrary* sqlite = Sqlite();
  if (sqlite == nullptr) return nullptr;
  sqlite3* raw = nullptr;
  int result = sqlite->open_v2(path.c_str(), &raw, flags, nullptr);
  UniqueSqlite db(raw);
  if (result != SQLITE_OK) {
    RecordSqliteError(result);
    return nullptr;
  }
  Sqlite()->extended_result_codes(db.get(), 1);
  Sqlite()->busy_timeout(db.get(), kBusyTimeoutMs);

  // Reading the version is the first access: a file that is not a database fails here, before
  // anything could be written to it.
  int version = 0;
  result = ReadUserVersion(db.get(), &version);
  if (result != SQLITE_OK) {
    RecordSqliteError(result);
    return nullptr;
  }
  if (version > kProfileSchemaVersion) {
    SetLastPlatformError(1010);  // written by a newer release: not ours to change
    return nullptr;
  }
  auto profile = std::make_unique<ProfileDatabase>(Token{}, std::move(db), access);
  // Deleted records (old private keys among them) are overwritten with zeros, not left in free
  // pages of the file.
  if (!profile->Execute("PRAGMA foreign_keys = ON") ||
      !profile->Execute("PRAGMA secure_delete = ON")) {
    return nullptr;
  }
  // A read-only profile is used as it is; one of an older schema still reads.
  if (access == Access::kReadOnly) return profile;
  if (!profile->Execute("PRAGMA synchronous = FULL") || !profile->PrepareSchema()) return nullptr;
  return profile;
}

std::unique_ptr<ProfileDatabase> ProfileDatabase::OpenUser() {
  return Open(UserProfileFolder(), Access::kReadWrite);
}

std::unique_ptr<ProfileDatabase> ProfileDatabase::OpenMachine() {
  return Open(MachineProfileFolder(), Access::kReadOnly);
}

bool ProfileDatabase::PrepareSchema() {
  // Switching a new profile to WAL needs the database to itself for a moment, and SQLite reports
  // that contention at once instead of waiting: when several processes open a new profile
  // together, the losers try again until the busy timeout has passed.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (int attempt = 0;; ++attempt) {
    if (Execute("PRAGMA journal_mode = WAL") && Migrate()) return true;
    if (LastPlatformError() != kResourceBusy || std::chrono::steady_clock::now() > give_up) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + 5 * std::min(attempt, 10)));
  }
}

bool ProfileDatabase::Migrate() {
  bool sealed_in_migration = false;
  const bool migrated = Transaction([&] {
    // Read again inside the transaction: another process may have migrated meanwhile.
    int version = 0;
    const int result = ReadUserVersion(db_.get(), &version);
    if (result != SQLITE_OK) {
      RecordSqliteError(result);
      return false;
    }
    if (version > kProfileSchemaVersion) {
      SetLastPlatformError(1010);
      return false;
    }
    for (int step = version; step < kProfileSchemaVersion; ++step) {
      if (!Execute(kMigrations[step])) return false;
      if (step == kSealingStep) {
        if (!SealStoredKeys(*this)) return false;
        sealed_in_migration = true;
      }
    }
    if (version == kProfileSchemaVersion) return true;
    return Execute("PRAGMA user_version = " + std::to_string(kProfileSchemaVersion));
  });
  // The keys just sealed were in clear in the database file and maybe in its log: the checkpoint
  // writes the sealed pages over the file's and empties the log. Another process reading the
  // profile may hold part of it back; the next checkpoint then finishes the work.
  if (migrated && sealed_in_migration) Execute("PRAGMA wal_checkpoint(TRUNCATE)");
  return migrated;
}

ProfileStatement ProfileDatabase::Prepare(std::string_view sql) {
  if (sql.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return {};
  sqlite3_stmt* raw = nullptr;
  const int result =
      Sqlite()->prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  if (result != SQLITE_OK) {
    RecordSqliteError(result);
    Sqlite()->finalize(raw);
    return {};
  }
  return ProfileStatement(UniqueSqliteStatement(raw));
}

bool ProfileDatabase::Execute(std::string_view sql) {
  const std::string text(sql);
  const int result = Sqlite()->exec(db_.get(), text.c_str(), nullptr, nullptr, nullptr);
  if (result != SQLITE_OK) {
    RecordSqliteError(result);
    return false;
  }
  return true;
}

bool ProfileDatabase::Transaction(const std::function<bool()>& work) {
  // Inside a transaction already open on this connection the work becomes a savepoint, so that
  // callers can join several steps (a key and the certificate that refers to it) into one
  // transaction that either happens whole or not at all.
  const bool nested = Sqlite()->get_autocommit(db_.get()) == 0;
  if (!Execute(nested ? "SAVEPOINT nested_work" : "BEGIN IMMEDIATE")) return false;
  const char* const undo = nested ? "ROLLBACK TO nested_work; RELEASE nested_work" : "ROLLBACK";
  bool ok = false;
  try {
    ok = work();
  } catch (...) {
    Sqlite()->exec(db_.get(), undo, nullptr, nullptr, nullptr);
    throw;
  }
  if (ok && Execute(nested ? "RELEASE nested_work" : "COMMIT")) return true;
  // Keep the error that made the work fail; the rollback's own result does not matter.
  const uint32_t error = LastPlatformError();
  Sqlite()->exec(db_.get(), undo, nullptr, nullptr, nullptr);
  SetLastPlatformError(error);
  return false;
}

std::optional<ProfileChangeStamp> ProfileDatabase::ChangeStamp() {
  if (data_version_ == nullptr) {
    sqlite3_stmt* raw = nullptr;
    const int prepared = Sqlite()->prepare_v2(db_.get(), "PRAGMA data_version", -1, &raw, nullptr);
    data_version_.reset(raw);
    if (prepared != SQLITE_OK) {
      data_version_.reset();
      RecordSqliteError(prepared);
      return std::nullopt;
    }
  }
  const int stepped = Sqlite()->step(data_version_.get());
  ProfileChangeStamp stamp;
  if (stepped == SQLITE_ROW) stamp.data_version = Sqlite()->column_int64(data_version_.get(), 0);
  Sqlite()->reset(data_version_.get());
  if (stepped != SQLITE_ROW) {
    RecordSqliteError(stepped);
    return std::nullopt;
  }
  stamp.own_changes = Sqlite()->total_changes64(db_.get());
  return stamp;
}

int64_t ProfileDatabase::LastInsertId() const {
  return Sqlite()->last_insert_rowid(db_.get());
}

bool ProfileStatement::BindInt(int index, int64_t value) {
  return Sqlite()->bind_int64(statement_.get(), index, value) == SQLITE_OK;
}

bool ProfileStatement::BindText(int index, std::string_view text) {
  return Sqlite()->bind_text64(statement_.get(), index, text.data(), text.size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8) == SQLITE_OK;
}

bool ProfileStatement::BindBlob(int index, const void* data, size_t size) {
  // A zero-length blob must still be a blob, not NULL.
  static const unsigned char kEmpty = 0;
  return Sqlite()->bind_blob64(statement_.get(), index, size == 0 ? &kEmpty : data, size,
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

bool ProfileStatement::BindNull(int index) {
  return Sqlite()->bind_null(statement_.get(), index) == SQLITE_OK;
}

ProfileStatement::StepResult ProfileStatement::Step() {
  const int result = Sqlite()->step(statement_.get());
  if (result == SQLITE_ROW) return StepResult::kRow;
  if (result == SQLITE_DONE) return StepResult::kDone;
  RecordSqliteError(result);
  return StepResult::kError;
}

int64_t ProfileStatement::ColumnInt(int column) const {
  return Sqlite()->column_int64(statement_.get(), column);
}

std::string ProfileStatement::ColumnText(int column) const {
  const auto* text = Sqlite()->column_text(statement_.get(), column);
  const int size = Sqlite()->column_bytes(statement_.get(), column);
  if (text == nullptr || size <= 0) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
}

std::vector<uint8_t> ProfileStatement::ColumnBlob(int column) const {
  const auto* data = static_cast<const uint8_t*>(Sqlite()->column_blob(statement_.get(), column));
  const int size = Sqlite()->column_bytes(statement_.get(), column);
  if (data == nullptr || size <= 0) return {};
  return std::vector<uint8_t>(data, data + size);
}

bool ProfileStatement::ColumnIsNull(int column) const {
  return Sqlite()->column_type(statement_.get(), column) == SQLITE_NULL;
}

void ProfileStatement::Reset() {
  Sqlite()->reset(statement_.get());
  Sqlite()->clear_bindings(statement_.get());
}

}  // namespace kelvadrome
