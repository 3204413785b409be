// GuardedCall: the one guard between a caller outside the library and a CertComponent worker.
// Both the flat exports and the automation slots run their workers through it, so no exception
// ever crosses the C or automation boundary and a failure always looks the same to the caller.
//
// A worker returns int32_t or a UTF-16 text. A text result is copied into a new automation string
// and the worker's copy is wiped (it may hold a secret, such as an exported key). When the worker
// throws, the component records 5003 for an allocation failure and 5001 for anything else, and
// the result is an empty automation string, or the error code just recorded. After every call a
// token login the person did not ask to keep is ended (EndTokenUse).
//
// The guard does not lock: each surface holds its own lock around the call.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <type_traits>

#include "frame/cert_component.h"
#include "platform/bstr.h"
#include "platform/error_codes.h"
#include "platform/pkcs11_tokens.h"
#include "platform/secrets.h"

namespace kelvadrome {

template <typename Result, typename Work>
Result GuardedCall(CertComponent& component, Work&& work) {
  // A token login the person did not ask to keep ends with the call, whatever its outcome.
  struct TokenUse {
    ~TokenUse() { EndTokenUse(); }
  } token_use;
  try {
    if constexpr (std::is_same_v<Result, Bstr>) {
      std::u16string text = work(component);
      Bstr result = AllocBstr(text);
      SecureWipe(text.data(), text.size() * sizeof(char16_t));
      return result;
    } else {
      return work(component);
    }
  } catch (const std::bad_alloc&) {
    component.RecordFailure(Code(ErrorCode::kOutOfMemory));
  } catch (...) {
    component.RecordFailure(Code(ErrorCode::kGeneralError));
  }
  if constexpr (std::is_same_v<Result, Bstr>) {
    return AllocBstr(u"");
  } else {
    return component.error_state().errorCode;
  }
}

}  // namespace kelvadrome
