#include "ops/pfx_transfer.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/certificate_filter.h"
#include "platform/cert_chain.h"
#include "platform/cert_store.h"
#include "platform/certificate_key.h"
#include "platform/error_codes.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pfx_store.h"
#include "platform/pkcs12.h"
#include "platform/profile.h"
#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/cert_list_dialog.h"
#include "ui/dialog_host.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

constexpr int32_t kChainFlag = 0x200;
constexpr int32_t kRemoveAfterExportFlag = 0x1000;

std::string CommonNameOf(const std::vector<uint8_t>& der) {
  const CertInfo info(der.data(), static_cast<int32_t>(der.size()));
  return info.GetSubjectCN();
}

// The properties a certificate carries from one store into another: the link to its key, and its
// friendly name when it has one.
std::vector<CertificateProperty> CarriedProperties(CertStore& store, int64_t id,
                                                   const std::vector<uint8_t>& link) {
  std::vector<CertificateProperty> properties{{cert_property::kKeyProviderInfo, link}};
  if (auto name = store.GetProperty(id, cert_property::kFriendlyName)) {
    properties.push_back({cert_property::kFriendlyName, std::move(*name)});
  }
  return properties;
}

// The name a certificate's bags carry in an exported file: its friendly name, else its common
// name.
std::string ExportedFriendlyName(CertStore& store, const StoredCertificate& certificate) {
  const auto value = store.GetProperty(certificate.id, cert_property::kFriendlyName);
  const auto name = value ? DecodeFriendlyName(*value) : std::nullopt;
  if (name && !name->empty()) return Utf16ToUtf8(*name);
  return Utf16ToUtf8(ConvertToWide(CommonNameOf(certificate.der)));
}

}  // namespace

std::string DefaultPfxFileName(const std::string& configured, const std::string& common_name) {
  if (configured.empty()) return common_name + ".pfx";
  std::string lower = configured;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find(".pfx") != std::string::npos ? configured : configured + ".pfx";
}

PfxLoading LoadUserPfxFile(PfxStore& pfx, const std::string& path, std::string_view password,
                           uint32_t flags) {
  PfxLoading loading{pfx.Load(path, password, flags), pfx.platform_error()};
  if (loading.platform_error == platform_error::kPermissionDenied)
    loading.code = Code(ErrorCode::kRightsDenied);
  return loading;
}

bool CertificateHasKeyUsage(const std::vector<uint8_t>& der, int32_t key_usage) {
  if (key_usage <= 0) return true;
  const CertInfo info(der.data(), static_cast<int32_t>(der.size()));
  const auto wanted = static_cast<uint32_t>(key_usage);
  return (info.GetKeyUsage() & wanted) == wanted;
}

void PfxFileCertificates::Take(const PfxFileRequest& request, const std::vector<uint8_t>& der) {
  certificates.insert(certificates.end(), der.begin(), der.end());
  folder = request.folder;
  file_name = request.file_name;
}

PfxLoading OpenRequestedPfxFile(DialogHost& host, std::string& folder, std::string& file_name,
                                SecretString& password, int32_t min_password_length,
                                int32_t max_password_length, uint32_t flags, PfxStore& pfx) {
  const int32_t asked = CompletePfxFileFields(host, PromptPfxFile, folder, file_name, password,
                                              min_password_length, max_password_length);
  if (asked != 0) return {asked, 0};
  const std::string path = JoinFolderAndName(folder, file_name);
  if (!PathExists(path)) return {Code(ErrorCode::kFileNotFound), 0};
  return LoadUserPfxFile(pfx, path, password.view(), flags);
}

