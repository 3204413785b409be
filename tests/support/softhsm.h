// A software token for the token layer's tests: SoftHSM2 with its token folder in a temporary
// folder, and p11-kit told to load that one module and nothing the system registers.
//
// p11-kit reads its configuration once, when the first token call of the process loads the
// modules, so Start must run before any token call: the token tests are a program of their own
// that starts the fixture from a global test environment.
#pragma once

#include <array>
#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace kelvadrome::testing {

class SoftHsm {
 public:
  // Start makes the folder, SoftHSM2's configuration (SOFTHSM2_CONF) and a p11-kit configuration
  // naming only SoftHSM2's module, and points this process's p11-kit at it. False, with the reason
  // in why_not(), when SoftHSM2 or its tools are missing. With |wrapper| (the test card module,
  // which adds PIN locking and PIN pads to SoftHSM2) p11-kit loads that module, as "test-card",
  // in SoftHSM2's place.
  bool Start(const std::filesystem::path& wrapper = {});

  // InitToken makes a token labelled |label| in a free slot with the user PIN |pin|, and returns
  // the folder SoftHSM2 keeps it in (empty on failure).
  std::filesystem::path InitToken(const std::string& label, const std::string& pin);

  // Pkcs11Tool runs pkcs11-tool on the SoftHSM2 module with |arguments| (already quoted) and
  // returns its exit status, its output (standard output and error) appended to |*output|.
  int Pkcs11Tool(const std::string& arguments, std::string* output) const;

  const std::filesystem::path& module_path() const { return module_path_; }
  const std::filesystem::path& folder() const { return folder_.path(); }
  const std::string& why_not() const { return why_not_; }

 private:
  TempDir folder_;
  std::filesystem::path module_path_;
  std::string why_not_;
  std::array<std::string, 4> p11_conf_;
};

}  // namespace kelvadrome::testing
