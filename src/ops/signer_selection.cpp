#include "ops/signer_selection.h"

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/certificate_filter.h"
#include "codec/pfx_store.h"
#include "codec/secure_wipe.h"
#include "ops/signer_share.h"
#include "platform/cert_store.h"
#include "platform/certificate.h"
#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "ui/cert_list_dialog.h"
#include "ui/dialog_host.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

constexpr int32_t kCheckValidity = 0x004;
constexpr int32_t kChoiceModeMask = 0x003;
constexpr uint32_t kExportableKeys = 1;

void TakeCertificate(const std::vector<uint8_t>& der, SelectedSigner& signer) {
  const CertInfo info(der.data(), static_cast<int32_t>(der.size()));
  signer.signerCertHash = info.GetFingerprint();
  signer.signerCertBytes = der;
}

// The Ex2 variant's first step: the signer another instance published, when it is still where it
// was found. True when it was taken.
bool TakePublishedSigner(SignerShare& share, SignerSelectionOutcome& outcome,
                         SelectedSigner& signer) {
  std::vector<uint8_t> published;
  if (!share.ReadBytes("signerCertBytes", published)) return false;
  const int32_t media = share.ReadInt("signerMedia");
  const std::string thumbprint = share.ReadText("signerCertHash");
  std::string password, folder, name;
  std::unique_ptr<CertStore> personal;
  PfxStore pfx;
  CertStore* store = nullptr;
  if (media == static_cast<int32_t>(signer_source::kStore)) {
    personal = CertStore::OpenSystem("MY");
    if (!personal) {
      outcome = {Code(ErrorCode::kPersonalStoreNotOpened), LastPlatformError()};
    }
    store = personal.get();
  } else {
    password = share.ReadText("signerCertPasswd");
    folder = share.ReadText("signerCertFilePath");
    name = share.ReadText("signerCertFileName");
    const std::string path = JoinFolderAndName(folder, name);
    if (PathExists(path)) {
      outcome.code = pfx.Load(path, password, kExportableKeys);
      outcome.platform_error = pfx.platform_error();
      store = pfx.store();
    }
  }
  bool taken = false;
  if (store != nullptr) {
    for (const auto& certificate : store->Enumerate().value_or(std::vector<StoredCertificate>{})) {
      const CertInfo info(certificate.der.data(), static_cast<int32_t>(certificate.der.size()));
      if (info.GetFingerprint() != thumbprint) continue;
      outcome = {};
      signer.signerMedia = media;
      signer.signerCertHash = thumbprint;
      signer.signerCertPasswd = password;
      signer.signerCertFilePath = folder;
      signer.signerCertFileName = name;
      signer.signerCertBytes = certificate.der;
      taken = true;
      break;
    }
  }
  SecureWipe(password);
  return taken;
}

}  // namespace

void SelectedSigner::Clear() {
  SecureWipe(signerCertPasswd);
  SecureWipe(signerCertFilePath);
  SecureWipe(signerCertFileName);
  *this = SelectedSigner{};
}

SignerSelectionRequest::~SignerSelectionRequest() {
  SecureWipe(password);
}

