// The token layer over p11-kit. The registered modules are loaded and initialised once, on the
// first call that needs them, and stay loaded until the process ends. Each module has one mutex
// that serialises every call into it, and keeps one read/write session per token it has used:
// PKCS #11 ties the login state to the open sessions of an application, so a kept session keeps
// the person logged in between calls. A kept session that the module no longer knows (the token
// went away) is dropped and the call fails as removed.
#include "platform/pkcs11_tokens.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/crypto_context.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"

namespace kelvadrome {
namespace {

// The most a module may report for one attribute or one list; larger values are taken as a
// module fault rather than allocated.
constexpr CK_ULONG kMaxAttributeBytes = 1 << 20;
constexpr CK_ULONG kMaxCount = 4096;
constexpr uint32_t kMinKeyBits = 1024;
constexpr uint32_t kMaxKeyBits = 16384;

struct Failure {};  // the platform error is recorded; the caller returns its empty value

uint32_t CardErrorFor(CK_RV rv) {
  switch (rv) {
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
      return card_error::kWrongPin;
    case CKR_PIN_LOCKED:
      return card_error::kPinBlocked;
    case CKR_FUNCTION_CANCELED:  // the reader's own PIN pad was cancelled
      return card_error::kCancelled;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_DEVICE_REMOVED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
      return card_error::kRemoved;
    default:
      return card_error::kCardFailure;
  }
}

// Fail records |code| and returns the empty value of any result type.
struct Fail {
  explicit Fail(uint32_t code) { SetLastPlatformError(code); }
  template <typename T>
  operator std::optional<T>() const {  // NOLINT(google-explicit-constructor)
    return std::nullopt;
  }
};
Fail FailWith(CK_RV rv) {
  return Fail(CardErrorFor(rv));
}
// Refused turns a recorded failure into the false of a bool function.
bool Refused(const Fail&) {
  return false;
}

std::string Trimmed(const unsigned char* text, size_t size) {
  const size_t length = p11_kit_space_strlen(text, size);
  return std::string(reinterpret_cast<const char*>(text), length);
}

std::string RefKey(const TokenRef& ref) {
  return ref.module + '\n' + ref.serial + '\n' + ref.label;
}

// One loaded module and what the layer keeps for it.
struct Module {
  CK_FUNCTION_LIST* functions = nullptr;
  std::string name;
  std::mutex mutex;  // serialises every call into the module
  struct Kept {
    CK_SESSION_HANDLE session;
    TokenRef token;  // the token the session was opened on
    // Logged in with a PIN the person did not ask to keep (or on the reader's PIN pad): the
    // login ends with the use (EndTokenUse).
    bool logout_after_use = false;
  };
  std::map<CK_SLOT_ID, Kept> kept;  // the kept session of each used slot
};

// Closes a kept session when it is taken out of use.
void CloseKept(Module& module, CK_SLOT_ID slot) {
  auto found = module.kept.find(slot);
  if (found == module.kept.end()) return;
  module.functions->C_CloseSession(found->second.session);
  module.kept.erase(found);
}

// Set once the modules have been loaded: a process that never used a token never loads one.
std::atomic<bool> modules_loaded{false};

// The process's modules, loaded on first use. Only the modules that can hold tokens are
// initialised: trust-policy modules hold the system's certificate authorities, and initialising
// one reads them all, which would cost every process that opens "MY" several milliseconds. At
// exit every kept session is closed and the initialised modules are finalised.
class ModuleSet {
 public:
  ModuleSet() {
    modules_loaded = true;
    const char* setting = std::getenv("KELVADROME_TOKENS");
    if (setting != nullptr && std::string_view(setting) == "none") return;
    list_.reset(p11_kit_modules_load(nullptr, 0));
    if (list_ == nullptr) return;
    for (CK_FUNCTION_LIST** entry = list_.get(); *entry != nullptr; ++entry) {
      std::unique_ptr<char, decltype(&std::free)> trust(
          p11_kit_config_option(*entry, "trust-policy"), &std::free);
      if (trust != nullptr && std::string(trust.get()) == "yes") continue;
      if (p11_kit_module_initialize(*entry) != CKR_OK) continue;  // a module that fails is left out
      std::unique_ptr<char, decltype(&std::free)> name(p11_kit_module_get_name(*entry), &std::free);
      auto module = std::make_unique<Module>();
      module->functions = *entry;
      module->name = name != nullptr ? name.get() : "";
      modules_.push_back(std::move(module));
    }
  }
  ~ModuleSet() {
    for (auto& module : modules_) {
      const std::lock_guard<std::mutex> lock(module->mutex);
      while (!module->kept.empty()) CloseKept(*module, module->kept.begin()->first);
      p11_kit_module_finalize(module->functions);
    }
  }
  ModuleSet(const ModuleSet&) = delete;
  ModuleSet& operator=(const ModuleSet&) = delete;

