#include "ops/pfx_password.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "ops/pfx_transfer.h"
#include "ops/signer_selection.h"
#include "ops/signer_share.h"
#include "platform/certificate_key.h"
#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "platform/pfx_store.h"
#include "platform/pkcs12.h"
#include "platform/secrets.h"
#include "platform/text.h"
#include "ui/change_password_dialog.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kExportableKeys = 1;
constexpr uint32_t kKeyDoesNotExist = 0x8009000D;  // NTE_NO_KEY
constexpr uint32_t kBadKey = 0x80090003;           // NTE_BAD_KEY

// The code for a re-export that failed with the platform's |error|.
int32_t ExportFailureCode(uint32_t error) {
  switch (error) {
    case platform_error::kCancelled:
      return Code(ErrorCode::kCancelled);
    case kKeyDoesNotExist:
      return Code(ErrorCode::kNoPrivateKey);
    case kBadKey:
      return Code(ErrorCode::kKeyNotExportable);
    default:
      // Any other failure to carry the content over counts as the PFX store refusing it (5210).
      return Code(ErrorCode::kPfxStoreDenied);
  }
}

// The file a path names, symbolic links followed; |path| itself when it cannot be resolved, or
// when the resolved path holds a character the code page cannot say.
std::string ResolvedPath(const std::string& path) {
  const std::optional<std::string> system_path = SystemPath(path);
  if (!system_path) return path;
  const std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(system_path->c_str(), nullptr), &std::free);
  if (!resolved) return path;
  std::string narrow = FromSystemPath(resolved.get());
  return SystemPath(narrow) == std::optional<std::string>(resolved.get()) ? narrow : path;
}

// ReadContents reads the PFX file at |path| with |password| (UTF-8), as the loader opens it: the
// password as given, and an empty one also as no password. Returns 0 or the platform error.
uint32_t ReadContents(const std::string& path, std::string_view password,
                      std::optional<Pkcs12Contents>& contents) {
  ByteBuffer file;
  if (!ReadFileBytes(path, file)) return platform_error::kFileNotFound;
  const std::span<const uint8_t> bytes(file.data(), static_cast<size_t>(file.length()));
  contents = ReadPkcs12(bytes, password);
  if (!contents && password.empty()) contents = ReadPkcs12(bytes, std::nullopt);
  return contents ? 0 : LastPlatformError();
}

// SameContent tells whether |written| holds the certificates of |original| in the same order,
// each with the same key (or none).
bool SameContent(const Pkcs12Contents& original, const Pkcs12Contents& written) {
  if (original.certificates.size() != written.certificates.size()) return false;
  for (size_t i = 0; i < original.certificates.size(); ++i) {
    const Pkcs12Certificate& before = original.certificates[i];
    const Pkcs12Certificate& after = written.certificates[i];
    if (before.der != after.der || (before.key_index < 0) != (after.key_index < 0)) return false;
    if (before.key_index < 0) continue;
    const auto key_before =
        original.keys.at(static_cast<size_t>(before.key_index)).private_key.view();
    const auto key_after = written.keys.at(static_cast<size_t>(after.key_index)).private_key.view();
    if (!std::ranges::equal(key_before, key_after)) return false;
  }
  return original.keys.size() == written.keys.size();
}

}  // namespace

