// The one way platform code calls OpenSSL. OpenSSL reports failures on a per-thread error queue
// that the host application may be using too: every call into OpenSSL runs inside an
// OpensslErrorScope, so what the platform's calls queue is dropped when they are done and a
// caller's own queued errors are left as they were. A failure is told to the component through the
// platform error the call site records, never through the queue.
#pragma once

#include <cstdint>
#include <type_traits>

#include "platform/last_error.h"

namespace kelvadrome {

// OpensslErrorScope marks the thread's OpenSSL error queue when it is made and, when it ends,
// removes every error queued since the mark (and only those). Scopes nest.
class OpensslErrorScope {
 public:
  OpensslErrorScope();
  ~OpensslErrorScope();
  OpensslErrorScope(const OpensslErrorScope&) = delete;
  OpensslErrorScope& operator=(const OpensslErrorScope&) = delete;
};

// OpensslSucceeded tells OpenSSL's ways of reporting success apart from failure: a non-null
// pointer, true, or the int 1 (functions that return 0 or a negative number on failure).
template <typename Result>
bool OpensslSucceeded(const Result& result) {
  if constexpr (std::is_same_v<Result, bool>) {
    return result;
  } else if constexpr (std::is_integral_v<Result>) {
    return result == 1;
  } else {
    return result != nullptr;
  }
}

// OpensslCall runs |call| (a function of no arguments making OpenSSL calls) inside an
// OpensslErrorScope and returns what it returns. When that is a failure (see OpensslSucceeded), it
// records |failure| as the thread's platform error.
template <typename Call>
auto OpensslCall(uint32_t failure, Call&& call) {
  const OpensslErrorScope scope;
  auto result = call();
  if (!OpensslSucceeded(result)) SetLastPlatformError(failure);
  return result;
}

}  // namespace kelvadrome
