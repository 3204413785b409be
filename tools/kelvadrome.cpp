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
//   kelvadrome cert delete <thumbprint> [store] [--with-key] [--yes]
//                                          remove a certificate from a store; with --with-key
//                                          also the key container it links to, unless another
//                                          certificate of MY still links to it
//   kelvadrome cert sign <thumbprint> <file> <signature-file>
//                                          sign the SHA-256 of a file with the private key linked
//                                          to a certificate of MY (PKCS #1 v1.5, big-endian)
//   kelvadrome keys                        list the key containers, their keys and the
//                                          certificates of MY linked to them
//   kelvadrome keys delete <container> [--yes]
//                                          remove a key container and its keys (asks first,
//                                          refuses without a terminal unless --yes)
//   kelvadrome keys rewrap                 seal every private key of the profile again under a new
//                                          wrapping key (in the keyring, else the key file)
//   kelvadrome methods                     list the component's methods with their parameters
//   kelvadrome bridge origins [list|revoke <origin>]
//                                          the web origins allowed or denied for the page bridge
//   kelvadrome call <Method> [args...]     call a method of the automation object by name, through
//                                          IDispatch, and print its result
//   kelvadrome server register|unregister  register the automation server installed with this
//                                          command for the current profile, or remove it
//   kelvadrome --help                      list the commands
//
// A path is key names and a value name joined by backslashes ("Software\ORLA\QuorixATL\Level"),
// optionally after "HKCU\" (the default) or "HKLM\" (the machine registry, read only). Every
// command takes --json to print a JSON document instead of text; "--" ends the options. The exit
// status is 0 on success, 1 when the thing asked for does not exist or cannot be done (or the
// called method failed), 2 for a malformed command line. docs/kelvadrome.1 is the manual.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/digest.h"
#include "frame/automation_dispatch.h"
#include "frame/automation_registry.h"
#include "frame/error_catalogue.h"
#include "frame/method_table.h"
#include "host/origin_consent.h"
#include "host/origin_picks.h"
#include "kelvadrome/automation.h"
#include "ops/key_use.h"
#include "ops/requests.h"
#include "platform/bstr.h"
#include "platform/cert_store.h"
#include "platform/handles.h"
#include "platform/certificate_key.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pkcs11_tokens.h"
#include "platform/sealed_keys.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "ui/dialog_language.h"

#include "bridge_manifests.h"

