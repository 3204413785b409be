// The automation object as a client of the shared library sees it: objects made through the
// exported DllGetClassObject, called through their virtual slots and through IDispatch.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "frame/method_table.h"
#include "kelvadrome/automation.h"
#include "support/openssl_ca.h"
#include "support/test_support.h"

namespace {

using kelvadrome::Bstr;
using kelvadrome::testing::RunCommand;
using kelvadrome::testing::ScopedEnv;
using kelvadrome::testing::ShellQuote;
using kelvadrome::testing::TempDir;

// Holds one reference to an interface.
template <typename T>
class Ref {
 public:
  Ref() = default;
  ~Ref() { reset(); }
  Ref(Ref&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  void** out() {
    reset();
    return reinterpret_cast<void**>(&pointer_);
  }
  // Gives up the reference without releasing it.
  T* detach() { return std::exchange(pointer_, nullptr); }
  void reset() {
    if (pointer_ != nullptr) std::exchange(pointer_, nullptr)->Release();
  }

 private:
  T* pointer_ = nullptr;
};

Ref<IClassFactory> Factory() {
  Ref<IClassFactory> factory;
  EXPECT_EQ(DllGetClassObject(&CLSID_CAPI, &IID_IClassFactory, factory.out()), S_OK);
  return factory;
}

Ref<ICAPI> NewObject() {
  Ref<ICAPI> object;
  EXPECT_EQ(Factory()->CreateInstance(nullptr, IID_ICAPI, object.out()), S_OK);
  return object;
}

std::u16string Take(BSTR text) {
  std::u16string copy = text != nullptr ? std::u16string(text, SysStringLen(text)) : u"";
  SysFreeString(text);
  return copy;
}

LONG ErrorCode(ICAPI* object) {
  LONG code = -1;
  EXPECT_EQ(object->GetErrorCode(&code), S_OK);
  return code;
}

// VARIANT constructors; a BSTR made here is freed by Arguments or the test that made it.
VARIANT Of(VARTYPE type) {
  VARIANT value;
  std::memset(&value, 0, sizeof value);
  value.vt = type;
  return value;
}
VARIANT I4(LONG number) {
  VARIANT value = Of(VT_I4);
  value.lVal = number;
  return value;
}
VARIANT R8(double number) {
  VARIANT value = Of(VT_R8);
  value.dblVal = number;
  return value;
}
VARIANT Text(const char16_t* text) {
  VARIANT value = Of(VT_BSTR);
  value.bstrVal = SysAllocString(text);
  return value;
}
VARIANT ByRef(VARTYPE type, void* pointer) {
  VARIANT value = Of(static_cast<VARTYPE>(type | VT_BYREF));
  value.byref = pointer;
  return value;
}

// Arguments in parameter order, handed to Invoke last first as automation does.
class Arguments {
 public:
  Arguments(std::initializer_list<VARIANT> in_order) : reversed_(in_order) {
    std::reverse(reversed_.begin(), reversed_.end());
  }
  ~Arguments() {
    for (auto& value : reversed_) {
      if (value.vt == VT_BSTR) SysFreeString(value.bstrVal);
    }
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  DISPPARAMS params() {
    return {reversed_.data(), nullptr, static_cast<UINT>(reversed_.size()), 0};
  }

 private:
  std::vector<VARIANT> reversed_;
};

// What one call did: its HRESULT, its result and the error codes after it.
struct Outcome {
  HRESULT hr = E_UNEXPECTED;
  std::u16string text;
  LONG number = 0;
  LONG error = -1;
  LONG capi_error = -1;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  std::string text;
  for (char16_t c : outcome.text) text += c < 0x80 ? static_cast<char>(c) : '?';
  return out << "{hr " << std::hex << outcome.hr << std::dec << ", text \"" << text << "\", number "
             << outcome.number << ", error " << outcome.error << ", capi " << outcome.capi_error
             << "}";
}

Outcome Finish(ICAPI* object, HRESULT hr, BSTR text, LONG number) {
  Outcome outcome{hr, Take(text), number};
  outcome.error = ErrorCode(object);
  EXPECT_EQ(object->GetCapiErrorCode(&outcome.capi_error), S_OK);
  return outcome;
}

HRESULT InvokeMethod(ICAPI* object, DISPID dispid, Arguments& arguments, VARIANT* result,
                     UINT* arg_error = nullptr) {
  DISPPARAMS params = arguments.params();
  return object->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, arg_error);
}

Outcome FinishInvoke(ICAPI* object, HRESULT hr, VARIANT& result) {
  BSTR text = nullptr;
  LONG number = 0;
  if (result.vt == VT_BSTR) text = result.bstrVal;
  if (result.vt == VT_I4) number = result.lVal;
  return Finish(object, hr, text, number);
}

// Harmless arguments: every text names nothing that exists, every number is 0.
constexpr const char16_t* kNothing = u"/nonexistent/kelvadrome";
template <typename T>
T Harmless() {
  if constexpr (std::is_same_v<T, int32_t>) {
    return 0;
  } else {
    return kNothing;
  }
}
VARIANT HarmlessVariant(int32_t) {
  return I4(0);
}
VARIANT HarmlessVariant(const char16_t*) {
  return Text(kNothing);
}

// The two ways to call a method of the table, for a row's signature Result(Parameters...).
template <typename Signature>
struct TwoWays;

template <typename R, typename... P>
struct TwoWays<R(P...)> {
  static Outcome Store(ICAPI* object, HRESULT hr, R result) {
    if constexpr (std::is_same_v<R, int32_t>) {
      return Finish(object, hr, nullptr, result);
    } else {
      return Finish(object, hr, result, 0);
    }
  }
  // Through vtable slot |slot| as a plain function with `this` first.
  static Outcome BySlot(ICAPI* object, size_t slot) {
    using Function = HRESULT (*)(ICAPI*, P..., R*);
    void** vtable = *reinterpret_cast<void***>(object);
    R result{};
    const HRESULT hr = reinterpret_cast<Function>(vtable[slot])(object, Harmless<P>()..., &result);
    return Store(object, hr, result);
  }
  static Outcome ByInvoke(ICAPI* object, DISPID dispid) {
    Arguments arguments{HarmlessVariant(Harmless<P>())...};
    VARIANT result = Of(VT_EMPTY);
    const HRESULT hr = InvokeMethod(object, dispid, arguments, &result);
    constexpr VARTYPE kResultType = std::is_same_v<R, int32_t> ? VT_I4 : VT_BSTR;
    EXPECT_EQ(result.vt, kResultType);
    return FinishInvoke(object, hr, result);
  }
};

struct MethodCalls {
  Outcome (*by_slot)(ICAPI*, size_t);
  Outcome (*by_invoke)(ICAPI*, DISPID);
};

const MethodCalls kMethodCalls[] = {
#define KELVADROME_TEST_CALLS(name_, export_, dispid_, class_, result_, params_, args_) \
  {&TwoWays<result_ params_>::BySlot, &TwoWays<result_ params_>::ByInvoke},
    KELVADROME_METHODS(KELVADROME_TEST_CALLS)
#undef KELVADROME_TEST_CALLS
};

class AutomationObject : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedEnv profile_{"KELVADROME_PROFILE", (dir_.path() / "profile").c_str()};
  ScopedEnv dialogs_{"KELVADROME_DIALOGS", "none"};
};

TEST_F(AutomationObject, EverySlotAndItsDispidMakeTheSameCall) {
  ASSERT_EQ(std::size(kMethodCalls), kelvadrome::kMethodCount);
  for (size_t i = 0; i < kelvadrome::kMethodCount; ++i) {
    const auto& method = kelvadrome::kMethods[i];
    SCOPED_TRACE(std::string(method.name));
    // Each way on a fresh object, so that no call sees what another left behind.
    const Outcome by_slot = kMethodCalls[i].by_slot(NewObject().get(), 7 + i);
    const Outcome by_invoke = kMethodCalls[i].by_invoke(NewObject().get(), method.dispid);
    EXPECT_EQ(by_slot.hr, S_OK);
    EXPECT_EQ(by_invoke, by_slot);
  }
}

TEST_F(AutomationObject, AFailingWorkerStillReturnsSOkAndGetPortExTouchesNothing) {
  auto object = NewObject();
  BSTR hash = nullptr;
  EXPECT_EQ(object->HashFile(kNothing, 0, &hash), S_OK);
  EXPECT_EQ(Take(hash), u"");
  EXPECT_EQ(ErrorCode(object.get()), 5902);
  LONG port = 0;
  EXPECT_EQ(object->GetPortEx(&port), S_OK);
  EXPECT_EQ(port, 65537);
  EXPECT_EQ(ErrorCode(object.get()), 5902);
  // Ret must point somewhere; a null one is refused before any work.
  EXPECT_EQ(object->GetVersion(nullptr), E_POINTER);
  EXPECT_EQ(object->GetPortEx(nullptr), E_POINTER);
  EXPECT_EQ(ErrorCode(object.get()), 5902);
}

TEST_F(AutomationObject, EachObjectHasItsOwnComponentAndSigner) {
  auto first = NewObject();
  auto second = NewObject();
  const LONG flat_before = GetErrorCode();
  BSTR ignored = nullptr;
  ASSERT_EQ(first->HashFile(kNothing, 0, &ignored), S_OK);
  Take(ignored);
  EXPECT_EQ(ErrorCode(first.get()), 5902);
  EXPECT_EQ(ErrorCode(second.get()), 0);
  EXPECT_EQ(GetErrorCode(), flat_before) << "the flat functions' component is another one";

  // A signer chosen by one object is not the other's.
  const auto folder = dir_.path();
  std::filesystem::create_directories(folder / "ca");
  kelvadrome::testing::OpensslCa ca(folder / "ca");
  const auto [key, certificate] = ca.IssueWithNewKey("signer", "/CN=Signer");
  ASSERT_EQ(RunCommand("openssl pkcs12 -export -passout pass:pw -inkey " +
                       ShellQuote(key.string()) + " -in " + ShellQuote(certificate.string()) +
                       " -out " + ShellQuote((folder / "signer.pfx").string())),
            0);
  const std::u16string wide_folder(folder.u16string());
  LONG selected = -1;
  ASSERT_EQ(first->SelectSignerEx(u"", wide_folder.c_str(), u"signer.pfx", u"pw", u"", 0x200, 0,
                                  &selected),
            S_OK);
  ASSERT_EQ(selected, 0);
  BSTR name = nullptr;
  ASSERT_EQ(first->GetSignerPfxFileName(&name), S_OK);
  EXPECT_EQ(Take(name), u"signer.pfx");
  ASSERT_EQ(second->GetSignerPfxFileName(&name), S_OK);
  EXPECT_EQ(Take(name), u"");
  BSTR signature = nullptr;
  ASSERT_EQ(first->SignPkcs1(u"abc", 0x0100, &signature), S_OK);
  EXPECT_EQ(Take(signature).size(), 344u) << "Base64 of a 2048-bit signature";
  ASSERT_EQ(second->SignPkcs1(u"abc", 0x0100, &signature), S_OK);
  EXPECT_EQ(Take(signature), u"");
  EXPECT_NE(ErrorCode(second.get()), 0);
}

TEST_F(AutomationObject, NamesAreFoundWithoutRegardToCase) {
  auto object = NewObject();
  for (const auto& method : kelvadrome::kMethods) {
    std::u16string lower;
    for (char c : method.name) lower += static_cast<char16_t>(std::tolower(c));
    LPOLESTR names[] = {lower.data()};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << method.name;
    EXPECT_EQ(id, method.dispid) << method.name;
  }
  struct Case {
    const char* label;
    std::vector<std::u16string> names;
    HRESULT expected;
    std::vector<DISPID> ids;
  };
  const Case cases[] = {
      {"upper case", {u"GETVERSION"}, S_OK, {1}},
      {"a name that is one letter longer", {u"Hashe"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
      {"the flat export's name, not the method's",
       {u"GetDllVersion"},
       DISP_E_UNKNOWNNAME,
       {DISPID_UNKNOWN}},
      {"empty", {u""}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
      {"a parameter name: no named arguments",
       {u"Hash", u"strPlainText"},
       DISP_E_UNKNOWNNAME,
       {30, DISPID_UNKNOWN}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::u16string> names = c.names;
    std::vector<LPOLESTR> pointers;
    for (auto& name : names) pointers.push_back(name.data());
    std::vector<DISPID> ids(names.size(), 12345);
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(names.size()), 0,
                                    ids.data()),
              c.expected);
    EXPECT_EQ(ids, c.ids);
  }
  LPOLESTR hash[] = {const_cast<LPOLESTR>(u"Hash")};
  DISPID id = 0;
  EXPECT_EQ(object->GetIDsOfNames(IID_IDispatch, hash, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
}

// Hash(strPlainText, dwFlags) takes each argument form as a dispatch host converts it.
TEST_F(AutomationObject, ArgumentsAreConvertedAsADispatchHostWould) {
  auto object = NewObject();
  auto direct = [&](const char16_t* text, LONG flags) {
    BSTR result = nullptr;
    EXPECT_EQ(object->Hash(text, flags, &result), S_OK);
    return Finish(object.get(), S_OK, result, 0);
  };
  auto invoked = [&](VARIANT text, VARIANT flags) {
    Arguments arguments{text, flags};
    VARIANT result = Of(VT_EMPTY);
    const HRESULT hr = InvokeMethod(object.get(), KELVADROME_DISPID_Hash, arguments, &result);
    return FinishInvoke(object.get(), hr, result);
  };
  LONG seventeen = 17;
  BSTR seventeen_text = SysAllocString(u"17");
  VARIANT inner = I4(17);
  VARIANT small = Of(VT_I2);
  small.iVal = 17;
  VARIANT unsigned_value = Of(VT_UI4);
  unsigned_value.ulVal = 17;
  VARIANT plain_int = Of(VT_INT);
  plain_int.intVal = 17;
  VARIANT single = Of(VT_R4);
  single.fltVal = 17.0f;
  VARIANT truth = Of(VT_BOOL);
  truth.boolVal = VARIANT_TRUE;
  struct FlagCase {
    const char* label;
    VARIANT flags;
    LONG same_as;
  };
  const FlagCase flag_cases[] = {
      {"VT_I4", I4(17), 17},
      {"VT_I2", small, 17},
      {"VT_UI4", unsigned_value, 17},
      {"VT_INT", plain_int, 17},
      {"VT_R8 with an integral value", R8(17.0), 17},
      {"VT_R4 with an integral value", single, 17},
      {"VT_BSTR, decimal with blanks and a sign", Text(u" +17 "), 17},
      {"VT_BYREF|VT_I4", ByRef(VT_I4, &seventeen), 17},
      {"VT_BYREF|VT_BSTR", ByRef(VT_BSTR, &seventeen_text), 17},
      {"VT_BYREF|VT_VARIANT, as scripts pass variables", ByRef(VT_VARIANT, &inner), 17},
      {"VT_BOOL true is -1", truth, -1},
      {"VT_EMPTY is 0", Of(VT_EMPTY), 0},
      {"VT_NULL is 0", Of(VT_NULL), 0},
      {"VT_I4 negative", I4(-5), -5},
  };
  for (const auto& c : flag_cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(invoked(Text(u"abc"), c.flags), direct(u"abc", c.same_as));
  }
  VARIANT unknown = Of(VT_UNKNOWN);
  struct TextCase {
    const char* label;
    VARIANT text;
    const char16_t* same_as;
  };
  VARIANT null_text = Of(VT_BSTR);  // a null BSTR is empty text
  VARIANT big_unsigned = Of(VT_UI4);
  big_unsigned.ulVal = 4000000000u;
  const TextCase text_cases[] = {
      {"VT_I4", I4(123), u"123"},
      {"VT_I4 negative", I4(-7), u"-7"},
      {"VT_UI4 above 2^31", big_unsigned, u"4000000000"},
      {"VT_BOOL", truth, u"-1"},
      {"VT_R8 with a fraction", R8(2.5), u"2.5"},
      {"VT_R8 large", R8(1e20), u"1E+20"},
      {"VT_R8 integral", R8(42.0), u"42"},
      {"VT_BYREF|VT_VARIANT", ByRef(VT_VARIANT, &inner), u"17"},
      {"VT_EMPTY", Of(VT_EMPTY), u""},
      {"VT_NULL", Of(VT_NULL), u""},
      {"null BSTR", null_text, u""},
  };
  for (const auto& c : text_cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(invoked(c.text, I4(0x10)), direct(c.same_as, 0x10));
  }

  // Arguments no parameter accepts. dwFlags is rgvarg[0], strPlainText rgvarg[1].
  VARIANT nested = ByRef(VT_VARIANT, &inner);
  VARIANT outer_of_nested = ByRef(VT_VARIANT, &nested);
  struct BadCase {
    const char* label;
    VARIANT text;
    VARIANT flags;
    HRESULT expected;
    UINT bad_index;
  };
  const BadCase bad_cases[] = {
      {"a real with a fraction for an integer", Text(u"abc"), R8(1.5), DISP_E_TYPEMISMATCH, 0},
      {"NaN for an integer", Text(u"abc"), R8(std::nan("")), DISP_E_TYPEMISMATCH, 0},
      {"hexadecimal text is not decimal", Text(u"abc"), Text(u"0x11"), DISP_E_TYPEMISMATCH, 0},
      {"empty text is no number", Text(u"abc"), Text(u""), DISP_E_TYPEMISMATCH, 0},
      {"text with a trailing letter", Text(u"abc"), Text(u"17a"), DISP_E_TYPEMISMATCH, 0},
      {"VT_UI4 above 2^31 - 1", Text(u"abc"), big_unsigned, DISP_E_OVERFLOW, 0},
      {"a real beyond 32 bits", Text(u"abc"), R8(4294967296.0), DISP_E_OVERFLOW, 0},
      {"decimal text beyond 32 bits", Text(u"abc"), Text(u"-2147483649"), DISP_E_OVERFLOW, 0},
      {"an object for an integer", Text(u"abc"), unknown, DISP_E_TYPEMISMATCH, 0},
      {"VT_BYREF with a null pointer", Text(u"abc"), ByRef(VT_I4, nullptr), DISP_E_TYPEMISMATCH, 0},
      {"an array", Text(u"abc"), Of(VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH, 0},
      {"a VARIANT by reference to another one by reference", Text(u"abc"), outer_of_nested,
       DISP_E_TYPEMISMATCH, 0},
      {"an object for a text", unknown, I4(0), DISP_E_TYPEMISMATCH, 1},
      {"an infinite real for a text", R8(INFINITY), I4(0), DISP_E_TYPEMISMATCH, 1},
  };
  for (const auto& c : bad_cases) {
    SCOPED_TRACE(c.label);
    // A failed conversion calls nothing: Hash would have cleared the error code of HashFile.
    BSTR ignored = nullptr;
    ASSERT_EQ(object->HashFile(kNothing, 0, &ignored), S_OK);
    Take(ignored);
    Arguments arguments{c.text, c.flags};
    VARIANT result = Of(VT_EMPTY);
    UINT bad_index = 99;
    EXPECT_EQ(InvokeMethod(object.get(), KELVADROME_DISPID_Hash, arguments, &result, &bad_index),
              c.expected);
    EXPECT_EQ(bad_index, c.bad_index);
    EXPECT_EQ(result.vt, VT_EMPTY);
    EXPECT_EQ(ErrorCode(object.get()), 5902);
  }
  SysFreeString(seventeen_text);
}

// A BSTR is as long as its recorded length: zero characters inside it are part of the text, by
// value and by reference, for a text parameter and for a number given as text.
TEST_F(AutomationObject, InvokeReadsBstrArgumentsByTheirLength) {
  auto object = NewObject();
  const std::u16string with_zero(u"a\0b", 3);
  BSTR held = SysAllocStringLen(with_zero.data(), static_cast<UINT>(with_zero.size()));
  VARIANT held_variant = Of(VT_BSTR);
  held_variant.bstrVal = held;
  auto hash = [&](VARIANT text, LONG flags) {
    Arguments arguments{text, I4(flags)};
    VARIANT result = Of(VT_EMPTY);
    const HRESULT hr = InvokeMethod(object.get(), KELVADROME_DISPID_Hash, arguments, &result);
    return FinishInvoke(object.get(), hr, result);
  };
  auto by_value = [&] {
    VARIANT value = Of(VT_BSTR);
    value.bstrVal = SysAllocStringLen(with_zero.data(), static_cast<UINT>(with_zero.size()));
    return value;
  };
  struct Case {
    const char* label;
    VARIANT text;
    LONG flags;
    const char16_t* digest;
  };
  const Case cases[] = {
      // MD5 of the six bytes 61 00 00 00 62 00: the zero unit and the b are hashed.
      {"by value, UTF-16", by_value(), 1, u"05C2D85585D36E935BC6BE6D82F08708"},
      {"VT_BYREF|VT_BSTR", ByRef(VT_BSTR, &held), 1, u"05C2D85585D36E935BC6BE6D82F08708"},
      {"VT_BYREF|VT_VARIANT", ByRef(VT_VARIANT, &held_variant), 1,
       u"05C2D85585D36E935BC6BE6D82F08708"},
      // In the code page the text ends at its first zero character: MD5 of "a".
      {"by value, code page", by_value(), 0x11, u"0CC175B9C0F1B6A831C399E269772661"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Outcome outcome = hash(c.text, c.flags);
    EXPECT_EQ(outcome.hr, S_OK);
    EXPECT_EQ(outcome.text, c.digest);
    EXPECT_EQ(outcome.error, 0);
  }
  // "17", a zero character and "x" is no number, whatever stands before the zero.
  VARIANT flags_text = Of(VT_BSTR);
  flags_text.bstrVal = SysAllocStringLen(u"17\0x", 4);
  Arguments arguments{Text(u"abc"), flags_text};
  VARIANT result = Of(VT_EMPTY);
  UINT bad_index = 99;
  EXPECT_EQ(InvokeMethod(object.get(), KELVADROME_DISPID_Hash, arguments, &result, &bad_index),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad_index, 0u);
  SysFreeString(held);
}

TEST_F(AutomationObject, InvokeRefusesWhatItCannotCall) {
  auto object = NewObject();
  Arguments two{Text(u"abc"), I4(0x10)};
  Arguments one{Text(u"abc")};
  Arguments three{Text(u"abc"), I4(0x10), I4(0)};
  DISPID named = 0;
  struct Case {
    const char* label;
    DISPID dispid;
    const IID* riid;
    WORD flags;
    Arguments* arguments;
    UINT named_count;
    HRESULT expected;
  };
  const Case cases[] = {
      {"a DISPID no method has", 999, &IID_NULL, DISPATCH_METHOD, &two, 0, DISP_E_MEMBERNOTFOUND},
      {"DISPID 0: there is no default member", 0, &IID_NULL, DISPATCH_METHOD, &two, 0,
       DISP_E_MEMBERNOTFOUND},
      {"a property get: there are no properties", 30, &IID_NULL, DISPATCH_PROPERTYGET, &two, 0,
       DISP_E_MEMBERNOTFOUND},
      {"a property put", 30, &IID_NULL, DISPATCH_PROPERTYPUT, &two, 0, DISP_E_MEMBERNOTFOUND},
      {"an interface other than IID_NULL", 30, &IID_IDispatch, DISPATCH_METHOD, &two, 0,
       DISP_E_UNKNOWNINTERFACE},
      {"one argument short", 30, &IID_NULL, DISPATCH_METHOD, &one, 0, DISP_E_BADPARAMCOUNT},
      {"one argument too many", 30, &IID_NULL, DISPATCH_METHOD, &three, 0, DISP_E_BADPARAMCOUNT},
      {"a named argument", 30, &IID_NULL, DISPATCH_METHOD, &two, 1, DISP_E_NONAMEDARGS},
      {"method or property get, as script engines ask", 30, &IID_NULL,
       DISPATCH_METHOD | DISPATCH_PROPERTYGET, &two, 0, S_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    DISPPARAMS params = c.arguments->params();
    params.cNamedArgs = c.named_count;
    params.rgdispidNamedArgs = c.named_count != 0 ? &named : nullptr;
    VARIANT result = Of(VT_EMPTY);
    EXPECT_EQ(object->Invoke(c.dispid, *c.riid, 0, c.flags, &params, &result, nullptr, nullptr),
              c.expected);
    if (result.vt == VT_BSTR) {
      EXPECT_EQ(Take(result.bstrVal), u"A9993E364706816ABA3E25717850C26C9CD0D89D");
    }
  }
  EXPECT_EQ(object->Invoke(30, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
            E_INVALIDARG);
  // Without a place for the result the call still happens, and its string is freed.
  DISPPARAMS params = two.params();
  EXPECT_EQ(object->Invoke(31, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(ErrorCode(object.get()), 5902) << "HashFile ran";
}

TEST_F(AutomationObject, ObjectSafetyFollowsTheInterfaceAsked) {
  auto object = NewObject();
  Ref<IObjectSafety> safety;
  ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, safety.out()), S_OK);
  auto get = [&](const IID& iid, DWORD* supported, DWORD* enabled) {
    *supported = *enabled = 0xFFFFFFFF;
    return safety->GetInterfaceSafetyOptions(iid, supported, enabled);
  };
  DWORD supported = 0, enabled = 0;
  // Fresh: nothing enabled, scripting supported through IDispatch.
  EXPECT_EQ(get(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 1u);
  EXPECT_EQ(enabled, 0u);
  // Enabling data safety through IDispatch sets that bit but is not what IDispatch offers.
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 2, 2), E_FAIL);
  EXPECT_EQ(get(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 0u);
  // A zero mask or zero options fail before the interface is even asked for (this object has no
  // persistence interface, so asking would give E_NOINTERFACE).
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStreamInit, 0, 2), E_FAIL);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStreamInit, 2, 0), E_FAIL);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStreamInit, 2, 2), E_NOINTERFACE);
  // An interface the object does not answer is reported as such; outputs stay untouched.
  EXPECT_EQ(get(IID_IOleObject, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 0xFFFFFFFFu);
  // One it answers but that has no safety options: E_FAIL with both outputs 0.
  EXPECT_EQ(get(IID_ICAPI, &supported, &enabled), E_FAIL);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);
  // Options are ORed in whatever the interface, and never cleared.
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IProvideClassInfo, 1, 1), E_FAIL);
  EXPECT_EQ(get(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 1u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 0), E_FAIL);
  EXPECT_EQ(get(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 1u);
  EXPECT_EQ(enabled, 1u);
  // Null outputs: the same success, nothing written.
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), S_OK);
}

