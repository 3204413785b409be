#include "ops/signer_selection.h"

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/certificate_filter.h"
#include "ops/signer_share.h"
#include "platform/cert_store.h"
#include "platform/certificate.h"
#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "platform/pfx_store.h"
#include "ui/cert_list_dialog.h"
#include "ui/dialog_host.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

constexpr int32_t kCheckValidity = 0x004;
constexpr int32_t kChoiceModeMask = 0x003;
constexpr uint32_t kExportableKeys = 1;

// What every step of a selection reads.
struct SelectionContext {
  const SignerSelectionRequest& request;
  DialogHost& host;
  SignerShare* share;  // the share the result is published to; null when it is not
  uint32_t flags;      // the request's flags, with the validity check when a date was given
  std::optional<int64_t> compare_time;
};

void TakeCertificate(const std::vector<uint8_t>& der, SelectedSigner& signer) {
  const CertInfo info(der.data(), static_cast<int32_t>(der.size()));
  signer.thumbprint = info.GetFingerprint();
  signer.der = der;
}

// The Ex2 variant's first step: the signer another instance published, when its certificate is
// still where it was found. True when it was taken; |outcome| then is success, else it tells why
// the published signer's store or file could not be opened.
bool TakePublishedSigner(SignerShare& share, SignerSelectionOutcome& outcome,
                         SelectedSigner& signer) {
  std::optional<SelectedSigner> published = share.Read();
  if (!published) return false;
  std::unique_ptr<CertStore> personal;
  PfxStore pfx;
  CertStore* store = nullptr;
  if (published->source == SignerSource::kStore) {
    // A store signer has no file: whatever file items the record holds are not its own.
    published->pfx_password.Wipe();
    published->pfx_folder.clear();
    published->pfx_name.clear();
    personal = CertStore::OpenSystem("MY");
    if (!personal) outcome = {Code(ErrorCode::kPersonalStoreNotOpened), LastPlatformError()};
    store = personal.get();
  } else {
    const std::string path = JoinFolderAndName(published->pfx_folder, published->pfx_name);
    if (PathExists(path)) {
      outcome.code = pfx.Load(path, published->pfx_password.view(), kExportableKeys);
      outcome.platform_error = pfx.platform_error();
      store = pfx.store();
    }
  }
  if (store == nullptr) return false;
  for (auto& certificate : store->Enumerate().value_or(std::vector<StoredCertificate>{})) {
    const CertInfo info(certificate.der.data(), static_cast<int32_t>(certificate.der.size()));
    if (info.GetFingerprint() != published->thumbprint) continue;
    outcome = {};
    published->der = std::move(certificate.der);
    signer = std::move(*published);
    return true;
  }
  return false;
}

// The store step: the certificates of "MY" the filter accepts; one is taken at once, or the
// user picks among several. True when a certificate was taken. |outcome| receives the step's
// result (0 also when the user closed the list without choosing).
bool SelectFromStore(const SelectionContext& context, SignerSelectionOutcome& outcome,
                     SelectedSigner& signer) {
  auto personal = CertStore::OpenSystem("MY");
  if (!personal) {
    outcome = {Code(ErrorCode::kPersonalStoreNotOpened), LastPlatformError()};
    return false;
  }
  std::vector<StoredCertificate> candidates;
  const FilterResult filtered =
      FilterCertificates(personal.get(), FilterForm::kStore, context.request.filter, context.flags,
                         context.request.key_usage, context.compare_time, candidates);
  outcome = {filtered.code, filtered.platform_error};
  if (filtered.code != 0 || candidates.empty()) return false;
  // The source is set as soon as the store has candidates, also when the user then picks none.
  signer.source = SignerSource::kStore;
  const uint32_t choice_mode = context.flags & kChoiceModeMask;
  std::optional<size_t> taken;
  if (choice_mode != 1 && (choice_mode == 2 || candidates.size() == 1)) {
    taken = 0;
  } else {
    std::vector<std::vector<uint8_t>> ders;
    for (const auto& candidate : candidates) ders.push_back(candidate.der);
    int chosen = 0;
    if (ShowCertificateList(context.host, ders, &chosen) == DialogOutcome::kOk && chosen >= 0 &&
        static_cast<size_t>(chosen) < candidates.size()) {
      taken = static_cast<size_t>(chosen);
    }
  }
  if (!taken) return false;
  TakeCertificate(candidates[*taken].der, signer);
  if (context.share != nullptr) context.share->Publish(signer);
  return true;
}