namespace kelvadrome {
namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

// ExplanationOf returns a short explanation of component code |code| in the user's language,
// for after the component's own message (which callers compare and which never changes); empty
// under a Chinese locale, whose message says it already, or when there is none.
std::string ExplanationOf(int32_t code) {
  const std::string language = UserDialogLanguage();
  const MessageCatalogue* catalogue = BuiltInCatalogue(language);
  if (language == "zh" || catalogue == nullptr) return {};
  for (const auto& entry : ErrorCatalogue()) {
    if (entry.code != code) continue;
    const auto explanation = catalogue->Translate(entry.message_template);
    return explanation ? Utf8ToNarrow(*explanation) : std::string();
  }
  return {};
}
constexpr int kUsage = 2;
// A usage error whose command has already said what is wrong.
constexpr int kUsageExplained = -2;

constexpr const char* kUsageText =
    "usage: kelvadrome reg get <path> [--json]\n"
    "       kelvadrome reg set <path> <value> [--dword] [--json]\n"
    "       kelvadrome reg list [<key>] [--json]\n"
    "       kelvadrome reg delete <path> | --key <key> [--json]\n"
    "       kelvadrome certs [MY|ROOT|CA] [--json]\n"
    "       kelvadrome cert show <thumbprint|file> [--json]\n"
    "       kelvadrome cert add <file> [MY|ROOT|CA] [--json]\n"
    "       kelvadrome cert delete <thumbprint> [MY|ROOT|CA] [--with-key [--yes]] [--json]\n"
    "       kelvadrome cert sign <thumbprint> <file> <signature-file> [--json]\n"
    "       kelvadrome keys [--json]\n"
    "       kelvadrome keys delete <container> [--yes] [--json]\n"
    "       kelvadrome keys rewrap [--json]\n"
    "       kelvadrome tokens [--json]\n"
    "       kelvadrome doctor [--json]\n"
    "       kelvadrome methods [--json]\n"
    "       kelvadrome call <Method> [<argument>...] [--json]\n"
    "       kelvadrome server register|unregister [--json]\n"
    "       kelvadrome bridge install-manifests [user|system] [<bridge>] [--json]\n"
    "       kelvadrome bridge status [<bridge>] [--json]\n"
    "       kelvadrome bridge origins [list|revoke <origin>] [--json]\n"
    "       kelvadrome --help\n"
    "A path is key\\...\\value, optionally after HKCU\\ (default) or HKLM\\ (read only).\n";

constexpr const char* kHelpText =
    "kelvadrome: look at and repair what the component keeps for the user, and call its methods.\n"
    "\n"
    "  reg get <path>                   print a registry value\n"
    "  reg set <path> <value> [--dword] store a text (or a 32-bit number)\n"
    "  reg list [<key>]                 list a key's subkeys and values\n"
    "  reg delete <path> | --key <key>  remove a value, or a key with everything below it\n"
    "  certs [MY|ROOT|CA]               list a certificate store (default MY)\n"
    "  cert show <thumbprint|file>      show a certificate of the stores, or of a DER or PEM file\n"
    "  cert add <file> [MY|ROOT|CA]     add a certificate to a store (default MY)\n"
    "  cert delete <thumbprint> [store] [--with-key]\n"
    "                                   remove a certificate from a store (default MY); with\n"
    "                                   --with-key also the key container it links to, unless\n"
    "                                   another certificate of MY still uses it\n"
    "  cert sign <thumbprint> <file> <signature-file>\n"
    "                                   sign the SHA-256 of a file with the key of a certificate\n"
    "  keys                             list the key containers, their keys, the certificates of\n"
    "                                   MY linked to them; a container with neither a certificate\n"
    "                                   nor a pending request is marked orphaned\n"
    "  keys delete <container>          remove a key container and its keys\n"
    "  keys rewrap                      seal the profile's private keys under a new wrapping key\n"
    "  tokens                           list the smart cards and tokens present, their keys and\n"
    "                                   certificates\n"
    "  doctor                           what the component finds here: PKCS #11 modules, where\n"
    "                                   the key that seals the profile's private keys is\n"
    "  methods                          list the component's methods and their parameters\n"
    "  call <Method> [<argument>...]    call a method of the automation object KelvadromeATL.CAPI\n"
    "                                   and print its result; texts as given, numbers in decimal\n"
    "                                   or 0x hexadecimal\n"
    "  server register | unregister     register the automation server installed with this\n"
    "                                   command for the current profile, or remove it\n"
    "  bridge install-manifests [user|system] [<bridge>]\n"
    "                                   let Chromium, Chrome and Firefox start the page bridge\n"
    "                                   (default: for this user, kelvadrome-bridge beside this\n"
    "                                   command)\n"
    "  bridge status [<bridge>]         which browsers will find the page bridge\n"
    "  bridge origins [list]            list the web origins always allowed or denied for pages\n"
    "  bridge origins revoke <origin>   forget the decision and the files picked for the origin:\n"
    "                                   the origin is asked about again\n"
    "  --help                           show this text\n"
    "\n"
    "Deleting keys asks on the terminal first; --yes deletes without asking, and without a\n"
    "terminal nothing is deleted unless --yes is given.\n"
    "Every command takes --json for a JSON document instead of text; -- ends the options. A path\n"
    "is key\\...\\value, optionally after HKCU\\ (default) or HKLM\\ (the machine's, read only).\n"
    "Exit status: 0 success, 1 failure (a called method's error code is not 0), 2 malformed\n"
    "command line. The manual is kelvadrome(1).\n";

struct CommandLine {
  std::vector<std::string> words;  // everything that is not an option
  bool json = false;
  bool dword = false;
  bool key = false;
  bool help = false;
  bool yes = false;       // delete without asking
  bool with_key = false;  // cert delete: the linked key container too
};

std::optional<CommandLine> Parse(int argc, char** argv) {
  CommandLine line;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (options_ended) {
      line.words.emplace_back(word);
    } else if (word == "--") {
      options_ended = true;
    } else if (word == "--help") {
      line.help = true;
    } else if (word == "--json") {
      line.json = true;
    } else if (word == "--dword") {
      line.dword = true;
    } else if (word == "--key") {
      line.key = true;
    } else if (word == "--yes") {
      line.yes = true;
    } else if (word == "--with-key") {
      line.with_key = true;
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

// Splits key\value at the last backslash character (a '\\' byte can be the second byte of a
// double-byte character); a path without one is a value of the root.
std::pair<std::string, std::string> SplitValuePath(const std::string& path) {
  const size_t last = FindLastCharacter(path, '\\');
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
    const auto friendly_value = store->GetProperty(certificate.id, cert_property::kFriendlyName);
    const auto friendly_wide = friendly_value ? DecodeFriendlyName(*friendly_value) : std::nullopt;
    const std::string friendly_name = friendly_wide ? ConvertToNarrow(*friendly_wide) : "";
    if (line.json) {
      std::string object = CertificateJson(info);
      object.pop_back();
      json += (json.size() > 1 ? "," : "") + object +
              ",\"friendlyName\":" + JsonString(friendly_name) +
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
    if (!friendly_name.empty()) std::printf("  friendly name %s\n", friendly_name.c_str());
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

// --- Key containers and the certificates linked to them -----------------------------------------

// A certificate of "MY" whose key-provider link names a container.
struct LinkedCertificate {
  int64_t id = 0;
  uint32_t key_spec = 0;
  std::string thumbprint;  // upper-case hex
  std::string subject;     // its common name, else its whole subject
};

// Container names compare as the container store compares them: UTF-8, letters folded.
std::string FoldedContainerName(std::string_view narrow) {
  return FoldRegistryName(NarrowToUtf8(narrow));
}

// The certificates of |store| linked to a key container, by folded container name; nullopt when the
// store cannot be read. Links that do not decode are skipped: they name no container.
std::optional<std::multimap<std::string, LinkedCertificate>> LinksByContainer(CertStore& store) {
  const auto linked = store.WithProperty(cert_property::kKeyProviderInfo);
  if (!linked) return std::nullopt;
  std::multimap<std::string, LinkedCertificate> links;
  for (const auto& [id, value] : *linked) {
    const auto link = DecodeKeyProviderLink(value);
    if (!link) continue;
    LinkedCertificate certificate{id, link->key_spec, {}, {}};
    if (const auto stored = store.Get(id)) {
      CertInfo info(stored->der.data(), static_cast<int32_t>(stored->der.size()));
      certificate.thumbprint = info.GetFingerprint();
      certificate.subject = info.GetSubjectCN().empty() ? info.GetSubject() : info.GetSubjectCN();
    }
    links.emplace(FoldedContainerName(link->container), std::move(certificate));
  }
  return links;
}

// HasPendingRequest tells whether a key request made container |name| and still has its record
// (the requests module keeps one registry key per container, named like it, below
// kPendingRequestsKey; registry names compare without regard to letter case, like container names).
bool HasPendingRequest(Registry* registry, const std::string& name) {
  return registry != nullptr &&
         registry->KeyExists(std::string(kPendingRequestsKey) + '\\' + name);
}

std::string LinkedCertificateJson(const LinkedCertificate& certificate) {
  return "{\"thumbprint\":" + JsonString(certificate.thumbprint) +
         ",\"subject\":" + JsonString(certificate.subject) +
         ",\"keySpec\":" + std::to_string(certificate.key_spec) + "}";
}

int Keys(const CommandLine& line) {
  if (line.words.size() != 1) return kUsage;
  auto store = KeyContainerStore::OpenUser();
  if (!store) return Fail(line, "cannot open the key containers");
  const auto containers = store->List();
  if (!containers) return Fail(line, "cannot read the key containers");
  auto personal = CertStore::OpenSystem("MY");
  if (!personal) return Fail(line, "cannot open the store MY");
  const auto links = LinksByContainer(*personal);
  if (!links) return Fail(line, "cannot read the store MY");
  const auto registry = Registry::Open(Registry::Root::kCurrentUser);
  std::string json = "[";
  for (const auto& [name, provider] : *containers) {
    const auto [first, last] = links->equal_range(FoldedContainerName(name));
    const bool pending = HasPendingRequest(registry.get(), name);
    const bool orphaned = first == last && !pending;
    auto container = store->Open(name, "", provider_type::kRsaFull);
    const auto keys = container ? container->Keys() : std::nullopt;
    const uint32_t keys_error = keys ? 0 : LastPlatformError();
    if (!line.json) {
      std::printf("%s  (%s)%s%s\n", name.c_str(), provider.c_str(),
                  pending ? "  pending request" : "", orphaned ? "  orphaned" : "");
      if (!keys) std::printf("  keys: cannot be read (error 0x%08X)\n", keys_error);
    }
    // Each key with the certificates linked to its spec; links to a spec the container has no key
    // of are listed after the keys.
    std::vector<bool> shown(static_cast<size_t>(std::distance(first, last)), false);
    std::string keys_json = "[";
    for (const auto& key : keys.value_or(std::vector<KeyDescription>{})) {
      const char* spec = key.spec == key_spec::kExchange ? "exchange" : "signature";
      const bool exportable = (key.flags & key_flag::kExportable) != 0;
      const bool protected_key = (key.flags & key_flag::kUserProtected) != 0;
      std::string certificates_json = "[";
      if (!line.json) {
        std::printf("  %-9s RSA %u%s%s\n", spec, key.bits, exportable ? "  exportable" : "",
                    protected_key ? "  user-protected" : "");
      }
      size_t index = 0;
      for (auto link = first; link != last; ++link, ++index) {
        if (link->second.key_spec != key.spec) continue;
        shown[index] = true;
        certificates_json += std::string(certificates_json.size() > 1 ? "," : "") +
                             LinkedCertificateJson(link->second);
        if (!line.json) {
          std::printf("    certificate %s  %s\n", link->second.thumbprint.c_str(),
                      link->second.subject.c_str());
        }
      }
      keys_json += std::string(keys_json.size() > 1 ? "," : "") +
                   "{\"spec\":" + std::to_string(key.spec) +
                   ",\"bits\":" + std::to_string(key.bits) +
                   ",\"exportable\":" + (exportable ? "true" : "false") +
                   ",\"userProtected\":" + (protected_key ? "true" : "false") +
                   ",\"certificates\":" + certificates_json + "]}";
    }
    std::string unmatched_json = "[";
    size_t index = 0;
    for (auto link = first; link != last; ++link, ++index) {
      if (shown[index]) continue;
      unmatched_json += std::string(unmatched_json.size() > 1 ? "," : "") +
                        LinkedCertificateJson(link->second);
      if (!line.json) {
        std::printf("  certificate %s  %s  (linked to key spec %u, which has no key here)\n",
                    link->second.thumbprint.c_str(), link->second.subject.c_str(),
                    link->second.key_spec);
      }
    }
    if (line.json) {
      json += std::string(json.size() > 1 ? "," : "") + "{\"name\":" + JsonString(name) +
              ",\"provider\":" + JsonString(provider) + ",\"keys\":" + keys_json + "]" +
              (keys ? "" : ",\"keysError\":" + std::to_string(keys_error)) +
              ",\"certificatesWithoutKey\":" + unmatched_json +
              "],\"pendingRequest\":" + (pending ? "true" : "false") +
              ",\"orphaned\":" + (orphaned ? "true" : "false") + "}";
    }
  }
  if (line.json) std::printf("%s]\n", json.c_str());
  return kSuccess;
}

// Confirmed asks |question| on the terminal unless --yes was given. Without a terminal to ask on
// it refuses, so a script never deletes keys by accident: it must say --yes.
bool Confirmed(const CommandLine& line, const std::string& question, bool* refused) {
  *refused = false;
  if (line.yes) return true;
  if (::isatty(STDIN_FILENO) == 0) {
    std::fprintf(stderr,
                 "kelvadrome: standard input is not a terminal to ask on; nothing was deleted "
                 "(add --yes to delete without asking)\n");
    *refused = true;
    return false;
  }
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  std::string answer;
  for (int c; (c = std::getchar()) != EOF && c != '\n';) answer.push_back(static_cast<char>(c));
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

std::string CountedKeys(size_t count) {
  return std::to_string(count) + (count == 1 ? " key" : " keys");
}

// "N certificate(s) in MY now have no key", or empty for none.
std::string KeylessReport(size_t count) {
  if (count == 0) return {};
  return std::to_string(count) +
         (count == 1 ? " certificate in MY now has no key" : " certificates in MY now have no key");
}

// The container named |name| in any letter case, with the provider it was created through.
std::optional<ContainerListing> FindContainer(KeyContainerStore& store, const std::string& name) {
  const auto containers = store.List();
  if (!containers) return std::nullopt;
  const std::string folded = FoldedContainerName(name);
  for (const auto& listing : *containers) {
    if (FoldedContainerName(listing.name) == folded) return listing;
  }
  SetLastPlatformError(key_error::kBadKeyset);
  return std::nullopt;
}

// The number of keys container |listing| holds; 0 when they cannot be read (a token's keys while
// it is absent).
size_t KeyCount(KeyContainerStore& store, const ContainerListing& listing) {
  auto container = store.Open(listing.name, "", provider_type::kRsaFull);
  const auto keys = container ? container->Keys() : std::nullopt;
  return keys ? keys->size() : 0;
}

int Declined(const CommandLine& line, bool refused) {
  if (line.json) {
    std::printf("{\"error\":%s,\"code\":%u}\n",
                JsonString(refused ? "not confirmed: no terminal to ask on"
                                   : "not confirmed: nothing was deleted")
                    .c_str(),
                key_error::kCancelled);
  } else if (!refused) {
    std::fprintf(stderr, "kelvadrome: nothing was deleted\n");
  }
  return kFailure;
}

// keys delete <container> [--yes]: removes a container with its keys. The certificates linked to
// it stay in MY (they may be wanted for verifying or for another copy of the key) and are counted.
int KeysDelete(const CommandLine& line) {
  if (line.words.size() != 3) return kUsage;
  auto database = std::shared_ptr<ProfileDatabase>(ProfileDatabase::OpenUser());
  if (!database) return Fail(line, "cannot open the profile");
  KeyContainerStore store(database);
  const auto listing = FindContainer(store, line.words[2]);
  if (!listing) return Fail(line, "no key container " + line.words[2]);
  auto personal = CertStore::OpenSystem("MY", database);
  const auto links = personal ? LinksByContainer(*personal) : std::nullopt;
  if (!links) return Fail(line, "cannot read the store MY");
  const size_t linked = links->count(FoldedContainerName(listing->name));
  const size_t keys = KeyCount(store, *listing);
  bool refused = false;
  if (!Confirmed(line,
                 "Delete key container \"" + listing->name + "\" and its " + CountedKeys(keys) + "?",
                 &refused)) {
    return Declined(line, refused);
  }
  if (!store.Delete(listing->name, "", provider_type::kRsaFull)) {
    return Fail(line, "cannot delete the key container " + listing->name);
  }
  if (line.json) {
    std::printf("{\"deleted\":%s,\"keys\":%zu,\"certificatesWithoutKey\":%zu}\n",
                JsonString(listing->name).c_str(), keys, linked);
  } else {
    std::printf("Deleted key container \"%s\" and its %s.\n", listing->name.c_str(),
                CountedKeys(keys).c_str());
    if (linked != 0) std::printf("%s.\n", KeylessReport(linked).c_str());
  }
  return kSuccess;
}

// cert delete <thumbprint> [store] [--with-key]: removes a certificate and its properties from a
// store. With --with-key the key container the certificate links to goes too, after asking, unless
// another certificate of MY still links to it; both are removed in one transaction of the profile.
int CertDelete(const CommandLine& line) {
  if (line.words.size() < 3 || line.words.size() > 4) return kUsage;
  const std::string name = line.words.size() == 4 ? line.words[3] : "MY";
  auto database = std::shared_ptr<ProfileDatabase>(ProfileDatabase::OpenUser());
  if (!database) return Fail(line, "cannot open the profile");
  auto store = CertStore::OpenSystem(name, database);
  if (!store) return Fail(line, "cannot open the store " + name);
  const auto der = CertificateNamed(line.words[2]);
  const auto found = der ? store->Find(CertificateThumbprint(*der)) : std::nullopt;
  if (!found) return Fail(line, "cannot delete " + line.words[2]);

  // What --with-key finds: the container the certificate links to, and whether it stays.
  std::optional<ContainerListing> container;
  size_t keys = 0;
  size_t other_users = 0;
  std::string key_note;  // why no container is removed
  KeyContainerStore containers(database);
  if (line.with_key) {
    const auto value = store->GetProperty(found->id, cert_property::kKeyProviderInfo);
    const auto link = value ? DecodeKeyProviderLink(*value) : std::nullopt;
    if (!link) {
      key_note = "no key is linked to the certificate";
    } else if (!(container = FindContainer(containers, link->container))) {
      if (LastPlatformError() != key_error::kBadKeyset) {
        return Fail(line, "cannot read the key containers");
      }
      key_note = "its key container \"" + link->container + "\" was already gone";
    } else {
      auto personal = CertStore::OpenSystem("MY", database);
      const auto links = personal ? LinksByContainer(*personal) : std::nullopt;
      if (!links) return Fail(line, "cannot read the store MY");
      const bool same_store = FoldRegistryName(name) == FoldRegistryName("MY");
      const auto [first, last] = links->equal_range(FoldedContainerName(container->name));
      other_users = static_cast<size_t>(std::count_if(first, last, [&](const auto& entry) {
        return !same_store || entry.second.id != found->id;
      }));
      if (other_users != 0) {
        key_note = "key container \"" + container->name + "\" kept: " +
                   std::to_string(other_users) +
                   (other_users == 1 ? " other certificate in MY still uses it"
                                     : " other certificates in MY still use it");
        container.reset();
      } else {
        keys = KeyCount(containers, *container);
      }
    }
  }
  if (container) {
    bool refused = false;
    CertInfo info(found->der.data(), static_cast<int32_t>(found->der.size()));
    const std::string subject = info.GetSubjectCN().empty() ? info.GetSubject() : info.GetSubjectCN();
    if (!Confirmed(line,
                   "Delete certificate \"" + subject + "\" and key container \"" +
                       container->name + "\" and its " + CountedKeys(keys) + "?",
                   &refused)) {
      return Declined(line, refused);
    }
  }
  const bool deleted = database->Transaction([&] {
    return store->Delete(found->id) &&
           (!container || containers.Delete(container->name, "", provider_type::kRsaFull));
  });
  if (!deleted) return Fail(line, "cannot delete " + line.words[2]);
  if (line.json) {
    std::printf("{\"deleted\":%s", JsonString(line.words[2]).c_str());
    if (line.with_key) {
      std::printf(",\"keyContainerDeleted\":%s,\"keys\":%zu,\"note\":%s",
                  container ? JsonString(container->name).c_str() : "null", keys,
                  JsonString(key_note).c_str());
    }
    std::printf("}\n");
  } else if (container) {
    std::printf("Deleted the certificate and key container \"%s\" with its %s.\n",
                container->name.c_str(), CountedKeys(keys).c_str());
  } else if (!key_note.empty()) {
    std::printf("Deleted the certificate; %s.\n", key_note.c_str());
  }
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
  // A key protected by the user asks through the dialog host first, as in the component.
  InstallKeyUsePrompt();
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

std::string HexText(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0xF]);
  }
  return hex;
}

// tokens: the tokens present now, each with its key pairs and certificates. Reading a token's
// private objects may need its PIN, which is asked as for any use of the token.
int Tokens(const CommandLine& line) {
  if (line.words.size() != 1) return kUsage;
  InstallKeyUsePrompt();  // the PIN, when a token shows its keys only after a login
  std::string json = "[";
  const auto tokens = PresentTokens();
  if (!line.json && tokens.empty()) std::printf("no token present\n");
  for (const TokenInfo& token : tokens) {
    const auto keys = TokenKeys(token.ref);
    const auto certificates = TokenCertificates(token.ref);
    std::string keys_json = "[", certificates_json = "[";
    if (!line.json) {
      std::printf("%s  serial %s  (%s, %s %s)%s\n", token.ref.label.c_str(),
                  token.ref.serial.c_str(), token.ref.module.c_str(), token.manufacturer.c_str(),
                  token.model.c_str(), token.pin_pad ? "  PIN pad" : "");
      if (!keys) std::printf("  keys: cannot be read (error 0x%08X)\n", LastPlatformError());
    }
    for (const TokenKey& key : keys.value_or(std::vector<TokenKey>{})) {
      if (line.json) {
        keys_json += std::string(keys_json.size() > 1 ? "," : "") + "{\"id\":\"" + HexText(key.id) +
                     "\",\"label\":" + JsonString(key.label) +
                     ",\"bits\":" + std::to_string(key.bits) +
                     ",\"extractable\":" + (key.extractable ? "true" : "false") +
                     ",\"sensitive\":" + (key.sensitive ? "true" : "false") + "}";
      } else {
        std::printf("  key   %s  RSA %u  id %s%s\n", key.label.c_str(), key.bits,
                    HexText(key.id).c_str(), key.extractable ? "  extractable" : "");
      }
    }
    for (const TokenCertificate& certificate :
         certificates.value_or(std::vector<TokenCertificate>{})) {
      CertInfo info(certificate.der.data(), static_cast<int32_t>(certificate.der.size()));
      if (line.json) {
        certificates_json += std::string(certificates_json.size() > 1 ? "," : "") + "{\"id\":\"" +
                             HexText(certificate.id) +
                             "\",\"label\":" + JsonString(certificate.label) +
                             ",\"subject\":" + JsonString(info.GetSubject()) + "}";
      } else {
        std::printf("  cert  %s  id %s  %s\n", certificate.label.c_str(),
                    HexText(certificate.id).c_str(), info.GetSubject().c_str());
      }
    }
    if (line.json) {
      json += std::string(json.size() > 1 ? "," : "") +
              "{\"label\":" + JsonString(token.ref.label) +
              ",\"serial\":" + JsonString(token.ref.serial) +
              ",\"module\":" + JsonString(token.ref.module) +
              ",\"manufacturer\":" + JsonString(token.manufacturer) +
              ",\"model\":" + JsonString(token.model) +
              ",\"pinPad\":" + (token.pin_pad ? "true" : "false") + ",\"keys\":" + keys_json +
              "],\"certificates\":" + certificates_json + "]}";
    }
  }
  if (line.json) std::printf("%s]\n", json.c_str());
  return kSuccess;
}

// doctor: what the component finds on this machine for this user.
// keys rewrap: every private key of the profile sealed again under a new wrapping key.
int KeysRewrap(const CommandLine& line) {
  if (line.words.size() != 2) return kUsage;
  auto database = ProfileDatabase::OpenUser();
  if (!database) return Fail(line, "cannot open the profile");
  if (!RewrapProfileKeys(*database)) return Fail(line, "cannot seal the keys under a new key");
  const auto protection = DescribeProfileKeyProtection(*database);
  if (!protection) return Fail(line, "cannot read what protects the keys");
  if (line.json) {
    std::printf("{\"sealedKeys\":%lld,\"wrappingKey\":%s,\"store\":%s}\n",
                static_cast<long long>(protection->sealed_keys),
                JsonString(HexText(protection->id)).c_str(), JsonString(protection->where).c_str());
  } else {
    std::printf("%lld private key(s) sealed under the new wrapping key %s\n  %s\n",
                static_cast<long long>(protection->sealed_keys), HexText(protection->id).c_str(),
                protection->where.c_str());
  }
  return kSuccess;
}

int Doctor(const CommandLine& line) {
  if (line.words.size() != 1) return kUsage;
  const std::vector<std::string> modules = TokenModules();
  const size_t present = PresentTokens().size();
  // What seals the profile's private keys: the profile's own wrapping key once it has one, else
  // where a new one would go.
  auto database = ProfileDatabase::OpenUser();
  std::optional<ProfileKeyProtection> protection;
  if (database) protection = DescribeProfileKeyProtection(*database);
  const std::string next_store = DescribeWrappingKeyStore(PreferredWrappingKeyStore());
  if (line.json) {
    std::string list = "[";
    for (const auto& module : modules) {
      list += std::string(list.size() > 1 ? "," : "") + JsonString(module);
    }
    std::string keys = "null";
    if (protection) {
      keys = "{\"wrappingKey\":" + JsonString(HexText(protection->id)) +
             ",\"store\":" + JsonString(protection->where) +
             ",\"found\":" + (protection->present ? "true" : "false") +
             ",\"sealedKeys\":" + std::to_string(protection->sealed_keys) + "}";
    }
    std::printf("{\"pkcs11Modules\":%s],\"tokensPresent\":%zu,\"keysAtRest\":%s,"
                "\"newWrappingKeys\":%s}\n",
                list.c_str(), present, keys.c_str(), JsonString(next_store).c_str());
    return kSuccess;
  }
  std::printf("PKCS #11 modules (p11-kit):\n");
  if (modules.empty()) std::printf("  none registered\n");
  for (const auto& module : modules) std::printf("  %s\n", module.c_str());
  std::printf("tokens present: %zu\n", present);
  std::printf("private keys at rest:\n");
  if (protection) {
    std::printf("  %lld sealed under the wrapping key %s%s\n  %s\n",
                static_cast<long long>(protection->sealed_keys), HexText(protection->id).c_str(),
                protection->present ? "" : ", WHICH IS MISSING: the keys cannot be used",
                protection->where.c_str());
  } else {
    std::printf("  no wrapping key yet (no private key stored); a new one would go to:\n  %s\n",
                next_store.c_str());
  }
  return kSuccess;
}

// --- The automation object ---------------------------------------------------------------------

// Holds one reference to an interface.
template <typename T>
struct Released {
  void operator()(T* object) const { object->Release(); }
};
template <typename T>
using InterfaceRef = std::unique_ptr<T, Released<T>>;

// A VARIANT that frees the string it may hold.
struct OwnedVariant {
  VARIANT value{};
  OwnedVariant() = default;
  OwnedVariant(OwnedVariant&& other) noexcept : value(other.value) { other.value.vt = VT_EMPTY; }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;
  ~OwnedVariant() {
    if (value.vt == VT_BSTR) FreeBstr(value.bstrVal);
  }
};

const char* ValueKindName(ValueKind kind) {
  return kind == ValueKind::kText ? "text" : "number";
}

// The library installed with this command: beside it (a build tree) or in ../lib (an installed
// prefix).
std::optional<std::string> ModuleBesideCommand() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  const std::string name = "libKelvadromeATL.so." + std::to_string(KELVADROME_VERSION_MAJOR);
  for (const auto& candidate :
       {self.parent_path() / name, self.parent_path().parent_path() / "lib" / name}) {
    if (std::filesystem::is_regular_file(candidate, error)) {
      return candidate.lexically_normal().string();
    }
  }
  return std::nullopt;
}

// RegisterModule has the module at |path| register itself, as its DllRegisterServer does. The
// module stays loaded, as the creation function keeps the modules it loads: the library keeps
// some state for the life of the process.
HRESULT RegisterModule(const std::string& path) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return CO_E_DLLNOTFOUND;
  using Entry = HRESULT (*)();
  const auto register_server = reinterpret_cast<Entry>(dlsym(module, "DllRegisterServer"));
  return register_server != nullptr ? register_server() : CO_E_ERRORINDLL;
}

int FailWith(const CommandLine& line, const std::string& what, HRESULT result) {
  const auto code = static_cast<uint32_t>(result);
  if (line.json) {
    std::printf("{\"error\":%s,\"code\":%u}\n", JsonString(what).c_str(), code);
  } else {
    std::fprintf(stderr, "kelvadrome: %s (0x%08X)\n", what.c_str(), code);
  }
  return kFailure;
}

// CreateCapi creates KelvadromeATL.CAPI by its ProgID, as any automation client does: through the
// registry of the current profile to the module and its class factory. When the class is not
// registered there, or its registration names a module that cannot be loaded, the library
// installed with this command registers itself first.
HRESULT CreateCapi(InterfaceRef<IDispatch>* object, std::string* problem) {
  const std::u16string prog_id(kCapiProgId.begin(), kCapiProgId.end());
  void* made = nullptr;
  HRESULT result = CreateRegisteredObject(prog_id.c_str(), &IID_IDispatch, &made);
  if (result == CO_E_CLASSSTRING || result == REGDB_E_CLASSNOTREG || result == CO_E_DLLNOTFOUND ||
      result == CO_E_ERRORINDLL) {
    const auto module = ModuleBesideCommand();
    if (!module) {
      *problem = std::string(kCapiProgId) +
                 " is not registered, and no library was found beside "
                 "this command to register";
      return result;
    }
    result = RegisterModule(*module);
    if (FAILED(result)) {
      *problem = "cannot register " + *module;
      return result;
    }
    result = CreateRegisteredObject(prog_id.c_str(), &IID_IDispatch, &made);
  }
  if (FAILED(result)) *problem = "cannot create " + std::string(kCapiProgId);
  object->reset(static_cast<IDispatch*>(made));
  return result;
}

// InvokeByName calls |name| through IDispatch with |arguments| in parameter order.
HRESULT InvokeByName(IDispatch* object, std::u16string name, std::vector<VARIANT>& arguments,
                     VARIANT* result, UINT* arg_error) {
  LPOLESTR names[] = {name.data()};
  DISPID dispid = DISPID_UNKNOWN;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  return object->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, arg_error);
}

// The narrow text of a result, or of a method without arguments.
std::string TextOf(const VARIANT& value) {
  if (value.vt == VT_I4) return std::to_string(value.lVal);
  if (value.vt != VT_BSTR || value.bstrVal == nullptr) return "";
  return ConvertToNarrow(std::u16string_view(value.bstrVal, BstrLength(value.bstrVal)));
}

// Ask calls a method without arguments (one of the error queries) and returns its result.
OwnedVariant Ask(IDispatch* object, MethodId method) {
  std::vector<VARIANT> none;
  OwnedVariant answer;
  const std::string name(Describe(method).name);
  InvokeByName(object, std::u16string(name.begin(), name.end()), none, &answer.value, nullptr);
  return answer;
}

int32_t AskNumber(IDispatch* object, MethodId method) {
  const OwnedVariant answer = Ask(object, method);
  return answer.value.vt == VT_I4 ? answer.value.lVal : 0;
}

std::string AskText(IDispatch* object, MethodId method) {
  std::string text = TextOf(Ask(object, method).value);
  // Platform messages end in CR LF before the number: keep them on one line.
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, " ");
  return text;
}

