// A PKCS #11 module for tests that passes every call to SoftHSM2 and adds what a real card has and
// SoftHSM2 lacks, chosen by the token's label:
//   "locking ..."  the user PIN locks after three wrong PINs in a row (CKR_PIN_LOCKED from then
//                  on, CKF_USER_PIN_LOCKED set); CKF_USER_PIN_COUNT_LOW after one wrong PIN,
//                  CKF_USER_PIN_FINAL_TRY after two.
//   "pin pad ..."  the reader has a PIN pad (CKF_PROTECTED_AUTHENTICATION_PATH): C_Login without a
//                  PIN takes what the person typed on the pad from KELVADROME_TEST_PIN_PAD, and
//                  "cancel" there stands for the Cancel key (CKR_FUNCTION_CANCELED).
// Other tokens behave as SoftHSM2 makes them. The module to wrap is named by
// KELVADROME_TEST_INNER_MODULE. Being a module itself, this file speaks PKCS #11 directly.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace {

CK_FUNCTION_LIST inner;    // SoftHSM2's functions
CK_FUNCTION_LIST wrapped;  // what this module hands out
std::mutex state_mutex;
std::map<std::string, int> wrong_in_a_row;  // by token label

std::string LabelOf(const CK_TOKEN_INFO& info) {
  std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
  label.erase(label.find_last_not_of(' ') + 1);
  return label;
}

bool Starts(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

constexpr int kTries = 3;

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
  const CK_RV rv = inner.C_GetTokenInfo(slot, info);
  if (rv != CKR_OK) return rv;
  const std::string label = LabelOf(*info);
  if (Starts(label, "locking")) {
    info->flags &= ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
    const std::lock_guard<std::mutex> lock(state_mutex);
    const int wrong = wrong_in_a_row[label];
    if (wrong >= kTries) {
      info->flags |= CKF_USER_PIN_LOCKED;
    } else if (wrong == kTries - 1) {
      info->flags |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
    } else if (wrong > 0) {
      info->flags |= CKF_USER_PIN_COUNT_LOW;
    }
  } else if (Starts(label, "pin pad")) {
    info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
  }
  return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG pin_length) {
  CK_SESSION_INFO session_info;
  CK_TOKEN_INFO token_info;
  if (user != CKU_USER || inner.C_GetSessionInfo(session, &session_info) != CKR_OK ||
      inner.C_GetTokenInfo(session_info.slotID, &token_info) != CKR_OK) {
    return inner.C_Login(session, user, pin, pin_length);
  }
  const std::string label = LabelOf(token_info);
  if (Starts(label, "pin pad") && pin == nullptr) {
    const char* typed = std::getenv("KELVADROME_TEST_PIN_PAD");
    if (typed == nullptr || std::string_view(typed) == "cancel") return CKR_FUNCTION_CANCELED;
    std::string keys(typed);
    return inner.C_Login(session, user, reinterpret_cast<CK_UTF8CHAR*>(keys.data()), keys.size());
  }
  if (!Starts(label, "locking")) return inner.C_Login(session, user, pin, pin_length);
  {
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (wrong_in_a_row[label] >= kTries) return CKR_PIN_LOCKED;
  }
  const CK_RV rv = inner.C_Login(session, user, pin, pin_length);
  const std::lock_guard<std::mutex> lock(state_mutex);
  if (rv == CKR_PIN_INCORRECT) {
    ++wrong_in_a_row[label];
  } else if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
    wrong_in_a_row[label] = 0;
  }
  return rv;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR list) {
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  static const CK_RV loaded = [] {
    const char* path = std::getenv("KELVADROME_TEST_INNER_MODULE");
    void* library = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    auto* get = library != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(
                                         dlsym(library, "C_GetFunctionList"))
                                   : nullptr;
    CK_FUNCTION_LIST* functions = nullptr;
    if (get == nullptr || get(&functions) != CKR_OK || functions == nullptr) {
      return CKR_GENERAL_ERROR;
    }
    inner = *functions;
    wrapped = *functions;
    wrapped.C_GetTokenInfo = GetTokenInfo;
    wrapped.C_Login = Login;
    return CKR_OK;
  }();
  if (loaded != CKR_OK) return loaded;
  *list = &wrapped;
  return CKR_OK;
}