  const std::vector<std::unique_ptr<Module>>& modules() const { return modules_; }

 private:
  struct ListDeleter {
    void operator()(CK_FUNCTION_LIST** list) const {
      if (list != nullptr) p11_kit_modules_release(list);
    }
  };
  // Declared first: released after every module was finalised.
  std::unique_ptr<CK_FUNCTION_LIST*, ListDeleter> list_;
  std::vector<std::unique_ptr<Module>> modules_;
};

ModuleSet& Modules() {
  static ModuleSet set;
  return set;
}

// The prompt and the PINs kept for the process, by token.
std::mutex prompt_mutex;
TokenPinPrompt installed_prompt;
std::map<std::string, SecretString> kept_pins;

TokenPinPrompt CurrentPrompt() {
  const std::lock_guard<std::mutex> lock(prompt_mutex);
  return installed_prompt;
}
std::optional<SecretString> KeptPin(const TokenRef& ref) {
  const std::lock_guard<std::mutex> lock(prompt_mutex);
  auto found = kept_pins.find(RefKey(ref));
  if (found == kept_pins.end()) return std::nullopt;
  return found->second;
}
void KeepPin(const TokenRef& ref, const SecretString& pin) {
  const std::lock_guard<std::mutex> lock(prompt_mutex);
  kept_pins[RefKey(ref)] = pin;
}
void DropPin(const TokenRef& ref) {
  const std::lock_guard<std::mutex> lock(prompt_mutex);
  kept_pins.erase(RefKey(ref));  // SecretString wipes itself
}

// The tokens whose last PIN typed in this process was wrong: the next question says so.
std::set<std::string> wrong_last;
bool LastPinWasWrong(const TokenRef& ref) {
  const std::lock_guard<std::mutex> lock(prompt_mutex);
  return wrong_last.count(RefKey(ref)) != 0;
}
void NoteLastPin(const TokenRef& ref, bool wrong) {
  const std::lock_guard<std::mutex> lock(prompt_mutex);
  if (wrong) {
    wrong_last.insert(RefKey(ref));
  } else {
    wrong_last.erase(RefKey(ref));
  }
}

// Slots with an initialised token present, with the token's description.
struct Slot {
  CK_SLOT_ID id;
  CK_TOKEN_INFO info;
};

std::vector<Slot> PresentSlots(Module& module) {
  std::vector<Slot> slots;
  CK_ULONG count = 0;
  if (module.functions->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0 ||
      count > kMaxCount) {
    return slots;
  }
  std::vector<CK_SLOT_ID> ids(count);
  if (module.functions->C_GetSlotList(CK_TRUE, ids.data(), &count) != CKR_OK) return slots;
  ids.resize(std::min<CK_ULONG>(count, ids.size()));
  for (CK_SLOT_ID id : ids) {
    Slot slot{id, {}};
    if (module.functions->C_GetTokenInfo(id, &slot.info) != CKR_OK) continue;
    if ((slot.info.flags & CKF_TOKEN_INITIALIZED) == 0) continue;  // a blank token names nobody
    slots.push_back(slot);
  }
  return slots;
}

TokenRef RefOf(const Module& module, const CK_TOKEN_INFO& info) {
  return {module.name, Trimmed(info.serialNumber, sizeof info.serialNumber),
          Trimmed(info.label, sizeof info.label)};
}

// A token found and opened: its module (locked for the lifetime of this object), slot and kept
// session.
class OpenToken {
 public:
  // Open finds |ref| and opens or reuses its session; nullopt (the error recorded) when the token
  // is absent.
  static std::unique_ptr<OpenToken> Open(const TokenRef& ref) {
    for (const auto& module : Modules().modules()) {
      if (module->name != ref.module) continue;
      std::unique_lock<std::mutex> lock(module->mutex);
      for (const Slot& slot : PresentSlots(*module)) {
        if (RefOf(*module, slot.info) != ref) continue;
        auto token = std::unique_ptr<OpenToken>(new OpenToken(*module, std::move(lock), slot));
        if (!token->Session()) return nullptr;
        return token;
      }
      // The token is not there. When this process had a session on it, it was taken away: the
      // session goes (its login with it) and the use fails as removed. Sessions the module no
      // longer knows go too.
      bool removed = false;
      std::vector<CK_SLOT_ID> gone;
      for (const auto& [id, kept] : module->kept) {
        CK_SESSION_INFO info;
        if (kept.token == ref) {
          removed = true;
          gone.push_back(id);
        } else if (module->functions->C_GetSessionInfo(kept.session, &info) != CKR_OK) {
          gone.push_back(id);
        }
      }
      for (CK_SLOT_ID id : gone) CloseKept(*module, id);
      SetLastPlatformError(removed ? card_error::kRemoved : card_error::kNoCard);
      return nullptr;
    }
    SetLastPlatformError(card_error::kNoCard);
    return nullptr;
  }

