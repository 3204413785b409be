#include "ops/mobile_export.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "codec/byte_buffer.h"
#include "codec/cert_info.h"
#include "codec/certificate_filter.h"
#include "codec/des.h"
#include "codec/digest.h"
#include "ops/pfx_transfer.h"
#include "platform/cert_store.h"
#include "platform/certificate_key.h"
#include "platform/error_codes.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pfx_store.h"
#include "platform/secrets.h"
#include "ui/cert_list_dialog.h"
#include "ui/dialog_host.h"
#include "ui/pfx_dialogs.h"

namespace kelvadrome {

namespace {

constexpr uint32_t kExportableKeys = 1;
constexpr int32_t kChoiceModeMask = 0x3;

// The record's magic, which is also the last four bytes of the encryption key.
constexpr char kMagic[4] = {'O', 'R', 'L', 'A'};
constexpr size_t kThumbprintSize = 20;
constexpr size_t kCompactDateSize = 14;

// The PRIVATEKEYBLOB header: BLOBHEADER (type, version, reserved, algorithm) and RSAPUBKEY (magic,
// bit length, public exponent), little-endian.
constexpr size_t kBlobHeaderSize = 20;
constexpr uint8_t kPrivateBlobType = 7;
constexpr uint32_t kPrivateBlobMagic = 0x32415352;  // "RSA2"
// Larger keys than any producer makes are refused rather than trusted as lengths.
constexpr uint32_t kMaxKeyBits = 65536;
// The seven numbers of the blob in their order; true for the full-length ones (n and d).
constexpr bool kFullLength[7] = {true, false, false, false, false, false, true};

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// What the record takes from a PRIVATEKEYBLOB: the bit length, the public exponent and the seven
// numbers (views into the blob, least significant byte first).
struct BlobKey {
  uint32_t bits = 0;
  uint32_t public_exponent = 0;
  std::span<const uint8_t> numbers[7];
};

// ParsePrivateKeyBlob checks the header and that the blob holds every number at its width;
// nullopt for anything else.
std::optional<BlobKey> ParsePrivateKeyBlob(std::span<const uint8_t> blob) {
  if (blob.size() < kBlobHeaderSize) return std::nullopt;
  if (blob[0] != kPrivateBlobType || ReadLe32(blob.data() + 8) != kPrivateBlobMagic) {
    return std::nullopt;
  }
  BlobKey key;
  key.bits = ReadLe32(blob.data() + 12);
  key.public_exponent = ReadLe32(blob.data() + 16);
  if (key.bits == 0 || key.bits > kMaxKeyBits) return std::nullopt;
  const size_t full = (key.bits + 7) / 8;
  const size_t half = (key.bits + 15) / 16;
  size_t offset = kBlobHeaderSize;
  for (size_t i = 0; i < std::size(key.numbers); ++i) {
    const size_t width = kFullLength[i] ? full : half;
    if (blob.size() - offset < width) return std::nullopt;
    key.numbers[i] = blob.subspan(offset, width);
    offset += width;
  }
  return key;
}

// A writer into a buffer sized in advance; every write is checked against the space left.
class RecordWriter {
 public:
  explicit RecordWriter(SecretBytes& out) : out_(out) {}

  bool PutBe32(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return Put(bytes);
  }
  bool Put(std::span<const uint8_t> bytes) {
    if (out_.size() - position_ < bytes.size()) return false;
    if (!bytes.empty()) std::memcpy(out_.data() + position_, bytes.data(), bytes.size());
    position_ += bytes.size();
    return true;
  }
  // PutReversed writes |bytes| last byte first (a little-endian number as big-endian).
  bool PutReversed(std::span<const uint8_t> bytes) {
    if (out_.size() - position_ < bytes.size()) return false;
    std::reverse_copy(bytes.begin(), bytes.end(), out_.data() + position_);
    position_ += bytes.size();
    return true;
  }
  // PutCounted writes the length of |bytes| and then the bytes.
  bool PutCounted(std::span<const uint8_t> bytes) {
    return bytes.size() <= UINT32_MAX && PutBe32(static_cast<uint32_t>(bytes.size())) && Put(bytes);
  }
  size_t position() const { return position_; }

