#include "loopback_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <optional>
#include <vector>

#include "bridge.h"
#include "platform/handles.h"
#include "platform/secrets.h"

namespace kelvadrome {
namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_requested = 0;
void RequestStop(int) {
  stop_requested = 1;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool AllDigits(std::string_view text, size_t max_length) {
  if (text.empty() || text.size() > max_length) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// SplitHostPort splits "name", "name:port", "[v6]" or "[v6]:port"; false when the port is not
// 1 to 5 digits or the brackets do not close.
bool SplitHostPort(std::string_view text, std::string_view& host, std::string_view& port) {
  port = {};
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = text.substr(0, close + 1);
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) return true;
    if (rest.front() != ':') return false;
    port = rest.substr(1);
  } else {
    const size_t colon = text.find(':');
    host = text.substr(0, colon);
    if (colon == std::string_view::npos) return !host.empty();
    port = text.substr(colon + 1);
  }
  return !host.empty() && AllDigits(port, 5);
}

bool LoopbackName(std::string_view lower_host) {
  return lower_host == "127.0.0.1" || lower_host == "localhost" || lower_host == "[::1]";
}

// --- Responses -------------------------------------------------------------------------------

struct Response {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool close = false;
};

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 413:
      return "Content Too Large";
    case 415:
      return "Unsupported Media Type";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

std::string Serialise(const Response& response) {
  std::string bytes =
      "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
  for (const auto& [name, value] : response.headers) bytes += name + ": " + value + "\r\n";
  if (!response.body.empty()) bytes += "Content-Type: application/json\r\n";
  bytes += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  bytes += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
  if (response.close) bytes += "Connection: close\r\n";
  bytes += "\r\n";
  bytes += response.body;
  return bytes;
}

// A refusal of the service itself, as a JSON-RPC error a page's client can show.
Response Refusal(int status, int code, std::string_view message) {
  Response response;
  response.status = status;
  response.body = Bridge::ErrorReply(code, message);
  return response;
}

// --- Per-origin request rate -----------------------------------------------------------------

class RateLimiter {
 public:
  RateLimiter(double per_second, double burst) : per_second_(per_second), burst_(burst) {}

  bool Take(const std::string& origin, Clock::time_point now) {
    auto [it, fresh] = buckets_.try_emplace(origin, Bucket{burst_, now});
    Bucket& bucket = it->second;
    if (!fresh) {
      const double seconds = std::chrono::duration<double>(now - bucket.updated).count();
      bucket.tokens = std::min(burst_, bucket.tokens + seconds * per_second_);
      bucket.updated = now;
    }
    if (bucket.tokens < 1) return false;
    bucket.tokens -= 1;
    return true;
  }

