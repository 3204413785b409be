// kelvadrome: look at and repair what the component keeps for the user, from a shell.
//
//   kelvadrome reg get <path>              print a value (text as it is, numbers in decimal,
//                                          other types in hex)
//   kelvadrome reg set <path> <value> [--dword]
//                                          store text (or a 32-bit number)
//   kelvadrome reg list [<key>]            list a key's subkeys and values
//   kelvadrome reg delete <path> | --key <key>
//                                          remove a value, or a key with everything below it
//   kelvadrome certs [MY|ROOT|CA]          list a certificate store (default MY)
//   kelvadrome cert show <thumbprint|file> show one certificate: from the stores by its SHA-1
//                                          thumbprint, or from a DER or PEM file
//   kelvadrome cert add <file> [store]     add a certificate to a store (default MY)
//   kelvadrome cert delete <thumbprint> [store]
//                                          remove a certificate from a store
//   kelvadrome cert sign <thumbprint> <file> <signature-file>
//                                          sign the SHA-256 of a file with the private key linked
//                                          to a certificate of MY (PKCS #1 v1.5, big-endian)
//   kelvadrome keys                        list the key containers and their keys
//
// A path is key names and a value name joined by backslashes ("Software\ORLA\QuorixATL\Level"),
// optionally after "HKCU\" (the default) or "HKLM\" (the machine registry, read only). Every
// command takes --json to print a JSON document instead of text. The exit status is 0 on success,
// 1 when the thing asked for does not exist or cannot be done, 2 for a malformed command line.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/digest.h"
#include "platform/cert_store.h"
#include "platform/certificate_key.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/registry.h"

namespace kelvadrome {
namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageText =
    "usage: kelvadrome reg get <path> [--json]\n"
    "       kelvadrome reg set <path> <value> [--dword] [--json]\n"
    "       kelvadrome reg list [<key>] [--json]\n"
    "       kelvadrome reg delete <path> | --key <key> [--json]\n"
    "       kelvadrome certs [MY|ROOT|CA] [--json]\n"
    "       kelvadrome cert show <thumbprint|file> [--json]\n"
    "       kelvadrome cert add <file> [MY|ROOT|CA] [--json]\n"
    "       kelvadrome cert delete <thumbprint> [MY|ROOT|CA] [--json]\n"
    "       kelvadrome cert sign <thumbprint> <file> <signature-file> [--json]\n"
    "       kelvadrome keys [--json]\n"
    "A path is key\\...\\value, optionally after HKCU\\ (default) or HKLM\\ (read only).\n";

struct CommandLine {
  std::vector<std::string> words;  // everything that is not an option
  bool json = false;
  bool dword = false;
  bool key = false;
};

std::optional<CommandLine> Parse(int argc, char** argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--json") {
      line.json = true;
    } else if (word == "--dword") {
      line.dword = true;
    } else if (word == "--key") {
      line.key = true;
    } else if (word.size() > 2 && word.substr(0, 2) == "--") {
      return std::nullopt;
    } else {
      line.words.emplace_back(word);
    }
  }
  return line;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// The root a path names and the rest of the path.
struct RootedPath {
  Registry::Root root = Registry::Root::kCurrentUser;
  std::string rest;
};

RootedPath SplitRoot(std::string_view path) {
  auto starts = [&](std::string_view prefix) {
    if (path.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (std::toupper(static_cast<unsigned char>(path[i])) != prefix[i]) return false;
    }
    return true;
  };
  if (starts("HKLM\\")) return {Registry::Root::kLocalMachine, std::string(path.substr(5))};
  if (starts("HKCU\\")) return {Registry::Root::kCurrentUser, std::string(path.substr(5))};
  if (path == "HKLM" || path == "hklm") return {Registry::Root::kLocalMachine, ""};
  if (path == "HKCU" || path == "hkcu") return {Registry::Root::kCurrentUser, ""};
  return {Registry::Root::kCurrentUser, std::string(path)};
}

// Splits key\value at the last backslash; a path without one is a value of the root.
std::pair<std::string, std::string> SplitValuePath(const std::string& path) {
  const size_t last = path.rfind('\\');
  if (last == std::string::npos) return {"", path};
  return {path.substr(0, last), path.substr(last + 1)};
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case registry_type::kString:
      return "text";
    case registry_type::kExpandString:
      return "expandable-text";
    case registry_type::kBinary:
      return "binary";
    case registry_type::kDword:
      return "dword";
    case registry_type::kMultiString:
      return "multi-text";
    case registry_type::kQword:
      return "qword";
    default:
      return "other";
  }
}

