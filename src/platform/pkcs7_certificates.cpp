#include "platform/pkcs7_certificates.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/certificate.h"  // the ASN.1 error values
#include "platform/der_reader.h"   // tag octets and the OBJECT IDENTIFIER check
#include "platform/last_error.h"

namespace kelvadrome {
namespace {

enum class Fault { kNone, kEndOfData, kBadTag };

// One element read by BerCursor. For an indefinite length, content_end is the first octet of the
// end-of-contents marker and end is just past it; for a definite length both are the same.
struct Element {
  const uint8_t* begin = nullptr;
  const uint8_t* content = nullptr;
  const uint8_t* content_end = nullptr;
  const uint8_t* end = nullptr;
  uint8_t identifier = 0;  // the first identifier octet (class, constructed bit, low tag number)
  bool high_tag = false;   // the tag number follows in further identifier octets

  bool Is(uint8_t tag) const { return !high_tag && identifier == tag; }
  size_t content_size() const { return static_cast<size_t>(content_end - content); }
};

// BerCursor: a non-owning, bounds-checked cursor over BER-encoded bytes [pos, end), which lie
// inside the whole input ending at input_end. A read that fails leaves the cursor where it was.
// A read that needs bytes beyond |end| fails with kEndOfData when they would also lie beyond the
// input (the bytes ended early), and with kBadTag when the input goes on (the element overran the
// one holding it).
class BerCursor {
 public:
  BerCursor(const uint8_t* pos, const uint8_t* end, const uint8_t* input_end)
      : pos_(pos), end_(end), input_end_(input_end) {}

  bool empty() const { return pos_ == end_; }

  // NextIs is true when something is left and the next identifier octet is the one-octet |tag|.
  bool NextIs(uint8_t tag) const { return pos_ != end_ && *pos_ == tag; }

  // Inside returns a cursor over the content octets of |element|.
  BerCursor Inside(const Element& element) const {
    return BerCursor(element.content, element.content_end, input_end_);
  }

  // Read reads the next element, at nesting level |depth|, into |element|. Definite lengths are
  // checked against what is left; an indefinite length (constructed elements only) is followed
  // through the children, each read the same way one level deeper, up to the end-of-contents
  // marker. Universal tag 0 is the end-of-contents marker and never an element.
  Fault Read(Element& element, int depth) {
    if (depth > kPkcs7MaxNesting) return Fault::kBadTag;
    const uint8_t* p = pos_;
    if (p == end_) return Short(p, 1);
    Element read;
    read.begin = p;
    read.identifier = *p++;
    if (read.identifier == 0x00) return p == end_ ? Short(p, 1) : Fault::kBadTag;
    if ((read.identifier & 0x1F) == 0x1F) {
      read.high_tag = true;
      // Base-128 tag number: no leading zero group, at most four octets (28 bits).
      for (int i = 0;; ++i) {
        if (p == end_) return Short(p, 1);
        const uint8_t octet = *p++;
        if (i == 0 && octet == 0x80) return Fault::kBadTag;
        if ((octet & 0x80) == 0) break;
        if (i == 3) return Fault::kBadTag;
      }
    }
    if (p == end_) return Short(p, 1);
    const uint8_t first_length = *p++;
    if (first_length == 0x80) {
      if ((read.identifier & der_tag::kConstructed) == 0) return Fault::kBadTag;
      BerCursor children(p, end_, input_end_);
      while (!children.SkipEndOfContents()) {
        Element child;
        const Fault fault = children.Read(child, depth + 1);
        if (fault != Fault::kNone) return fault;
      }
      read.content = p;
      read.end = children.pos_;
      read.content_end = read.end - 2;
    } else {
      size_t length = first_length;
      if (first_length & 0x80) {
        const size_t count = first_length & 0x7F;
        if (count == 0x7F) return Fault::kBadTag;  // 0xFF is reserved
        if (count > Left(p)) return Short(p, count);
        // Leading zero octets are allowed (BER does not ask for the shortest form).
        length = 0;
        for (size_t i = 0; i < count; ++i) {
          if (length > (SIZE_MAX >> 8)) return Fault::kEndOfData;  // beyond any input
          length = (length << 8) | p[i];
        }
        p += count;
      }
      if (length > Left(p)) return Short(p, length);
      read.content = p;
      read.content_end = p + length;
      read.end = read.content_end;
    }
    element = read;
    pos_ = read.end;
    return Fault::kNone;
  }

  // Read reads the next element when its tag is the one-octet low-number |tag|; kBadTag otherwise.
  Fault Read(uint8_t tag, Element& element, int depth) {
    // The tag is checked before the rest, so a wrong element is kBadTag even when cut short.
    if (pos_ != end_ && *pos_ != tag) return Fault::kBadTag;
    Element read;
    const Fault fault = Read(read, depth);
    if (fault != Fault::kNone) return fault;
    element = read;
    return Fault::kNone;
  }

 private:
  size_t Left(const uint8_t* p) const { return static_cast<size_t>(end_ - p); }

  // Short says why |needed| octets from |p| are not in the cursor.
  Fault Short(const uint8_t* p, size_t needed) const {
    return needed > static_cast<size_t>(input_end_ - p) ? Fault::kEndOfData : Fault::kBadTag;
  }

  // SkipEndOfContents moves past an end-of-contents marker (two zero octets) and returns true when
  // one is next.
  bool SkipEndOfContents() {
    if (Left(pos_) < 2 || pos_[0] != 0 || pos_[1] != 0) return false;
    pos_ += 2;
    return true;
  }