// ParseNumber reads a 32-bit argument: decimal with an optional sign, or 0x and hexadecimal digits.
// Values from 2^31 to 2^32 - 1 stand for the negative number of the same 32 bits.
std::optional<int32_t> ParseNumber(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = text.c_str() + (hex ? 2 : 0);
  if (*digits == '\0' || std::isspace(static_cast<unsigned char>(*digits)) ||
      (hex && *digits == '-')) {
    return std::nullopt;
  }
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || number < INT32_MIN || number > UINT32_MAX) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(number));
}

int Methods(const CommandLine& line) {
  if (line.words.size() != 1) return kUsage;
  std::string json = "[";
  for (const auto& method : kMethods) {
    const auto names = method.ParameterNames();
    std::string parameters, parameters_json;
    for (size_t i = 0; i < names.size(); ++i) {
      parameters +=
          " <" + names[i] + (method.parameters[i] == ValueKind::kInteger ? ":number>" : ">");
      parameters_json += std::string(i ? "," : "") + "{\"name\":" + JsonString(names[i]) +
                         ",\"type\":\"" + ValueKindName(method.parameters[i]) + "\"}";
    }
    if (line.json) {
      json += std::string(json.size() > 1 ? "," : "") + "{\"name\":" + JsonString(method.name) +
              ",\"dispid\":" + std::to_string(method.dispid) + ",\"parameters\":[" +
              parameters_json + "],\"result\":\"" + ValueKindName(method.result) + "\"}";
    } else {
      std::printf("%s%s -> %s\n", std::string(method.name).c_str(), parameters.c_str(),
                  ValueKindName(method.result));
    }
  }
  if (line.json) std::printf("%s]\n", json.c_str());
  return kSuccess;
}

