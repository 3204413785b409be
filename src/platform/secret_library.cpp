#include "platform/secret_library.h"

#include <dlfcn.h>

#include <mutex>

#include "platform/last_error.h"

namespace kelvadrome {
namespace {

constexpr uint32_t kModuleNotFound = 126;  // ERROR_MOD_NOT_FOUND

// The shared library's name with its ABI version, as the dynamic linker would have looked for it.
constexpr char kSecretSoname[] = "libsecret-1.so.0";

const SecretLibrary* Load() {
  void* handle = dlopen(kSecretSoname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  static SecretLibrary library;
  bool complete = true;
  // dlsym on the handle also searches the libraries libsecret depends on, where the GLib and GIO
  // functions live.
#define KELVADROME_SECRET_RESOLVE(name)                                          \
  library.name = reinterpret_cast<decltype(library.name)>(dlsym(handle, #name)); \
  complete = complete && library.name != nullptr;
  KELVADROME_SECRET_FUNCTIONS(KELVADROME_SECRET_RESOLVE)
#undef KELVADROME_SECRET_RESOLVE
  return complete ? &library : nullptr;
}

}  // namespace

const SecretLibrary* Secret() {
  static std::once_flag once;
  static const SecretLibrary* loaded = nullptr;
  std::call_once(once, [] { loaded = Load(); });
  if (loaded == nullptr) SetLastPlatformError(kModuleNotFound);
  return loaded;
}

}  // namespace kelvadrome
