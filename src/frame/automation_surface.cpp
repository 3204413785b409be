// The automation surface: the class CAPI (its objects answer ICAPI, IDispatch, IObjectSafety and
// IProvideClassInfo2), its class factory, and the module's server entry points.
//
// Each object embeds its own CertComponent. Every ICAPI slot is generated from the method table
// and goes through one guard (CapiObject::Call), which serialises calls on the object, runs the
// worker under GuardedCall (frame/call_guard.h, shared with the flat surface) and returns S_OK:
// failures are read back with GetErrorCode, never from the HRESULT.
#include <dlfcn.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/automation_dispatch.h"
#include "frame/automation_registry.h"
#include "frame/call_guard.h"
#include "frame/cert_component.h"
#include "frame/method_table.h"
#include "kelvadrome/automation.h"
#include "platform/bstr.h"
#include "platform/error_codes.h"
#include "platform/text.h"

namespace kelvadrome {
namespace {

constexpr int32_t kPortEx = 65537;

// What keeps the module loaded: live objects and the server locks of IClassFactory::LockServer.
std::atomic<long> g_live_objects{0};
std::atomic<long> g_server_locks{0};

// The argument of a slot parameter as the worker takes it, for calls made by Invoke: a text
// parameter gets the whole converted text, a number parameter the number.
TextArg WorkerArgument(const AutomationArgument& argument, const OLECHAR*) {
  return TextArg(argument.text);
}
int32_t WorkerArgument(const AutomationArgument& argument, LONG) {
  return argument.number;
}

// InvokedWork binds a worker call to the converted arguments of Invoke, following the parameter
// types of the method's ICAPI slot (its last parameter, Ret, takes no argument).
template <typename Slot>
struct InvokedWork;

template <typename... P>
struct InvokedWork<HRESULT (ICAPI::*)(P...)> {
  template <typename Work>
  static auto Bind(Work work, const AutomationArgument* arguments) {
    return Bind(work, arguments, std::make_index_sequence<sizeof...(P) - 1>{});
  }
  template <typename Work, size_t... I>
  static auto Bind(Work work, [[maybe_unused]] const AutomationArgument* arguments,
                   std::index_sequence<I...>) {
    return [=](CertComponent& component) {
      return work(component,
                  WorkerArgument(arguments[I], std::tuple_element_t<I, std::tuple<P...>>{})...);
    };
  }
};

// Where the result of a row whose Result is |R| goes.
template <typename R>
auto* ResultSlot(AutomationResult& result) {
  if constexpr (std::is_same_v<R, Bstr>) {
    return &result.text;
  } else {
    return &result.number;
  }
}

class CapiObject final : public ICAPI,
                         public IObjectSafety,
                         public IProvideClassInfo2,
                         private CapiMethodRunner {
  struct Token {
    explicit Token() = default;
  };

 public:
  // Create makes an object and returns its interface |iid| with one reference.
  static HRESULT Create(REFIID iid, void** out) {
    *out = nullptr;
    std::unique_ptr<CapiObject> object;
    try {
      object = std::make_unique<CapiObject>(Token{});
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_UNEXPECTED;
    }
    const HRESULT result = object->QueryInterface(iid, out);
    // From here the object is owned by its references; without one it goes now.
    if (SUCCEEDED(result)) object.release();
    return result;
  }

  explicit CapiObject(Token) : component_(ComponentEnvironment{}) { ++g_live_objects; }
  ~CapiObject() { --g_live_objects; }

  // ---- IUnknown -------------------------------------------------------------------------------
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ICAPI) {
      *out = static_cast<ICAPI*>(this);
    } else if (iid == IID_IObjectSafety) {
      *out = static_cast<IObjectSafety*>(this);
    } else if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
      *out = static_cast<IProvideClassInfo2*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  ULONG AddRef() override { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

  ULONG Release() override {
    const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) std::unique_ptr<CapiObject> last(this);  // destroyed here
    return left;
  }