TEST_F(AutomationObject, SetInterfaceSafetyOptionsForIDispatchOnAFreshObject) {
  auto object = NewObject();
  Ref<IObjectSafety> safety;
  ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, safety.out()), S_OK);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
  DWORD supported = 0, enabled = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 1u);
  EXPECT_EQ(enabled, 1u);
}

TEST_F(AutomationObject, InterfacesKeepOneIdentityAndNoTypeInformation) {
  auto object = NewObject();
  Ref<IUnknown> from_object, from_safety;
  Ref<IObjectSafety> safety;
  Ref<IProvideClassInfo2> class_info;
  Ref<IDispatch> dispatch;
  ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, safety.out()), S_OK);
  ASSERT_EQ(safety->QueryInterface(IID_IProvideClassInfo2, class_info.out()), S_OK);
  ASSERT_EQ(class_info->QueryInterface(IID_IDispatch, dispatch.out()), S_OK);
  EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(object.get()));
  ASSERT_EQ(object->QueryInterface(IID_IUnknown, from_object.out()), S_OK);
  ASSERT_EQ(safety->QueryInterface(IID_IUnknown, from_safety.out()), S_OK);
  EXPECT_EQ(from_object.get(), from_safety.get());
  Ref<IUnknown> none;
  EXPECT_EQ(object->QueryInterface(IID_IOleObject, none.out()), E_NOINTERFACE);
  EXPECT_EQ(none.get(), nullptr);
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  UINT count = 99;
  EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  ITypeInfo* type_info = reinterpret_cast<ITypeInfo*>(object.get());
  EXPECT_EQ(object->GetTypeInfo(0, 0, &type_info), DISP_E_BADINDEX);
  EXPECT_EQ(type_info, nullptr);
  type_info = reinterpret_cast<ITypeInfo*>(object.get());
  EXPECT_EQ(class_info->GetClassInfo(&type_info), E_NOTIMPL);
  EXPECT_EQ(type_info, nullptr);
  GUID guid = IID_ICAPI;
  EXPECT_EQ(class_info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid), E_FAIL);
  EXPECT_EQ(guid, IID_NULL);
  EXPECT_EQ(class_info->GetGUID(2, &guid), E_INVALIDARG);
  EXPECT_EQ(class_info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, nullptr), E_POINTER);
}