// call <Method> [arguments...]: one call through IDispatch, as a script would make it.
int Call(const CommandLine& line) {
  if (line.words.size() < 2) return kUsage;
  const std::string& name = line.words[1];
  const MethodDescriptor* method = FindMethodIgnoringCase(std::u16string(name.begin(), name.end()));
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (method == nullptr || !ascii) {
    std::fprintf(stderr, "kelvadrome: no method is named %s (see kelvadrome methods)\n",
                 name.c_str());
    return kUsageExplained;
  }
  const std::string method_name(method->name);
  const auto parameter_names = method->ParameterNames();
  const size_t given = line.words.size() - 2;
  if (given != method->parameter_count) {
    std::string expected;
    for (const auto& parameter : parameter_names) expected += " <" + parameter + ">";
    std::fprintf(stderr, "kelvadrome: %s takes %u argument%s:%s\n", method_name.c_str(),
                 method->parameter_count, method->parameter_count == 1 ? "" : "s",
                 expected.empty() ? " none" : expected.c_str());
    return kUsageExplained;
  }
  // Arguments typed by the method table: texts as given, numbers parsed here.
  std::vector<OwnedVariant> owned(given);
  for (size_t i = 0; i < given; ++i) {
    const std::string& word = line.words[2 + i];
    VARIANT& value = owned[i].value;
    if (method->parameters[i] == ValueKind::kInteger) {
      const auto number = ParseNumber(word);
      if (!number) {
        std::fprintf(stderr, "kelvadrome: %s of %s must be a 32-bit number, not %s\n",
                     parameter_names[i].c_str(), method_name.c_str(), word.c_str());
        return kUsageExplained;
      }
      value.vt = VT_I4;
      value.lVal = *number;
    } else {
      value.vt = VT_BSTR;
      value.bstrVal = AllocBstr(ConvertToWide(word));
      if (value.bstrVal == nullptr) throw std::bad_alloc();
    }
  }

  InterfaceRef<IDispatch> object;
  std::string problem;
  if (const HRESULT created = CreateCapi(&object, &problem); FAILED(created)) {
    return FailWith(line, problem, created);
  }
  std::vector<VARIANT> arguments;
  for (const auto& argument : owned) arguments.push_back(argument.value);
  OwnedVariant result;
  UINT arg_error = 0;
  const HRESULT invoked =
      InvokeByName(object.get(), std::u16string(method_name.begin(), method_name.end()), arguments,
                   &result.value, &arg_error);
  if (FAILED(invoked)) return FailWith(line, "cannot call " + method_name, invoked);

  const std::string text = TextOf(result.value);
  const int32_t error = AskNumber(object.get(), MethodId::GetErrorCode);
  std::string message, capi_message;
  int32_t capi_error = 0;
  if (error != 0) {
    message = AskText(object.get(), MethodId::GetErrorMsg);
    capi_error = AskNumber(object.get(), MethodId::GetCapiErrorCode);
    if (capi_error != 0) capi_message = AskText(object.get(), MethodId::GetCapiErrorMsg);
  }
  if (line.json) {
    std::string json = "{\"method\":" + JsonString(method_name) +
                       ",\"result\":" + (result.value.vt == VT_I4 ? text : JsonString(text)) +
                       ",\"errorCode\":" + std::to_string(error);
    if (error != 0) {
      json += ",\"errorMessage\":" + JsonString(message) +
              ",\"capiErrorCode\":" + std::to_string(static_cast<uint32_t>(capi_error));
      if (capi_error != 0) json += ",\"capiErrorMessage\":" + JsonString(capi_message);
    }
    std::printf("%s}\n", json.c_str());
  } else {
    std::printf("%s\n", text.c_str());
    if (error != 0) {
      std::fprintf(stderr, "kelvadrome: %s failed: error %d: %s\n", method_name.c_str(), error,
                   message.c_str());
      const std::string explanation = ExplanationOf(error);
      if (!explanation.empty()) std::fprintf(stderr, "kelvadrome: %s\n", explanation.c_str());
      if (capi_error != 0) {
        std::fprintf(stderr, "kelvadrome: platform error: %s\n", capi_message.c_str());
      }
    }
  }
  return error == 0 ? kSuccess : kFailure;
}