  // ---- IDispatch ------------------------------------------------------------------------------
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;  // no type library on this platform
    return S_OK;
  }

  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    return DISP_E_BADINDEX;
  }

  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return CapiIdsOfNames(riid, names, count, ids);
  }

  HRESULT Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO*, UINT* arg_error) override {
    return InvokeCapi(static_cast<CapiMethodRunner&>(*this), dispid, riid, flags, params, result,
                      arg_error);
  }

  // ---- ICAPI, generated from the method table -----------------------------------------------
#define KELVADROME_CAPI_SLOT(name_, export_, dispid_, class_, result_, params_, args_)             \
  HRESULT name_ KELVADROME_APPEND_RET(result_, params_) override {                                 \
    return Call<MethodId::name_>(Ret,                                                              \
                                 [&](CertComponent& component) { return component.name_ args_; }); \
  }
  KELVADROME_METHODS(KELVADROME_CAPI_SLOT)
#undef KELVADROME_CAPI_SLOT

  // ---- Invoke's way to the workers (CapiMethodRunner) -----------------------------------------
  // The same guard and worker as the slot, with the arguments Invoke converted: a text argument
  // reaches the worker whole, which a slot's zero-terminated text parameter cannot carry.
  HRESULT RunMethod(MethodId method, const AutomationArgument* arguments,
                    AutomationResult& result) override {
#define KELVADROME_CAPI_RUN(name_, export_, dispid_, class_, result_, params_, args_)            \
  case MethodId::name_:                                                                          \
    return Call<MethodId::name_>(                                                                \
        ResultSlot<result_>(result),                                                             \
        InvokedWork<decltype(&ICAPI::name_)>::Bind(                                              \
            [](CertComponent& component, auto... values) { return component.name_(values...); }, \
            arguments));
    switch (method) { KELVADROME_METHODS(KELVADROME_CAPI_RUN) }
#undef KELVADROME_CAPI_RUN
    return DISP_E_MEMBERNOTFOUND;
  }

  // ---- IObjectSafety --------------------------------------------------------------------------
  HRESULT GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override {
    const HRESULT answered = Answers(iid);
    if (FAILED(answered)) return answered;
    if (supported == nullptr || enabled == nullptr) return answered;
    const DWORD options = SupportedSafetyOptions(iid);
    *supported = options;
    *enabled = safety_options_.load() & options;
    return options != 0 ? S_OK : E_FAIL;
  }

  HRESULT SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override {
    if (mask == 0 || enabled == 0) return E_FAIL;
    const HRESULT answered = Answers(iid);
    if (FAILED(answered)) return answered;
    // Options are only ever added, whatever the interface.
    const DWORD options = safety_options_.fetch_or(mask & enabled) | (mask & enabled);
    return (options & SupportedSafetyOptions(iid)) != 0 ? S_OK : E_FAIL;
  }

  // ---- IProvideClassInfo2 ---------------------------------------------------------------------
  HRESULT GetClassInfo(ITypeInfo** info) override {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    return E_NOTIMPL;  // no type library on this platform
  }

  HRESULT GetGUID(DWORD kind, GUID* guid) override {
    if (guid == nullptr) return E_POINTER;
    *guid = IID_NULL;
    // The class has no event (source) interface to report.
    return kind == GUIDKIND_DEFAULT_SOURCE_DISP_IID ? E_FAIL : E_INVALIDARG;
  }

 private:
  // Call is the one guard of every ICAPI slot: a null Ret is refused, GetPortEx answers alone,
  // every other method runs its worker under Guarded.
  template <MethodId kMethod, typename Result, typename Work>
  HRESULT Call(Result* ret, Work&& work) {
    if (ret == nullptr) return E_POINTER;
    if constexpr (kMethod == MethodId::GetPortEx) {
      *ret = kPortEx;  // a constant: no worker runs and no state changes
      return S_OK;
    } else {
      return Guarded(ret, std::forward<Work>(work));
    }
  }

  // Guarded serialises the call on this object and runs |work| under the shared guard; the
  // outcome, success or not, is in *ret and the error slots, so the HRESULT is always S_OK.
  template <typename Result, typename Work>
  HRESULT Guarded(Result* ret, Work&& work) {
    std::lock_guard lock(mutex_);
    *ret = GuardedCall<Result>(component_, std::forward<Work>(work));
    return S_OK;
  }

  // Answers asks the object itself for |iid|, as IObjectSafety does before anything else.
  HRESULT Answers(REFIID iid) {
    void* answer = nullptr;
    const HRESULT result = QueryInterface(iid, &answer);
    if (SUCCEEDED(result)) Release();  // the reference the answer carried
    return result;
  }

  // Safe for scripting through IDispatch, safe for initialisation through persistence.
  static DWORD SupportedSafetyOptions(REFIID iid) {
    if (iid == IID_IDispatch) return INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    if (iid == IID_IPersistStreamInit || iid == IID_IPersistStorage ||
        iid == IID_IPersistPropertyBag) {
      return INTERFACESAFE_FOR_UNTRUSTED_DATA;
    }
    return 0;
  }

  std::atomic<ULONG> references_{0};
  std::atomic<DWORD> safety_options_{0};
  // A client should call an object from one thread only; the lock keeps one that does not from
  // racing inside the component. Recursive, so that a dialog host may call back in.
  std::recursive_mutex mutex_;
  CertComponent component_;
};

