// The conversions IDispatch::Invoke applies to a caller's VARIANT arguments, on every value type a
// script or program can pass without a live object: integers of every width, reals (NaN and
// infinities included), booleans, errors, currency, dates, texts of any content, EMPTY and NULL,
// directly or by reference. Checks that each conversion answers with one of its documented
// results, and that a number it accepts, turned into text, converts back to the same number.
//
// Input: byte 0 picks the type, byte 1 bit 0 passes it by reference, bytes 2..9 are the value, the
// rest (as UTF-16 code units) is the text of a VT_BSTR.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/automation_dispatch.h"
#include "platform/bstr.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr VARTYPE kTypes[] = {VT_EMPTY, VT_NULL, VT_I2,    VT_I4,   VT_R4,   VT_R8,     VT_CY,
                              VT_DATE,  VT_BSTR, VT_ERROR, VT_BOOL, VT_I1,   VT_UI1,    VT_UI2,
                              VT_UI4,   VT_I8,   VT_UI8,   VT_INT,  VT_UINT, VT_DECIMAL};

// A BSTR freed when the holder goes.
struct OwnedBstr {
  explicit OwnedBstr(std::u16string_view text) : value(kelvadrome::AllocBstr(text)) {}
  ~OwnedBstr() { kelvadrome::FreeBstr(value); }
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;
  BSTR value;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  const VARTYPE type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
  const bool by_reference = (data[1] & 1) != 0;
  std::u16string text((size - 10) / 2, u'\0');
  std::memcpy(text.data(), data + 10, 2 * text.size());
  const OwnedBstr bstr(text);

  // The value as the type holds it; a reference points at this copy (a VARIANT for DECIMAL and
  // for the VARIANT-by-reference form, which takes the odd types).
  VARIANT direct{};
  direct.vt = type;
  std::memcpy(&direct.llVal, data + 2, 8);
  if (type == VT_DECIMAL) std::memcpy(&direct, data + 2, 8);  // DECIMAL fills the whole VARIANT
  if (type == VT_DECIMAL) direct.vt = VT_DECIMAL;
  if (type == VT_BSTR) direct.bstrVal = bstr.value;
  VARIANT argument = direct;
  BSTR referenced_bstr = bstr.value;
  if (by_reference) {
    if (type == VT_EMPTY || type == VT_NULL || type == VT_DECIMAL) {
      argument.vt = VT_BYREF | VT_VARIANT;
      argument.pvarVal = &direct;
    } else {
      argument.vt = static_cast<VARTYPE>(VT_BYREF | type);
      argument.byref = type == VT_BSTR ? static_cast<void*>(&referenced_bstr)
                                       : static_cast<void*>(&direct.llVal);
    }
  }

  int32_t number = 0;
  const HRESULT as_number = kelvadrome::ArgumentToInteger(argument, &number);
  Check(as_number == S_OK || as_number == DISP_E_OVERFLOW || as_number == DISP_E_TYPEMISMATCH);
  kelvadrome::AutomationArgument converted;
  const HRESULT as_text = kelvadrome::ArgumentToText(argument, &converted);
  Check(as_text == S_OK || as_text == DISP_E_TYPEMISMATCH);
  // A BSTR is taken whole, zero characters included.
  if (type == VT_BSTR && as_text == S_OK) Check(converted.text == text);

  // A number that is not text and not "nothing", accepted both ways, survives the trip through
  // its text.
  if (as_number == S_OK && as_text == S_OK && type != VT_BSTR && type != VT_EMPTY &&
      type != VT_NULL) {
    Check(!converted.text.empty());
    const OwnedBstr round(converted.text);
    VARIANT again{};
    again.vt = VT_BSTR;
    again.bstrVal = round.value;
    int32_t back = 0;
    Check(kelvadrome::ArgumentToInteger(again, &back) == S_OK);
    Check(back == number);
  }
  return 0;
}
