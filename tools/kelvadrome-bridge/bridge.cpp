#include "bridge.h"

#include <sys/random.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "codec/json_value.h"
#include "frame/automation_dispatch.h"
#include "frame/call_guard.h"
#include "frame/cert_component.h"
#include "frame/method_table.h"
#include "frame/page_hooks.h"
#include "host/origin_consent.h"
#include "platform/bstr.h"
#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/consent_dialog.h"
#include "ui/dialog_host.h"
#include "ui/gui_host.h"

namespace kelvadrome {

struct Bridge::Session {
  std::string origin;
  std::unique_ptr<CertComponent> component;
  std::chrono::steady_clock::time_point last_used;
};

namespace {

// A fault of the request itself, answered as a JSON-RPC error object.
struct RpcFault {
  int code;
  std::string message;
};

std::string NewSessionId() {
  uint8_t bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got <= 0) throw std::runtime_error("no random bytes for a session id");
    filled += static_cast<size_t>(got);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (const uint8_t b : bytes) {
    id.push_back(kHex[b >> 4]);
    id.push_back(kHex[b & 0xF]);
  }
  return id;
}

std::string Reply(const std::string& id, const std::string& result) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + result + "}";
}

std::string ErrorObject(const std::string& id, int code, std::string_view message) {
  std::string reply = "{\"jsonrpc\":\"2.0\",\"id\":" + id +
                      ",\"error\":{\"code\":" + std::to_string(code) + ",\"message\":";
  AppendJsonText(reply, Utf8ToUtf16(message));
  return reply + "}}";
}

// Converting a worker's arguments from the request's params, by the method table's parameter
// kinds: texts must be JSON strings, integers JSON numbers without fraction within 32 bits.
std::vector<AutomationArgument> ArgumentsOf(const MethodDescriptor& method,
                                            const JsonValue* params) {
  const size_t given = params != nullptr ? params->items().size() : 0;
  if (given != method.parameter_count) {
    throw RpcFault{
        rpc_error::kInvalidParams,
        std::string(method.name) + " takes " + std::to_string(method.parameter_count) + " params"};
  }
  std::vector<AutomationArgument> arguments(given);
  for (size_t i = 0; i < given; ++i) {
    const JsonValue& value = params->items()[i];
    if (method.parameters[i] == ValueKind::kInteger) {
      const auto number = value.integer();
      if (value.kind() != JsonValue::Kind::kNumber || !number || *number < INT32_MIN ||
          *number > INT32_MAX) {
        throw RpcFault{rpc_error::kInvalidParams,
                       "param " + std::to_string(i) + " must be a 32-bit integer"};
      }
      arguments[i].number = static_cast<int32_t>(*number);
    } else {
      if (value.kind() != JsonValue::Kind::kString) {
        throw RpcFault{rpc_error::kInvalidParams,
                       "param " + std::to_string(i) + " must be a string"};
      }
      arguments[i].text = value.text();
    }
  }
  return arguments;
}

template <typename T>
struct WorkerArgument;
template <>
struct WorkerArgument<const char16_t*> {
  static TextArg Get(const AutomationArgument& argument) { return TextArg(argument.text); }
};
template <>
struct WorkerArgument<int32_t> {
  static int32_t Get(const AutomationArgument& argument) { return argument.number; }
};

// Bound<Result(Parameters...)> calls a worker with the converted arguments in parameter order.
template <typename Signature>
struct Bound;
template <typename R, typename... P>
struct Bound<R(P...)> {
  template <typename Worker>
  static auto Call(Worker&& worker, const AutomationArgument* arguments) {
    return CallIndexed(worker, arguments, std::index_sequence_for<P...>{});
  }
  template <typename Worker, size_t... I>
  static auto CallIndexed(Worker& worker, const AutomationArgument* arguments,
                          std::index_sequence<I...>) {
    return worker(WorkerArgument<P>::Get(arguments[I])...);
  }
};

// The JSON of a worker's result: a text (wiped after it is written) or a number.
std::string ValueOf(Bstr text) {
  std::string json;
  const uint32_t length = BstrLength(text);
  AppendJsonText(json, std::u16string_view(text, length));
  SecureWipe(text, length * sizeof(char16_t));
  FreeBstr(text);
  return json;
}
std::string ValueOf(int32_t number) {
  return std::to_string(number);
}

// RunMethod runs |method| on |component| under the surfaces' guard, with the workers the method
// table names, and returns the JSON of its result.
std::string RunMethod(CertComponent& component, MethodId method,
                      const AutomationArgument* arguments) {
  switch (method) {
#define KELVADROME_BRIDGE_RUN(name_, export_, dispid_, class_, result_, params_, args_)            \
  case MethodId::name_:                                                                            \
    return ValueOf(GuardedCall<result_>(component, [&](CertComponent& target) {                    \
      return Bound<result_ params_>::Call([&](auto... values) { return target.name_(values...); }, \
                                          arguments);                                              \
    }));
    KELVADROME_METHODS(KELVADROME_BRIDGE_RUN)
#undef KELVADROME_BRIDGE_RUN
  }
  throw RpcFault{rpc_error::kMethodNotFound, "no such method"};
}

