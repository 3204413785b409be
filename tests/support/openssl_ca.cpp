#include "support/openssl_ca.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace kelvadrome::testing {

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(("( " + command + " ) 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    if (output != nullptr) output->append(buffer, got);
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Base64Body(const std::filesystem::path& path) {
  std::istringstream lines(FileText(path));
  std::string line;
  std::string body;
  bool inside = false;
  while (std::getline(lines, line)) {
    if (line.rfind("-----BEGIN", 0) == 0) {
      inside = true;
    } else if (line.rfind("-----END", 0) == 0) {
      break;
    } else if (inside) {
      body += line;
    }
  }
  return body;
}

namespace {

constexpr char kExtensions[] =
    "[ca]\n"
    "basicConstraints=critical,CA:true\n"
    "keyUsage=critical,keyCertSign,cRLSign\n"
    "[ee]\n"
    "basicConstraints=CA:false\n"
    "keyUsage=critical,digitalSignature,keyEncipherment\n";

}  // namespace

OpensslCa::OpensslCa(std::filesystem::path folder) : folder_(std::move(folder)) {
  root_ = folder_ / "root.pem";
  intermediate_ = folder_ / "intermediate.pem";
  const auto extensions = folder_ / "extensions.cnf";
  std::ofstream(extensions) << kExtensions;
  const std::string f = ShellQuote(folder_.string()) + "/";
  // Both CA certificates are made from requests so that only the extension file decides their
  // extensions; the root signs itself.
  const std::string commands = "openssl req -new -newkey rsa:2048 -nodes -keyout " + f +
                               "root.key -out " + f +
                               "root.csr -subj '/CN=Test Root CA/O=Interop' && "
                               "openssl x509 -req -in " +
                               f + "root.csr -signkey " + f +
                               "root.key -set_serial 1 -days 40 "
                               "-sha256 -extfile " +
                               f + "extensions.cnf -extensions ca -out " + f +
                               "root.pem && "
                               "openssl req -new -newkey rsa:2048 -nodes -keyout " +
                               f + "intermediate.key -out " + f +
                               "intermediate.csr -subj '/CN=Test Issuing CA/O=Interop' && "
                               "openssl x509 -req -in " +
                               f + "intermediate.csr -CA " + f + "root.pem -CAkey " + f +
                               "root.key -set_serial 2 -days 30 -sha256 -extfile " + f +
                               "extensions.cnf -extensions ca -out " + f + "intermediate.pem";
  EXPECT_EQ(RunCommand(commands), 0) << "openssl could not make the test CA";
}

std::filesystem::path OpensslCa::Issue(const std::string& request_base64, const std::string& name) {
  const auto request = folder_ / (name + ".csr");
  std::ofstream(request) << "-----BEGIN CERTIFICATE REQUEST-----\n"
                         << request_base64 << "\n-----END CERTIFICATE REQUEST-----\n";
  const auto certificate = folder_ / (name + ".pem");
  const std::string f = ShellQuote(folder_.string()) + "/";
  const std::string command = "openssl x509 -req -in " + ShellQuote(request.string()) + " -CA " +
                              f + "intermediate.pem -CAkey " + f + "intermediate.key -set_serial " +
                              std::to_string(++serial_) + " -days 20 -sha256 -extfile " + f +
                              "extensions.cnf -extensions ee -out " +
                              ShellQuote(certificate.string());
  if (RunCommand(command) != 0) {
    ADD_FAILURE() << "openssl refused to issue for " << name;
    return {};
  }
  return certificate;
}

OpensslCa::IssuedKey OpensslCa::IssueWithNewKey(const std::string& name,
                                                const std::string& subject) {
  const auto key = folder_ / (name + ".key");
  const auto request = folder_ / (name + "-new.csr");
  if (RunCommand("openssl req -new -newkey rsa:2048 -nodes -keyout " + ShellQuote(key.string()) +
                 " -subj " + ShellQuote(subject) + " -out " + ShellQuote(request.string())) != 0) {
    ADD_FAILURE() << "openssl could not make a key for " << name;
    return {};
  }
  return {key, Issue(Base64Body(request), name)};
}

std::filesystem::path OpensslCa::Bundle(const std::vector<std::filesystem::path>& certificates,
                                        const std::string& name) {
  std::string command = "openssl crl2pkcs7 -nocrl";
  for (const auto& certificate : certificates) {
    command += " -certfile " + ShellQuote(certificate.string());
  }
  const auto bundle = folder_ / (name + ".p7b");
  command += " -out " + ShellQuote(bundle.string());
  if (RunCommand(command) != 0) {
    ADD_FAILURE() << "openssl could not bundle " << name;
    return {};
  }
  return bundle;
}

}  // namespace kelvadrome::testing