  const uint8_t* pos_;
  const uint8_t* end_;
  const uint8_t* input_end_;
};

// Content types: the OBJECT IDENTIFIER content octets of 1.2.840.113549.1.7.n.
constexpr uint8_t kPkcs7Arc[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
constexpr uint8_t kData = 1;
constexpr uint8_t kSignedData = 2;
constexpr uint8_t kEnvelopedData = 3;
constexpr uint8_t kDigestedData = 5;
constexpr uint8_t kEncryptedData = 6;

// Pkcs7Type returns n for a content type 1.2.840.113549.1.7.n with n below 128, 0 otherwise.
uint8_t Pkcs7Type(const Element& oid) {
  if (oid.content_size() != sizeof(kPkcs7Arc) + 1) return 0;
  if (std::memcmp(oid.content, kPkcs7Arc, sizeof(kPkcs7Arc)) != 0) return 0;
  const uint8_t last = oid.content[sizeof(kPkcs7Arc)];
  return (last & 0x80) ? 0 : last;
}

// ReadSignedData reads the SignedData |signed_data| (level |depth|) and appends the elements of its
// certificate set to |certificates|.
//   SignedData ::= SEQUENCE { version INTEGER, digestAlgorithms SET, encapContentInfo SEQUENCE,
//                             certificates [0] IMPLICIT SET OPTIONAL, crls [1] IMPLICIT OPTIONAL,
//                             signerInfos SET }
// The version is not checked: version 1 messages and later ones (version 3 and up, with
// other signer identifiers) share this outline.
Fault ReadSignedData(BerCursor& outer, const Element& signed_data, int depth,
                     std::vector<std::span<const uint8_t>>& certificates) {
  BerCursor fields = outer.Inside(signed_data);
  const int field_depth = depth + 1;
  Element field;
  Fault fault = fields.Read(der_tag::kInteger, field, field_depth);
  if (fault != Fault::kNone) return fault;
  if (field.content_size() == 0) return Fault::kBadTag;
  if ((fault = fields.Read(der_tag::kSet, field, field_depth)) != Fault::kNone) return fault;
  if ((fault = fields.Read(der_tag::kSequence, field, field_depth)) != Fault::kNone) return fault;
  if (fields.NextIs(der_tag::ContextConstructed(0))) {
    if ((fault = fields.Read(field, field_depth)) != Fault::kNone) return fault;
    BerCursor set = fields.Inside(field);
    while (!set.empty()) {
      Element entry;
      if ((fault = set.Read(entry, field_depth + 1)) != Fault::kNone) return fault;
      certificates.emplace_back(entry.begin, entry.end);
    }
  }
  if (fields.NextIs(der_tag::ContextConstructed(1))) {
    if ((fault = fields.Read(field, field_depth)) != Fault::kNone) return fault;
  }
  if ((fault = fields.Read(der_tag::kSet, field, field_depth)) != Fault::kNone) return fault;
  return fields.empty() ? Fault::kNone : Fault::kBadTag;
}

uint32_t FaultError(Fault fault) {
  return fault == Fault::kEndOfData ? platform_error::kAsn1EndOfData : platform_error::kAsn1BadTag;
}

// Read does the work of ReadPkcs7Certificates except recording the error, which it returns.
//   ContentInfo ::= SEQUENCE { contentType OBJECT IDENTIFIER, content [0] EXPLICIT ANY OPTIONAL }
uint32_t Read(std::span<const uint8_t> bytes, Pkcs7Certificates& result) {
  if (bytes.empty()) return platform_error::kAsn1EndOfData;
  const uint8_t* input_end = bytes.data() + bytes.size();
  BerCursor input(bytes.data(), input_end, input_end);
  Element info;
  Fault fault = input.Read(der_tag::kSequence, info, 0);
  if (fault != Fault::kNone) return FaultError(fault);
  if (!input.empty()) return platform_error::kAsn1BadTag;

  BerCursor fields = input.Inside(info);
  Element oid;
  if ((fault = fields.Read(der_tag::kObjectIdentifier, oid, 1)) != Fault::kNone) {
    return FaultError(fault);
  }
  if (!IsValidObjectIdentifier(oid.content, oid.content_size())) return platform_error::kAsn1BadTag;
  // The content, when there, is exactly one element inside the explicit [0].
  bool has_content = false;
  Element content;
  BerCursor wrapper = fields;
  if (!fields.empty()) {
    Element explicit_tag;
    if ((fault = fields.Read(der_tag::ContextConstructed(0), explicit_tag, 1)) != Fault::kNone) {
      return FaultError(fault);
    }
    wrapper = fields.Inside(explicit_tag);
    if ((fault = wrapper.Read(content, 2)) != Fault::kNone) return FaultError(fault);
    if (!wrapper.empty()) return platform_error::kAsn1BadTag;
    has_content = true;
    if (!fields.empty()) return platform_error::kAsn1BadTag;
  }

  switch (Pkcs7Type(oid)) {
    case kSignedData:
      if (!has_content || !content.Is(der_tag::kSequence)) return platform_error::kAsn1BadTag;
      if ((fault = ReadSignedData(wrapper, content, 2, result.certificates)) != Fault::kNone) {
        result.certificates.clear();
        return FaultError(fault);
      }
      result.reading = Pkcs7Reading::kCertificates;
      return 0;
    case kData:
    case kEnvelopedData:
    case kDigestedData:
    case kEncryptedData:
      result.reading = Pkcs7Reading::kNoCertificateCount;
      return platform_error::kInvalidMessageType;
    default:
      return platform_error::kInvalidMessageType;
  }
}

}  // namespace

Pkcs7Certificates ReadPkcs7Certificates(std::span<const uint8_t> bytes) {
  Pkcs7Certificates result;
  SetLastPlatformError(Read(bytes, result));
  return result;
}

}  // namespace kelvadrome
