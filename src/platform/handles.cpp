#include "platform/handles.h"

#include <sqlite3.h>

namespace kelvadrome {

void SqliteDeleter::operator()(sqlite3* db) const {
  if (db != nullptr) sqlite3_close_v2(db);
}

void SqliteDeleter::operator()(sqlite3_stmt* statement) const {
  if (statement != nullptr) sqlite3_finalize(statement);
}

}  // namespace kelvadrome
