// SecretLibrary: the libsecret (and GLib) entry points key protection uses to reach the desktop
// keyring, taken from the shared library with dlopen the first time the keyring is asked for. The
// component gains no link-time dependency on libsecret or GLib, and a process that never asks for
// the keyring never loads them. Every libsecret and GLib call of the component goes through here.
#pragma once

#include <libsecret/secret.h>

namespace kelvadrome {

// The entry points, one member per function, named after it.
#define KELVADROME_SECRET_FUNCTIONS(X)                                                    \
  X(secret_password_store_sync)                                                           \
  X(secret_password_lookup_nonpageable_sync) X(secret_password_free) X(g_cancellable_new) \
      X(g_cancellable_cancel) X(g_object_unref) X(g_error_free)

struct SecretLibrary {
#define KELVADROME_SECRET_MEMBER(name) decltype(&::name) name = nullptr;
  KELVADROME_SECRET_FUNCTIONS(KELVADROME_SECRET_MEMBER)
#undef KELVADROME_SECRET_MEMBER
};

// Secret returns the entry points, loading libsecret on the first call. Null when it cannot be
// loaded or lacks one of them (too old); the platform error ERROR_MOD_NOT_FOUND (126) is then
// recorded, on this call and every later one. The library stays loaded for the life of the process
// (GLib cannot be unloaded). Thread-safe.
const SecretLibrary* Secret();

}  // namespace kelvadrome