// ShowOriginOnDialogs makes the graphical host name |origin| in the windows that follow.
void ShowOriginOnDialogs(const std::string& origin) {
  if (auto* gui = dynamic_cast<GuiHost*>(&CurrentDialogHost())) gui->set_origin(origin);
}

// Allowed asks the kept decision for |origin| first, then the person; an always-allow or deny
// answer is kept for later sessions.
bool Allowed(const std::string& origin) {
  if (const auto kept = StoredOriginDecision(origin)) return *kept == OriginDecision::kAllow;
  ShowOriginOnDialogs(origin);
  switch (AskConsent(CurrentDialogHost(), origin)) {
    case ConsentAnswer::kAllowSession:
      return true;
    case ConsentAnswer::kAllowAlways:
      StoreOriginDecision(origin, OriginDecision::kAllow);
      return true;
    case ConsentAnswer::kDeny:
      StoreOriginDecision(origin, OriginDecision::kDeny);
      return false;
    case ConsentAnswer::kDenySession:
      break;
  }
  return false;
}

const std::string* StringMember(const JsonValue& message, std::u16string_view key,
                                std::string* storage) {
  const JsonValue* value = message.Find(key);
  if (value == nullptr) return nullptr;
  if (value->kind() != JsonValue::Kind::kString) {
    throw RpcFault{rpc_error::kInvalidRequest, Utf16ToUtf8(key) + " must be a string"};
  }
  *storage = Utf16ToUtf8(value->text());
  return storage;
}

}  // namespace

Bridge::Bridge(BridgeOptions options) : options_(options) {}
Bridge::~Bridge() = default;

std::string Bridge::ErrorReply(int code, std::string_view message) {
  return ErrorObject("null", code, message);
}