  CK_FUNCTION_LIST* f() const { return module_.functions; }
  CK_SESSION_HANDLE session() const { return session_; }
  const TokenRef& ref() const { return ref_; }

  // Fails with the mapping of |rv|; a session the module lost is dropped so the next call opens
  // a fresh one.
  Fail Failed(CK_RV rv) {
    if (CardErrorFor(rv) == card_error::kRemoved) CloseKept(module_, slot_.id);
    return FailWith(rv);
  }

  bool Login();

 private:
  OpenToken(Module& module, std::unique_lock<std::mutex> lock, const Slot& slot)
      : module_(module), lock_(std::move(lock)), slot_(slot), ref_(RefOf(module, slot.info)) {}

  bool Session() {
    auto found = module_.kept.find(slot_.id);
    if (found != module_.kept.end()) {
      CK_SESSION_INFO info;
      if (f()->C_GetSessionInfo(found->second.session, &info) == CKR_OK &&
          found->second.token == ref_) {
        session_ = found->second.session;
        return true;
      }
      CloseKept(module_, slot_.id);
    }
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    const CK_RV rv = f()->C_OpenSession(slot_.id, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                        nullptr, &session);
    if (rv != CKR_OK) return Refused(FailWith(rv));
    module_.kept[slot_.id] = {session, ref_};
    session_ = session;
    return true;
  }