// The value as a person reads it: text up to its first zero, numbers in decimal, else hex.
std::string Rendered(const RegistryValue& value) {
  if (value.type == registry_type::kString || value.type == registry_type::kExpandString) {
    const auto* bytes = reinterpret_cast<const char*>(value.data.data());
    return std::string(bytes, strnlen(bytes, value.data.size()));
  }
  if (value.type == registry_type::kDword && value.data.size() == 4) {
    const uint32_t bits = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                          (uint32_t{value.data[3]} << 24);
    return std::to_string(static_cast<int32_t>(bits));
  }
  std::string hex;
  char pair[3];
  for (uint8_t byte : value.data) {
    std::snprintf(pair, sizeof pair, "%02X", byte);
    hex += pair;
  }
  return hex;
}

int Fail(const CommandLine& line, const std::string& what) {
  const uint32_t code = LastPlatformError();
  std::string reason = PlatformErrorText(code);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (line.json) {
    std::printf("{\"error\":%s,\"code\":%u}\n", JsonString(what + ": " + reason).c_str(), code);
  } else {
    std::fprintf(stderr, "kelvadrome: %s: %s (0x%08X)\n", what.c_str(), reason.c_str(), code);
  }
  return kFailure;
}

std::unique_ptr<Registry> OpenRoot(Registry::Root root) {
  return Registry::Open(root);
}

int RegGet(const CommandLine& line) {
  if (line.words.size() != 3) return kUsage;
  const RootedPath rooted = SplitRoot(line.words[2]);
  const auto [key, name] = SplitValuePath(rooted.rest);
  auto registry = OpenRoot(rooted.root);
  if (!registry) return Fail(line, "cannot open the registry");
  const auto value = registry->QueryValue(key, name);
  if (!value) return Fail(line, "no value " + line.words[2]);
  if (line.json) {
    std::printf("{\"type\":%s,\"value\":%s}\n", JsonString(TypeName(value->type)).c_str(),
                JsonString(Rendered(*value)).c_str());
  } else {
    std::printf("%s\n", Rendered(*value).c_str());
  }
  return kSuccess;
}

int RegSet(const CommandLine& line) {
  if (line.words.size() != 4) return kUsage;
  const RootedPath rooted = SplitRoot(line.words[2]);
  const auto [key, name] = SplitValuePath(rooted.rest);
  RegistryValue value;
  if (line.dword) {
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(line.words[3].c_str(), &end, 0);
    if (errno != 0 || end == line.words[3].c_str() || *end != '\0' || number < INT32_MIN ||
        number > UINT32_MAX) {
      std::fprintf(stderr, "kelvadrome: not a 32-bit number: %s\n", line.words[3].c_str());
      return kUsage;
    }
    const auto bits = static_cast<uint32_t>(number);
    value = {registry_type::kDword,
             {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
              static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)}};
  } else {
    value = {registry_type::kString,
             std::vector<uint8_t>(line.words[3].begin(), line.words[3].end())};
    value.data.push_back(0);
  }
  auto registry = OpenRoot(rooted.root);
  if (!registry) return Fail(line, "cannot open the registry");
  if (!registry->SetValue(key, name, value)) return Fail(line, "cannot store " + line.words[2]);
  if (line.json) std::printf("{\"stored\":%s}\n", JsonString(line.words[2]).c_str());
  return kSuccess;
}

int RegList(const CommandLine& line) {
  if (line.words.size() > 3) return kUsage;
  const RootedPath rooted = SplitRoot(line.words.size() == 3 ? line.words[2] : "");
  auto registry = OpenRoot(rooted.root);
  if (!registry) return Fail(line, "cannot open the registry");
  const auto subkeys = registry->SubkeyNames(rooted.rest);
  const auto values = registry->Values(rooted.rest);
  if (!subkeys || !values) return Fail(line, "no key " + rooted.rest);
  if (line.json) {
    std::string out = "{\"keys\":[";
    for (size_t i = 0; i < subkeys->size(); ++i) {
      out += (i ? "," : "") + JsonString((*subkeys)[i]);
    }
    out += "],\"values\":[";
    for (size_t i = 0; i < values->size(); ++i) {
      const auto& [name, value] = (*values)[i];
      out += std::string(i ? "," : "") + "{\"name\":" + JsonString(name) +
             ",\"type\":" + JsonString(TypeName(value.type)) +
             ",\"value\":" + JsonString(Rendered(value)) + "}";
    }
    std::printf("%s]}\n", out.c_str());
    return kSuccess;
  }
  for (const auto& name : *subkeys) std::printf("%s\\\n", name.c_str());
  for (const auto& [name, value] : *values) {
    std::printf("%-24s %-8s %s\n", name.empty() ? "(default)" : name.c_str(), TypeName(value.type),
                Rendered(value).c_str());
  }
  return kSuccess;
}

