// The page bridge's JSON-RPC 2.0 side: one request text in, one reply text out. Requests name an
// automation method ("GetVersion") or one of the bridge's own methods (Kelvadrome.open,
// Kelvadrome.close); positional params follow the method table's parameter order. Each session
// owns its own component, so sessions share no signer and no error slots.
//
// On the native-messaging road every message carries "origin": the web origin the browser
// extension's background script puts there from the sender's own record. The bridge trusts that
// field as the extension gives it and nothing a page writes about itself. On the loopback road the
// origin is the browser's Origin header and the session the Kelvadrome-Session header (a
// BridgeCaller); a message that names either itself is refused there. A session stays bound to
// the origin that opened it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kelvadrome {

class CertComponent;

// JSON-RPC error codes: the standard ones and the bridge's own (server range).
namespace rpc_error {
inline constexpr int kParse = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kTooLarge = -32000;         // request or reply over the message bound
inline constexpr int kUnknownSession = -32001;   // no such session for this origin (or it expired)
inline constexpr int kTooManySessions = -32002;  // the session bound is reached
inline constexpr int kTooManyRequests = -32003;  // the origin's request rate is over its bound
inline constexpr int kRefused = -32004;          // the loopback service does not take the request
}  // namespace rpc_error

// Requests and replies are bounded: a browser takes at most 1 MiB from a native host.
inline constexpr size_t kMaxBridgeMessage = 1024 * 1024;

struct BridgeOptions {
  size_t max_sessions = 16;
  size_t max_sessions_per_origin = 4;  // so that one page cannot take every session
  std::chrono::steady_clock::duration idle_limit = std::chrono::minutes(15);
};

// The caller of a request on the loopback road, as the browser's headers name it.
struct BridgeCaller {
  std::string origin;
  std::optional<std::string> session;
};

// What the last request did, for the service's log: never arguments or values.
struct BridgeCallRecord {
  std::string origin;
  std::string method;
  int error_code = 0;  // the component's code, or the JSON-RPC error code of a fault
};

class Bridge {
 public:
  explicit Bridge(BridgeOptions options = {});
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Handle answers one request: the reply text, or nullopt for a notification (no "id").
  std::optional<std::string> Handle(std::string_view request);
  // Handle for the loopback road: origin and session come from |caller|.
  std::optional<std::string> Handle(std::string_view request, const BridgeCaller& caller);
  const BridgeCallRecord& last_call() const { return last_call_; }
  // ErrorReply is the reply to a message that could not be taken at all (id null).
  static std::string ErrorReply(int code, std::string_view message);
  // EndIdleSessions closes the sessions unused for longer than the idle limit.
  void EndIdleSessions();
  size_t session_count() const { return sessions_.size(); }

 private:
  struct Session;
  std::optional<std::string> HandleMessage(std::string_view request, const BridgeCaller* caller);
  BridgeOptions options_;
  BridgeCallRecord last_call_;
  std::map<std::string, std::unique_ptr<Session>> sessions_;
};

}  // namespace kelvadrome