TEST_F(AutomationObject, ReferenceCountsAndTheModuleLockAreExact) {
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  auto object = NewObject();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(object->AddRef(), 2u);
  Ref<IObjectSafety> safety;
  ASSERT_EQ(object->QueryInterface(IID_IObjectSafety, safety.out()), S_OK);
  EXPECT_EQ(safety.detach()->Release(), 2u);
  EXPECT_EQ(object->Release(), 1u);

  // Counting from several threads at once loses nothing.
  std::vector<std::thread> threads;
  std::atomic<bool> below_two{false};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        if (object->AddRef() < 2) below_two = true;
        object->Release();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(below_two.load());
  EXPECT_EQ(object->AddRef(), 2u);
  EXPECT_EQ(object->Release(), 1u);
  EXPECT_EQ(object.detach()->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  // Objects made and released on several threads leave nothing alive.
  threads.clear();
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        Ref<IDispatch> made;
        if (Factory()->CreateInstance(nullptr, IID_IDispatch, made.out()) != S_OK) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  // Server locks count too; an unlock without a lock changes nothing.
  auto factory = Factory();
  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(factory->LockServer(0), E_UNEXPECTED);
  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(AutomationObject, TheClassFactoryServesOnlyCapi) {
  void* out = &out;
  EXPECT_EQ(DllGetClassObject(&IID_ICAPI, &IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = &out;
  EXPECT_EQ(DllGetClassObject(&CLSID_CAPI, &IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DllGetClassObject(&CLSID_CAPI, &IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(DllGetClassObject(nullptr, &IID_IClassFactory, &out), E_INVALIDARG);
  Ref<IUnknown> unknown;
  EXPECT_EQ(DllGetClassObject(&CLSID_CAPI, &IID_IUnknown, unknown.out()), S_OK);

  auto factory = Factory();
  Ref<IUnknown> made;
  auto outer = NewObject();
  EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, made.out()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(made.get(), nullptr);
  outer.reset();
  // An object asked for an interface it lacks is made and destroyed again.
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IOleObject, made.out()), E_NOINTERFACE);
  EXPECT_EQ(made.get(), nullptr);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