int RegDelete(const CommandLine& line) {
  if (line.words.size() != 3) return kUsage;
  const RootedPath rooted = SplitRoot(line.words[2]);
  auto registry = OpenRoot(rooted.root);
  if (!registry) return Fail(line, "cannot open the registry");
  bool deleted;
  if (line.key) {
    deleted = registry->DeleteKey(rooted.rest);
  } else {
    const auto [key, name] = SplitValuePath(rooted.rest);
    deleted = registry->DeleteValue(key, name);
  }
  if (!deleted) return Fail(line, "cannot delete " + line.words[2]);
  if (line.json) std::printf("{\"deleted\":%s}\n", JsonString(line.words[2]).c_str());
  return kSuccess;
}

// --- Certificates and keys ---------------------------------------------------------------------

std::string CertificateJson(const CertInfo& info) {
  return "{\"subject\":" + JsonString(info.GetSubject()) +
         ",\"issuer\":" + JsonString(info.GetIssuer()) +
         ",\"subjectCN\":" + JsonString(info.GetSubjectCN()) +
         ",\"issuerCN\":" + JsonString(info.GetIssuerCN()) +
         ",\"serial\":" + JsonString(info.GetSerial()) +
         ",\"thumbprint\":" + JsonString(info.GetFingerprint()) +
         ",\"notBefore\":" + JsonString(info.GetNotBefore(CertDateFormat::kCompact)) +
         ",\"notAfter\":" + JsonString(info.GetNotAfter(CertDateFormat::kCompact)) +
         ",\"keyUsage\":" + std::to_string(info.GetKeyUsage()) +
         ",\"isCA\":" + (info.IsCaCertificate() ? "true" : "false") + "}";
}

int Certs(const CommandLine& line) {
  if (line.words.size() > 2) return kUsage;
  const std::string name = line.words.size() == 2 ? line.words[1] : "MY";
  auto store = CertStore::OpenSystem(name);
  if (!store) return Fail(line, "cannot open the store " + name);
  const auto certificates = store->Enumerate();
  if (!certificates) return Fail(line, "cannot read the store " + name);
  std::string json = "[";
  for (const auto& certificate : *certificates) {
    CertInfo info(certificate.der.data(), static_cast<int32_t>(certificate.der.size()));
    const bool linked =
        store->GetProperty(certificate.id, cert_property::kKeyProviderInfo).has_value();
    if (line.json) {
      std::string object = CertificateJson(info);
      object.pop_back();
      json += (json.size() > 1 ? "," : "") + object +
              ",\"keyLinked\":" + (linked ? "true" : "false") + "}";
      continue;
    }
    std::printf(
        "%s\n  serial %s  valid %s to %s  issuer %s\n  thumbprint %s%s\n",
        info.GetSubjectCN().empty() ? info.GetSubject().c_str() : info.GetSubjectCN().c_str(),
        info.GetSerial().c_str(), info.GetNotBefore(CertDateFormat::kDate).c_str(),
        info.GetNotAfter(CertDateFormat::kDate).c_str(),
        info.GetIssuerCN().empty() ? info.GetIssuer().c_str() : info.GetIssuerCN().c_str(),
        info.GetFingerprint().c_str(), linked ? "  [key linked]" : "");
  }
  if (line.json) std::printf("%s]\n", json.c_str());
  return kSuccess;
}