PfxImportOutcome ImportPfxFile(PfxFileRequest request, DialogHost& host) {
  PfxImportOutcome outcome;
  PfxStore pfx;
  const PfxLoading loading = OpenRequestedPfxFile(
      host, request.folder, request.file_name, request.password, request.min_password_length,
      request.max_password_length, static_cast<uint32_t>(request.flags), pfx);
  outcome.code = loading.code;
  outcome.platform_error = loading.platform_error;
  if (outcome.code != 0) return outcome;

  // "MY" and the key containers share one connection, so that each key and the certificate that
  // refers to it are stored in one transaction: an import that fails or is killed half-way leaves
  // neither behind.
  std::shared_ptr<ProfileDatabase> profile = ProfileDatabase::OpenUser();
  auto personal = CertStore::OpenSystem("MY", profile);
  if (!personal) {
    outcome.code = Code(ErrorCode::kPersonalStoreNotOpened);
    outcome.platform_error = LastPlatformError();
    return outcome;
  }
  KeyContainerStore containers(profile);
  outcome.code = Code(ErrorCode::kCertificateNotFound);
  size_t imported = 0;
  for (const auto& certificate :
       pfx.store()->Enumerate().value_or(std::vector<StoredCertificate>{})) {
    auto key = AcquireCertificatePrivateKey(*pfx.store(), certificate.id, false);
    if (!key) {
      if (imported == 0) outcome.code = Code(ErrorCode::kNoPrivateKey);
      continue;
    }
    if (!CertificateHasKeyUsage(certificate.der, request.key_usage)) {
      outcome.code = Code(ErrorCode::kKeyUsageUnfit);
      continue;
    }
    const auto link_value =
        pfx.store()->GetProperty(certificate.id, cert_property::kKeyProviderInfo);
    const bool added = link_value && profile->Transaction([&] {
      return containers.Persist(*key->container) &&
             personal
                 ->AddWithProperties(certificate.der,
                                     AddDisposition::kReplaceExistingInheritProperties,
                                     CarriedProperties(*pfx.store(), certificate.id, *link_value))
                 .has_value();
    });
    if (!added) {
      if (imported == 0) {
        outcome.code = Code(ErrorCode::kCertificateNotFound);
        outcome.platform_error = LastPlatformError();
      }
      continue;
    }
    outcome.Take(request, certificate.der);
    ++imported;
    outcome.code = 0;
  }
  return outcome;
}