PfxRewriteOutcome RewritePfxFile(const std::string& path, std::string_view old_password,
                                 std::string_view new_password) {
  PfxRewriteOutcome outcome;
  // A link stays a link: the file it names is the one whose password changes.
  const std::string target = ResolvedPath(path);

  // The loader checks the file and the old password, with the codes every PFX worker gives.
  PfxStore pfx;
  const PfxLoading loading = LoadUserPfxFile(pfx, target, old_password, kExportableKeys);
  outcome.code = loading.code;
  outcome.platform_error = loading.platform_error;
  if (outcome.code != 0) return outcome;

  // The content is taken from the file's own bags, which also carry the friendly names and any
  // key that belongs to no certificate; the loader's store keeps neither.
  std::optional<Pkcs12Contents> contents;
  const uint32_t read_error =
      ReadContents(target, SecretNarrowToUtf8(old_password).view(), contents);
  if (read_error != 0) {
    outcome.code = ExportFailureCode(read_error);
    outcome.platform_error = read_error;
    return outcome;
  }
  std::vector<bool> key_held(contents->keys.size(), false);
  std::vector<Pkcs12Entry> entries;
  for (const Pkcs12Certificate& certificate : contents->certificates) {
    Pkcs12Entry entry;
    entry.certificate = certificate.der;
    entry.friendly_name = certificate.friendly_name;
    if (certificate.key_index >= 0) {
      const auto index = static_cast<size_t>(certificate.key_index);
      const Pkcs12Key& key = contents->keys.at(index);
      entry.private_key = key.private_key.Copy();
      if (entry.friendly_name.empty()) entry.friendly_name = key.friendly_name;
      key_held[index] = true;
    }
    entries.push_back(std::move(entry));
  }
  // A key without its certificate cannot be written back: rewriting would lose it.
  if (std::find(key_held.begin(), key_held.end(), false) != key_held.end()) {
    outcome.code = Code(ErrorCode::kPfxStoreDenied);
    outcome.platform_error = platform_error::kPkcs12BadData;
    return outcome;
  }

  // The password as the file's key derivation takes it: UTF-8 of the caller's characters.
  const SecretString new_utf8 = SecretNarrowToUtf8(new_password);
  const auto written = WritePkcs12(entries, new_utf8.view());
  if (!written) {
    outcome.platform_error = LastPlatformError();
    outcome.code = ExportFailureCode(outcome.platform_error);
    return outcome;
  }
  // The new content replaces the old only once it has been read back under the new password.
  const auto check = ReadPkcs12(*written, new_utf8.view());
  if (!check || !SameContent(*contents, *check)) {
    outcome.code = Code(ErrorCode::kPfxStoreDenied);
    outcome.platform_error = check ? platform_error::kPkcs12Fail : LastPlatformError();
    return outcome;
  }

  ByteBuffer bytes;
  if (written->size() > static_cast<size_t>(ByteBuffer::kMaxLength) ||
      !bytes.Allocate(static_cast<int32_t>(written->size()))) {
    outcome.code = Code(ErrorCode::kCertificateFileNotWritten);
    return outcome;
  }
  std::copy(written->begin(), written->end(), bytes.data());
  // Written beside the old file and renamed over it: a failure leaves the old file as it was.
  if (!WriteFileBytes(target, bytes)) {
    outcome.code = Code(ErrorCode::kCertificateFileNotWritten);
    return outcome;
  }
  outcome.code = 0;
  outcome.platform_error = 0;
  return outcome;
}

PfxPasswordChangeOutcome ChangePfxFilePassword(PfxPasswordChangeRequest request, DialogHost& host) {
  PfxPasswordChangeOutcome outcome;
  if (request.folder.empty() || request.file_name.empty() || request.old_password.empty() ||
      request.new_password.empty()) {
    ChangePasswordFields fields;
    fields.folder = request.folder;
    fields.file_name = request.file_name;
    fields.old_password = request.old_password;
    fields.new_password = request.new_password;
    fields.min_length = request.min_password_length;
    fields.max_length = request.max_password_length;
    outcome.code = PromptChangePassword(host, fields);
    if (outcome.code != 0) return outcome;
    request.folder = fields.folder;
    request.file_name = fields.file_name;
    request.old_password = fields.old_password;
    request.new_password = fields.new_password;
  }
  const std::string path = JoinFolderAndName(request.folder, request.file_name);
  if (!PathExists(path)) {
    outcome.code = Code(ErrorCode::kFileNotFound);
    return outcome;
  }
  const PfxRewriteOutcome rewritten =
      RewritePfxFile(path, request.old_password.view(), request.new_password.view());
  outcome.code = rewritten.code;
  outcome.platform_error = rewritten.platform_error;
  if (outcome.code == 0) {
    outcome.path = path;
    outcome.new_password = request.new_password;
  }
  return outcome;
}

void PublishChangedPfxPassword(SignerShare& share, const std::string& changed_path,
                               const SecretString& new_password) {
  share.Open();
  const std::optional<PublishedPfxFile> published = share.ReadPfxFile();
  if (published && SameFile(JoinFolderAndName(published->folder, published->name), changed_path)) {
    share.PublishPfxPassword(new_password);
  }
}

PfxQueryOutcome QueryPfxFile(PfxFileRequest request, DialogHost& host) {
  PfxQueryOutcome outcome;
  PfxStore pfx;
  const PfxLoading loading = OpenRequestedPfxFile(
      host, request.folder, request.file_name, request.password, request.min_password_length,
      request.max_password_length, static_cast<uint32_t>(request.flags), pfx);
  outcome.code = loading.code;
  outcome.platform_error = loading.platform_error;
  if (outcome.code != 0) return outcome;

  outcome.code = Code(ErrorCode::kCertificateNotFound);
  size_t taken = 0;
  for (const auto& certificate :
       pfx.store()->Enumerate().value_or(std::vector<StoredCertificate>{})) {
    if (!AcquireCertificatePrivateKey(*pfx.store(), certificate.id, false)) {
      if (taken == 0) outcome.code = Code(ErrorCode::kNoPrivateKey);
      continue;
    }
    if (!CertificateHasKeyUsage(certificate.der, request.key_usage)) {
      outcome.code = Code(ErrorCode::kKeyUsageUnfit);
      continue;
    }
    outcome.Take(request, certificate.der);
    ++taken;
    outcome.code = 0;
  }
  // The store, with the keys it took in, is forgotten here.
  return outcome;
}

}  // namespace kelvadrome
