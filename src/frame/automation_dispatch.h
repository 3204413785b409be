// Late binding for ICAPI: method names to DISPIDs, automation arguments to the parameters of the
// method table, and IDispatch::Invoke. A call by DISPID runs the same worker under the same guard
// as a call through the method's virtual slot, but it hands the worker each text argument whole:
// a slot's text parameter is a zero-terminated string, while a BSTR argument is as long as its
// recorded length and may hold zero characters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/method_table.h"
#include "kelvadrome/automation.h"

// KELVADROME_APPEND_RET(Result, (parameters)) is the parameter list of the ICAPI slot of a method
// table row: the row's parameters followed by `Result* Ret`.
#define KELVADROME_UNPACK_PARAMETERS(...) __VA_ARGS__
#define KELVADROME_APPEND_RET_LIST(R, ...) (__VA_ARGS__ __VA_OPT__(, ) R * Ret)
#define KELVADROME_APPEND_RET_EXPANDED(R, ...) KELVADROME_APPEND_RET_LIST(R, __VA_ARGS__)
#define KELVADROME_APPEND_RET(R, parameters) \
  KELVADROME_APPEND_RET_EXPANDED(R, KELVADROME_UNPACK_PARAMETERS parameters)

namespace kelvadrome {

// FindMethodByDispid returns the method with dispatch identifier |dispid|, or null.
const MethodDescriptor* FindMethodByDispid(DISPID dispid);

// FindMethodIgnoringCase returns the method named |name|, letters compared without regard to case
// (as automation names are), or null.
const MethodDescriptor* FindMethodIgnoringCase(std::u16string_view name);

// CapiIdsOfNames does IDispatch::GetIDsOfNames for ICAPI. |names[0]| is a method name; further
// names would be its parameters, which are not accepted by name. Every entry of |ids| is set:
// the method's DISPID, or DISPID_UNKNOWN. Returns S_OK when all names are known;
// DISP_E_UNKNOWNNAME otherwise, DISP_E_UNKNOWNINTERFACE when |riid| is not IID_NULL, E_INVALIDARG
// for null arrays.
HRESULT CapiIdsOfNames(REFIID riid, LPOLESTR* names, UINT count, DISPID* ids);

// An argument converted to what a parameter of the method table takes.
struct AutomationArgument {
  // The whole text: the characters of the caller's BSTR by its recorded length (zero characters
  // included; empty for a null BSTR), or |storage|.
  std::u16string_view text;
  std::u16string storage;
  int32_t number = 0;
};

// Where a method called for Invoke leaves its result: a new BSTR the caller owns, or a number.
struct AutomationResult {
  BSTR text = nullptr;
  LONG number = 0;
};

// CapiMethodRunner is the object InvokeCapi calls into: RunMethod runs |method| with |arguments|
// (one per parameter of its table row, in parameter order) through the same guard as the method's
// ICAPI slot, leaves the result in |result| and returns the slot's HRESULT.
class CapiMethodRunner {
 public:
  virtual HRESULT RunMethod(MethodId method, const AutomationArgument* arguments,
                            AutomationResult& result) = 0;

 protected:
  ~CapiMethodRunner() = default;
};

// ArgumentToInteger converts |value| as a dispatch host would for a `long` parameter: integer
// types, booleans (true is -1), reals with an integral value, decimal text with an optional sign
// and surrounding blanks (the whole BSTR: a zero character in it is no blank), EMPTY and NULL as
// 0; VT_BYREF forms are followed (one VARIANT level).
// Returns S_OK, DISP_E_OVERFLOW for a value outside 32 bits, DISP_E_TYPEMISMATCH otherwise.
HRESULT ArgumentToInteger(const VARIANT& value, int32_t* number);

// ArgumentToText converts |value| for a text parameter: a BSTR as it is (|argument->text| views
// all of its characters; a null BSTR is empty text), numbers and booleans as their decimal text
// (reals with up to 15 significant digits), EMPTY and NULL as empty text. Returns S_OK or
// DISP_E_TYPEMISMATCH. Throws std::bad_alloc only.
HRESULT ArgumentToText(const VARIANT& value, AutomationArgument* argument);

// InvokeCapi does IDispatch::Invoke for |target|: it finds the method of |dispid|, converts the
// arguments (given last first, as automation passes them) and runs the method, then stores the
// result in |result| (VT_BSTR, owned by the caller, or VT_I4) unless |result| is null. Returns
// the method's HRESULT, or without calling anything: DISP_E_MEMBERNOTFOUND (unknown DISPID, or
// |flags| without DISPATCH_METHOD), DISP_E_UNKNOWNINTERFACE (|riid| not IID_NULL),
// E_INVALIDARG (null |params|), DISP_E_NONAMEDARGS, DISP_E_BADPARAMCOUNT, or the conversion's
// DISP_E_TYPEMISMATCH / DISP_E_OVERFLOW with |*arg_error| (when given) set to the index in
// |params->rgvarg| of the argument that failed. Never throws: E_OUTOFMEMORY when memory runs out.
HRESULT InvokeCapi(CapiMethodRunner& target, DISPID dispid, REFIID riid, WORD flags,
                   DISPPARAMS* params, VARIANT* result, UINT* arg_error);

}  // namespace kelvadrome
