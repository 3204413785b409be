// Late binding for ICAPI: method names to DISPIDs, automation arguments to the parameters of the
// method table, and IDispatch::Invoke on top of the interface's own virtual slots, so that a call
// by DISPID goes through exactly the code a call through the vtable runs.
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
  const char16_t* text = nullptr;  // points into the caller's VARIANT or into |storage|
  std::u16string storage;
  int32_t number = 0;
};

// ArgumentToInteger converts |value| as a dispatch host would for a `long` parameter: integer
// types, booleans (true is -1), reals with an integral value, decimal text with an optional sign
// and surrounding blanks, EMPTY and NULL as 0; VT_BYREF forms are followed (one VARIANT level).
// Returns S_OK, DISP_E_OVERFLOW for a value outside 32 bits, DISP_E_TYPEMISMATCH otherwise.
HRESULT ArgumentToInteger(const VARIANT& value, int32_t* number);

// ArgumentToText converts |value| for a text parameter: a BSTR as it is (|argument->text| points
// at it; null stays null, which the workers read as empty text), numbers and booleans as their
// decimal text (reals with up to 15 significant digits), EMPTY and NULL as empty text. Returns
// S_OK or DISP_E_TYPEMISMATCH. Throws std::bad_alloc only.
HRESULT ArgumentToText(const VARIANT& value, AutomationArgument* argument);

// InvokeCapi does IDispatch::Invoke for |target|: it finds the method of |dispid|, converts the
// arguments (given last first, as automation passes them) and calls the method's virtual slot,
// then stores the result in |result| (VT_BSTR, owned by the caller, or VT_I4) unless |result| is
// null. Returns the slot's HRESULT, or without calling anything: DISP_E_MEMBERNOTFOUND (unknown
// DISPID, or |flags| without DISPATCH_METHOD), DISP_E_UNKNOWNINTERFACE (|riid| not IID_NULL),
// E_INVALIDARG (null |params|), DISP_E_NONAMEDARGS, DISP_E_BADPARAMCOUNT, or the conversion's
// DISP_E_TYPEMISMATCH / DISP_E_OVERFLOW with |*arg_error| (when given) set to the index in
// |params->rgvarg| of the argument that failed. Never throws: E_OUTOFMEMORY when memory runs out.
HRESULT InvokeCapi(ICAPI& target, DISPID dispid, REFIID riid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, UINT* arg_error);

}  // namespace kelvadrome
