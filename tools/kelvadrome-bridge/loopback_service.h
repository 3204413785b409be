// The page bridge's second road: an HTTP service on the loopback address for pages without the
// browser extension. `POST /rpc` carries the same JSON-RPC messages as native messaging; the
// session travels in the Kelvadrome-Session header and the origin is the browser's Origin header.
//
// What keeps other pages and other hosts out:
// - it listens on 127.0.0.1 or ::1 only, and the Host header must name a loopback host, so a
//   page whose own name was made to resolve to 127.0.0.1 (DNS rebinding) is refused;
// - CORS headers name the caller's origin, never "*", and only for origins a page may have here:
//   https origins, and http origins on the loopback host itself; other origins get 403 and no
//   CORS headers, so the browser shows them nothing;
// - a POST must be JSON, which makes every cross-origin call preflighted (Private/Local Network
//   Access preflights included, answered for the same origins);
// - heads, bodies, connections, sessions and requests per second per origin are bounded.
// Whether an origin may use the component is still the person's decision (consent, 1500).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/http_request.h"

namespace kelvadrome {

class Bridge;

struct LoopbackOptions {
  HttpLimits limits{};
  size_t max_connections = 32;
  // A connection that has not sent a whole request within this time is closed.
  std::chrono::seconds request_timeout{30};
  // Requests per second per origin, with bursts up to |burst|.
  double requests_per_second = 20;
  double burst = 40;
  // Log one line per call (origin, method, result code) on standard error: the journal's input
  // when the service runs under systemd.
  bool log_calls = true;
};

// PageOriginAccepted: an https origin, or an http origin whose host is the loopback host.
bool PageOriginAccepted(std::string_view origin);
// LoopbackHost: a Host header value naming 127.0.0.1, ::1 or localhost, with an optional port.
bool LoopbackHost(std::string_view host);

// OpenLoopbackListener binds and listens on |address| ("127.0.0.1:<port>" or "[::1]:<port>",
// port 0 for any free port). Returns the socket and sets |port|; -1 with |error| set on failure
// (including an address that is not a loopback one).
int OpenLoopbackListener(std::string_view address, uint16_t* port, std::string* error);
// InheritedListener returns the listening socket handed over by socket activation (the first
// of LISTEN_FDS for this process), or -1 when there is none.
int InheritedListener();

// RunLoopbackService answers requests on |listener| (which it owns) until SIGTERM or SIGINT;
// returns the process status.
int RunLoopbackService(Bridge& bridge, int listener, const LoopbackOptions& options);

}  // namespace kelvadrome