bool ParseCompareDate(std::string_view text, std::optional<int64_t>* when) {
  when->reset();
  if (text.empty()) return true;
  if (text.size() != 14) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const auto number = [&](size_t from, size_t count) {
    int value = 0;
    for (size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = number(0, 4);
  const int month = number(4, 2);
  const int day = number(6, 2);
  const int hour = number(8, 2);
  const int minute = number(10, 2);
  const int second = number(12, 2);
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last_day = kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day > last_day) return false;
  const int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  *when = days * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

uint32_t SignerSourceMask(int32_t flags) {
  const uint32_t mask = ((flags & 0x100) != 0 ? signer_source::kStore : 0) |
                        ((flags & 0x200) != 0 ? signer_source::kPfxFile : 0);
  return mask != 0 ? mask : signer_source::kStore | signer_source::kPfxFile;
}

SignerSelectionOutcome SelectSignerFor(const SignerSelectionRequest& request, DialogHost& host,
                                       SignerShare* share, SelectedSigner& signer) {
  using Variant = SignerSelectionRequest::Variant;
  SignerSelectionOutcome outcome;
  int32_t flags = request.flags;
  std::optional<int64_t> compare_time;
  if (request.variant != Variant::kSelectSigner) {
    if (!ParseCompareDate(request.compare_date, &compare_time))
      return {Code(ErrorCode::kBadArgument), 0};
    if (compare_time) flags |= kCheckValidity;
  }
  const bool shares = request.variant == Variant::kSelectSignerEx2 && share != nullptr;
  if (shares) share->Open();
  if (shares && request.port > 0 && TakePublishedSigner(*share, outcome, signer)) return outcome;
  uint32_t mask = SignerSourceMask(request.flags);

  if ((mask & signer_source::kStore) != 0) {
    auto personal = CertStore::OpenSystem("MY");
    if (!personal) {
      outcome = {Code(ErrorCode::kPersonalStoreNotOpened), LastPlatformError()};
    } else {
      std::vector<StoredCertificate> candidates;
      const FilterResult filtered = FilterCertificates(personal.get(), FilterForm::kStore,
                                                       request.filter, static_cast<uint32_t>(flags),
                                                       request.key_usage, compare_time, candidates);
      outcome = {filtered.code, filtered.platform_error};
      if (filtered.code == 0 && !candidates.empty()) {
        signer.signerMedia = static_cast<int32_t>(signer_source::kStore);
        const int32_t choice_mode = flags & kChoiceModeMask;
        std::optional<size_t> taken;
        if (choice_mode != 1 && (choice_mode == 2 || candidates.size() == 1)) {
          taken = 0;
        } else {
          std::vector<std::vector<uint8_t>> ders;
          for (const auto& candidate : candidates) ders.push_back(candidate.der);
          int chosen = 0;
          if (ShowCertificateList(host, ders, &chosen) == DialogOutcome::kOk && chosen >= 0 &&
              static_cast<size_t>(chosen) < candidates.size()) {
            taken = static_cast<size_t>(chosen);
          }
        }
        if (taken) {
          TakeCertificate(candidates[*taken].der, signer);
          if (shares) share->PublishSigner(signer);
          return outcome;
        }
      }
    }
  }

  // The PFX attempt.
  if (outcome.platform_error == platform_error::kPermissionDenied) {
    return {Code(ErrorCode::kRightsDenied), outcome.platform_error};
  }
  std::string folder = request.pfx_folder;
  std::string name = request.pfx_name;
  std::string password = request.password;
  std::string path;
  bool file_given = false;
  if (request.variant != Variant::kSelectSigner && !folder.empty() && !name.empty()) {
    path = JoinFolderAndName(folder, name);
    if (PathExists(path)) {
      file_given = true;
      mask = signer_source::kPfxFile;
    }
  }
  if ((mask & signer_source::kPfxFile) != 0) {
    const bool prompt =
        request.variant != Variant::kSelectSignerEx || !file_given || password.empty();
    if (prompt) {
      PfxPromptFields fields;
      if (request.variant != Variant::kSelectSigner) {
        fields.folder = folder;
        fields.file_name = name;
        fields.password = password;
      }
      fields.min_length = request.min_password_length;
      fields.max_length = request.max_password_length;
      const int32_t prompted = PromptPfxFile(host, fields);
      if (prompted != 0) {
        SecureWipe(password);
        return {prompted, outcome.platform_error};
      }
      folder = fields.folder;
      name = fields.file_name;
      SecureWipe(password);
      password = fields.password;
      path = JoinFolderAndName(folder, name);
    }
    PfxStore pfx;
    const int32_t loaded = pfx.Load(path, password, kExportableKeys);
    if (loaded != 0) {
      outcome = {loaded, pfx.platform_error()};
    } else {
      std::vector<StoredCertificate> candidates;
      const int32_t filtered = pfx.FilterCertificates(request.filter, static_cast<uint32_t>(flags),
                                                      request.key_usage, compare_time, candidates);
      if (filtered != 0) {
        SecureWipe(password);
        return {filtered, pfx.platform_error()};
      }
      if (candidates.empty()) {
        SecureWipe(password);
        return {Code(ErrorCode::kCertificateNotFound), pfx.platform_error()};
      }
      signer.signerMedia = static_cast<int32_t>(signer_source::kPfxFile);
      signer.signerCertFilePath = folder;
      signer.signerCertFileName = name;
      signer.signerCertPasswd = password;
      TakeCertificate(candidates.front().der, signer);
      // The PFX attempt's outcome replaces the store attempt's.
      outcome = {};
      if (shares) share->PublishSigner(signer);
    }
  }
  SecureWipe(password);
  if (outcome.platform_error == platform_error::kPermissionDenied)
    outcome.code = Code(ErrorCode::kRightsDenied);
  return outcome;
}

}  // namespace kelvadrome
