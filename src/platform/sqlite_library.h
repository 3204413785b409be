// SqliteLibrary: the SQLite entry points the profile uses, taken from the shared SQLite library
// when a profile is first opened (dlopen) rather than bound when the component loads. Loading the
// component then costs about what loading its crypto library costs, and a process that never
// opens a profile never loads SQLite. Every SQLite call of the component goes through here.
#pragma once

#include <sqlite3.h>

namespace kelvadrome {

// The entry points, one member per function, named after it without the "sqlite3_" prefix.
#define KELVADROME_SQLITE_FUNCTIONS(X)                                                           \
  X(open_v2) X(close_v2) X(extended_result_codes) X(busy_timeout) X(prepare_v2) X(finalize)      \
  X(step) X(reset) X(clear_bindings) X(exec) X(get_autocommit) X(total_changes64)                \
  X(last_insert_rowid) X(bind_int64) X(bind_text64) X(bind_blob64) X(bind_null) X(column_int)    \
  X(column_int64) X(column_text) X(column_blob) X(column_bytes) X(column_type)

struct SqliteLibrary {
#define KELVADROME_SQLITE_MEMBER(name) decltype(&::sqlite3_##name) name = nullptr;
  KELVADROME_SQLITE_FUNCTIONS(KELVADROME_SQLITE_MEMBER)
#undef KELVADROME_SQLITE_MEMBER
};

// Sqlite returns the entry points, loading SQLite on the first call. Null when it cannot be
// loaded or lacks one of them (too old); the platform error ERROR_MOD_NOT_FOUND (126) is then
// recorded, on this call and every later one. The table is never freed. Thread-safe.
const SqliteLibrary* Sqlite();

}  // namespace kelvadrome
