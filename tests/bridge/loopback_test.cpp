// The page bridge's loopback road as a browser and an attacker meet it: kelvadrome-bridge --listen
// runs as a process, and raw HTTP/1.1 bytes go to it over TCP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;

// One running service; |inherit| hands it a listening socket the way socket activation does.
class LoopbackBridge {
 public:
  LoopbackBridge(const fs::path& home, const std::string& script, bool inherit = false) {
    log_ = home / "bridge.log";
    const fs::path out = home / "bridge.out";
    int inherited = -1;
    if (inherit) {
      inherited = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t size = sizeof address;
      EXPECT_EQ(bind(inherited, reinterpret_cast<sockaddr*>(&address), size), 0);
      EXPECT_EQ(listen(inherited, 8), 0);
      getsockname(inherited, reinterpret_cast<sockaddr*>(&address), &size);
      port_ = ntohs(address.sin_port);
    }
    pid_ = fork();
    if (pid_ == 0) {
      const std::string profile = "KELVADROME_PROFILE=" + (home / "profile").string();
      const std::string dialogs = "KELVADROME_DIALOGS=script:" + script;
      const std::string pid = "LISTEN_PID=" + std::to_string(getpid());
      std::vector<const char*> env = {profile.c_str(), dialogs.c_str(), "LANG=C.UTF-8"};
      if (inherit) {
        dup2(inherited, 3);
        env.push_back(pid.c_str());
        env.push_back("LISTEN_FDS=1");
      }
      env.push_back(nullptr);
      std::freopen(out.c_str(), "w", stdout);
      std::freopen(log_.c_str(), "w", stderr);
      const char* argv[] = {KELVADROME_BRIDGE_PATH, "--listen", "127.0.0.1:0", nullptr};
      execve(KELVADROME_BRIDGE_PATH, const_cast<char**>(argv), const_cast<char**>(env.data()));
      _exit(127);
    }
    if (inherited >= 0) close(inherited);
    // The first line of the output names the port.
    for (int i = 0; i < 200 && first_line_.empty(); ++i) {
      usleep(20000);
      const std::string text = testing::FileText(out);
      if (text.find('\n') != std::string::npos) first_line_ = text.substr(0, text.find('\n'));
    }
    if (!inherit && first_line_.rfind("listening on 127.0.0.1:", 0) == 0) {
      port_ = static_cast<uint16_t>(std::stoi(first_line_.substr(23)));
    }
  }
  ~LoopbackBridge() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  uint16_t port() const { return port_; }
  const std::string& first_line() const { return first_line_; }
  std::string Log() const { return testing::FileText(log_); }

  // Exchange sends |bytes| on a new connection and returns everything the service sends back
  // until it closes the connection or |responses| whole responses have arrived.
  std::string Exchange(const std::string& bytes, int responses = 1) const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string received;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
      for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 20000) <= 0) break;
        char chunk[4096];
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        received.append(chunk, static_cast<size_t>(got));
        if (CompleteResponses(received) >= responses) break;
      }
    }
    close(fd);
    return received;
  }

 private:
  static int CompleteResponses(const std::string& text) {
    int count = 0;
    size_t at = 0;
    for (;;) {
      const size_t head_end = text.find("\r\n\r\n", at);
      if (head_end == std::string::npos) return count;
      const size_t length_at = text.find("Content-Length: ", at);
      size_t length = 0;
      if (length_at != std::string::npos && length_at < head_end) {
        length = std::stoul(text.substr(length_at + 16));
      }
      if (text.size() < head_end + 4 + length) return count;
      ++count;
      at = head_end + 4 + length;
    }
  }

  pid_t pid_ = -1;
  uint16_t port_ = 0;
  fs::path log_;
  std::string first_line_;
};

