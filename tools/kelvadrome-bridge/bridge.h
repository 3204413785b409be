// The page bridge's JSON-RPC 2.0 side: one request text in, one reply text out. Requests name an
// automation method ("GetVersion") or one of the bridge's own methods (Kelvadrome.open,
// Kelvadrome.close); positional params follow the method table's parameter order. Each session
// owns its own component, so sessions share no signer and no error slots.
//
// Every message carries "origin": the web origin the browser extension's background script puts
// there from the sender's own record. The bridge trusts that field as the extension gives it and
// nothing a page writes about itself; a session stays bound to the origin that opened it.
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
}  // namespace rpc_error

// Requests and replies are bounded: a browser takes at most 1 MiB from a native host.
inline constexpr size_t kMaxBridgeMessage = 1024 * 1024;

struct BridgeOptions {
  size_t max_sessions = 16;
  std::chrono::steady_clock::duration idle_limit = std::chrono::minutes(15);
};

class Bridge {
 public:
  explicit Bridge(BridgeOptions options = {});
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Handle answers one request: the reply text, or nullopt for a notification (no "id").
  std::optional<std::string> Handle(std::string_view request);
  // ErrorReply is the reply to a message that could not be taken at all (id null).
  static std::string ErrorReply(int code, std::string_view message);
  // EndIdleSessions closes the sessions unused for longer than the idle limit.
  void EndIdleSessions();
  size_t session_count() const { return sessions_.size(); }

 private:
  struct Session;
  BridgeOptions options_;
  std::map<std::string, std::unique_ptr<Session>> sessions_;
};

}  // namespace kelvadrome