// The certificate a `cert show` argument names: a file (DER, or PEM text), else a thumbprint looked
// up in MY, ROOT and CA.
std::optional<std::vector<uint8_t>> CertificateNamed(const std::string& argument) {
  ByteBuffer file;
  if (ReadFileBytes(argument, file)) {
    if (file.length() > 5 && std::memcmp(file.data(), "-----", 5) == 0) {
      ByteBuffer der;
      if (!der.Base64Decode(file.c_str())) return std::nullopt;
      return std::vector<uint8_t>(der.data(), der.data() + der.length());
    }
    return std::vector<uint8_t>(file.data(), file.data() + file.length());
  }
  const bool is_thumbprint =
      argument.size() == 40 && std::all_of(argument.begin(), argument.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      });
  ByteBuffer thumbprint;
  if (!is_thumbprint || !thumbprint.HexDecode(argument.c_str())) return std::nullopt;
  Thumbprint sha1{};
  std::memcpy(sha1.data(), thumbprint.data(), sha1.size());
  for (const char* name : {"MY", "ROOT", "CA"}) {
    auto store = CertStore::OpenSystem(name);
    if (!store) continue;
    if (auto found = store->Find(sha1)) return found->der;
  }
  return std::nullopt;
}

// cert add <file> [store]: adds (or replaces, keeping its properties) a certificate.
int CertAdd(const CommandLine& line) {
  if (line.words.size() < 3 || line.words.size() > 4) return kUsage;
  const std::string name = line.words.size() == 4 ? line.words[3] : "MY";
  const auto der = CertificateNamed(line.words[2]);
  if (!der) return Fail(line, "no certificate " + line.words[2]);
  auto store = CertStore::OpenSystem(name);
  if (!store) return Fail(line, "cannot open the store " + name);
  if (!store->Add(*der, AddDisposition::kReplaceExistingInheritProperties)) {
    return Fail(line, "cannot add " + line.words[2]);
  }
  CertInfo info(der->data(), static_cast<int32_t>(der->size()));
  if (line.json) {
    std::printf("{\"added\":%s,\"store\":%s}\n", JsonString(info.GetFingerprint()).c_str(),
                JsonString(name).c_str());
  }
  return kSuccess;
}

// cert delete <thumbprint> [store]: removes a certificate and its properties from a store.
int CertDelete(const CommandLine& line) {
  if (line.words.size() < 3 || line.words.size() > 4) return kUsage;
  const std::string name = line.words.size() == 4 ? line.words[3] : "MY";
  auto store = CertStore::OpenSystem(name);
  if (!store) return Fail(line, "cannot open the store " + name);
  const auto der = CertificateNamed(line.words[2]);
  const auto found = der ? store->Find(CertificateThumbprint(*der)) : std::nullopt;
  if (!found || !store->Delete(found->id)) return Fail(line, "cannot delete " + line.words[2]);
  if (line.json) std::printf("{\"deleted\":%s}\n", JsonString(line.words[2]).c_str());
  return kSuccess;
}

// cert sign <thumbprint> <file> <signature-file>: proves that a certificate of MY reaches its
// private key, with a signature anyone can check against the certificate.
int CertSign(const CommandLine& line) {
  if (line.words.size() != 5) return kUsage;
  auto store = CertStore::OpenSystem("MY");
  if (!store) return Fail(line, "cannot open the store MY");
  const auto der = CertificateNamed(line.words[2]);
  const auto found = der ? store->Find(CertificateThumbprint(*der)) : std::nullopt;
  if (!found) return Fail(line, "no certificate " + line.words[2] + " in MY");
  auto key = AcquireCertificatePrivateKey(*store, found->id, true);
  if (!key) return Fail(line, "cannot reach the key of " + line.words[2]);
  ByteBuffer content;
  if (!ReadFileBytes(line.words[3], content)) {
    return Fail(line, "cannot read " + line.words[3] + " (or it is empty)");
  }
  Sha256Digest digest;
  digest.Compute(content.data(), content.length());
  auto signature =
      key->container->SignHash(key->key_spec, key_algorithm::kSha256,
                               std::span<const uint8_t>(digest.data(), digest.DigestSize()));
  if (!signature) return Fail(line, "the key did not sign");
  ByteBuffer big_endian;
  if (!big_endian.AssignReversed(signature->data(), static_cast<int32_t>(signature->size())) ||
      !WriteFileBytes(line.words[4], big_endian)) {
    return Fail(line, "cannot write " + line.words[4]);
  }
  if (line.json) {
    std::printf("{\"signed\":%s,\"keySpec\":%u}\n", JsonString(line.words[3]).c_str(),
                key->key_spec);
  }
  return kSuccess;
}