std::string Post(const std::string& body, const std::string& origin = "https://a.test",
                 const std::string& extra = "", const std::string& host = "127.0.0.1") {
  return "POST /rpc HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin +
         "\r\nContent-Type: application/json\r\n" + extra +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Call(const std::string& method, const std::string& params = "[]") {
  return "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"" + method + "\",\"params\":" + params + "}";
}

int StatusOf(const std::string& response) {
  return response.size() > 12 ? std::stoi(response.substr(9, 3)) : 0;
}

// SessionOf reads the session id out of a Kelvadrome.open reply.
std::string SessionOf(const std::string& response) {
  const size_t at = response.find("\"session\":\"");
  return at == std::string::npos ? "" : response.substr(at + 11, 32);
}

class LoopbackTest : public ::testing::Test {
 protected:
  std::unique_ptr<LoopbackBridge> Start(const std::string& script, bool inherit = false) {
    fs::create_directories(dir_.path() / "profile");
    return std::make_unique<LoopbackBridge>(
        dir_.path(), dir_.WriteFile("user.script", script).string(), inherit);
  }
  testing::TempDir dir_;
};

TEST_F(LoopbackTest, OnlyLoopbackHostsAndAcceptedOriginsAreAnsweredWithinBounds) {
  auto bridge = Start("expect consent\nclick 3\n");
  ASSERT_NE(bridge->port(), 0) << bridge->first_line();
  const std::string open = Call("Kelvadrome.open");
  const struct {
    const char* label;
    std::string request;
    int status;
    const char* cors;       // the Access-Control-Allow-Origin given, or null for none
    const char* body_part;  // a part of the body, or null
  } cases[] = {
      {"preflight with a network-access question",
       "OPTIONS /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://a.test\r\n"
       "Access-Control-Request-Method: POST\r\nAccess-Control-Request-Private-Network: "
       "true\r\n\r\n",
       204, "https://a.test", nullptr},
      {"preflight of a plain-http public page",
       "OPTIONS /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://a.test\r\n\r\n", 403, nullptr,
       nullptr},
      {"a loopback page over plain http", Post(open, "http://localhost:8080"), 200,
       "http://localhost:8080", "\"session\":"},
      // A public name resolved to 127.0.0.1: the Host header gives it away.
      {"DNS rebinding", Post(open, "https://a.test", "", "a.test:47471"), 403, nullptr, "Host"},
      {"no Origin",
       "POST /rpc HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
       "Content-Length: 2\r\n\r\n{}",
       403, nullptr, nullptr},
      {"sandboxed page", Post(open, "null"), 403, nullptr, nullptr},
      // A form post would skip the preflight.
      {"not JSON",
       "POST /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://a.test\r\n"
       "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\n{}",
       415, "https://a.test", nullptr},
      {"body announced over the bound",
       "POST /rpc HTTP/1.1\r\nHost: [::1]:1\r\nOrigin: https://a.test\r\n"
       "Content-Length: 1048577\r\n\r\n",
       413, "https://a.test", "-32000"},
      {"chunked body",
       "POST /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 501,
       nullptr, nullptr},
      {"another path", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 404, nullptr, nullptr},
      {"GET of /rpc", "GET /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://a.test\r\n\r\n", 405,
       "https://a.test", nullptr},
      {"garbage", "\x16\x03\x01 hello\r\n\r\n", 400, nullptr, nullptr},
      // The page may not name its origin or session in the body.
      {"origin in the body",
       Post("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"Kelvadrome.open\",\"origin\":\"https://"
            "b.test\"}"),
       200, "https://a.test", "-32600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string response = bridge->Exchange(c.request);
    EXPECT_EQ(StatusOf(response), c.status) << response;
    const size_t cors = response.find("Access-Control-Allow-Origin: ");
    if (c.cors == nullptr) {
      EXPECT_EQ(cors, std::string::npos) << response;
    } else {
      EXPECT_NE(response.find(std::string("Access-Control-Allow-Origin: ") + c.cors + "\r\n"),
                std::string::npos)
          << response;
    }
    if (c.body_part != nullptr) {
      EXPECT_NE(response.find(c.body_part), std::string::npos);
    }
  }
  EXPECT_NE(bridge->Exchange(cases[0].request).find("Access-Control-Allow-Private-Network: true"),
            std::string::npos);

  // Requests per second per origin are bounded; another origin is not slowed by it.
  int refused = 0;
  for (int i = 0; i < 100; ++i) {
    const std::string response = bridge->Exchange(Post(Call("GetVersion"), "https://busy.test"));
    refused += StatusOf(response) == 429 ? 1 : 0;
  }
  EXPECT_GT(refused, 0);
  EXPECT_EQ(StatusOf(bridge->Exchange(Post(Call("GetVersion"), "https://calm.test"))), 200);
}

TEST_F(LoopbackTest, SessionsTravelInTheHeaderAndTheLogNamesOnlyOriginMethodAndCode) {
  auto bridge = Start("expect consent\nclick 1\n", /*inherit=*/true);
  EXPECT_EQ(bridge->first_line(), "listening on an inherited socket");
  const std::string session = SessionOf(bridge->Exchange(Post(Call("Kelvadrome.open"))));
  ASSERT_EQ(session.size(), 32u);
  const std::string header = "Kelvadrome-Session: " + session + "\r\n";
  // Two requests in one write on a kept-alive connection: both answered, in order.
  const std::string both = bridge->Exchange(
      Post(Call("Hash", "[\"abc\",17]"), "https://a.test", header) +
          Post(Call("ImportPfxToIE", "[\"/nowhere\",\"x.pfx\",\"Secret-Passw0rd\",0,0]"),
               "https://a.test", header),
      2);
  const size_t second = both.find("HTTP/1.1 200", 1);
  ASSERT_NE(second, std::string::npos) << both;
  EXPECT_LT(both.find("900150983CD24FB0D6963F7D28E17F72"), second) << both;
  // Another origin cannot use the session; a page cannot open more than its share of sessions.
  EXPECT_NE(bridge->Exchange(Post(Call("GetVersion"), "https://b.test", header)).find("-32001"),
            std::string::npos);
  int opened = 1;
  for (int i = 0; i < 5; ++i) {
    opened += SessionOf(bridge->Exchange(Post(Call("Kelvadrome.open")))).empty() ? 0 : 1;
  }
  EXPECT_EQ(opened, 4);

  const std::string log = bridge->Log();
  EXPECT_NE(log.find("https://a.test Kelvadrome.open 0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("https://a.test Hash 0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("https://a.test ImportPfxToIE "), std::string::npos) << log;
  EXPECT_EQ(log.find("Secret-Passw0rd"), std::string::npos);
  EXPECT_EQ(log.find("abc"), std::string::npos);
}

TEST_F(LoopbackTest, ListensOnTheLoopbackAddressOnly) {
  std::string output;
  const int status = testing::RunCommand(
      std::string(KELVADROME_BRIDGE_PATH) + " --listen 0.0.0.0:0 2>&1", &output);
  EXPECT_NE(status, 0);
  EXPECT_NE(output.find("loopback address only"), std::string::npos) << output;
}

}  // namespace
}  // namespace kelvadrome
