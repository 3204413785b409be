// The EnvelopedData reader and content decryption on arbitrary bytes. The first input byte gives
// a key length k (0 to 32), the next k bytes are the content-encryption key, the rest is the
// message. Checks that parsing and store-based decryption agree on the recorded error, that the
// recipients' views lie inside the message, and that decrypted content has the length its cipher
// allows.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/certificate.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pkcs7_envelope.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool Inside(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace error = kelvadrome::platform_error;
  namespace key_error = kelvadrome::key_error;
  if (size == 0 || size > 1 << 20) return 0;
  const size_t key_length = data[0] % 33;
  if (size < 1 + key_length) return 0;
  const std::span<const uint8_t> key(data + 1, key_length);
  const std::span<const uint8_t> message(data + 1 + key_length, size - 1 - key_length);

  const auto envelope = kelvadrome::ParseEnvelopedData(message);
  const uint32_t parse_error = kelvadrome::LastPlatformError();
  if (!envelope) {
    Check(parse_error == error::kAsn1EndOfData || parse_error == error::kAsn1BadTag ||
          parse_error == error::kUnexpectedMessageType);
  } else {
    Check(parse_error == 0);
    for (const auto& recipient : envelope->recipients) {
      Check(Inside(recipient.issuer, message) && Inside(recipient.serial, message));
      // A recipient is named one way only, and a serial number has at least one octet.
      Check(recipient.issuer.empty() || recipient.subject_key_id.empty());
      Check(recipient.issuer.empty() == recipient.serial.empty());
    }
    Check(Inside(envelope->algorithm_parameters, message));
    const auto content = kelvadrome::DecryptEnvelopeContent(*envelope, key);
    if (content) {
      namespace algorithm = kelvadrome::envelope_algorithm;
      const std::string& name = envelope->content_algorithm;
      const size_t encrypted = envelope->encrypted_content.size();
      if (name == algorithm::kRc4) {
        Check(content->size() == encrypted);
      } else {
        // DES blocks are 8 bytes, AES blocks 16; the padding takes 1 to a whole block.
        const size_t block = name == algorithm::kDesCbc || name == algorithm::kDesEde3Cbc ? 8 : 16;
        Check(encrypted % block == 0 && content->size() < encrypted &&
              content->size() + block >= encrypted);
      }
    } else {
      const uint32_t code = kelvadrome::LastPlatformError();
      Check(code == key_error::kBadAlgorithm || code == key_error::kBadKey ||
            code == key_error::kBadData || code == key_error::kFail);
    }
  }

  // With no store to search, decryption fails with the parser's error or for want of a key.
  const auto opened = kelvadrome::DecryptEnvelopedData(message, {});
  Check(!opened.has_value());
  Check(kelvadrome::LastPlatformError() == (envelope ? error::kNoDecryptCert : parse_error));
  return 0;
}