// The one class factory; it lives as long as the module, so its count only reports references.
class CapiClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override { return references_.fetch_sub(1, std::memory_order_acq_rel) - 1; }

  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CapiObject::Create(iid, out);
  }

  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      ++g_server_locks;
      return S_OK;
    }
    // An unlock without its lock would release someone else's.
    long held = g_server_locks.load();
    while (held > 0 && !g_server_locks.compare_exchange_weak(held, held - 1)) {
    }
    return held > 0 ? S_OK : E_UNEXPECTED;
  }

 private:
  std::atomic<ULONG> references_{0};
};

CapiClassFactory g_class_factory;

// ModulePath returns the absolute path of this module, as the registration names it: narrow text
// in the process code page, like every text the registry takes.
std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  std::string path = info.dli_fname;
  if (!path.empty() && path.front() != '/') {
    std::unique_ptr<char, decltype(&std::free)> absolute(realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (absolute) path = absolute.get();
  }
  return FromSystemPath(path);
}

}  // namespace
}  // namespace kelvadrome

extern "C" KELVADROME_API HRESULT DllGetClassObject(const CLSID* rclsid, const IID* riid,
                                                    void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid == nullptr || riid == nullptr) return E_INVALIDARG;
  if (*rclsid != CLSID_CAPI) return CLASS_E_CLASSNOTAVAILABLE;
  return kelvadrome::g_class_factory.QueryInterface(*riid, ppv);
}

extern "C" KELVADROME_API HRESULT DllCanUnloadNow(void) {
  return kelvadrome::g_live_objects.load() == 0 && kelvadrome::g_server_locks.load() == 0 ? S_OK
                                                                                          : S_FALSE;
}

extern "C" KELVADROME_API HRESULT DllRegisterServer(void) {
  try {
    const std::string module = kelvadrome::ModulePath();
    if (module.empty()) return SELFREG_E_CLASS;
    return kelvadrome::RegisterCapiServer(module);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

extern "C" KELVADROME_API HRESULT DllUnregisterServer(void) {
  return kelvadrome::UnregisterCapiServer();
}

extern "C" KELVADROME_API HRESULT KelvadromeCreateObject(const OLECHAR* name, const IID* iid,
                                                         void** object) {
  return kelvadrome::CreateRegisteredObject(name, iid, object);
}
