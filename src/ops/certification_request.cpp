#include "ops/certification_request.h"

#include <algorithm>

#include "codec/digest.h"
#include "platform/der_reader.h"
#include "platform/der_writer.h"
#include "platform/key_container.h"

namespace kelvadrome {

namespace {

constexpr char kCommonNameOid[] = "2.5.4.3";
constexpr char kSha1WithRsaOid[] = "1.2.840.113549.1.1.5";
constexpr uint8_t kBmpString = 0x1E;
constexpr uint8_t kEmptyAttributes = der_tag::ContextConstructed(0);

std::vector<uint8_t> CommonNameSubject(std::u16string_view common_name) {
  std::vector<uint8_t> value;
  value.reserve(2 * common_name.size());
  for (const char16_t unit : common_name) {
    value.push_back(static_cast<uint8_t>(unit >> 8));
    value.push_back(static_cast<uint8_t>(unit & 0xFF));
  }
  const auto attribute = DerElement(
      der_tag::kSequence, {DerObjectIdentifier(kCommonNameOid), DerElement(kBmpString, {value})});
  return DerElement(der_tag::kSequence, {DerElement(der_tag::kSet, {attribute})});
}

}  // namespace

std::optional<std::vector<uint8_t>> BuildCertificationRequest(KeyContainer& container,
                                                              uint32_t spec,
                                                              std::u16string_view common_name) {
  const auto public_key_info = container.ExportPublicKeyInfo(spec);
  if (!public_key_info) return std::nullopt;
  const uint8_t version_zero[] = {der_tag::kInteger, 1, 0};
  const auto request_info =
      DerElement(der_tag::kSequence, {version_zero, CommonNameSubject(common_name),
                                      *public_key_info, DerElement(kEmptyAttributes, {})});

  Sha1Digest digest;
  digest.Update(request_info.data(), request_info.size());
  digest.Finish();
  auto signature = container.SignHash(spec, key_algorithm::kSha1,
                                      std::span<const uint8_t>(digest.data(), digest.DigestSize()));
  if (!signature) return std::nullopt;
  // Signatures come least significant byte first; the BIT STRING holds them in big-endian order,
  // after the octet that counts unused bits (none).
  std::reverse(signature->begin(), signature->end());
  signature->insert(signature->begin(), 0);

  const uint8_t null_parameters[] = {der_tag::kNull, 0};
  const auto algorithm =
      DerElement(der_tag::kSequence, {DerObjectIdentifier(kSha1WithRsaOid), null_parameters});
  return DerElement(der_tag::kSequence,
                    {request_info, algorithm, DerElement(der_tag::kBitString, {*signature})});
}

}  // namespace kelvadrome
