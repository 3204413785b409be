// Pkcs7Certificates: the encoded certificates of a PKCS #7 message, as a certificate authority
// sends them back with an issued certificate (a SignedData, often with no signers, whose
// certificate set holds the certificate and its chain).
//
// The reader takes a message of any type, given all its bytes at once, and reads BER,
// not only DER (indefinite lengths on constructed elements, constructed strings, long and
// non-minimal length forms, multi-octet tags inside open types), and it is pure parsing: nothing is
// decoded beyond the structure, no certificate is checked, and nothing is copied.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/ber_reader.h"

namespace kelvadrome {

namespace platform_error {
inline constexpr uint32_t kInvalidMessageType = 0x80091004;  // CRYPT_E_INVALID_MSG_TYPE
}  // namespace platform_error

enum class Pkcs7Reading {
  kNotAMessage,         // the bytes are no PKCS #7 message this decoder opens (caller treats them
                        // otherwise)
  kNoCertificateCount,  // a message, but of a type without a certificate set
  kCertificates,        // a SignedData message; `certificates` lists its set (possibly empty)
};

struct Pkcs7Certificates {
  Pkcs7Reading reading = Pkcs7Reading::kNotAMessage;
  // Each entry is one whole element (tag, length and content; for an indefinite length, its
  // end-of-contents octets too) of the certificate set, in the order stored, as a view into the
  // caller's bytes (which must outlive the result). Entries of any tag are listed: the set may hold
  // other things than certificates, which the caller recognises by decoding each entry.
  std::vector<std::span<const uint8_t>> certificates;
};

// The deepest nesting of elements the reader follows (the ContentInfo is level 0); an element
// nested deeper makes the bytes malformed. It bounds the reader's recursion on hostile input.
inline constexpr int kPkcs7MaxNesting = kBerMaxNesting;

// ReadPkcs7Certificates reads |bytes| as a ContentInfo and, for a SignedData, lists its certificate
// set. The bytes must be exactly one ContentInfo (nothing after it). The result's reading says what
// was found; `certificates` is empty unless reading is kCertificates. The platform last error is
// recorded (SetLastPlatformError):
//   - 0 for kCertificates (signedData, 1.2.840.113549.1.7.2, with a well-formed SignedData);
//   - kInvalidMessageType for kNoCertificateCount (data, envelopedData, digestedData and
//     encryptedData, 7.1, 7.3, 7.5 and 7.6, whose ContentInfo is well formed), and for kNotAMessage
//     when the ContentInfo is well formed but of any other content type;
//   - kAsn1EndOfData (kNotAMessage) when the bytes end before an element, or a part the structure
//     requires, is complete: empty input, a truncated message, a length past the end of the bytes,
//     an indefinite length whose end-of-contents octets never come;
//   - kAsn1BadTag (kNotAMessage) for anything else malformed: an unexpected tag, bytes after the
//     ContentInfo, an element running past the end of the one holding it while more bytes follow,
//     an indefinite length on a primitive element, a misplaced or non-empty end-of-contents
//     marker, nesting deeper than kPkcs7MaxNesting, a signedData without content, or a SignedData
//     missing a part or with something after its signerInfos.
// Never throws except std::bad_alloc.
Pkcs7Certificates ReadPkcs7Certificates(std::span<const uint8_t> bytes);

}  // namespace kelvadrome