  // Forget buckets that are full again, so the table stays as small as the set of busy origins.
  void Prune(Clock::time_point now) {
    for (auto it = buckets_.begin(); it != buckets_.end();) {
      const double seconds = std::chrono::duration<double>(now - it->second.updated).count();
      if (it->second.tokens + seconds * per_second_ >= burst_) {
        it = buckets_.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  struct Bucket {
    double tokens;
    Clock::time_point updated;
  };
  double per_second_;
  double burst_;
  std::map<std::string, Bucket> buckets_;
};

// --- Answering one request -------------------------------------------------------------------

class Responder {
 public:
  Responder(Bridge& bridge, const LoopbackOptions& options)
      : bridge_(bridge), options_(options), rates_(options.requests_per_second, options.burst) {}

  // Answer gives the response to a complete request.
  Response Answer(const HttpRequest& request) {
    const std::string* host = request.Header("host");
    if (host == nullptr || request.HeaderCount("host") != 1 || !LoopbackHost(*host)) {
      return Refusal(403, rpc_error::kRefused, "the Host header must name the loopback host");
    }
    const std::string* origin = request.Header("origin");
    const bool cors =
        origin != nullptr && request.HeaderCount("origin") == 1 && PageOriginAccepted(*origin);
    Response response = AnswerFor(request, cors ? origin : nullptr);
    if (cors) {
      response.headers.emplace_back("Access-Control-Allow-Origin", *origin);
      response.headers.emplace_back("Vary", "Origin");
    }
    return response;
  }

  // Refused answers a request that could not be read whole, with CORS headers when its head
  // could be read and names an accepted origin, so the page learns why.
  Response Refused(HttpParse status, const HttpRequest& partial) {
    Response response;
    switch (status) {
      case HttpParse::kBodyTooLarge:
        response = Refusal(413, rpc_error::kTooLarge, "request too large");
        break;
      case HttpParse::kHeadTooLarge:
        response = Refusal(431, rpc_error::kTooLarge, "request head too large");
        break;
      case HttpParse::kUnsupported:
        response = Refusal(501, rpc_error::kRefused, "only Content-Length bodies are taken");
        break;
      default:
        response = Refusal(400, rpc_error::kRefused, "malformed HTTP request");
        break;
    }
    const std::string* origin = partial.Header("origin");
    const std::string* host = partial.Header("host");
    if (origin != nullptr && host != nullptr && LoopbackHost(*host) &&
        PageOriginAccepted(*origin)) {
      response.headers.emplace_back("Access-Control-Allow-Origin", *origin);
      response.headers.emplace_back("Vary", "Origin");
    }
    response.close = true;
    return response;
  }

  void Tick(Clock::time_point now) {
    bridge_.EndIdleSessions();
    rates_.Prune(now);
  }

 private:
  Response AnswerFor(const HttpRequest& request, const std::string* origin) {
    const std::string_view path =
        std::string_view(request.target)
            .substr(0, std::min(request.target.find('?'), request.target.size()));
    if (path != "/rpc") return Refusal(404, rpc_error::kRefused, "the bridge answers at /rpc");
    if (request.method == "OPTIONS") return Preflight(request, origin);
    if (request.method != "POST") {
      Response response = Refusal(405, rpc_error::kRefused, "POST or OPTIONS only");
      response.headers.emplace_back("Allow", "POST, OPTIONS");
      return response;
    }
    if (origin == nullptr) {
      return Refusal(403, rpc_error::kRefused, "only pages of an accepted origin are answered");
    }
    const std::string* type = request.Header("content-type");
    if (type == nullptr ||
        Lower(std::string_view(*type).substr(0, type->find(';'))) != "application/json") {
      return Refusal(415, rpc_error::kRefused, "the body must be application/json");
    }
    if (!rates_.Take(*origin, Clock::now())) {
      Response response = Refusal(429, rpc_error::kTooManyRequests, "too many requests");
      response.headers.emplace_back("Retry-After", "1");
      return response;
    }
    BridgeCaller caller{*origin, std::nullopt};
    if (const std::string* session = request.Header("kelvadrome-session")) {
      caller.session = *session;
    }
    auto reply = bridge_.Handle(request.body, caller);
    Log();
    Response response;
    if (!reply) {
      response.status = 204;  // a notification: done, nothing to answer
      return response;
    }
    response.body = std::move(*reply);
    return response;
  }

  Response Preflight(const HttpRequest& request, const std::string* origin) {
    if (origin == nullptr) {
      return Refusal(403, rpc_error::kRefused, "only pages of an accepted origin are answered");
    }
    Response response;
    response.status = 204;
    response.headers.emplace_back("Access-Control-Allow-Methods", "POST");
    response.headers.emplace_back("Access-Control-Allow-Headers",
                                  "Content-Type, Kelvadrome-Session");
    response.headers.emplace_back("Access-Control-Max-Age", "600");
    // A page on a public address reaching the loopback address asks first (Private Network
    // Access); the answer is yes for the same origins CORS answers.
    if (const std::string* ask = request.Header("access-control-request-private-network");
        ask != nullptr && Lower(*ask) == "true") {
      response.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
    }
    return response;
  }

  // Log writes the last call's origin, method and result code; the method name is the page's
  // text, so anything but printable ASCII is shown as '?'.
  void Log() {
    if (!options_.log_calls) return;
    const BridgeCallRecord& call = bridge_.last_call();
    std::string method = call.method;
    for (char& c : method) {
      if (c < 0x21 || c > 0x7E) c = '?';
    }
    std::fprintf(stderr, "%s %s %d\n", call.origin.c_str(), method.empty() ? "-" : method.c_str(),
                 call.error_code);
    std::fflush(stderr);
  }

  Bridge& bridge_;
  const LoopbackOptions& options_;
  RateLimiter rates_;
};

// --- Connections -----------------------------------------------------------------------------

struct Connection {
  UniqueFd fd;
  std::string received;
  Clock::time_point since;  // when the request being received began
};

// SendAll writes |bytes| to a non-blocking socket, waiting up to 10 s for room at a time.
bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{fd, POLLOUT, 0};
      if (poll(&room, 1, 10000) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool SendResponse(int fd, const Response& response) {
  std::string bytes = Serialise(response);
  const bool sent = SendAll(fd, bytes);
  SecureWipe(bytes.data(), bytes.size());
  return sent;
}

// Serve answers every whole request |connection| has received; false when it is to be closed.
bool Serve(Connection& connection, Responder& responder, const HttpLimits& limits) {
  for (;;) {
    HttpParseResult parsed = ParseHttpRequest(connection.received, limits);
    if (parsed.status == HttpParse::kIncomplete) return true;
    if (parsed.status != HttpParse::kComplete) {
      SendResponse(connection.fd.get(), responder.Refused(parsed.status, parsed.request));
      return false;
    }
    Response response = responder.Answer(parsed.request);
    SecureWipe(parsed.request.body.data(), parsed.request.body.size());
    SecureWipe(connection.received.data(), parsed.consumed);
    connection.received.erase(0, parsed.consumed);
    connection.since = Clock::now();
    response.close = response.close || !parsed.request.keep_alive;
    const bool sent = SendResponse(connection.fd.get(), response);
    SecureWipe(response.body.data(), response.body.size());
    if (!sent || response.close) return false;
  }
}

void Close(Connection& connection) {
  SecureWipe(connection.received.data(), connection.received.size());
  connection.fd.reset();
}

}  // namespace

bool PageOriginAccepted(std::string_view origin) {
  constexpr std::string_view kHttps = "https://";
  constexpr std::string_view kHttp = "http://";
  std::string_view authority;
  bool secure = false;
  if (origin.substr(0, kHttps.size()) == kHttps) {
    authority = origin.substr(kHttps.size());
    secure = true;
  } else if (origin.substr(0, kHttp.size()) == kHttp) {
    authority = origin.substr(kHttp.size());
  } else {
    return false;
  }
  if (origin.size() > 256) return false;
  std::string_view host, port;
  if (!SplitHostPort(authority, host, port)) return false;
  for (const char c : host) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '[' || c == ']' ||
                         c == ':';
    if (!allowed) return false;
  }
  return secure || LoopbackName(Lower(host));
}

bool LoopbackHost(std::string_view host) {
  std::string_view name, port;
  return SplitHostPort(host, name, port) && LoopbackName(Lower(name));
}

int OpenLoopbackListener(std::string_view address, uint16_t* port, std::string* error) {
  std::string_view host, port_text;
  if (!SplitHostPort(address, host, port_text) || port_text.empty()) {
    *error = "the address must be 127.0.0.1:<port> or [::1]:<port>";
    return -1;
  }
  const long wanted = std::strtol(std::string(port_text).c_str(), nullptr, 10);
  if (wanted > 65535) {
    *error = "no such port";
    return -1;
  }
  sockaddr_storage storage{};
  socklen_t size = 0;
  int family = AF_INET;
  if (host == "127.0.0.1") {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(wanted));
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    size = sizeof *v4;
  } else if (host == "[::1]") {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(wanted));
    v6->sin6_addr = in6addr_loopback;
    size = sizeof *v6;
    family = AF_INET6;
  } else {
    *error = "the bridge listens on the loopback address only (127.0.0.1 or [::1])";
    return -1;
  }
  UniqueFd listener(socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int reuse = 1;
  if (!listener.valid() ||
      setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
      bind(listener.get(), reinterpret_cast<sockaddr*>(&storage), size) != 0 ||
      listen(listener.get(), 64) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&storage), &size) != 0) {
    *error = std::string("cannot listen on ") + std::string(address) + ": " + std::strerror(errno);
    return -1;
  }
  *port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                  : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  return listener.release();
}