// server register | unregister: what a setup program does with the automation server.
int Server(const CommandLine& line) {
  if (line.words.size() != 2) return kUsage;
  if (line.words[1] == "register") {
    const auto module = ModuleBesideCommand();
    if (!module)
      return FailWith(line, "no library was found beside this command", CO_E_DLLNOTFOUND);
    const HRESULT result = RegisterModule(*module);
    if (FAILED(result)) return FailWith(line, "cannot register " + *module, result);
    if (line.json) std::printf("{\"registered\":%s}\n", JsonString(*module).c_str());
    return kSuccess;
  }
  if (line.words[1] == "unregister") {
    const HRESULT result = UnregisterCapiServer();
    if (FAILED(result))
      return FailWith(line, "cannot unregister " + std::string(kCapiProgId), result);
    if (line.json) {
      std::printf("{\"unregistered\":%s}\n", JsonString(std::string(kCapiProgId)).c_str());
    }
    return kSuccess;
  }
  return kUsage;
}

// The page bridge program: the one named, else kelvadrome-bridge beside this command.
std::optional<std::string> BridgeProgram(const CommandLine& line, size_t at) {
  if (line.words.size() > at) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(line.words[at], error);
    if (error) return std::nullopt;
    return absolute.lexically_normal().string();
  }
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return (self.parent_path() / "kelvadrome-bridge").string();
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

