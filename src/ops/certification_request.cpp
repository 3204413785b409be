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

// AddCommonNameSubject writes the Name holding the one common name |common_name| (BMPString).
void AddCommonNameSubject(DerBuilder& out, std::u16string_view common_name) {
  out.Open(der_tag::kSequence);
  out.Open(der_tag::kSet);
  out.Open(der_tag::kSequence);
  out.AddObjectIdentifier(kCommonNameOid);
  const std::span<uint8_t> value = out.AddElementSpace(kBmpString, 2 * common_name.size());
  for (size_t i = 0; i < common_name.size(); ++i) {
    value[2 * i] = static_cast<uint8_t>(common_name[i] >> 8);
    value[2 * i + 1] = static_cast<uint8_t>(common_name[i] & 0xFF);
  }
  out.Close();
  out.Close();
  out.Close();
}

}  // namespace

std::optional<std::vector<uint8_t>> BuildCertificationRequest(KeyContainer& container,
                                                              uint32_t spec,
                                                              std::u16string_view common_name) {
  const auto public_key_info = container.ExportPublicKeyInfo(spec);
  if (!public_key_info) return std::nullopt;
  const uint8_t version_zero[] = {der_tag::kInteger, 1, 0};
  DerBuilder info;
  info.Open(der_tag::kSequence);
  info.AddEncoded(version_zero);
  AddCommonNameSubject(info, common_name);
  info.AddEncoded(*public_key_info);
  info.AddElement(kEmptyAttributes, {});
  info.Close();
  const std::vector<uint8_t> request_info = info.Finish();

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
  DerBuilder out(request_info.size() + signature->size() + 32);
  out.Open(der_tag::kSequence, request_info.size() + signature->size());
  out.AddEncoded(request_info);
  out.Open(der_tag::kSequence);  // signatureAlgorithm
  out.AddObjectIdentifier(kSha1WithRsaOid);
  out.AddEncoded(null_parameters);
  out.Close();
  out.AddElement(der_tag::kBitString, *signature);
  out.Close();
  return out.Finish();
}

}  // namespace kelvadrome