 private:
  SecretBytes& out_;
  size_t position_ = 0;
};

std::span<const uint8_t> Bytes(const std::string& text) {
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// ComposeRecord writes the plaintext record into |record|; false when a length does not fit.
bool ComposeRecord(const CertInfo& info, const BlobKey& key, SecretBytes& record) {
  const Certificate* certificate = info.certificate();
  const std::string common_name = info.GetSubjectCN();
  const std::vector<uint8_t>& serial = certificate->serial();
  const std::string not_before = info.GetNotBefore(CertDateFormat::kCompact);
  const std::string not_after = info.GetNotAfter(CertDateFormat::kCompact);
  const std::vector<uint8_t>& der = certificate->der();
  // A date that does not come out as 14 digits is left out, like one that cannot be converted.
  const size_t before_size = not_before.size() == kCompactDateSize ? kCompactDateSize : 0;
  const size_t after_size = not_after.size() == kCompactDateSize ? kCompactDateSize : 0;

  size_t total = 12;  // magic, bit length, exponent
  for (const auto& number : key.numbers) total += number.size();
  total += 4 + common_name.size() + 4 + serial.size() + kThumbprintSize + before_size + after_size +
           4 + der.size();
  // The cipher takes a 32-bit length and adds up to one block.
  if (total > static_cast<size_t>(ByteBuffer::kMaxLength) - 8) return false;
  record = SecretBytes(total);

  const Thumbprint thumbprint = CertificateThumbprint(der);
  RecordWriter writer(record);
  bool ok = writer.Put(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(kMagic), 4)) &&
            writer.PutBe32(key.bits) && writer.PutBe32(key.public_exponent);
  for (const auto& number : key.numbers) ok = ok && writer.PutReversed(number);
  ok = ok && writer.PutCounted(Bytes(common_name)) && writer.PutCounted(serial) &&
       writer.Put(thumbprint) && writer.Put(Bytes(not_before).first(before_size)) &&
       writer.Put(Bytes(not_after).first(after_size)) && writer.PutCounted(der);
  return ok && writer.position() == total;
}

// The certificate's key as its PRIVATEKEYBLOB, for the record. The key found through the link must
// have the certificate's public key, so that a record never pairs a certificate with a key not its
// own. On failure |outcome| holds 5204 or 5205 with the platform error.
std::optional<SecretBytes> ExportCertificateKey(CertStore& store, int64_t id,
                                                MobileExportOutcome& outcome) {
  auto key = AcquireCertificatePrivateKey(store, id, true);
  if (!key || !key->container->DescribeKey(key->key_spec)) {
    outcome.code = Code(ErrorCode::kNoPrivateKey);
    outcome.platform_error = LastPlatformError();
    return std::nullopt;
  }
  auto blob = key->container->ExportPrivateKeyBlob(key->key_spec);
  if (!blob) {
    outcome.code = Code(ErrorCode::kKeyNotExportable);
    outcome.platform_error = LastPlatformError();
    return std::nullopt;
  }
  return blob;
}

}  // namespace

MobileExportOutcome BuildMobileRecord(std::string_view password,
                                      std::span<const uint8_t> certificate,
                                      std::span<const uint8_t> private_key_blob) {
  MobileExportOutcome outcome;
  outcome.code = Code(ErrorCode::kEncryptionFailed);
  if (certificate.empty() || certificate.size() > static_cast<size_t>(ByteBuffer::kMaxLength)) {
    return outcome;
  }
  const CertInfo info(certificate.data(), static_cast<int32_t>(certificate.size()));
  const std::optional<BlobKey> key = ParsePrivateKeyBlob(private_key_blob);
  if (!info.loaded() || !key) return outcome;

  SecretBytes record;
  if (!ComposeRecord(info, *key, record)) return outcome;

  outcome.code = Code(ErrorCode::kDigestFailed);
  Sha1Digest digest;
  if (password.size() > static_cast<size_t>(INT32_MAX)) return outcome;
  digest.Compute(password.data(), static_cast<int32_t>(password.size()));
  if (digest.length() != 20) return outcome;

  uint8_t cipher_key[24];
  std::memcpy(cipher_key, digest.data(), 20);
  std::memcpy(cipher_key + 20, kMagic, sizeof kMagic);
  digest.Reset();
  DesCipher cipher;
  cipher.SetAlgorithm(kCalg3Des);
  cipher.SetKey(cipher_key, sizeof cipher_key);
  SecureWipe(cipher_key, sizeof cipher_key);
  outcome.code = Code(ErrorCode::kEncryptionFailed);

  ByteBuffer text;
  if (!cipher.EncryptAll(record.data(), static_cast<int32_t>(record.size())) ||
      !text.Base64Encode(cipher.data(), cipher.length()) || text.empty()) {
    return outcome;
  }
  outcome.text = text.ToString();
  outcome.code = 0;
  return outcome;
}

MobileExportOutcome ExportMobileFromPfxFile(MobilePfxRequest& request, DialogHost& host) {
  MobileExportOutcome outcome;
  outcome.code = CompletePfxFileFields(host, PromptMobileExport, request.folder, request.file_name,
                                       request.password, request.min_password_length,
                                       request.max_password_length);
  if (outcome.code != 0) return outcome;
  const std::string path = JoinFolderAndName(request.folder, request.file_name);
  if (!PathExists(path)) {
    outcome.code = Code(ErrorCode::kFileNotFound);
    return outcome;
  }
  // The keys are always taken in exportable: they only live in memory for this call.
  PfxStore pfx;
  outcome.code = pfx.Load(path, request.password.view(), kExportableKeys);
  outcome.platform_error = pfx.platform_error();
  if (outcome.code != 0) return outcome;

  outcome.code = Code(ErrorCode::kCertificateNotFound);
  for (const auto& certificate :
       pfx.store()->Enumerate().value_or(std::vector<StoredCertificate>{})) {
    // A certificate without a key of its own in the file is passed over silently.
    if (!AcquireCertificatePrivateKey(*pfx.store(), certificate.id, true)) continue;
    if (!CertificateHasKeyUsage(certificate.der, request.key_usage)) {
      outcome.code = Code(ErrorCode::kKeyUsageUnfit);
      continue;
    }
    const std::optional<SecretBytes> blob =
        ExportCertificateKey(*pfx.store(), certificate.id, outcome);
    if (!blob) continue;
    const std::string folder = request.folder;
    const std::string file_name = request.file_name;
    outcome = BuildMobileRecord(request.password.view(), certificate.der, blob->view());
    if (outcome.code == 0) {
      outcome.folder = folder;
      outcome.file_name = file_name;
    }
    break;
  }
  return outcome;
}

MobileExportOutcome ExportMobileFromStore(const MobileStoreRequest& request, DialogHost& host) {
  MobileExportOutcome outcome;
  std::unique_ptr<CertStore> personal = CertStore::OpenSystem("MY");
  if (!personal) {
    outcome.code = Code(ErrorCode::kPersonalStoreNotOpened);
    outcome.platform_error = LastPlatformError();
    return outcome;
  }
  std::vector<StoredCertificate> candidates;
  const FilterResult filtered = FilterCertificates(
      personal.get(), FilterForm::kStore, request.subject_filter,
      static_cast<uint32_t>(request.flags), request.key_usage, std::nullopt, candidates);
  outcome.code = filtered.code;
  outcome.platform_error = filtered.platform_error;
  if (candidates.empty()) {
    if (outcome.code == 0) outcome.code = Code(ErrorCode::kCertificateNotFound);
    return outcome;
  }

  size_t chosen_index = 0;
  const int32_t choice_mode = request.flags & kChoiceModeMask;
  if (choice_mode == 1 || (choice_mode != 2 && candidates.size() > 1)) {
    std::vector<std::vector<uint8_t>> ders;
    ders.reserve(candidates.size());
    for (const auto& candidate : candidates) ders.push_back(candidate.der);
    int chosen = 0;
    const int32_t code = ChooseCertificate(host, ders, &chosen);
    if (code != 0) {
      outcome.code = code;
      return outcome;
    }
    if (chosen < 0 || static_cast<size_t>(chosen) >= candidates.size()) {
      outcome.code = Code(ErrorCode::kCertificateNotFound);
      return outcome;
    }
    chosen_index = static_cast<size_t>(chosen);
  }
  const StoredCertificate& chosen = candidates[chosen_index];

  SecretString password = request.password;
  if (password.empty()) {
    const DialogOutcome asked = PromptPassword(host, password);
    if (asked != DialogOutcome::kOk) {
      // A dialog that cannot be shown counts as a resource not allocated (5002).
      outcome.code = asked == DialogOutcome::kCancel ? Code(ErrorCode::kCancelled)
                                                     : Code(ErrorCode::kAllocationFailed);
      return outcome;
    }
  }
  const std::optional<SecretBytes> blob = ExportCertificateKey(*personal, chosen.id, outcome);
  if (blob) outcome = BuildMobileRecord(password.view(), chosen.der, blob->view());
  return outcome;
}

}  // namespace kelvadrome