PfxExportOutcome ExportPfxFile(const PfxExportRequest& request, DialogHost& host) {
  PfxExportOutcome outcome;
  auto personal = CertStore::OpenSystem("MY");
  if (!personal) {
    outcome.code = Code(ErrorCode::kPersonalStoreNotOpened);
    outcome.platform_error = LastPlatformError();
    return outcome;
  }
  std::vector<StoredCertificate> candidates;
  const FilterResult filtered = FilterCertificates(
      personal.get(), FilterForm::kStore, request.subject_filter,
      static_cast<uint32_t>(request.flags), request.key_usage, std::nullopt, candidates);
  if (filtered.code != 0) {
    outcome.code = filtered.code;
    outcome.platform_error = filtered.platform_error;
    return outcome;
  }
  size_t chosen_index = 0;
  if (candidates.empty()) {
    outcome.code = Code(ErrorCode::kCertificateNotFound);
    return outcome;
  }
  if (candidates.size() > 1) {
    std::vector<std::vector<uint8_t>> ders;
    for (const auto& candidate : candidates) ders.push_back(candidate.der);
    int chosen = 0;
    outcome.code = ChooseCertificate(host, ders, &chosen);
    if (outcome.code != 0) return outcome;
    chosen_index = static_cast<size_t>(chosen);
  }
  const StoredCertificate& chosen = candidates.at(chosen_index);
  PfxPromptFields fields;
  fields.folder = request.folder;
  fields.file_name = DefaultPfxFileName(request.default_file_name, CommonNameOf(chosen.der));
  fields.password = request.password;
  fields.min_length = request.min_password_length;
  fields.max_length = request.max_password_length;

  auto memory = CertStore::OpenMemory();
  if (!memory) {
    outcome.code = Code(ErrorCode::kMemoryStoreNotOpened);
    outcome.platform_error = LastPlatformError();
    return outcome;
  }
  // The chosen certificate as it stands in "MY" with a key that can be reached.
  std::optional<StoredCertificate> source;
  for (const auto& stored : personal->Enumerate().value_or(std::vector<StoredCertificate>{})) {
    if (stored.der != chosen.der || !AcquireCertificatePrivateKey(*personal, stored.id, false)) {
      continue;
    }
    const auto link = personal->GetProperty(stored.id, cert_property::kKeyProviderInfo);
    if (!link || !memory->AddWithProperties(stored.der, AddDisposition::kAlways,
                                            CarriedProperties(*personal, stored.id, *link))) {
      outcome.code = Code(ErrorCode::kPersonalStoreDenied);
      outcome.platform_error = LastPlatformError();
      continue;
    }
    source = stored;
    break;
  }
  if (!source) {
    outcome.code = Code(ErrorCode::kCertificateNotFound);
    return outcome;
  }
  outcome.code = 0;
  outcome.platform_error = 0;
  if ((request.flags & kChainFlag) != 0) {
    // A chain that cannot be built, or is not trusted, is left out; the export goes on.
    const auto chain = BuildCertificateChain(source->der, std::time(nullptr), personal.get());
    if (chain && chain->error_status == 0) {
      for (const auto& element : chain->elements) {
        // The certificate itself is already there, with its key.
        if (element != source->der) memory->Add(element, AddDisposition::kAlways);
      }
    }
  }

  if (request.path_gate) {
    std::string named_folder;
    std::string name;
    SplitFolderAndName(fields.file_name, named_folder, name);
    fields.file_name = std::move(name);
    if (!GatePath(request.path_gate, PathUse::kWriteFolder, fields.folder)) {
      outcome.code = Code(ErrorCode::kCancelled);
      return outcome;
    }
  }
  outcome.code = PromptPfxExport(host, fields);
  if (outcome.code != 0) return outcome;

  // Every certificate of the memory store, the chosen one with its private key.
  const auto held = memory->Enumerate().value_or(std::vector<StoredCertificate>{});
  std::vector<Pkcs12Entry> entries;
  for (const auto& certificate : held) {
    Pkcs12Entry entry;
    entry.certificate = certificate.der;
    entry.friendly_name = ExportedFriendlyName(*memory, certificate);
    if (certificate.der == source->der) {
      auto key = AcquireCertificatePrivateKey(*memory, certificate.id, false);
      auto exported = key ? key->container->ExportPrivateKeyPkcs8(key->key_spec) : std::nullopt;
      if (!exported) {
        const uint32_t error = LastPlatformError();
        outcome.code = error == platform_error::kCancelled ? Code(ErrorCode::kCancelled)
                                                           : Code(ErrorCode::kKeyNotExportable);
        outcome.platform_error = error;
        return outcome;
      }
      entry.private_key = std::move(*exported);
    }
    entries.push_back(std::move(entry));
  }
  // The password as the file's key derivation takes it: UTF-8 of the caller's characters.
  const auto pfx = WritePkcs12(entries, SecretNarrowToUtf8(fields.password.view()).view());
  if (!pfx) {
    outcome.code = Code(ErrorCode::kKeyNotExportable);
    outcome.platform_error = LastPlatformError();
    return outcome;
  }

  if (!EnsureFolder(fields.folder)) {
    outcome.code = Code(ErrorCode::kFolderNotCreated);
    return outcome;
  }
  ByteBuffer bytes;
  if (pfx->size() > static_cast<size_t>(ByteBuffer::kMaxLength) ||
      !bytes.Allocate(static_cast<int32_t>(pfx->size()))) {
    outcome.code = Code(ErrorCode::kPfxFileNotWritten);
    return outcome;
  }
  std::copy(pfx->begin(), pfx->end(), bytes.data());
  if (!WriteFileBytes(JoinFolderAndName(fields.folder, fields.file_name), bytes)) {
    outcome.code = Code(ErrorCode::kPfxFileNotWritten);
    return outcome;
  }
  if ((request.flags & kRemoveAfterExportFlag) != 0) personal->Delete(source->id);
  outcome.folder = fields.folder;
  outcome.file_name = fields.file_name;
  return outcome;
}

}  // namespace kelvadrome