// bridge install-manifests [user|system] [<bridge>]: writes the host manifest where each browser
// of the user (or of the system) looks for it.
int BridgeInstallManifests(const CommandLine& line) {
  size_t at = 2;
  bool system = false;
  if (line.words.size() > at && (line.words[at] == "user" || line.words[at] == "system")) {
    system = line.words[at] == "system";
    ++at;
  }
  if (line.words.size() > at + 1) return kUsage;
  const std::optional<std::string> bridge = BridgeProgram(line, at);
  if (!bridge) return FailWith(line, "cannot tell where the bridge is", E_FAIL);
  std::string json = "{\"installed\":[";
  bool first = true;
  for (const auto& place : bridge_manifests::Places(HomeFolder(), system)) {
    const std::optional<std::string> text = bridge_manifests::ManifestText(*bridge, place);
    if (!text)
      return FailWith(line, "the bridge path must be absolute UTF-8 text: " + *bridge,
                      E_INVALIDARG);
    std::error_code error;
    std::filesystem::create_directories(place.folder, error);
    const std::string temporary = place.File() + ".tmp";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << *text;
      if (!out.flush()) error = std::make_error_code(std::errc::io_error);
    }
    if (error || std::rename(temporary.c_str(), place.File().c_str()) != 0) {
      std::remove(temporary.c_str());
      return FailWith(line, "cannot write " + place.File(), E_FAIL);
    }
    if (line.json) {
      json += std::string(first ? "" : ",") + "{\"browser\":" + JsonString(place.browser) +
              ",\"manifest\":" + JsonString(place.File()) + "}";
      first = false;
    } else {
      std::printf("%-8s %s\n", place.browser.c_str(), place.File().c_str());
    }
  }
  if (line.json) std::printf("%s],\"bridge\":%s}\n", json.c_str(), JsonString(*bridge).c_str());
  return kSuccess;
}

