// The result of a worker that reports a component code: the code, the platform's last error that
// goes with it, and what the worker produced.
#pragma once

#include <cstdint>
#include <utility>

namespace kelvadrome {

// Status is what every failure carries.
struct Status {
  int32_t code = 0;             // a component code (ErrorCode); 0 on success
  uint32_t platform_error = 0;  // the platform's last error as the caller should record it, or 0
};

// Outcome<Payload> is a Status with the members of |Payload| beside code and platform_error, so
// callers name them directly (outcome.text, outcome.folder). Outcome<> carries no payload.
// {code, platform_error} leaves the payload empty; {code, platform_error, members...} initialises
// the payload's members in order; {code, platform_error, {}} and {code, platform_error, payload}
// also work.
template <typename Payload = void>
struct Outcome : Status, Payload {
  Outcome() = default;
  Outcome(int32_t status_code, uint32_t error, Payload payload)
      : Status{status_code, error}, Payload(std::move(payload)) {}
  template <typename... Members>
  Outcome(int32_t status_code, uint32_t error, Members&&... members)
      : Status{status_code, error}, Payload{std::forward<Members>(members)...} {}
};

template <>
struct Outcome<void> : Status {
  Outcome() = default;
  Outcome(int32_t status_code, uint32_t error) : Status{status_code, error} {}
};

}  // namespace kelvadrome