// The PFX step: the file the request names, or the one the user gives in the PFX dialog (asked
// unless the Ex variant names an existing file and its password); the first certificate of the
// file the filter accepts is taken. Returns the selection's outcome; |store_outcome| is the store
// step's, which stands when the file cannot be loaded.
SignerSelectionOutcome SelectFromPfxFile(const SelectionContext& context, bool file_given,
                                         const std::string& folder, const std::string& file_name,
                                         const SignerSelectionOutcome& store_outcome,
                                         SelectedSigner& signer) {
  using Variant = SignerSelectionRequest::Variant;
  const SignerSelectionRequest& request = context.request;
  PfxPromptFields fields;
  fields.folder = folder;
  fields.file_name = file_name;
  fields.password = request.password;
  if (request.variant != Variant::kSelectSignerEx || !file_given || fields.password.empty()) {
    if (request.variant == Variant::kSelectSigner) {
      fields.folder.clear();
      fields.file_name.clear();
      fields.password.Wipe();
    }
    fields.min_length = request.min_password_length;
    fields.max_length = request.max_password_length;
    const int32_t prompted = PromptPfxFile(context.host, fields);
    if (prompted != 0) return {prompted, store_outcome.platform_error};
  }
  PfxStore pfx;
  const int32_t loaded = pfx.Load(JoinFolderAndName(fields.folder, fields.file_name),
                                  fields.password.view(), kExportableKeys);
  if (loaded != 0) {
    // A file the system would not let us read is the key store's refusal (5906).
    const bool denied = pfx.platform_error() == platform_error::kPermissionDenied;
    return {denied ? Code(ErrorCode::kRightsDenied) : loaded, pfx.platform_error()};
  }
  std::vector<StoredCertificate> candidates;
  const FilterResult filtered =
      FilterCertificates(pfx.store(), FilterForm::kPfx, request.filter, context.flags,
                         request.key_usage, context.compare_time, candidates);
  if (filtered.code != 0) return {filtered.code, filtered.platform_error};
  if (candidates.empty()) {
    return {Code(ErrorCode::kCertificateNotFound), filtered.platform_error};
  }
  signer.source = SignerSource::kPfxFile;
  signer.pfx_folder = fields.folder;
  signer.pfx_name = fields.file_name;
  signer.pfx_password = fields.password;
  TakeCertificate(candidates.front().der, signer);
  if (context.share != nullptr) context.share->Publish(signer);
  return {};
}

}  // namespace

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

SignerSources SignerSourcesOf(int32_t flags) {
  const SignerSources asked{(flags & 0x100) != 0, (flags & 0x200) != 0};
  return asked.store || asked.pfx_file ? asked : SignerSources{true, true};
}

SignerSelectionOutcome SelectSignerFor(const SignerSelectionRequest& request, DialogHost& host,
                                       SignerShare* share, SelectedSigner& signer) {
  using Variant = SignerSelectionRequest::Variant;
  std::optional<int64_t> compare_time;
  uint32_t flags = static_cast<uint32_t>(request.flags);
  if (request.variant != Variant::kSelectSigner) {
    if (!ParseCompareDate(request.compare_date, &compare_time))
      return {Code(ErrorCode::kBadArgument), 0};
    if (compare_time) flags |= kCheckValidity;
  }
  SignerShare* publish_to = request.variant == Variant::kSelectSignerEx2 ? share : nullptr;
  SignerSelectionOutcome outcome;
  if (publish_to != nullptr) {
    publish_to->Open();
    if (request.port > 0 && TakePublishedSigner(*publish_to, outcome, signer)) return outcome;
  }
  const SelectionContext context{request, host, publish_to, flags, compare_time};
  const SignerSources sources = SignerSourcesOf(request.flags);
  if (sources.store && SelectFromStore(context, outcome, signer)) return outcome;

  // The store's refusal to be read ends the selection; the PFX step is tried otherwise.
  if (outcome.platform_error == platform_error::kPermissionDenied) {
    return {Code(ErrorCode::kRightsDenied), outcome.platform_error};
  }
  std::string folder = request.pfx_folder;
  std::string file_name = request.pfx_name;
  // A file the caller names is used only once the path gate let it through; it is asked before
  // the file is even looked for.
  const bool named_whole = !folder.empty() && !file_name.empty();
  if (request.variant != Variant::kSelectSigner && (sources.pfx_file || named_whole) &&
      !GateFolderAndName(request.path_gate, PathUse::kReadFile, folder, file_name)) {
    return {Code(ErrorCode::kCancelled), outcome.platform_error};
  }
  // A file the Ex variants name that exists is tried whatever the flags ask.
  const bool file_given = request.variant != Variant::kSelectSigner && !folder.empty() &&
                          !file_name.empty() && PathExists(JoinFolderAndName(folder, file_name));
  if (!sources.pfx_file && !file_given) return outcome;
  return SelectFromPfxFile(context, file_given, folder, file_name, outcome, signer);
}

}  // namespace kelvadrome
