// DerReader: a non-owning, bounds-checked cursor over DER-encoded bytes, for parsers of outside
// input (certificates first of all).
//
// Every read checks the bytes it needs against what is left before it trusts a length, and a read
// that fails leaves the cursor where it was. Only DER is read: single-octet tags (tag numbers up to
// 30), definite lengths in their shortest form, lengths of at most four octets. The reader never
// owns the bytes; the caller keeps them alive while any reader over them is in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvadrome {

namespace der_tag {
inline constexpr uint8_t kBoolean = 0x01;
inline constexpr uint8_t kInteger = 0x02;
inline constexpr uint8_t kBitString = 0x03;
inline constexpr uint8_t kOctetString = 0x04;
inline constexpr uint8_t kNull = 0x05;
inline constexpr uint8_t kObjectIdentifier = 0x06;
inline constexpr uint8_t kUtf8String = 0x0C;
inline constexpr uint8_t kUtcTime = 0x17;
inline constexpr uint8_t kGeneralizedTime = 0x18;
inline constexpr uint8_t kSequence = 0x30;
inline constexpr uint8_t kSet = 0x31;
inline constexpr uint8_t kConstructed = 0x20;
inline constexpr uint8_t kClassMask = 0xC0;
inline constexpr uint8_t kContextSpecific = 0x80;
// ContextConstructed(n) is the tag octet of an explicit [n]; ContextPrimitive(n) of an implicit
// [n] over a primitive type.
constexpr uint8_t ContextConstructed(uint8_t n) {
  return static_cast<uint8_t>(0xA0 | n);
}
constexpr uint8_t ContextPrimitive(uint8_t n) {
  return static_cast<uint8_t>(0x80 | n);
}
}  // namespace der_tag

// Why a header could not be read: kTruncated when the header, or the content it announces, runs
// past the end of the bytes; kMalformed when it is not DER (a multi-octet tag, an indefinite,
// over-long or non-minimal length).
enum class DerStatus { kOk, kTruncated, kMalformed };

class DerReader {
 public:
  DerReader() = default;
  // The reader covers the |size| bytes at |data|, which may be null only when size == 0.
  DerReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // ReadAnyElement reads the next element whatever its tag: |tag| gets the tag octet, |contents| a
  // reader over its content octets and, when not null, |*header_length| the length of its tag and
  // length octets (the whole element is contents.data() - *header_length, header + content long).
  // On failure it returns why and changes neither the cursor nor the outputs.
  DerStatus ReadAnyElement(uint8_t& tag, DerReader& contents, size_t* header_length = nullptr);

  // ReadElement reads the next element into |contents| when its tag octet is |tag|; false (nothing
  // read) when the tag differs or the element is not well formed.
  bool ReadElement(uint8_t tag, DerReader& contents);
  // ReadWholeElement is ReadElement giving the whole element, header included.
  bool ReadWholeElement(uint8_t tag, DerReader& element);
  // SkipElement reads past the next element when its tag is |tag|; SkipAnyElement whatever its tag.
  bool SkipElement(uint8_t tag);
  bool SkipAnyElement();
  // ReadOptionalElement reads the next element when its tag is |tag| and sets |present|; when the
  // next tag differs (or nothing is left) it returns true with |present| false. False only when an
  // element with that tag is there but malformed.
  bool ReadOptionalElement(uint8_t tag, DerReader& contents, bool& present);

  // PeekTag gives the next tag octet without reading; false when nothing is left. It does not check
  // the element behind the tag.
  bool PeekTag(uint8_t& tag) const;
  // NextTagIs is true when something is left and the next tag octet is |tag|.
  bool NextTagIs(uint8_t tag) const;

  // ReadInteger reads an INTEGER whose content is at least one octet in its shortest two's
  // complement form; |contents| gets the content octets as encoded.
  bool ReadInteger(DerReader& contents);
  // ReadBoolean reads a BOOLEAN of one content octet. Any octet other than zero reads as true (the
  // BER rule, which certificates in the wild rely on), though DER writes only 0xFF.
  bool ReadBoolean(bool& value);
  // ReadBitString reads a BIT STRING: a leading count of unused bits (0-7, and 0 when no bits
  // follow) and the bit octets, which |bits| gets; |unused_bits| gets the count.
  bool ReadBitString(DerReader& bits, uint8_t& unused_bits);
  // ReadObjectIdentifier reads an OBJECT IDENTIFIER whose content is well formed (see
  // IsValidObjectIdentifier); |contents| gets the content octets.
  bool ReadObjectIdentifier(DerReader& contents);

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// IsValidObjectIdentifier is true when the |n| octets at |oid| are a well-formed OBJECT IDENTIFIER
// content: at least one octet, every sub-identifier in its shortest base-128 form (no leading 0x80
// octet) and the last octet ending a sub-identifier.
bool IsValidObjectIdentifier(const uint8_t* oid, size_t n);

// ObjectIdentifierToText returns the dotted decimal form ("2.5.4.3") of the OBJECT IDENTIFIER
// content octets at |oid|, with arcs of any size; the first sub-identifier is split into the first
// two arcs (0 and 1 below 80, 2 from 80 on). It returns an empty string when the content is not
// valid or is longer than kMaxObjectIdentifierText octets (a guard against quadratic work on huge
// identifiers).
inline constexpr size_t kMaxObjectIdentifierText = 586;
std::string ObjectIdentifierToText(const uint8_t* oid, size_t n);

}  // namespace kelvadrome
