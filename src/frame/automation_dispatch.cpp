#include "frame/automation_dispatch.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/bstr.h"

namespace kelvadrome {

// The public declaration of ICAPI carries its own list of slots (a public header cannot include
// the method table); the two must agree row for row, in names, DISPIDs and parameter types.
namespace {

struct PublicSlot {
  std::string_view name;
  DISPID dispid;
};

constexpr PublicSlot kPublicSlots[] = {
#define KELVADROME_PUBLIC_SLOT(name, dispid, parameters) {#name, dispid},
    KELVADROME_ICAPI_METHODS(KELVADROME_PUBLIC_SLOT)
#undef KELVADROME_PUBLIC_SLOT
};

constexpr bool PublicSlotsFollowTheTable() {
  if (std::size(kPublicSlots) != kMethodCount) return false;
  for (size_t i = 0; i < kMethodCount; ++i) {
    if (kPublicSlots[i].name != kMethods[i].name || kPublicSlots[i].dispid != kMethods[i].dispid) {
      return false;
    }
  }
  return true;
}

static_assert(PublicSlotsFollowTheTable(),
              "KELVADROME_ICAPI_METHODS must list the rows of KELVADROME_METHODS in their order");

#define KELVADROME_CHECK_SLOT(name_, export_, dispid_, class_, result_, params_, args_)    \
  static_assert(std::is_same_v<decltype(&ICAPI::name_),                                    \
                               HRESULT(ICAPI::*) KELVADROME_APPEND_RET(result_, params_)>, \
                "ICAPI::" #name_ " must take the parameters of its table row and then Ret");
KELVADROME_METHODS(KELVADROME_CHECK_SLOT)
#undef KELVADROME_CHECK_SLOT

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool EqualIgnoringCase(std::u16string_view wide, std::string_view narrow) {
  if (wide.size() != narrow.size()) return false;
  for (size_t i = 0; i < wide.size(); ++i) {
    if (FoldAscii(wide[i]) != FoldAscii(static_cast<unsigned char>(narrow[i]))) return false;
  }
  return true;
}

// A VARIANT's value as the conversions see it, read through VT_BYREF.
struct Scalar {
  enum class Kind { kEmpty, kInteger, kReal, kText } kind = Kind::kEmpty;
  bool negative = false;  // kInteger: sign and magnitude, so that every 64-bit value fits
  uint64_t magnitude = 0;
  double real = 0;
  std::u16string_view text;  // kText: every character of the BSTR
};

template <typename T>
Scalar IntegerScalar(T value) {
  Scalar scalar;
  scalar.kind = Scalar::Kind::kInteger;
  if constexpr (std::is_signed_v<T>) {
    scalar.negative = value < 0;
    scalar.magnitude =
        scalar.negative ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  } else {
    scalar.magnitude = value;
  }
  return scalar;
}

Scalar RealScalar(double value) {
  Scalar scalar;
  scalar.kind = Scalar::Kind::kReal;
  scalar.real = value;
  return scalar;
}

// ReadScalar reads |value|; false for a type no parameter accepts. A VT_BYREF needs a pointer;
// a VARIANT by reference (as script engines pass variables) is followed once.
bool ReadScalar(const VARIANT& value, bool followed, Scalar* out) {
  if ((value.vt & VT_ARRAY) != 0) return false;
  const bool by_ref = (value.vt & VT_BYREF) != 0;
  const VARTYPE base = value.vt & ~VT_BYREF;
  if (by_ref && value.byref == nullptr) return false;
  switch (base) {
    case VT_VARIANT:
      if (!by_ref || followed) return false;
      return ReadScalar(*value.pvarVal, true, out);
    case VT_EMPTY:
    case VT_NULL:
      if (by_ref) return false;
      *out = Scalar{};
      return true;
    case VT_I1:
      *out = IntegerScalar(static_cast<signed char>(by_ref ? *value.pcVal : value.cVal));
      return true;
    case VT_UI1:
      *out = IntegerScalar(by_ref ? *value.pbVal : value.bVal);
      return true;
    case VT_I2:
      *out = IntegerScalar(by_ref ? *value.piVal : value.iVal);
      return true;
    case VT_UI2:
      *out = IntegerScalar(by_ref ? *value.puiVal : value.uiVal);
      return true;
    case VT_I4:
      *out = IntegerScalar(by_ref ? *value.plVal : value.lVal);
      return true;
    case VT_UI4:
      *out = IntegerScalar(by_ref ? *value.pulVal : value.ulVal);
      return true;
    case VT_INT:
      *out = IntegerScalar(by_ref ? *value.pintVal : value.intVal);
      return true;
    case VT_UINT:
      *out = IntegerScalar(by_ref ? *value.puintVal : value.uintVal);
      return true;
    case VT_I8:
      *out = IntegerScalar(by_ref ? *value.pllVal : value.llVal);
      return true;
    case VT_UI8:
      *out = IntegerScalar(by_ref ? *value.pullVal : value.ullVal);
      return true;
    case VT_BOOL:
      *out = IntegerScalar(by_ref ? *value.pboolVal : value.boolVal);
      return true;
    case VT_R4:
      *out = RealScalar(by_ref ? *value.pfltVal : value.fltVal);
      return true;
    case VT_R8:
      *out = RealScalar(by_ref ? *value.pdblVal : value.dblVal);
      return true;
    case VT_BSTR: {
      // A BSTR is as long as its recorded length, zero characters included.
      const BSTR text = by_ref ? *value.pbstrVal : value.bstrVal;
      *out = Scalar{};
      out->kind = Scalar::Kind::kText;
      if (text != nullptr) out->text = std::u16string_view(text, BstrLength(text));
      return true;
    }
    default:
      return false;
  }
}

HRESULT Narrow(bool negative, uint64_t magnitude, int32_t* number) {
  if (negative ? magnitude > uint64_t{1} << 31 : magnitude > INT32_MAX) return DISP_E_OVERFLOW;
  *number =
      negative ? static_cast<int32_t>(uint64_t{0} - magnitude) : static_cast<int32_t>(magnitude);
  return S_OK;
}

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// ParseDecimal reads optional blanks, an optional sign, decimal digits and optional blanks, and
// nothing else: the whole of |text|.
HRESULT ParseDecimal(std::u16string_view text, int32_t* number) {
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  const bool negative = at < text.size() && text[at] == u'-';
  if (at < text.size() && (text[at] == u'-' || text[at] == u'+')) ++at;
  if (at == text.size() || !IsDigit(text[at])) return DISP_E_TYPEMISMATCH;
  uint64_t magnitude = 0;
  for (; at < text.size() && IsDigit(text[at]); ++at) {
    // Beyond 32 bits the exact value no longer matters, only that it is too large.
    const auto digit = static_cast<uint64_t>(text[at] - u'0');
    if (magnitude <= UINT32_MAX) magnitude = magnitude * 10 + digit;
  }
  while (at < text.size() && IsBlank(text[at])) ++at;
  if (at != text.size()) return DISP_E_TYPEMISMATCH;
  return Narrow(negative, magnitude, number);
}

}  // namespace

const MethodDescriptor* FindMethodByDispid(DISPID dispid) {
  for (const auto& method : kMethods) {
    if (method.dispid == dispid) return &method;
  }
  return nullptr;
}

const MethodDescriptor* FindMethodIgnoringCase(std::u16string_view name) {
  for (const auto& method : kMethods) {
    if (EqualIgnoringCase(name, method.name)) return &method;
  }
  return nullptr;
}

HRESULT CapiIdsOfNames(REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (names == nullptr || ids == nullptr) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const MethodDescriptor* method =
      names[0] != nullptr ? FindMethodIgnoringCase(std::u16string_view(names[0])) : nullptr;
  if (method == nullptr) return DISP_E_UNKNOWNNAME;
  ids[0] = method->dispid;
  // The methods take no named arguments, so no parameter name has a DISPID.
  return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT ArgumentToInteger(const VARIANT& value, int32_t* number) {
  Scalar scalar;
  if (!ReadScalar(value, false, &scalar)) return DISP_E_TYPEMISMATCH;
  switch (scalar.kind) {
    case Scalar::Kind::kEmpty:
      *number = 0;
      return S_OK;
    case Scalar::Kind::kInteger:
      return Narrow(scalar.negative, scalar.magnitude, number);
    case Scalar::Kind::kReal: {
      const double real = scalar.real;
      if (std::isnan(real) || std::trunc(real) != real) return DISP_E_TYPEMISMATCH;
      if (real < INT32_MIN || real > INT32_MAX) return DISP_E_OVERFLOW;
      *number = static_cast<int32_t>(real);
      return S_OK;
    }
    case Scalar::Kind::kText:
      return ParseDecimal(scalar.text, number);
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ArgumentToText(const VARIANT& value, AutomationArgument* argument) {
  Scalar scalar;
  if (!ReadScalar(value, false, &scalar)) return DISP_E_TYPEMISMATCH;
  switch (scalar.kind) {
    case Scalar::Kind::kEmpty:
      argument->text = {};
      return S_OK;
    case Scalar::Kind::kText:
      argument->text = scalar.text;
      return S_OK;
    case Scalar::Kind::kInteger:
    case Scalar::Kind::kReal: {
      if (scalar.kind == Scalar::Kind::kReal && !std::isfinite(scalar.real)) {
        return DISP_E_TYPEMISMATCH;
      }
      char digits[40];
      char* end = digits;
      if (scalar.kind == Scalar::Kind::kInteger) {
        if (scalar.negative) *end++ = '-';
        end = std::to_chars(end, std::end(digits), scalar.magnitude).ptr;
      } else {
        // Locale-free, 15 significant digits, exponent as "E+20".
        end = std::to_chars(digits, std::end(digits), scalar.real, std::chars_format::general, 15)
                  .ptr;
      }
      argument->storage.assign(digits, end);
      for (char16_t& c : argument->storage) {
        if (c == u'e') c = u'E';
      }
      argument->text = argument->storage;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT InvokeCapi(CapiMethodRunner& target, DISPID dispid, REFIID riid, WORD flags,
                   DISPPARAMS* params, VARIANT* result, UINT* arg_error) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  const MethodDescriptor* method = FindMethodByDispid(dispid);
  if (method == nullptr || (flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs != method->parameter_count) return DISP_E_BADPARAMCOUNT;
  if (params->cArgs != 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  try {
    std::array<AutomationArgument, std::tuple_size_v<decltype(method->parameters)>> arguments;
    for (UINT i = 0; i < params->cArgs; ++i) {
      // Automation passes the arguments last first.
      const UINT position = params->cArgs - 1 - i;
      const VARIANT& value = params->rgvarg[position];
      const HRESULT converted = method->parameters[i] == ValueKind::kText
                                    ? ArgumentToText(value, &arguments[i])
                                    : ArgumentToInteger(value, &arguments[i].number);
      if (FAILED(converted)) {
        if (arg_error != nullptr) *arg_error = position;
        return converted;
      }
    }
    AutomationResult slot_result;
    const HRESULT called = target.RunMethod(method->id, arguments.data(), slot_result);
    if (FAILED(called)) return called;
    if (result == nullptr) {
      FreeBstr(slot_result.text);
      return called;
    }
    std::memset(result, 0, sizeof *result);
    if (method->result == ValueKind::kText) {
      result->vt = VT_BSTR;
      result->bstrVal = slot_result.text;
    } else {
      result->vt = VT_I4;
      result->lVal = slot_result.number;
    }
    return called;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace kelvadrome
