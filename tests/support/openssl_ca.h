// A certificate authority run with the openssl command line, for interop tests: a root, an
// intermediate signed by it, and end-entity certificates issued to PKCS #10 requests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kelvadrome::testing {

// RunCommand runs |command| through the shell and returns its exit status; the command's standard
// output is appended to |*output| when given.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Shell quoting of one argument.
std::string ShellQuote(const std::string& text);

class OpensslCa {
 public:
  // Makes the root ("CN=Test Root CA", keyCertSign, 40 days) and the intermediate ("CN=Test
  // Issuing CA", keyCertSign, 30 days) in |folder|. Fails the current test when openssl does not
  // work.
  explicit OpensslCa(std::filesystem::path folder);

  // Issue signs the request given as Base64 DER (as the component returns it) with the
  // intermediate, for digitalSignature and keyEncipherment, valid for 20 days (so each validity
  // period lies inside its issuer's, as a trusted chain needs), and returns the certificate file
  // (PEM). Empty path (test failed) when openssl refuses.
  std::filesystem::path Issue(const std::string& request_base64, const std::string& name);

  // IssueWithNewKey makes a new 2048-bit key (unencrypted PEM, <folder>/<name>.key) and a request
  // for |subject| ("/CN=.../O=..."), and issues a certificate for it as Issue does. Empty paths
  // (test failed) when openssl refuses.
  struct IssuedKey {
    std::filesystem::path key;
    std::filesystem::path certificate;
  };
  IssuedKey IssueWithNewKey(const std::string& name, const std::string& subject);

  // Bundle returns a PKCS #7 bundle (PEM) of |certificates| in the given order.
  std::filesystem::path Bundle(const std::vector<std::filesystem::path>& certificates,
                               const std::string& name);

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& intermediate() const { return intermediate_; }
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  std::filesystem::path root_;
  std::filesystem::path intermediate_;
  int serial_ = 100;
};

// PemBody returns the text of a PEM file (all of it, armour included).
std::string FileText(const std::filesystem::path& path);

// DerOfPem returns the DER bytes of the first PEM object in |path| as Base64 on one line (the
// armour and line breaks removed).
std::string Base64Body(const std::filesystem::path& path);

}  // namespace kelvadrome::testing