void Bridge::EndIdleSessions() {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second->last_used > options_.idle_limit) {
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<std::string> Bridge::Handle(std::string_view request) {
  return HandleMessage(request, nullptr);
}

std::optional<std::string> Bridge::Handle(std::string_view request, const BridgeCaller& caller) {
  return HandleMessage(request, &caller);
}

std::optional<std::string> Bridge::HandleMessage(std::string_view request,
                                                 const BridgeCaller* caller) {
  EndIdleSessions();
  last_call_ = BridgeCallRecord{caller != nullptr ? caller->origin : std::string(), "", 0};
  if (request.size() > kMaxBridgeMessage) {
    last_call_.error_code = rpc_error::kTooLarge;
    return ErrorReply(rpc_error::kTooLarge, "request too large");
  }
  JsonLimits limits;
  limits.max_text = kMaxBridgeMessage;
  JsonError parse_error;
  const auto message = ParseJson(request, limits, &parse_error);
  if (!message) {
    last_call_.error_code = rpc_error::kParse;
    return ErrorReply(rpc_error::kParse, "parse error: " + parse_error.reason + " at byte " +
                                             std::to_string(parse_error.offset));
  }
  if (message->kind() != JsonValue::Kind::kObject) {
    last_call_.error_code = rpc_error::kInvalidRequest;
    return ErrorReply(rpc_error::kInvalidRequest, "a request is an object");
  }
  // The id as it is written back: an integer, a string or null; anything else is no valid id.
  std::string id = "null";
  const JsonValue* id_value = message->Find(u"id");
  if (id_value != nullptr) {
    if (id_value->kind() == JsonValue::Kind::kNumber && id_value->integer()) {
      id = std::to_string(*id_value->integer());
    } else if (id_value->kind() == JsonValue::Kind::kString) {
      id.clear();
      AppendJsonText(id, id_value->text());
    } else if (id_value->kind() != JsonValue::Kind::kNull) {
      last_call_.error_code = rpc_error::kInvalidRequest;
      return ErrorReply(rpc_error::kInvalidRequest, "id must be an integer, a string or null");
    }
  }
  std::string reply;
  try {
    const JsonValue* version = message->Find(u"jsonrpc");
    if (version == nullptr || version->kind() != JsonValue::Kind::kString ||
        version->text() != u"2.0") {
      throw RpcFault{rpc_error::kInvalidRequest, "jsonrpc must be \"2.0\""};
    }
    const JsonValue* method_value = message->Find(u"method");
    if (method_value == nullptr || method_value->kind() != JsonValue::Kind::kString) {
      throw RpcFault{rpc_error::kInvalidRequest, "method must be a string"};
    }
    const JsonValue* params = message->Find(u"params");
    if (params != nullptr && params->kind() == JsonValue::Kind::kObject) {
      throw RpcFault{rpc_error::kInvalidParams, "params are given by position"};
    }
    if (params != nullptr && params->kind() != JsonValue::Kind::kArray) {
      throw RpcFault{rpc_error::kInvalidRequest, "params must be an array"};
    }
    std::string origin_storage, session_storage;
    const std::string* origin = StringMember(*message, u"origin", &origin_storage);
    const std::string* session_id = StringMember(*message, u"session", &session_storage);
    if (caller != nullptr) {
      if (origin != nullptr || session_id != nullptr) {
        throw RpcFault{rpc_error::kInvalidRequest,
                       "origin and session are taken from the request's headers"};
      }
      origin = &caller->origin;
      session_id = caller->session ? &*caller->session : nullptr;
    }
    if (origin == nullptr || !ValidOrigin(*origin)) {
      throw RpcFault{rpc_error::kInvalidRequest, "origin missing or malformed"};
    }
    last_call_.origin = *origin;
    const std::u16string& name = method_value->text();
    last_call_.method = Utf16ToUtf8(name.substr(0, 64));

    if (name == u"Kelvadrome.open") {
      if (params != nullptr && !params->items().empty()) {
        throw RpcFault{rpc_error::kInvalidParams, "Kelvadrome.open takes no params"};
      }
      size_t of_origin = 0;
      for (const auto& entry : sessions_) of_origin += entry.second->origin == *origin ? 1 : 0;
      if (sessions_.size() >= options_.max_sessions ||
          of_origin >= options_.max_sessions_per_origin) {
        throw RpcFault{rpc_error::kTooManySessions, "too many sessions"};
      }
      // A denied origin still gets a session: its component refuses every guarded method with
      // 1500, as a component in a browser's protected mode does.
      const bool allowed = Allowed(*origin);
      ComponentEnvironment environment;
      environment.protected_mode_probe = [allowed] { return !allowed; };
      environment.current_user_branch = OriginBranch(*origin);
      // A path the page names is used only as the person picked it for this origin, and a
      // certificate is deleted only when the person agrees; denied origins too, since HashFile
      // is not refused in protected mode.
      environment.path_gate = MakeOriginPathGate(*origin);
      environment.confirm_delete = MakeOriginDeleteConfirmation(*origin);
      auto session = std::make_unique<Session>();
      session->origin = *origin;
      session->component = std::make_unique<CertComponent>(std::move(environment));
      session->last_used = std::chrono::steady_clock::now();
      const std::string new_id = NewSessionId();
      sessions_.emplace(new_id, std::move(session));
      reply = Reply(id, "{\"session\":\"" + new_id + "\"}");
    } else {
      const auto found = session_id != nullptr ? sessions_.find(*session_id) : sessions_.end();
      if (found == sessions_.end() || found->second->origin != *origin) {
        throw RpcFault{rpc_error::kUnknownSession, "no such session"};
      }
      Session& session = *found->second;
      session.last_used = std::chrono::steady_clock::now();
      if (name == u"Kelvadrome.close") {
        if (params != nullptr && !params->items().empty()) {
          throw RpcFault{rpc_error::kInvalidParams, "Kelvadrome.close takes no params"};
        }
        sessions_.erase(found);
        reply = Reply(id, "true");
      } else {
        const MethodDescriptor* method = FindMethod(Utf16ToUtf8(name));
        if (method == nullptr) throw RpcFault{rpc_error::kMethodNotFound, "method not found"};
        const auto arguments = ArgumentsOf(*method, params);
        ShowOriginOnDialogs(session.origin);
        CertComponent& component = *session.component;
        std::string value = RunMethod(component, method->id, arguments.data());
        const ErrorState errors = component.error_state();
        last_call_.error_code = errors.errorCode;
        std::string result = "{\"value\":" + value +
                             ",\"errorCode\":" + std::to_string(errors.errorCode) +
                             ",\"errorMsg\":";
        SecureWipe(value.data(), value.size());
        AppendJsonText(result, component.GetErrorMsg());
        result += ",\"capiErrorCode\":" + std::to_string(errors.capiErrorCode) + "}";
        reply = Reply(id, result);
        SecureWipe(result.data(), result.size());
      }
    }
  } catch (const RpcFault& fault) {
    last_call_.error_code = fault.code;
    reply = ErrorObject(id, fault.code, fault.message);
  }
  if (id_value == nullptr) {
    SecureWipe(reply.data(), reply.size());
    return std::nullopt;  // a notification: the work is done, nothing is answered
  }
  if (reply.size() > kMaxBridgeMessage) {
    SecureWipe(reply.data(), reply.size());
    return ErrorObject(id, rpc_error::kTooLarge, "reply too large");
  }
  return reply;
}

}  // namespace kelvadrome