  Module& module_;
  std::unique_lock<std::mutex> lock_;
  Slot slot_;
  TokenRef ref_;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

CK_RV LoginWith(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, const SecretString* pin) {
  // PKCS #11 takes the PIN as unsigned bytes; the module only reads them.
  auto* bytes =
      pin != nullptr ? reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin->data())) : nullptr;
  const CK_RV rv = f->C_Login(session, CKU_USER, bytes, pin != nullptr ? pin->size() : 0);
  return rv == CKR_USER_ALREADY_LOGGED_IN ? CKR_OK : rv;
}

bool IsWrongPin(CK_RV rv) {
  return rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE;
}

// Login logs the person in unless the session already is: with the reader's PIN pad, a kept PIN,
// or a PIN asked of the person.
bool OpenToken::Login() {
  CK_SESSION_INFO state;
  CK_RV rv = f()->C_GetSessionInfo(session_, &state);
  if (rv != CKR_OK) return Refused(Failed(rv));
  if (state.state == CKS_RW_USER_FUNCTIONS || state.state == CKS_RO_USER_FUNCTIONS) return true;
  CK_TOKEN_INFO info;
  rv = f()->C_GetTokenInfo(slot_.id, &info);
  if (rv != CKR_OK) return Refused(Failed(rv));
  if ((info.flags & CKF_USER_PIN_LOCKED) != 0) return Refused(Fail(card_error::kPinBlocked));
  if ((info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
    rv = LoginWith(f(), session_, nullptr);
    if (rv != CKR_OK) return Refused(Failed(rv));
    module_.kept[slot_.id].logout_after_use = true;
    return true;
  }
  bool retry = LastPinWasWrong(ref_);
  if (std::optional<SecretString> pin = KeptPin(ref_)) {
    rv = LoginWith(f(), session_, &*pin);
    if (rv == CKR_OK) return true;
    if (!IsWrongPin(rv)) return Refused(Failed(rv));
    DropPin(ref_);
    retry = true;
    rv = f()->C_GetTokenInfo(slot_.id, &info);
    if (rv != CKR_OK) return Refused(Failed(rv));
    if ((info.flags & CKF_USER_PIN_LOCKED) != 0) return Refused(Fail(card_error::kPinBlocked));
  }
  // One PIN per use: a wrong one fails the use with the card's wrong-PIN error, which callers
  // report as such, and the next use's question says that the last PIN was wrong.
  const TokenPinPrompt prompt = CurrentPrompt();
  if (!prompt) return Refused(Fail(card_error::kCancelled));
  const PinRequest request{ref_, retry, (info.flags & CKF_USER_PIN_COUNT_LOW) != 0,
                           (info.flags & CKF_USER_PIN_FINAL_TRY) != 0};
  std::optional<PinAnswer> answer = prompt(request);
  if (!answer) return Refused(Fail(card_error::kCancelled));
  rv = LoginWith(f(), session_, &answer->pin);
  NoteLastPin(ref_, IsWrongPin(rv));
  if (rv == CKR_OK) {
    if (answer->remember) {
      KeepPin(ref_, answer->pin);
    } else {
      module_.kept[slot_.id].logout_after_use = true;
    }
    return true;
  }
  return Refused(Failed(rv));
}

// Attribute reading with every length the module reports checked before use.
std::optional<std::vector<uint8_t>> ReadBytes(OpenToken& token, CK_OBJECT_HANDLE object,
                                              CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  CK_RV rv = token.f()->C_GetAttributeValue(token.session(), object, &attribute, 1);
  if (rv != CKR_OK) return token.Failed(rv);
  if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
      attribute.ulValueLen > kMaxAttributeBytes) {
    return Fail(card_error::kCardFailure);
  }
  std::vector<uint8_t> value(attribute.ulValueLen);
  attribute.pValue = value.data();
  rv = token.f()->C_GetAttributeValue(token.session(), object, &attribute, 1);
  if (rv != CKR_OK) return token.Failed(rv);
  if (attribute.ulValueLen > value.size()) return Fail(card_error::kCardFailure);
  value.resize(attribute.ulValueLen);
  return value;
}

std::optional<bool> ReadBool(OpenToken& token, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_BBOOL value = CK_FALSE;
  CK_ATTRIBUTE attribute{type, &value, sizeof value};
  const CK_RV rv = token.f()->C_GetAttributeValue(token.session(), object, &attribute, 1);
  if (rv != CKR_OK || attribute.ulValueLen != sizeof value) return std::nullopt;
  return value == CK_TRUE;
}

// Objects matching |filter|, all of them.
std::optional<std::vector<CK_OBJECT_HANDLE>> Find(OpenToken& token,
                                                  std::vector<CK_ATTRIBUTE> filter) {
  CK_RV rv = token.f()->C_FindObjectsInit(token.session(), filter.data(), filter.size());
  if (rv != CKR_OK) return token.Failed(rv);
  std::vector<CK_OBJECT_HANDLE> found;
  CK_OBJECT_HANDLE batch[32];
  while (true) {
    CK_ULONG count = 0;
    rv = token.f()->C_FindObjects(token.session(), batch, std::size(batch), &count);
    if (rv != CKR_OK || count > std::size(batch) || found.size() + count > kMaxCount) break;
    if (count == 0) break;
    found.insert(found.end(), batch, batch + count);
  }
  const CK_RV final_rv = token.f()->C_FindObjectsFinal(token.session());
  if (rv == CKR_OK && final_rv != CKR_OK) rv = final_rv;
  if (rv != CKR_OK) return token.Failed(rv);
  return found;
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG size) {
  return {type, const_cast<void*>(value), size};
}

// The DER SubjectPublicKeyInfo of an RSA key given by its big-endian modulus and exponent.
std::optional<std::vector<uint8_t>> RsaPublicKeyInfo(std::span<const uint8_t> modulus,
                                                     std::span<const uint8_t> exponent) {
  const OpensslErrorScope scope;
  UniqueBignum n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  UniqueBignum e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
  UniqueParamBuild build(OSSL_PARAM_BLD_new());
  if (n == nullptr || e == nullptr || build == nullptr ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    return std::nullopt;
  }
  UniqueSecretParams params(OSSL_PARAM_BLD_to_param(build.get()));
  UniqueEvpPkeyContext context(
      EVP_PKEY_CTX_new_from_name(CryptoLibraryContext(), "RSA", CryptoPropertyQuery()));
  EVP_PKEY* raw = nullptr;
  if (params == nullptr || context == nullptr || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
      EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
    return std::nullopt;
  }
  const UniqueEvpPkey key(raw);
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  if (length <= 0) return std::nullopt;
  const UniqueOpensslBytes owned(der);
  return std::vector<uint8_t>(der, der + length);
}

std::optional<std::vector<uint8_t>> Sha1(std::span<const uint8_t> data) {
  const OpensslErrorScope scope;
  const UniqueEvpMd md(EVP_MD_fetch(CryptoLibraryContext(), "SHA1", CryptoPropertyQuery()));
  std::vector<uint8_t> hash(20);
  unsigned int length = 0;
  if (md == nullptr ||
      EVP_Digest(data.data(), data.size(), hash.data(), &length, md.get(), nullptr) != 1 ||
      length != hash.size()) {
    return std::nullopt;
  }
  return hash;
}

// Describes the private key |key|, taking its public numbers from the public key of the same
// CKA_ID when the private object does not carry them.
std::optional<TokenKey> Describe(OpenToken& token, CK_OBJECT_HANDLE key) {
  TokenKey result;
  auto id = ReadBytes(token, key, CKA_ID);
  if (!id) return std::nullopt;
  result.id = std::move(*id);
  if (auto label = ReadBytes(token, key, CKA_LABEL))
    result.label.assign(label->begin(), label->end());
  result.sensitive = ReadBool(token, key, CKA_SENSITIVE).value_or(true);
  result.extractable = ReadBool(token, key, CKA_EXTRACTABLE).value_or(false);
  result.can_sign = ReadBool(token, key, CKA_SIGN).value_or(false);
  result.can_decrypt = ReadBool(token, key, CKA_DECRYPT).value_or(false);

  auto modulus = ReadBytes(token, key, CKA_MODULUS);
  auto exponent = ReadBytes(token, key, CKA_PUBLIC_EXPONENT);
  if (!modulus || !exponent || modulus->empty() || exponent->empty()) {
    const CK_OBJECT_CLASS public_class = CKO_PUBLIC_KEY;
    const CK_KEY_TYPE rsa = CKK_RSA;
    auto halves = Find(token, {Attr(CKA_CLASS, &public_class, sizeof public_class),
                               Attr(CKA_KEY_TYPE, &rsa, sizeof rsa),
                               Attr(CKA_ID, result.id.data(), result.id.size())});
    if (!halves) return std::nullopt;
    if (halves->empty()) return Fail(card_error::kCardFailure);
    modulus = ReadBytes(token, halves->front(), CKA_MODULUS);
    exponent = ReadBytes(token, halves->front(), CKA_PUBLIC_EXPONENT);
    if (!modulus || !exponent) return std::nullopt;
  }
  // The modulus' length in bits, leading zero bytes aside.
  auto first = std::find_if(modulus->begin(), modulus->end(), [](uint8_t b) { return b != 0; });
  if (first == modulus->end()) return Fail(card_error::kCardFailure);
  uint32_t bits = static_cast<uint32_t>(modulus->end() - first) * 8;
  for (uint8_t top = *first; (top & 0x80) == 0; top <<= 1) --bits;
  result.bits = bits;
  auto info = RsaPublicKeyInfo(*modulus, *exponent);
  if (!info) return Fail(card_error::kCardFailure);
  result.public_key_info = std::move(*info);
  return result;
}

// The private RSA key of CKA_ID |id|.
std::optional<CK_OBJECT_HANDLE> PrivateKey(OpenToken& token, std::span<const uint8_t> id) {
  const CK_OBJECT_CLASS private_class = CKO_PRIVATE_KEY;
  const CK_KEY_TYPE rsa = CKK_RSA;
  auto keys =
      Find(token, {Attr(CKA_CLASS, &private_class, sizeof private_class),
                   Attr(CKA_KEY_TYPE, &rsa, sizeof rsa), Attr(CKA_ID, id.data(), id.size())});
  if (!keys) return std::nullopt;
  if (keys->empty()) return Fail(platform_error::kBadKeyset);
  return keys->front();
}

}  // namespace

