// The certificate queries: fields of the selected signer's certificate, and the snapshot of "MY"
// that GetIECertCount takes and the index queries and DeleteIECert read.
#include <span>

#include "codec/byte_buffer.h"
#include "frame/cert_component.h"
#include "ops/cert_queries.h"
#include "platform/error_codes.h"
#include "platform/last_error.h"
#include "platform/text.h"

namespace kelvadrome {

namespace {

std::u16string AsciiToWide(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace

// --- The selected signer's certificate. ------------------------------------------------------

std::u16string CertComponent::GetCertB64() {
  // Leaves the error slots as they are (reset class 6).
  Reset(MethodId::GetCertB64);
  const std::vector<uint8_t>& der = signer_.der;
  if (der.empty() || der.size() > static_cast<size_t>(ByteBuffer::kMaxLength)) return {};
  ByteBuffer text;
  if (!text.Base64Encode(der.data(), static_cast<int32_t>(der.size()))) return {};
  return AsciiToWide(std::string_view(text.c_str(), static_cast<size_t>(text.length())));
}

std::u16string CertComponent::GetCertSubject() {
  Reset(MethodId::GetCertSubject);
  return ConvertToWide(CertificateFieldText(signer_.der, CertField::kSubject));
}

std::u16string CertComponent::GetCertSubjectCN() {
  Reset(MethodId::GetCertSubjectCN);
  return ConvertToWide(CertificateFieldText(signer_.der, CertField::kSubjectCN));
}

std::u16string CertComponent::GetCertIssuer() {
  Reset(MethodId::GetCertIssuer);
  return ConvertToWide(CertificateFieldText(signer_.der, CertField::kIssuer));
}

std::u16string CertComponent::GetCertSerial() {
  Reset(MethodId::GetCertSerial);
  return AsciiToWide(CertificateFieldText(signer_.der, CertField::kSerial));
}

std::u16string CertComponent::GetCertNotBefore() {
  Reset(MethodId::GetCertNotBefore);
  return AsciiToWide(CertificateFieldText(signer_.der, CertField::kNotBefore));
}

std::u16string CertComponent::GetCertNotAfter() {
  Reset(MethodId::GetCertNotAfter);
  return AsciiToWide(CertificateFieldText(signer_.der, CertField::kNotAfter));
}

std::u16string CertComponent::GetCertFinger() {
  Reset(MethodId::GetCertFinger);
  return AsciiToWide(CertificateFieldText(signer_.der, CertField::kFingerprint));
}

int32_t CertComponent::GetCertKeyUsage() {
  Reset(MethodId::GetCertKeyUsage);
  return static_cast<int32_t>(CertificateKeyUsage(signer_.der));
}

// --- The snapshot of "MY". -------------------------------------------------------------------

int32_t CertComponent::GetIECertCount() {
  // Refused in protected mode with the snapshot kept as it was.
  if (!Enter(MethodId::GetIECertCount)) return 0;
  // A store that cannot be opened or read gives an empty snapshot, 0 and no error code.
  return SnapshotPersonalStore(IECertList);
}

namespace {

// The index queries share this: no code of their own (the previous call's code stays), empty
// text for an index outside the snapshot.
std::string SnapshotField(const CertSnapshot& snapshot, int32_t index, CertField field) {
  const SnapshotCertificate* entry = SnapshotEntry(snapshot, index);
  return entry != nullptr ? SnapshotFieldText(*entry, field) : std::string();
}

}  // namespace

std::u16string CertComponent::GetIECertSerial(int32_t dwIndex) {
  if (!Enter(MethodId::GetIECertSerial)) return {};
  return AsciiToWide(SnapshotField(IECertList, dwIndex, CertField::kSerial));
}

std::u16string CertComponent::GetIECertCommonName(int32_t dwIndex) {
  if (!Enter(MethodId::GetIECertCommonName)) return {};
  return ConvertToWide(SnapshotField(IECertList, dwIndex, CertField::kSubjectCN));
}

std::u16string CertComponent::GetIECertSubject(int32_t dwIndex) {
  if (!Enter(MethodId::GetIECertSubject)) return {};
  return ConvertToWide(SnapshotField(IECertList, dwIndex, CertField::kSubject));
}

std::u16string CertComponent::GetIECertIssuer(int32_t dwIndex) {
  if (!Enter(MethodId::GetIECertIssuer)) return {};
  return ConvertToWide(SnapshotField(IECertList, dwIndex, CertField::kIssuer));
}

std::u16string CertComponent::GetIECertNotBefore(int32_t dwIndex) {
  if (!Enter(MethodId::GetIECertNotBefore)) return {};
  return AsciiToWide(SnapshotField(IECertList, dwIndex, CertField::kNotBefore));
}

std::u16string CertComponent::GetIECertNotAfter(int32_t dwIndex) {
  if (!Enter(MethodId::GetIECertNotAfter)) return {};
  return AsciiToWide(SnapshotField(IECertList, dwIndex, CertField::kNotAfter));
}

std::u16string CertComponent::GetIECertFinger(int32_t dwIndex) {
  if (!Enter(MethodId::GetIECertFinger)) return {};
  return AsciiToWide(SnapshotField(IECertList, dwIndex, CertField::kFingerprint));
}

int32_t CertComponent::DeleteIECert(int32_t dwIndex) {
  if (!Enter(MethodId::DeleteIECert)) return errors_.errorCode;
  errors_.errorCode = Code(ErrorCode::kCertificateNotFound);
  const SnapshotCertificate* entry = SnapshotEntry(IECertList, dwIndex);
  if (entry == nullptr) return errors_.errorCode;
  // A component serving a web page asks the person first; refused, the certificate stays and the
  // platform code tells that the person cancelled.
  if (environment_.confirm_delete &&
      !environment_.confirm_delete(SnapshotFieldText(*entry, CertField::kSubject))) {
    errors_.capiErrorCode = platform_error::kCancelled;
    return errors_.errorCode;
  }
  if (!DeleteFromPersonalStore(entry->sha1)) return errors_.errorCode;
  // The indexes of the snapshot no longer match the store: it is emptied until the next count.
  errors_.errorCode = 0;
  IECertList.clear();
  return errors_.errorCode;
}

}  // namespace kelvadrome
