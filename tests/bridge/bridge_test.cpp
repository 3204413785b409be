// The page bridge as a browser meets it: kelvadrome-bridge is started as a process and spoken to
// with native-messaging frames on its stdin/stdout; the person is a dialog script.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "codec/json_value.h"
#include "platform/text.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace kelvadrome {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;
using testing::ShellQuote;

constexpr int kTimeoutMs = 20000;

// One running bridge; the destructor closes its input and reaps it.
class BridgeProcess {
 public:
  BridgeProcess(const fs::path& profile, const std::string& script,
                std::vector<std::string> extra_env = {}) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    std::vector<std::string> env = {
        "KELVADROME_PROFILE=" + profile.string(), "KELVADROME_DIALOGS=script:" + script,
        "KELVADROME_DIALOG_LOG=" + (profile / "dialogs.log").string(), "LANG=C.UTF-8"};
    for (auto& e : extra_env) env.push_back(std::move(e));
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      close(in[1]);
      close(out[0]);
      std::vector<char*> envp;
      for (auto& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      char* argv[] = {const_cast<char*>(KELVADROME_BRIDGE_PATH), nullptr};
      execve(KELVADROME_BRIDGE_PATH, argv, envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    signal(SIGPIPE, SIG_IGN);
  }
  ~BridgeProcess() {
    if (to_ >= 0) close(to_);
    if (pid_ > 0) Wait();
    close(from_);
  }

  void WriteRaw(const std::string& bytes) {
    ASSERT_EQ(write(to_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  static std::string Frame(const std::string& body) {
    const auto length = static_cast<uint32_t>(body.size());
    std::string frame(4, '\0');
    std::memcpy(frame.data(), &length, 4);
    return frame + body;
  }
  // ReadFrame returns the next reply, or nullopt when the bridge closed its output (or hung).
  std::optional<std::string> ReadFrame() {
    uint32_t length = 0;
    if (!ReadExactly(&length, 4)) return std::nullopt;
    std::string body(length, '\0');
    if (!ReadExactly(body.data(), length)) return std::nullopt;
    return body;
  }
  std::string Call(const std::string& request) {
    WriteRaw(Frame(request));
    return ReadFrame().value_or("<no reply>");
  }
  // CloseInput ends the stream; Wait returns the exit status (-1: not a normal exit).
  void CloseInput() {
    close(to_);
    to_ = -1;
  }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  bool ReadExactly(void* buffer, size_t size) {
    auto* bytes = static_cast<char*>(buffer);
    size_t filled = 0;
    while (filled < size) {
      pollfd ready{from_, POLLIN, 0};
      if (poll(&ready, 1, kTimeoutMs) <= 0) return false;
      const ssize_t got = read(from_, bytes + filled, size - filled);
      if (got <= 0) return false;
      filled += static_cast<size_t>(got);
    }
    return true;
  }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

std::string Request(int id, const std::string& method, const std::string& params,
                    const std::string& session, const std::string& origin = "https://a.test") {
  std::string request = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" +
                        method + "\",\"origin\":\"" + origin + "\"";
  if (!params.empty()) request += ",\"params\":" + params;
  if (!session.empty()) request += ",\"session\":\"" + session + "\"";
  return request + "}";
}

JsonValue Parse(const std::string& reply) {
  auto value = ParseJson(reply);
  EXPECT_TRUE(value) << reply;
  return value ? std::move(*value) : JsonValue{};
}

// The JSON-RPC error code of |reply|, 0 when it is a result.
int64_t ErrorCodeOf(const std::string& reply) {
  const JsonValue value = Parse(reply);
  const JsonValue* error = value.Find(u"error");
  if (error == nullptr) return 0;
  return error->Find(u"code")->integer().value_or(1);
}

// A call's result: value (text or decimal number) and errorCode.
struct Outcome {
  std::string value;
  int64_t error_code = -1;
};
Outcome OutcomeOf(const std::string& reply) {
  const JsonValue parsed = Parse(reply);
  const JsonValue* result = parsed.Find(u"result");
  if (result == nullptr || result->Find(u"value") == nullptr) {
    ADD_FAILURE() << "no result in " << reply;
    return {};
  }
  const JsonValue& value = *result->Find(u"value");
  return {value.kind() == JsonValue::Kind::kString ? Utf16ToUtf8(value.text())
                                                   : std::to_string(value.integer().value_or(0)),
          result->Find(u"errorCode")->integer().value_or(-1)};
}

class BridgeTest : public ::testing::Test {
 protected:
  fs::path Profile() const { return dir_.path() / "profile"; }
  fs::path Script(const std::string& text) { return dir_.WriteFile("user.script", text); }
  std::unique_ptr<BridgeProcess> Start(const std::string& script,
                                       std::vector<std::string> env = {}) {
    fs::create_directories(Profile());
    return std::make_unique<BridgeProcess>(Profile(), Script(script).string(), std::move(env));
  }
  // Open returns the new session's id.
  static std::string Open(BridgeProcess& bridge, const std::string& origin = "https://a.test") {
    const JsonValue reply = Parse(bridge.Call(Request(1, "Kelvadrome.open", "", "", origin)));
    const JsonValue* result = reply.Find(u"result");
    if (result == nullptr || result->Find(u"session") == nullptr) return "";
    return Utf16ToUtf8(result->Find(u"session")->text());
  }
  std::string Command(const std::string& arguments) {
    std::string output;
    RunCommand("KELVADROME_PROFILE=" + ShellQuote(Profile().string()) + " " +
                   ShellQuote(KELVADROME_COMMAND_PATH) + " " + arguments,
               &output);
    return output;
  }

  testing::TempDir dir_;
};

TEST_F(BridgeTest, FramingFaultsAreAnsweredOrEndTheProgramCleanly) {
  const std::string good = Request(7, "Kelvadrome.open", "", "");
  const std::string oversize(1024 * 1024 + 1, ' ');
  const struct {
    const char* label;
    std::string bytes;           // written before the closing good request (if any)
    std::vector<int64_t> codes;  // replies expected first (0: a result)
    bool then_good;              // a good request follows and must be answered in step
    int exit_status;
  } cases[] = {
      {"zero length", BridgeProcess::Frame(""), {-32600}, true, 0},
      {"oversize body is skipped", BridgeProcess::Frame(oversize), {-32000}, true, 0},
      {"garbage", BridgeProcess::Frame("\x01\xff{garbage"), {-32700}, true, 0},
      {"two messages in one write",
       BridgeProcess::Frame(Request(1, "Kelvadrome.open", "", "")) + BridgeProcess::Frame("[]"),
       {0, -32600},
       true,
       0},
      {"end inside the length", std::string("\x05\x00", 2), {}, false, 1},
      {"end inside the body", BridgeProcess::Frame(good).substr(0, 12), {}, false, 1},
      {"end between messages", "", {}, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Profile());
    auto bridge = Start("expect consent\nclick 3\n");
    bridge->WriteRaw(c.bytes);
    for (const int64_t code : c.codes) {
      const auto reply = bridge->ReadFrame();
      ASSERT_TRUE(reply);
      EXPECT_EQ(ErrorCodeOf(*reply), code) << *reply;
    }
    if (c.then_good) {
      // Written a byte at a time: the bridge waits out short reads.
      for (const char byte : BridgeProcess::Frame(good)) {
        bridge->WriteRaw(std::string(1, byte));
      }
      const auto reply = bridge->ReadFrame();
      ASSERT_TRUE(reply);
      EXPECT_NE(reply->find("\"id\":7,\"result\":{\"session\":"), std::string::npos) << *reply;
    }
    bridge->CloseInput();
    EXPECT_FALSE(bridge->ReadFrame());
    EXPECT_EQ(bridge->Wait(), c.exit_status);
  }
}

TEST_F(BridgeTest, EveryRequestFaultGetsItsJsonRpcError) {
  auto bridge = Start("expect consent\nclick 3\n");
  const std::string session = Open(*bridge);
  ASSERT_EQ(session.size(), 32u);
  const std::string other = Open(*bridge, "https://b.test");
  ASSERT_FALSE(other.empty());
  const std::string id = ",\"id\":1";
  const std::string tail = ",\"origin\":\"https://a.test\",\"session\":\"" + session + "\"}";
  const struct {
    const char* label;
    std::string request;
    int64_t code;
  } cases[] = {
      {"not JSON", "{\"jsonrpc\":", -32700},
      {"a surrogate encoded as raw UTF-8", "\"\xed\xa0\x80\"", -32700},
      {"trailing text", "{} {}", -32700},
      {"repeated key", "{\"id\":1,\"id\":2}", -32700},
      {"nested too deeply", std::string(40, '[') + std::string(40, ']'), -32700},
      {"not an object", "[1]", -32600},
      {"no jsonrpc", "{\"method\":\"GetVersion\"" + id + tail, -32600},
      {"wrong version", "{\"jsonrpc\":\"1.0\",\"method\":\"GetVersion\"" + id + tail, -32600},
      {"method not a string", "{\"jsonrpc\":\"2.0\",\"method\":5" + id + tail, -32600},
      {"id an object", "{\"jsonrpc\":\"2.0\",\"method\":\"GetVersion\",\"id\":{}" + tail, -32600},
      {"params a number", "{\"jsonrpc\":\"2.0\",\"method\":\"GetVersion\",\"params\":3" + id + tail,
       -32600},
      {"no origin",
       "{\"jsonrpc\":\"2.0\",\"method\":\"GetVersion\",\"id\":1,\"session\":\"" + session + "\"}",
       -32600},
      {"origin with a blank", Request(1, "GetVersion", "", session, "https://a test"), -32600},
      {"export name is no method name", Request(1, "GetDllVersion", "", session), -32601},
      {"unknown method", Request(1, "Kelvadrome.nothing", "", session), -32601},
      {"too few params", Request(1, "Hash", "[\"abc\"]", session), -32602},
      {"too many params", Request(1, "GetVersion", "[1]", session), -32602},
      {"text for a number", Request(1, "Hash", "[\"abc\",\"17\"]", session), -32602},
      {"number for a text", Request(1, "Hash", "[17,17]", session), -32602},
      {"fraction for a number", Request(1, "Hash", "[\"abc\",1.5]", session), -32602},
      {"number beyond 32 bits", Request(1, "Hash", "[\"abc\",2147483648]", session), -32602},
      {"params by name", Request(1, "Hash", "{\"strPlainText\":\"abc\"}", session), -32602},
      {"open with params", Request(1, "Kelvadrome.open", "[1]", ""), -32602},
      {"no session", Request(1, "GetVersion", "", ""), -32001},
      {"unknown session", Request(1, "GetVersion", "", std::string(32, '0')), -32001},
      {"another origin's session", Request(1, "GetVersion", "", other), -32001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string reply = bridge->Call(c.request);
    EXPECT_EQ(ErrorCodeOf(reply), c.code) << reply;
  }
  // A notification is done but not answered: the next reply is the next request's.
  bridge->WriteRaw(BridgeProcess::Frame(
      "{\"jsonrpc\":\"2.0\",\"method\":\"Kelvadrome.close\",\"origin\":\"https://b.test\","
      "\"session\":\"" +
      other + "\"}"));
  EXPECT_EQ(ErrorCodeOf(bridge->Call(Request(1, "GetVersion", "", other, "https://b.test"))),
            -32001);
  // The session bound: 16 in all, at most 4 of one origin.
  for (int i = 1; i < 16; ++i) {
    ASSERT_FALSE(Open(*bridge, "https://s" + std::to_string(i / 4) + ".test").empty()) << i;
  }
  EXPECT_EQ(ErrorCodeOf(bridge->Call(Request(1, "Kelvadrome.open", "", "", "https://new.test"))),
            -32002);
  // A reply over the browser's 1 MiB bound is a bridge error: 1.2 MB of text encrypt to more
  // Base64 than that, from a request under the bound.
  const std::string big(340000, 'a');
  const std::string reply = bridge->Call(
      Request(9, "SymEncrypt",
              "[\"" + big + big + big + "\",\"00112233445566778899AABBCCDDEEFF\",0,0]", session));
  EXPECT_EQ(ErrorCodeOf(reply), -32000) << reply.substr(0, 200);
  EXPECT_NE(reply.find("\"id\":9"), std::string::npos);
}

TEST_F(BridgeTest, SessionsKeepTheirOwnSignerAndErrorsAndEndWhenIdleOrClosed) {
  fs::create_directories(dir_.path() / "ca");
  testing::OpensslCa ca(dir_.path() / "ca");
  const auto issued = ca.IssueWithNewKey("signer", "/CN=Bridge Signer");
  const fs::path pfx = dir_.path() / "signer.pfx";
  ASSERT_EQ(RunCommand("openssl pkcs12 -export -inkey " + ShellQuote(issued.key.string()) +
                       " -in " + ShellQuote(issued.certificate.string()) +
                       " -passout pass:pw -out " + ShellQuote(pfx.string())),
            0);
  // The person allows the origin, then picks the page's PFX file when A first names it; B, of the
  // same origin, uses the kept pick without a dialog.
  auto bridge = Start("expect consent\nclick 3\nexpect path-pick\nclick 1\n",
                      {"KELVADROME_BRIDGE_IDLE_SECONDS=2"});
  const std::string a = Open(*bridge);
  const std::string b = Open(*bridge);
  ASSERT_FALSE(a.empty());
  ASSERT_NE(a, b);
  const std::string folder = dir_.path().string();
  const struct {
    const char* label;
    std::string session;
    std::string method;
    std::string params;
    std::string value;
    int64_t error_code;  // -2: any non-zero code
  } steps[] = {
      {"A selects from the file", a, "SelectSignerEx",
       "[\"\",\"" + folder + "\",\"signer.pfx\",\"pw\",\"\",0,0]", "0", 0},
      {"B fails with a wrong password", b, "SelectSignerEx",
       "[\"\",\"" + folder + "\",\"signer.pfx\",\"wrong\",\"\",0,0]", "", -2},
      {"A keeps its signer", a, "GetSignerPfxFileName", "", "signer.pfx", 0},
      {"A's error slot is clean", a, "GetErrorCode", "", "0", 0},
      {"B has no signer", b, "GetSignerPfxFileName", "", "", -2},
      {"A signs", a, "GetCertSubjectCN", "", "Bridge Signer", 0},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.label);
    const Outcome outcome =
        OutcomeOf(bridge->Call(Request(2, step.method, step.params, step.session)));
    if (step.error_code == -2) {
      EXPECT_NE(outcome.error_code, 0);
    } else {
      EXPECT_EQ(outcome.error_code, step.error_code);
    }
    if (!step.value.empty() || step.error_code == 0) {
      EXPECT_EQ(outcome.value, step.value);
    }
  }
  // The page's path went through the person's pick, asked once.
  const std::string dialogs = testing::FileText(Profile() / "dialogs.log");
  EXPECT_EQ(dialogs.find("show path-pick"), dialogs.rfind("show path-pick")) << dialogs;
  EXPECT_NE(dialogs.find("close path-pick ok"), std::string::npos) << dialogs;
  EXPECT_EQ(ErrorCodeOf(bridge->Call(Request(3, "Kelvadrome.close", "", b))), 0);
  EXPECT_EQ(ErrorCodeOf(bridge->Call(Request(3, "GetVersion", "", b))), -32001);
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(ErrorCodeOf(bridge->Call(Request(3, "GetVersion", "", a))), -32001);
}

TEST_F(BridgeTest, ConsentDecidesTheProtectedModeRefusalAndIsKeptAsAsked) {
  const struct {
    const char* label;
    std::string script;
    int64_t mac_error;     // GetMacAddress of the first session: 0 or 1500
    std::string kept;      // `bridge origins` afterwards
    int64_t second_error;  // a second session, with no more script: kept decision or a new ask
  } cases[] = {
      {"allow this session", "expect consent\nclick 1\n", 0, "", 1500},
      {"always allow", "expect consent\nclick 3\n", 0, "allow https://a.test\n", 0},
      {"deny", "expect consent\nclick 2\n", 1500, "deny https://a.test\n", 1500},
      {"cancel", "expect consent\ncancel\n", 1500, "", 1500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Profile());
    {
      auto bridge = Start(c.script);
      const std::string first = Open(*bridge);
      // Hash needs no consent: only methods refused in protected mode are refused.
      EXPECT_EQ(OutcomeOf(bridge->Call(Request(2, "Hash", "[\"abc\",17]", first))).error_code, 0);
      EXPECT_EQ(OutcomeOf(bridge->Call(Request(2, "GetMacAddress", "", first))).error_code,
                c.mac_error);
      const std::string second = Open(*bridge);
      EXPECT_EQ(OutcomeOf(bridge->Call(Request(2, "GetMacAddress", "", second))).error_code,
                c.second_error);
    }
    EXPECT_EQ(Command("bridge origins list"), c.kept);
    const std::string log = testing::FileText(Profile() / "dialogs.log");
    EXPECT_NE(log.find("https://a.test"), std::string::npos) << log;
    if (!c.kept.empty()) {
      EXPECT_EQ(Command("bridge origins revoke https://a.test --json"),
                "{\"revoked\":\"https://a.test\"}\n");
      EXPECT_EQ(Command("bridge origins list --json"), "[]\n");
    }
  }
}

TEST_F(BridgeTest, PagesWriteTheRegistryInTheirOriginsBranchAndCallForRealValues) {
  auto bridge = Start("expect consent\nclick 3\nexpect consent\nclick 3\n");
  const std::string a = Open(*bridge);
  const std::string b = Open(*bridge, "https://b.test");
  const struct {
    const char* label;
    std::string session, origin, method, params, value;
  } steps[] = {
      {"A writes", a, "https://a.test", "RegWriteHKCUStr",
       "[\"Software\\\\Shop\\\\name\",\"from a\"]", "0"},
      {"A reads back", a, "https://a.test", "RegReadHKCU", "[\"Software\\\\Shop\\\\name\"]",
       "from a"},
      {"B writes its own", b, "https://b.test", "RegWriteHKCUInt",
       "[\"Software\\\\Shop\\\\name\",42]", "0"},
      {"B reads its own", b, "https://b.test", "RegReadHKCU", "[\"Software\\\\Shop\\\\name\"]",
       "42"},
      {"A is untouched", a, "https://a.test", "RegReadHKCU", "[\"Software\\\\Shop\\\\name\"]",
       "from a"},
      {"MD5 of abc", a, "https://a.test", "Hash", "[\"abc\",17]",
       "900150983CD24FB0D6963F7D28E17F72"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.label);
    const Outcome outcome =
        OutcomeOf(bridge->Call(Request(2, step.method, step.params, step.session, step.origin)));
    EXPECT_EQ(outcome.error_code, 0);
    EXPECT_EQ(outcome.value, step.value);
  }
  EXPECT_EQ(
      Command(
          "reg get 'Software\\Kelvadrome\\Bridge\\Pages\\https://a.test\\Software\\Shop\\name'"),
      "from a\n");
  EXPECT_EQ(Command("reg get 'Software\\Shop\\name'"), "");

  // A request, issued by a CA and accepted: the values travel whole both ways.
  const Outcome request =
      OutcomeOf(bridge->Call(Request(4, "CreatePKCS10", "[\"Bridge Person\",2048,0]", a)));
  ASSERT_EQ(request.error_code, 0);
  fs::create_directories(dir_.path() / "ca");
  testing::OpensslCa ca(dir_.path() / "ca");
  const fs::path certificate = ca.Issue(request.value, "person");
  ASSERT_FALSE(certificate.empty());
  const Outcome accepted = OutcomeOf(
      bridge->Call(Request(5, "AcceptPKCS7", "[\"" + testing::Base64Body(certificate) + "\"]", a)));
  EXPECT_EQ(accepted.error_code, 0);
  EXPECT_EQ(OutcomeOf(bridge->Call(Request(6, "GetIECertCount", "", a))).value, "1");
}

}  // namespace
}  // namespace kelvadrome
