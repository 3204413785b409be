// Pins the process code page for the life of the object, then restores the environment's choice.
// For the unit tests only: it uses the component's own text layer.
#pragma once

#include <optional>

#include "platform/text.h"
#include "support/test_support.h"

namespace kelvadrome::testing {

class ScopedCodePage {
 public:
  explicit ScopedCodePage(const char* name) {
    variable_.emplace("KELVADROME_CODEPAGE", name);
    ReloadProcessCodePage();
  }
  ~ScopedCodePage() {
    variable_.reset();
    ReloadProcessCodePage();
  }
  ScopedCodePage(const ScopedCodePage&) = delete;
  ScopedCodePage& operator=(const ScopedCodePage&) = delete;

 private:
  std::optional<ScopedEnv> variable_;
};

}  // namespace kelvadrome::testing