int InheritedListener() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr || std::strtol(pid, nullptr, 10) != getpid() ||
      std::strtol(fds, nullptr, 10) < 1) {
    return -1;
  }
  constexpr int kFirstInheritedFd = 3;
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  int type = 0;
  socklen_t size = sizeof type;
  if (getsockopt(kFirstInheritedFd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
      type != SOCK_STREAM) {
    return -1;
  }
  // The service accepts until the queue is empty, so the socket must not block; a socket handed
  // over by the service manager blocks unless its unit says otherwise.
  const int flags = fcntl(kFirstInheritedFd, F_GETFL);
  if (flags < 0 || fcntl(kFirstInheritedFd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  fcntl(kFirstInheritedFd, F_SETFD, FD_CLOEXEC);
  return kFirstInheritedFd;
}

int RunLoopbackService(Bridge& bridge, int listener_fd, const LoopbackOptions& options) {
  UniqueFd listener(listener_fd);
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  Responder responder(bridge, options);
  std::list<Connection> connections;
  std::vector<pollfd> waits;
  std::vector<std::list<Connection>::iterator> waiting;
  while (stop_requested == 0) {
    waits.assign(1, pollfd{listener.get(), POLLIN, 0});
    waiting.clear();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
      waits.push_back(pollfd{it->fd.get(), POLLIN, 0});
      waiting.push_back(it);
    }
    const int ready = poll(waits.data(), waits.size(), 1000);
    if (ready < 0 && errno != EINTR) return 1;
    const auto now = Clock::now();
    responder.Tick(now);
    for (size_t i = 0; i < waiting.size(); ++i) {
      Connection& connection = *waiting[i];
      bool keep = true;
      if (ready > 0 && waits[i + 1].revents != 0) {
        char chunk[16 * 1024];
        const ssize_t got = recv(connection.fd.get(), chunk, sizeof chunk, 0);
        keep = got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
        if (got > 0) {
          connection.received.append(chunk, static_cast<size_t>(got));
          SecureWipe(chunk, static_cast<size_t>(got));
          keep = Serve(connection, responder, options.limits);
        }
      } else if (now - connection.since > options.request_timeout) {
        // Silent for too long without a whole request. Only a connection with nothing to read
        // is timed out: bytes that arrived while a dialog held the service are still served.
        keep = false;
      }
      if (!keep) {
        Close(connection);
        connections.erase(waiting[i]);
      }
    }
    if (waits[0].revents & POLLIN) {
      for (;;) {
        UniqueFd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.valid()) break;
        if (connections.size() >= options.max_connections) {
          Response busy = Refusal(503, rpc_error::kRefused, "too many connections");
          busy.close = true;
          SendResponse(accepted.get(), busy);
          continue;
        }
        connections.push_back(Connection{std::move(accepted), {}, Clock::now()});
      }
    }
  }
  for (auto& connection : connections) Close(connection);
  return 0;
}

}  // namespace kelvadrome
