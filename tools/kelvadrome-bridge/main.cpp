// kelvadrome-bridge: the component for web pages.
//
//   kelvadrome-bridge [browser arguments]   native messaging: the browser starts this program
//                                           and speaks to it on stdin/stdout; each message is a
//                                           32-bit length in native byte order followed by that
//                                           many bytes of UTF-8 JSON.
//   kelvadrome-bridge --listen [address]    the loopback HTTP service (loopback_service.h) on
//                                           127.0.0.1:47471 unless an address is given, or on
//                                           the socket handed over by socket activation. The
//                                           first line on standard output is
//                                           "listening on <address>:<port>".
//
// Requests and replies are JSON-RPC 2.0 (bridge.h). Native messaging logs nothing; the service
// logs one line per call with the origin, the method name and the result code, never arguments
// or values: requests carry passwords.
//
// Framing faults: a zero length is answered as an invalid request; a length over the bound is
// answered "too large" and its bytes are skipped, so the stream stays in step; a stream that ends
// inside a message ends the program with status 1; an end between messages with status 0.
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "bridge.h"
#include "host/origin_consent.h"
#include "loopback_service.h"
#include "platform/secrets.h"

namespace kelvadrome {
namespace {

enum class ReadResult { kDone, kEnd, kShort };

// ReadExactly fills |size| bytes, waiting out short reads; kEnd when the stream ended before the
// first byte, kShort when it ended later.
ReadResult ReadExactly(void* buffer, size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  size_t filled = 0;
  while (filled < size) {
    const ssize_t got = read(STDIN_FILENO, bytes + filled, size - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return filled == 0 ? ReadResult::kEnd : ReadResult::kShort;
    filled += static_cast<size_t>(got);
  }
  return ReadResult::kDone;
}

bool WriteAll(const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = write(STDOUT_FILENO, bytes.data() + written, bytes.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += static_cast<size_t>(put);
  }
  return true;
}

bool Send(std::string reply) {
  const auto length = static_cast<uint32_t>(reply.size());
  std::string frame(sizeof length, '\0');
  std::memcpy(frame.data(), &length, sizeof length);
  frame += reply;
  SecureWipe(reply.data(), reply.size());
  const bool sent = WriteAll(frame);
  SecureWipe(frame.data(), frame.size());
  return sent;
}

// Skip reads and drops |size| bytes; false when the stream ends first.
bool Skip(uint64_t size) {
  char scratch[64 * 1024];
  while (size > 0) {
    const size_t chunk = size < sizeof scratch ? static_cast<size_t>(size) : sizeof scratch;
    if (ReadExactly(scratch, chunk) != ReadResult::kDone) return false;
    size -= chunk;
  }
  return true;
}

BridgeOptions OptionsFromEnvironment() {
  BridgeOptions options;
  // For tests: a shorter idle limit in seconds.
  if (const char* idle = std::getenv("KELVADROME_BRIDGE_IDLE_SECONDS")) {
    const long seconds = std::strtol(idle, nullptr, 10);
    if (seconds > 0) options.idle_limit = std::chrono::seconds(seconds);
  }
  return options;
}

int Listen(const char* address_argument) {
  Bridge bridge(OptionsFromEnvironment());
  int listener = InheritedListener();
  if (listener >= 0) {
    std::printf("listening on an inherited socket\n");
  } else {
    const std::string address = address_argument != nullptr
                                    ? address_argument
                                    : "127.0.0.1:" + std::to_string(kBridgeLoopbackPort);
    uint16_t port = 0;
    std::string error;
    listener = OpenLoopbackListener(address, &port, &error);
    if (listener < 0) {
      std::fprintf(stderr, "kelvadrome-bridge: %s\n", error.c_str());
      return 2;
    }
    std::printf("listening on %s:%u\n", address.substr(0, address.rfind(':')).c_str(), port);
  }
  std::fflush(stdout);
  return RunLoopbackService(bridge, listener, LoopbackOptions{});
}

int Run() {
  Bridge bridge(OptionsFromEnvironment());
  for (;;) {
    // Idle sessions end while the browser is silent too.
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, 1000);
    if (ready == 0) {
      bridge.EndIdleSessions();
      continue;
    }
    if (ready < 0 && errno == EINTR) continue;
    uint32_t length = 0;
    const ReadResult header = ReadExactly(&length, sizeof length);
    if (header == ReadResult::kEnd) return 0;
    if (header == ReadResult::kShort) return 1;
    if (length == 0) {
      if (!Send(Bridge::ErrorReply(rpc_error::kInvalidRequest, "empty message"))) return 1;
      continue;
    }
    if (length > kMaxBridgeMessage) {
      if (!Skip(length)) return 1;
      if (!Send(Bridge::ErrorReply(rpc_error::kTooLarge, "request too large"))) return 1;
      continue;
    }
    std::string request(length, '\0');
    if (ReadExactly(request.data(), length) != ReadResult::kDone) return 1;
    auto reply = bridge.Handle(request);
    SecureWipe(request.data(), request.size());
    if (reply && !Send(std::move(*reply))) return 1;
  }
}

}  // namespace
}  // namespace kelvadrome

int main(int argc, char** argv) {
  // The bridge handles private keys and PINs: no core dump of it, and no other process of the user
  // attaching to it.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  try {
    // Browsers start a native host with arguments of their own (the caller's origin, the
    // manifest's path); only --listen changes the road.
    if (argc >= 2 && std::strcmp(argv[1], "--listen") == 0) {
      return kelvadrome::Listen(argc >= 3 ? argv[2] : nullptr);
    }
    return kelvadrome::Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvadrome-bridge: %s\n", error.what());
    return 1;
  }
}
