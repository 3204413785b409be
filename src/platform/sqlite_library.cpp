#include "platform/sqlite_library.h"

#include <dlfcn.h>

#include <mutex>

#include "platform/last_error.h"

namespace kelvadrome {
namespace {

constexpr uint32_t kModuleNotFound = 126;  // ERROR_MOD_NOT_FOUND

// The shared library's name with its ABI version, as the dynamic linker would have looked for it.
constexpr char kSqliteSoname[] = "libsqlite3.so.0";

const SqliteLibrary* Load() {
  // The handle is kept open for the life of the process: statements and connections may live in
  // objects destroyed at exit.
  void* handle = dlopen(kSqliteSoname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  static SqliteLibrary library;
  bool complete = true;
#define KELVADROME_SQLITE_RESOLVE(name)                                                      \
  library.name = reinterpret_cast<decltype(library.name)>(dlsym(handle, "sqlite3_" #name)); \
  complete = complete && library.name != nullptr;
  KELVADROME_SQLITE_FUNCTIONS(KELVADROME_SQLITE_RESOLVE)
#undef KELVADROME_SQLITE_RESOLVE
  return complete ? &library : nullptr;
}

}  // namespace

const SqliteLibrary* Sqlite() {
  static std::once_flag once;
  static const SqliteLibrary* loaded = nullptr;
  std::call_once(once, [] { loaded = Load(); });
  if (loaded == nullptr) SetLastPlatformError(kModuleNotFound);
  return loaded;
}

}  // namespace kelvadrome