// LoopbackServiceAnswers tells whether something accepts connections at the loopback service's
// default address (the socket unit, or a bridge started by hand).
bool LoopbackServiceAnswers() {
  UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kBridgeLoopbackPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// bridge status [<bridge>]: for every place of the user and of the system, whether the manifest
// there names this bridge; whether the bridge is there; the confined browsers found; whether the
// loopback service answers.
int BridgeStatus(const CommandLine& line) {
  if (line.words.size() > 3) return kUsage;
  const std::optional<std::string> bridge = BridgeProgram(line, 2);
  if (!bridge) return FailWith(line, "cannot tell where the bridge is", E_FAIL);
  const bool runnable = ::access(bridge->c_str(), X_OK) == 0;
  std::string json = "{\"bridge\":" + JsonString(*bridge) +
                     ",\"runnable\":" + (runnable ? "true" : "false") + ",\"places\":[";
  if (!line.json) {
    std::printf("bridge   %s (%s)\n", bridge->c_str(), runnable ? "found" : "not found");
  }
  bool first = true;
  bool found = false;
  for (const bool system : {false, true}) {
    for (const auto& place : bridge_manifests::Places(HomeFolder(), system)) {
      const auto state = bridge_manifests::StateOf(place, *bridge);
      const char* said = state == bridge_manifests::ManifestState::kCurrent ? "names this bridge"
                         : state == bridge_manifests::ManifestState::kMissing
                             ? "no manifest"
                             : "a manifest for another bridge or extension";
      found = found || (state == bridge_manifests::ManifestState::kCurrent && runnable);
      if (line.json) {
        json += std::string(first ? "" : ",") + "{\"browser\":" + JsonString(place.browser) +
                ",\"scope\":\"" + (system ? "system" : "user") +
                "\",\"manifest\":" + JsonString(place.File()) + ",\"state\":" + JsonString(said) +
                "}";
        first = false;
      } else {
        std::printf("%-8s %-6s %s: %s\n", place.browser.c_str(), system ? "system" : "user",
                    place.File().c_str(), said);
      }
    }
  }
  const auto notes = bridge_manifests::ConfinedBrowsers(HomeFolder());
  const bool loopback = LoopbackServiceAnswers();
  if (line.json) {
    json += "],\"confined\":[";
    for (size_t i = 0; i < notes.size(); ++i) json += (i == 0 ? "" : ",") + JsonString(notes[i]);
    std::printf("%s],\"loopback\":{\"address\":\"127.0.0.1:%u\",\"answering\":%s}}\n", json.c_str(),
                kBridgeLoopbackPort, loopback ? "true" : "false");
  } else {
    for (const auto& note : notes) std::printf("note     %s\n", note.c_str());
    std::printf("loopback 127.0.0.1:%u: %s\n", kBridgeLoopbackPort,
                loopback
                    ? "answering"
                    : "nothing listens (systemctl --user enable --now kelvadrome-bridge.socket)");
  }
  return found ? kSuccess : kFailure;
}

// bridge origins [list | revoke <origin>]: the decisions the page bridge keeps per origin.
int BridgeOrigins(const CommandLine& line) {
  const auto& words = line.words;
  if (words.size() < 2 || words[1] != "origins") return kUsage;
  if (words.size() == 2 || (words.size() == 3 && words[2] == "list")) {
    std::string json = "[";
    for (const auto& [origin, decision] : StoredOriginDecisions()) {
      const char* verdict = decision == OriginDecision::kAllow ? "allow" : "deny";
      if (line.json) {
        json += std::string(json.size() > 1 ? "," : "") + "{\"origin\":" + JsonString(origin) +
                ",\"decision\":\"" + verdict + "\"}";
      } else {
        std::printf("%s %s\n", verdict, origin.c_str());
      }
    }
    if (line.json) std::printf("%s]\n", json.c_str());
    return kSuccess;
  }
  if (words.size() == 4 && words[2] == "revoke") {
    // The files and folders the person picked for the origin go with its decision.
    const bool decision_kept = RevokeOriginDecision(words[3]);
    const bool picks_kept = ForgetOriginPicks(words[3]);
    if (!decision_kept && !picks_kept) {
      return Fail(line, "no decision or pick is kept for " + words[3]);
    }
    if (line.json) std::printf("{\"revoked\":%s}\n", JsonString(words[3]).c_str());
    return kSuccess;
  }
  return kUsage;
}

int Run(int argc, char** argv) {
  const auto line = Parse(argc, argv);
  if (line && (line->help ||
               (!line->words.empty() && (line->words[0] == "help" || line->words[0] == "-h")))) {
    std::fputs(kHelpText, stdout);
    return kSuccess;
  }
  int result = kUsage;
  if (line && !line->words.empty() && line->words[0] == "certs") result = Certs(*line);
  if (line && !line->words.empty() && line->words[0] == "cert") result = CertShow(*line);
  if (line && !line->words.empty() && line->words[0] == "keys") {
    const std::string verb = line->words.size() >= 2 ? line->words[1] : "";
    result = verb == "delete"   ? KeysDelete(*line)
             : verb == "rewrap" ? KeysRewrap(*line)
                                : Keys(*line);
  }
  if (line && !line->words.empty() && line->words[0] == "tokens") result = Tokens(*line);
  if (line && !line->words.empty() && line->words[0] == "doctor") result = Doctor(*line);
  if (line && !line->words.empty() && line->words[0] == "methods") result = Methods(*line);
  if (line && !line->words.empty() && line->words[0] == "call") result = Call(*line);
  if (line && !line->words.empty() && line->words[0] == "server") result = Server(*line);
  if (line && line->words.size() >= 2 && line->words[0] == "bridge") {
    if (line->words[1] == "install-manifests") result = BridgeInstallManifests(*line);
    if (line->words[1] == "status") result = BridgeStatus(*line);
    if (line->words[1] == "origins") result = BridgeOrigins(*line);
  }
  if (line && line->words.size() >= 2 && line->words[0] == "reg") {
    const std::string& verb = line->words[1];
    if (verb == "get") result = RegGet(*line);
    if (verb == "set") result = RegSet(*line);
    if (verb == "list") result = RegList(*line);
    if (verb == "delete") result = RegDelete(*line);
  }
  if (result == kUsage) std::fputs(kUsageText, stderr);
  return result == kUsageExplained ? kUsage : result;
}

}  // namespace
}  // namespace kelvadrome

int main(int argc, char** argv) {
  // The command handles private keys and PINs: no core dump of it, and no other process of the
  // user attaching to it.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  try {
    return kelvadrome::Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvadrome: %s\n", error.what());
    return 1;
  }
}
