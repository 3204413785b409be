// The profile: the database that holds what the component keeps for a user (the registry, the
// certificate stores with their summaries, the key containers), and the machine-wide database
// beside it.
//
// The user's profile folder is $KELVADROME_PROFILE, else $XDG_DATA_HOME/kelvadrome, else
// ~/.local/share/kelvadrome; it is created with mode 0700 and its database file with mode 0600. The
// machine profile is $KELVADROME_MACHINE_PROFILE, else /var/lib/kelvadrome; it is only read, and a
// missing one reads as empty.
//
// The database is SQLite in WAL mode with a busy timeout, so several processes can use one profile
// at once: writers wait for each other instead of failing, and a write either happens whole or not
// at all. A schema version (PRAGMA user_version) lets later releases migrate a profile forward; a
// profile written by a newer release, or a file that is not a database, is refused and never
// rewritten.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/handles.h"

namespace kelvadrome {

// UserProfileFolder returns the folder of the current user's profile (not created).
std::string UserProfileFolder();

// MachineProfileFolder returns the folder of the machine-wide profile.
std::string MachineProfileFolder();

// The name of the database file inside a profile folder.
inline constexpr std::string_view kProfileDatabaseName = "profile.db";

// The schema version this release writes.
inline constexpr int kProfileSchemaVersion = 6;

// A prepared statement with bounds-checked binding and reading. Columns and parameters are
// 0-based for reading and 1-based for binding, as in SQLite.
class ProfileStatement {
 public:
  ProfileStatement() = default;
  explicit ProfileStatement(UniqueSqliteStatement statement) : statement_(std::move(statement)) {}
  bool valid() const { return statement_ != nullptr; }

  // Binders return false when the parameter index is out of range or memory runs out.
  bool BindInt(int index, int64_t value);
  bool BindText(int index, std::string_view text);
  bool BindBlob(int index, const void* data, size_t size);
  bool BindNull(int index);

  // Step advances to the next row. Returns kRow, kDone, or kError (the platform error is recorded).
  enum class StepResult { kRow, kDone, kError };
  StepResult Step();

  int64_t ColumnInt(int column) const;
  std::string ColumnText(int column) const;
  std::vector<uint8_t> ColumnBlob(int column) const;
  bool ColumnIsNull(int column) const;

  // Reset makes the statement ready to run again with new bindings.
  void Reset();

 private:
  UniqueSqliteStatement statement_;
};

// A stamp of a profile database's state as one connection sees it (ProfileDatabase::ChangeStamp).
struct ProfileChangeStamp {
  int64_t data_version = 0;  // moves when another connection or process commits a change
  int64_t own_changes = 0;   // rows changed through this connection so far
  bool operator==(const ProfileChangeStamp&) const = default;
};

class ProfileDatabase {
  struct Token {
    explicit Token() = default;
  };

 public:
  enum class Access { kReadWrite, kReadOnly };

  // Made only by Open.
  ProfileDatabase(Token, UniqueSqlite db, Access access) : db_(std::move(db)), access_(access) {}

  // Open opens the database of the profile in |folder|. kReadWrite creates the folder (0700) and
  // the file (0600) when missing and brings the schema up to date; kReadOnly never creates or
  // changes anything. Returns null with the platform error recorded when the profile cannot be
  // used: access denied (5), a file that is not a profile database (1009), a profile written by a
  // newer release (1010), a missing read-only profile (2), or a full disk (112).
  static std::unique_ptr<ProfileDatabase> Open(const std::string& folder, Access access);

  // OpenUser and OpenMachine open the two profiles: the user's for reading and writing, the
  // machine's for reading only.
  static std::unique_ptr<ProfileDatabase> OpenUser();
  static std::unique_ptr<ProfileDatabase> OpenMachine();

  // Prepare compiles |sql|; an invalid statement (error recorded) when it cannot.
  ProfileStatement Prepare(std::string_view sql);

  // Execute runs statements that take no parameters and return no rows.
  bool Execute(std::string_view sql);

  // Transaction runs |work| inside one write transaction: BEGIN IMMEDIATE (waiting for other
  // writers up to the busy timeout), COMMIT when |work| returns true, ROLLBACK otherwise. Returns
  // true only when the work succeeded and was committed. Called inside another transaction of the
  // same connection (stores that share one connection, see the Open functions that take one), the
  // work is a savepoint of the outer transaction: undone alone when it fails, and committed only
  // with the outer one.
  bool Transaction(const std::function<bool()>& work);

  // LastInsertId returns the row id of the last row inserted through this connection.
  int64_t LastInsertId() const;

  bool read_only() const { return access_ == Access::kReadOnly; }

  // ChangeStamp returns the database's stamp as this connection sees it: two equal stamps from one
  // connection mean that nothing was committed in between, by this connection, another one or
  // another process, so what was read before can be used again without reading it. (A rolled-back
  // change through this connection also moves the stamp.) Outside a transaction it costs one small
  // read. Nullopt (error recorded) when the database cannot be read.
  std::optional<ProfileChangeStamp> ChangeStamp();

 private:
  bool PrepareSchema();
  bool Migrate();

  UniqueSqlite db_;
  Access access_;
  UniqueSqliteStatement data_version_;  // PRAGMA data_version, prepared on first use
};

// RecordSqliteError records the platform error that best describes an SQLite result code.
void RecordSqliteError(int sqlite_result);

}  // namespace kelvadrome
