// The flat C surface: one extern "C" function per method of the method table, all acting on
// the one process-wide component, plus the automation-string functions and the export lookup.
//
// Every call goes through FlatCall: it serialises callers and runs the worker under GuardedCall
// (frame/call_guard.h), the guard the automation surface shares, so nothing ever throws across
// the C boundary.
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "frame/call_guard.h"
#include "frame/cert_component.h"
#include "frame/method_table.h"
#include "kelvadrome/kelvadrome.h"
#include "platform/bstr.h"
#include "platform/error_codes.h"

namespace kelvadrome {
namespace {

// The process-wide component lives from library load to unload. Calls into it are serialised; the
// lock is recursive so that a dialog host of the embedding program may call back into the library.
class ProcessComponent {
 public:
  ProcessComponent() {
    try {
      component_ = std::make_unique<CertComponent>();
    } catch (...) {
      // Without a component every call returns its empty result; nothing can be reported.
    }
  }
  std::recursive_mutex& mutex() { return mutex_; }
  CertComponent* get() { return component_.get(); }

 private:
  std::recursive_mutex mutex_;
  std::unique_ptr<CertComponent> component_;
};

ProcessComponent g_process_component;

// FlatCall serialises the call on the process-wide component and runs |work| under the shared
// guard; without a component the result is empty (0 or a null string).
template <typename Result, typename Work>
Result FlatCall(Work&& work) {
  std::lock_guard lock(g_process_component.mutex());
  CertComponent* component = g_process_component.get();
  if (component == nullptr) return Result{};
  return GuardedCall<Result>(*component, std::forward<Work>(work));
}

}  // namespace
}  // namespace kelvadrome

using kelvadrome::Bstr;

// ---- The method exports, generated from the method table. ------------------------------------
#define KELVADROME_FLAT_EXPORT(name_, export_, dispid_, class_, result_, params_, args_) \
  extern "C" KELVADROME_API result_ export_ params_ {                                    \
    return kelvadrome::FlatCall<result_>(                                                \
        [&](kelvadrome::CertComponent& component) { return component.name_ args_; });    \
  }

KELVADROME_METHODS(KELVADROME_FLAT_EXPORT)

#undef KELVADROME_FLAT_EXPORT

// ---- Automation strings. ---------------------------------------------------------------------
extern "C" KELVADROME_API BSTR SysAllocString(const OLECHAR* text) {
  return kelvadrome::AllocBstr(text);
}

extern "C" KELVADROME_API BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
  return kelvadrome::AllocBstr(text, length);
}

extern "C" KELVADROME_API uint32_t SysStringLen(BSTR text) {
  return kelvadrome::BstrLength(text);
}

extern "C" KELVADROME_API void SysFreeString(BSTR text) {
  kelvadrome::FreeBstr(text);
}

// ---- Export lookup. --------------------------------------------------------------------------
namespace kelvadrome {
namespace {

struct ExportEntry {
  MethodId method;
  void* function;
};

#define KELVADROME_EXPORT_ENTRY(name_, export_, ...) \
  ExportEntry{MethodId::name_, reinterpret_cast<void*>(&::export_)},

const ExportEntry kExportEntries[] = {KELVADROME_METHODS(KELVADROME_EXPORT_ENTRY)};

#undef KELVADROME_EXPORT_ENTRY

}  // namespace
}  // namespace kelvadrome

extern "C" KELVADROME_API void* KelvadromeGetExport(const char* name) {
  if (name == nullptr) return nullptr;
  const std::string_view wanted(name);
  try {
    for (const auto& entry : kelvadrome::kExportEntries) {
      const auto& method = kelvadrome::Describe(entry.method);
      if (wanted == method.export_name || wanted == method.DecoratedName()) return entry.function;
    }
  } catch (...) {
    return nullptr;
  }
  if (wanted == "SysAllocString") return reinterpret_cast<void*>(&SysAllocString);
  if (wanted == "SysAllocStringLen") return reinterpret_cast<void*>(&SysAllocStringLen);
  if (wanted == "SysStringLen") return reinterpret_cast<void*>(&SysStringLen);
  if (wanted == "SysFreeString") return reinterpret_cast<void*>(&SysFreeString);
  return nullptr;
}