int CertShow(const CommandLine& line) {
  if (line.words.size() >= 2 && line.words[1] == "add") return CertAdd(line);
  if (line.words.size() >= 2 && line.words[1] == "sign") return CertSign(line);
  if (line.words.size() >= 2 && line.words[1] == "delete") return CertDelete(line);
  if (line.words.size() != 3 || line.words[1] != "show") return kUsage;
  const auto der = CertificateNamed(line.words[2]);
  if (!der) return Fail(line, "no certificate " + line.words[2]);
  CertInfo info(der->data(), static_cast<int32_t>(der->size()));
  if (!info.loaded()) {
    SetLastPlatformError(info.last_error());
    return Fail(line, "not a certificate: " + line.words[2]);
  }
  if (line.json) {
    std::printf("%s\n", CertificateJson(info).c_str());
    return kSuccess;
  }
  std::printf(
      "subject     %s\nissuer      %s\nserial      %s\nthumbprint  %s\n"
      "valid from  %s\nvalid to    %s\nkey usage   0x%02X\nCA          %s\n",
      info.GetSubject().c_str(), info.GetIssuer().c_str(), info.GetSerial().c_str(),
      info.GetFingerprint().c_str(), info.GetNotBefore(CertDateFormat::kDateTime).c_str(),
      info.GetNotAfter(CertDateFormat::kDateTime).c_str(), info.GetKeyUsage(),
      info.IsCaCertificate() ? "yes" : "no");
  return kSuccess;
}

int Keys(const CommandLine& line) {
  if (line.words.size() != 1) return kUsage;
  auto store = KeyContainerStore::OpenUser();
  if (!store) return Fail(line, "cannot open the key containers");
  const auto containers = store->List();
  if (!containers) return Fail(line, "cannot read the key containers");
  std::string json = "[";
  for (const auto& [name, provider] : *containers) {
    auto container = store->Open(name, "", provider_type::kRsaFull);
    const auto keys = container ? container->Keys() : std::nullopt;
    std::string keys_json = "[";
    if (!line.json) std::printf("%s  (%s)\n", name.c_str(), provider.c_str());
    for (const auto& key : keys.value_or(std::vector<KeyDescription>{})) {
      const char* spec = key.spec == key_spec::kExchange ? "exchange" : "signature";
      const bool exportable = (key.flags & key_flag::kExportable) != 0;
      const bool protected_key = (key.flags & key_flag::kUserProtected) != 0;
      if (line.json) {
        keys_json += std::string(keys_json.size() > 1 ? "," : "") +
                     "{\"spec\":" + std::to_string(key.spec) +
                     ",\"bits\":" + std::to_string(key.bits) +
                     ",\"exportable\":" + (exportable ? "true" : "false") +
                     ",\"userProtected\":" + (protected_key ? "true" : "false") + "}";
      } else {
        std::printf("  %-9s RSA %u%s%s\n", spec, key.bits, exportable ? "  exportable" : "",
                    protected_key ? "  user-protected" : "");
      }
    }
    if (line.json) {
      json += std::string(json.size() > 1 ? "," : "") + "{\"name\":" + JsonString(name) +
              ",\"provider\":" + JsonString(provider) + ",\"keys\":" + keys_json + "]}";
    }
  }
  if (line.json) std::printf("%s]\n", json.c_str());
  return kSuccess;
}

int Run(int argc, char** argv) {
  const auto line = Parse(argc, argv);
  int result = kUsage;
  if (line && !line->words.empty() && line->words[0] == "certs") result = Certs(*line);
  if (line && !line->words.empty() && line->words[0] == "cert") result = CertShow(*line);
  if (line && !line->words.empty() && line->words[0] == "keys") result = Keys(*line);
  if (line && line->words.size() >= 2 && line->words[0] == "reg") {
    const std::string& verb = line->words[1];
    if (verb == "get") result = RegGet(*line);
    if (verb == "set") result = RegSet(*line);
    if (verb == "list") result = RegList(*line);
    if (verb == "delete") result = RegDelete(*line);
  }
  if (result == kUsage) std::fputs(kUsageText, stderr);
  return result;
}

}  // namespace
}  // namespace kelvadrome

int main(int argc, char** argv) {
  try {
    return kelvadrome::Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvadrome: %s\n", error.what());
    return 1;
  }
}