TokenPinPrompt SetTokenPinPrompt(TokenPinPrompt prompt) {
  const std::lock_guard<std::mutex> lock(prompt_mutex);
  std::swap(prompt, installed_prompt);
  return prompt;
}

std::vector<std::string> TokenModules() {
  std::vector<std::string> names;
  for (const auto& module : Modules().modules()) names.push_back(module->name);
  return names;
}

std::vector<TokenInfo> PresentTokens() {
  std::vector<TokenInfo> tokens;
  for (const auto& module : Modules().modules()) {
    const std::lock_guard<std::mutex> lock(module->mutex);
    for (const Slot& slot : PresentSlots(*module)) {
      TokenInfo token;
      token.ref = RefOf(*module, slot.info);
      token.manufacturer = Trimmed(slot.info.manufacturerID, sizeof slot.info.manufacturerID);
      token.model = Trimmed(slot.info.model, sizeof slot.info.model);
      token.pin_pad = (slot.info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
      token.login_required = (slot.info.flags & CKF_LOGIN_REQUIRED) != 0;
      token.pin_count_low = (slot.info.flags & CKF_USER_PIN_COUNT_LOW) != 0;
      token.pin_final_try = (slot.info.flags & CKF_USER_PIN_FINAL_TRY) != 0;
      tokens.push_back(std::move(token));
    }
  }
  return tokens;
}

std::optional<std::vector<TokenKey>> TokenKeys(const TokenRef& ref) {
  auto token = OpenToken::Open(ref);
  if (token == nullptr) return std::nullopt;
  const CK_OBJECT_CLASS private_class = CKO_PRIVATE_KEY;
  const CK_KEY_TYPE rsa = CKK_RSA;
  const std::vector<CK_ATTRIBUTE> filter = {Attr(CKA_CLASS, &private_class, sizeof private_class),
                                            Attr(CKA_KEY_TYPE, &rsa, sizeof rsa)};
  auto keys = Find(*token, filter);
  if (!keys) return std::nullopt;
  // A token that hides its private objects until a login shows none before it.
  if (keys->empty()) {
    CK_SESSION_INFO state;
    CK_TOKEN_INFO info;
    if (token->f()->C_GetSessionInfo(token->session(), &state) == CKR_OK &&
        state.state == CKS_RW_PUBLIC_SESSION &&
        token->f()->C_GetTokenInfo(state.slotID, &info) == CKR_OK &&
        (info.flags & CKF_LOGIN_REQUIRED) != 0) {
      const CK_OBJECT_CLASS public_class = CKO_PUBLIC_KEY;
      auto halves = Find(*token, {Attr(CKA_CLASS, &public_class, sizeof public_class),
                                  Attr(CKA_KEY_TYPE, &rsa, sizeof rsa)});
      if (!halves) return std::nullopt;
      if (!halves->empty()) {
        if (!token->Login()) return std::nullopt;
        keys = Find(*token, filter);
        if (!keys) return std::nullopt;
      }
    }
  }
  std::vector<TokenKey> result;
  for (CK_OBJECT_HANDLE key : *keys) {
    auto described = Describe(*token, key);
    if (!described) return std::nullopt;
    result.push_back(std::move(*described));
  }
  return result;
}

std::optional<std::vector<TokenCertificate>> TokenCertificates(const TokenRef& ref) {
  auto token = OpenToken::Open(ref);
  if (token == nullptr) return std::nullopt;
  const CK_OBJECT_CLASS cert_class = CKO_CERTIFICATE;
  const CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  auto certs = Find(*token, {Attr(CKA_CLASS, &cert_class, sizeof cert_class),
                             Attr(CKA_CERTIFICATE_TYPE, &x509, sizeof x509)});
  if (!certs) return std::nullopt;
  std::vector<TokenCertificate> result;
  for (CK_OBJECT_HANDLE cert : *certs) {
    TokenCertificate entry;
    auto der = ReadBytes(*token, cert, CKA_VALUE);
    auto id = ReadBytes(*token, cert, CKA_ID);
    auto label = ReadBytes(*token, cert, CKA_LABEL);
    if (!der || !id || !label) return std::nullopt;
    entry.der = std::move(*der);
    entry.id = std::move(*id);
    entry.label.assign(label->begin(), label->end());
    if (!entry.id.empty()) {
      for (const CK_OBJECT_CLASS key_class : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        auto keys = Find(*token, {Attr(CKA_CLASS, &key_class, sizeof key_class),
                                  Attr(CKA_ID, entry.id.data(), entry.id.size())});
        if (!keys) return std::nullopt;
        if (!keys->empty()) {
          entry.has_key = true;
          break;
        }
      }
    }
    result.push_back(std::move(entry));
  }
  return result;
}

std::optional<TokenKey> GenerateTokenKey(const TokenRef& ref, uint32_t bits,
                                         const std::string& label) {
  if (bits < kMinKeyBits || bits > kMaxKeyBits || bits % 8 != 0) {
    return Fail(platform_error::kInvalidParameter);
  }
  auto token = OpenToken::Open(ref);
  if (token == nullptr || !token->Login()) return std::nullopt;

  const CK_BBOOL yes = CK_TRUE;
  const CK_BBOOL no = CK_FALSE;
  const CK_ULONG modulus_bits = bits;
  const uint8_t exponent[] = {0x01, 0x00, 0x01};
  const std::vector<CK_ATTRIBUTE> public_template = {
      Attr(CKA_TOKEN, &yes, sizeof yes),
      Attr(CKA_PRIVATE, &no, sizeof no),
      Attr(CKA_VERIFY, &yes, sizeof yes),
      Attr(CKA_ENCRYPT, &yes, sizeof yes),
      Attr(CKA_MODULUS_BITS, &modulus_bits, sizeof modulus_bits),
      Attr(CKA_PUBLIC_EXPONENT, exponent, sizeof exponent),
      Attr(CKA_LABEL, label.data(), label.size())};
  const std::vector<CK_ATTRIBUTE> private_template = {
      Attr(CKA_TOKEN, &yes, sizeof yes),          Attr(CKA_PRIVATE, &yes, sizeof yes),
      Attr(CKA_SENSITIVE, &yes, sizeof yes),      Attr(CKA_EXTRACTABLE, &no, sizeof no),
      Attr(CKA_SIGN, &yes, sizeof yes),           Attr(CKA_DECRYPT, &yes, sizeof yes),
      Attr(CKA_LABEL, label.data(), label.size())};
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE private_key = CK_INVALID_HANDLE;
  CK_RV rv = token->f()->C_GenerateKeyPair(
      token->session(), &mechanism, const_cast<CK_ATTRIBUTE*>(public_template.data()),
      public_template.size(), const_cast<CK_ATTRIBUTE*>(private_template.data()),
      private_template.size(), &public_key, &private_key);
  if (rv != CKR_OK) return token->Failed(rv);

  // The pair is named by the SHA-1 hash of its modulus; a pair that cannot be named is removed.
  auto discard = [&]() {
    token->f()->C_DestroyObject(token->session(), private_key);
    token->f()->C_DestroyObject(token->session(), public_key);
  };
  auto modulus = ReadBytes(*token, public_key, CKA_MODULUS);
  std::optional<std::vector<uint8_t>> id;
  if (modulus) id = Sha1(*modulus);
  if (!id) {
    discard();
    return Fail(card_error::kCardFailure);
  }
  const CK_ATTRIBUTE named = Attr(CKA_ID, id->data(), id->size());
  for (CK_OBJECT_HANDLE object : {public_key, private_key}) {
    rv = token->f()->C_SetAttributeValue(token->session(), object,
                                         const_cast<CK_ATTRIBUTE*>(&named), 1);
    if (rv != CKR_OK) {
      discard();
      return token->Failed(rv);
    }
  }
  auto described = Describe(*token, private_key);
  if (!described) discard();
  return described;
}

std::optional<std::vector<uint8_t>> SignWithTokenKey(const TokenRef& ref,
                                                     std::span<const uint8_t> id,
                                                     std::span<const uint8_t> digest_info) {
  auto token = OpenToken::Open(ref);
  if (token == nullptr || !token->Login()) return std::nullopt;
  auto key = PrivateKey(*token, id);
  if (!key) return std::nullopt;
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_RV rv = token->f()->C_SignInit(token->session(), &mechanism, *key);
  if (rv != CKR_OK) return token->Failed(rv);
  auto* data = const_cast<CK_BYTE*>(digest_info.data());
  CK_ULONG length = 0;
  rv = token->f()->C_Sign(token->session(), data, digest_info.size(), nullptr, &length);
  if (rv != CKR_OK) return token->Failed(rv);
  if (length == 0 || length > kMaxKeyBits / 8) {
    // The operation is still active; a call with a null output never ends it, a failed one does.
    CK_ULONG none = 0;
    CK_BYTE scrap = 0;
    token->f()->C_Sign(token->session(), data, digest_info.size(), &scrap, &none);
    return Fail(card_error::kCardFailure);
  }
  std::vector<uint8_t> signature(length);
  rv = token->f()->C_Sign(token->session(), data, digest_info.size(), signature.data(), &length);
  if (rv != CKR_OK) return token->Failed(rv);
  if (length > signature.size()) return Fail(card_error::kCardFailure);
  signature.resize(length);
  return signature;
}

std::optional<SecretBytes> DecryptWithTokenKey(const TokenRef& ref, std::span<const uint8_t> id,
                                               std::span<const uint8_t> block) {
  auto token = OpenToken::Open(ref);
  if (token == nullptr || !token->Login()) return std::nullopt;
  auto key = PrivateKey(*token, id);
  if (!key) return std::nullopt;
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_RV rv = token->f()->C_DecryptInit(token->session(), &mechanism, *key);
  if (rv != CKR_OK) return token->Failed(rv);
  // The content of a PKCS #1 v1.5 block is shorter than the block.
  SecretBytes plain(block.size());
  CK_ULONG length = plain.size();
  rv = token->f()->C_Decrypt(token->session(), const_cast<CK_BYTE*>(block.data()), block.size(),
                             plain.data(), &length);
  if (rv != CKR_OK) return token->Failed(rv);
  if (length > plain.size()) return Fail(card_error::kCardFailure);
  plain.Truncate(length);
  return plain;
}

bool StoreTokenCertificate(const TokenRef& ref, std::span<const uint8_t> id,
                           const std::string& label, std::span<const uint8_t> der) {
  // Subject, issuer and serial number are attributes other programs search by.
  const OpensslErrorScope scope;
  const unsigned char* cursor = der.data();
  const UniqueX509 cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (cert == nullptr || cursor != der.data() + der.size()) {
    return Refused(Fail(platform_error::kInvalidParameter));
  }
  auto encode = [](auto* value, auto i2d) {
    unsigned char* out = nullptr;
    const int length = i2d(value, &out);
    std::vector<uint8_t> bytes;
    if (length > 0) bytes.assign(out, out + length);
    OPENSSL_free(out);
    return bytes;
  };
  const auto subject = encode(X509_get_subject_name(cert.get()), i2d_X509_NAME);
  const auto issuer = encode(X509_get_issuer_name(cert.get()), i2d_X509_NAME);
  const auto serial = encode(X509_get0_serialNumber(cert.get()), i2d_ASN1_INTEGER);
  if (subject.empty() || issuer.empty() || serial.empty()) {
    return Refused(Fail(card_error::kCardFailure));
  }

  auto token = OpenToken::Open(ref);
  if (token == nullptr || !token->Login()) return false;
  const CK_OBJECT_CLASS cert_class = CKO_CERTIFICATE;
  const CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  const CK_BBOOL yes = CK_TRUE;
  const CK_BBOOL no = CK_FALSE;
  auto old = Find(*token, {Attr(CKA_CLASS, &cert_class, sizeof cert_class),
                           Attr(CKA_ID, id.data(), id.size())});
  if (!old) return false;
  const std::vector<CK_ATTRIBUTE> object = {Attr(CKA_CLASS, &cert_class, sizeof cert_class),
                                            Attr(CKA_CERTIFICATE_TYPE, &x509, sizeof x509),
                                            Attr(CKA_TOKEN, &yes, sizeof yes),
                                            Attr(CKA_PRIVATE, &no, sizeof no),
                                            Attr(CKA_ID, id.data(), id.size()),
                                            Attr(CKA_LABEL, label.data(), label.size()),
                                            Attr(CKA_SUBJECT, subject.data(), subject.size()),
                                            Attr(CKA_ISSUER, issuer.data(), issuer.size()),
                                            Attr(CKA_SERIAL_NUMBER, serial.data(), serial.size()),
                                            Attr(CKA_VALUE, der.data(), der.size())};
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  // The new certificate is made before the old ones go, so a failure loses nothing.
  CK_RV rv = token->f()->C_CreateObject(token->session(), const_cast<CK_ATTRIBUTE*>(object.data()),
                                        object.size(), &created);
  if (rv != CKR_OK) return Refused(token->Failed(rv));
  for (CK_OBJECT_HANDLE handle : *old) {
    rv = token->f()->C_DestroyObject(token->session(), handle);
    if (rv != CKR_OK) return Refused(token->Failed(rv));
  }
  return true;
}

bool DeleteTokenKey(const TokenRef& ref, std::span<const uint8_t> id) {
  auto token = OpenToken::Open(ref);
  if (token == nullptr || !token->Login()) return false;
  const CK_OBJECT_CLASS classes[] = {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE};
  bool any = false;
  for (const CK_OBJECT_CLASS& object_class : classes) {
    auto objects = Find(*token, {Attr(CKA_CLASS, &object_class, sizeof object_class),
                                 Attr(CKA_ID, id.data(), id.size())});
    if (!objects) return false;
    for (CK_OBJECT_HANDLE handle : *objects) {
      const CK_RV rv = token->f()->C_DestroyObject(token->session(), handle);
      if (rv != CKR_OK) return Refused(token->Failed(rv));
      any = true;
    }
  }
  return any || Refused(Fail(platform_error::kBadKeyset));
}

void EndTokenUse() noexcept {
  if (!modules_loaded) return;  // nothing was ever logged in
  try {
    for (const auto& module : Modules().modules()) {
      const std::lock_guard<std::mutex> lock(module->mutex);
      for (auto& [slot, kept] : module->kept) {
        if (!kept.logout_after_use) continue;
        module->functions->C_Logout(kept.session);
        kept.logout_after_use = false;
      }
    }
  } catch (...) {
    // Only a lock can fail here; the login then lasts until the next call ends.
  }
}

void ForgetTokenPins() {
  {
    const std::lock_guard<std::mutex> lock(prompt_mutex);
    kept_pins.clear();  // each SecretString wipes itself
  }
  if (!modules_loaded) return;  // nothing was ever logged in
  for (const auto& module : Modules().modules()) {
    const std::lock_guard<std::mutex> lock(module->mutex);
    for (const auto& [slot, kept] : module->kept) module->functions->C_Logout(kept.session);
  }
}

}  // namespace kelvadrome
