#include "platform/der_reader.h"

#include <algorithm>
#include <vector>

namespace kelvadrome {

DerStatus DerReader::ReadAnyElement(uint8_t& tag, DerReader& contents, size_t* header_length) {
  if (size_ < 2) return DerStatus::kTruncated;
  const uint8_t first = data_[0];
  // Tag numbers above 30 take more octets; nothing read here uses them.
  if ((first & 0x1F) == 0x1F) return DerStatus::kMalformed;
  const uint8_t length_octet = data_[1];
  size_t header = 2;
  size_t length = 0;
  if (length_octet < 0x80) {
    length = length_octet;
  } else {
    const size_t count = length_octet & 0x7F;
    // 0x80 alone is the indefinite length; more than four octets is beyond any input read here.
    if (count == 0 || count > 4) return DerStatus::kMalformed;
    if (size_ - 2 < count) return DerStatus::kTruncated;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | data_[2 + i];
    // The shortest form: no leading zero octet, and the long form only from 128 on.
    if (data_[2] == 0 || length < 0x80) return DerStatus::kMalformed;
    header += count;
  }
  if (length > size_ - header) return DerStatus::kTruncated;
  tag = first;
  contents = DerReader(data_ + header, length);
  if (header_length != nullptr) *header_length = header;
  data_ += header + length;
  size_ -= header + length;
  return DerStatus::kOk;
}

bool DerReader::ReadElement(uint8_t tag, DerReader& contents) {
  if (!NextTagIs(tag)) return false;
  DerReader copy = *this;
  uint8_t read_tag = 0;
  DerReader read_contents;
  if (copy.ReadAnyElement(read_tag, read_contents) != DerStatus::kOk) return false;
  *this = copy;
  contents = read_contents;
  return true;
}

bool DerReader::ReadWholeElement(uint8_t tag, DerReader& element) {
  if (!NextTagIs(tag)) return false;
  const uint8_t* start = data_;
  uint8_t read_tag = 0;
  DerReader contents;
  size_t header = 0;
  if (ReadAnyElement(read_tag, contents, &header) != DerStatus::kOk) return false;
  element = DerReader(start, header + contents.size());
  return true;
}

bool DerReader::SkipElement(uint8_t tag) {
  DerReader ignored;
  return ReadElement(tag, ignored);
}

bool DerReader::SkipAnyElement() {
  uint8_t tag = 0;
  DerReader ignored;
  return ReadAnyElement(tag, ignored) == DerStatus::kOk;
}

bool DerReader::ReadOptionalElement(uint8_t tag, DerReader& contents, bool& present) {
  if (!NextTagIs(tag)) {
    present = false;
    return true;
  }
  if (!ReadElement(tag, contents)) return false;
  present = true;
  return true;
}

bool DerReader::PeekTag(uint8_t& tag) const {
  if (size_ == 0) return false;
  tag = data_[0];
  return true;
}

bool DerReader::NextTagIs(uint8_t tag) const {
  return size_ != 0 && data_[0] == tag;
}

bool DerReader::ReadInteger(DerReader& contents) {
  DerReader copy = *this;
  DerReader value;
  if (!copy.ReadElement(der_tag::kInteger, value) || value.empty()) return false;
  if (value.size() > 1) {
    // A leading 0x00 is only there to clear the sign of a following octet, 0xFF to set it.
    const uint8_t a = value.data()[0];
    const uint8_t b = value.data()[1];
    if ((a == 0x00 && (b & 0x80) == 0) || (a == 0xFF && (b & 0x80) != 0)) return false;
  }
  *this = copy;
  contents = value;
  return true;
}

bool DerReader::ReadBoolean(bool& value) {
  DerReader copy = *this;
  DerReader contents;
  if (!copy.ReadElement(der_tag::kBoolean, contents) || contents.size() != 1) return false;
  *this = copy;
  value = contents.data()[0] != 0;
  return true;
}

bool DerReader::ReadBitString(DerReader& bits, uint8_t& unused_bits) {
  DerReader copy = *this;
  DerReader contents;
  if (!copy.ReadElement(der_tag::kBitString, contents) || contents.empty()) return false;
  const uint8_t unused = contents.data()[0];
  if (unused > 7 || (unused != 0 && contents.size() == 1)) return false;
  *this = copy;
  bits = DerReader(contents.data() + 1, contents.size() - 1);
  unused_bits = unused;
  return true;
}

bool DerReader::ReadObjectIdentifier(DerReader& contents) {
  DerReader copy = *this;
  DerReader value;
  if (!copy.ReadElement(der_tag::kObjectIdentifier, value) ||
      !IsValidObjectIdentifier(value.data(), value.size())) {
    return false;
  }
  *this = copy;
  contents = value;
  return true;
}

bool IsValidObjectIdentifier(const uint8_t* oid, size_t n) {
  if (n == 0 || (oid[n - 1] & 0x80) != 0) return false;
  for (size_t i = 0; i < n; ++i) {
    const bool starts_subidentifier = i == 0 || (oid[i - 1] & 0x80) == 0;
    if (starts_subidentifier && oid[i] == 0x80) return false;
  }
  return true;
}

namespace {

// Appends the decimal form of the base-128 digits at [begin, end), less |subtract| (which must
// not exceed the value; only 80 for a first arc of 2).
void AppendBase128Decimal(std::string& out, const uint8_t* begin, const uint8_t* end,
                          uint32_t subtract) {
  // Up to 8 base-128 digits fit a 64-bit value; longer arcs take the slow path.
  if (end - begin <= 8) {
    uint64_t value = 0;
    for (const uint8_t* p = begin; p != end; ++p) value = (value << 7) | (*p & 0x7F);
    out += std::to_string(value - subtract);
    return;
  }
  // Little-endian limbs of nine decimal digits each.
  std::vector<uint32_t> limbs{0};
  for (const uint8_t* p = begin; p != end; ++p) {
    uint64_t carry = *p & 0x7F;
    for (uint32_t& limb : limbs) {
      const uint64_t next = static_cast<uint64_t>(limb) * 128 + carry;
      limb = static_cast<uint32_t>(next % 1000000000);
      carry = next / 1000000000;
    }
    if (carry != 0) limbs.push_back(static_cast<uint32_t>(carry));
  }
  // Subtracts with borrow; the value is far above |subtract| here.
  uint64_t borrow = subtract;
  for (uint32_t& limb : limbs) {
    if (borrow == 0) break;
    if (limb >= borrow) {
      limb -= static_cast<uint32_t>(borrow);
      borrow = 0;
    } else {
      limb = static_cast<uint32_t>(limb + 1000000000 - borrow);
      borrow = 1;
    }
  }
  while (limbs.size() > 1 && limbs.back() == 0) limbs.pop_back();
  out += std::to_string(limbs.back());
  for (size_t i = limbs.size() - 1; i-- > 0;) {
    const std::string digits = std::to_string(limbs[i]);
    out.append(9 - digits.size(), '0');
    out += digits;
  }
}

}  // namespace

std::string ObjectIdentifierToText(const uint8_t* oid, size_t n) {
  if (n > kMaxObjectIdentifierText || !IsValidObjectIdentifier(oid, n)) return std::string();
  std::string out;
  const uint8_t* const end = oid + n;
  const uint8_t* p = oid;
  bool first = true;
  while (p != end) {
    const uint8_t* start = p;
    while ((*p & 0x80) != 0) ++p;
    ++p;
    if (first) {
      // The first sub-identifier is 40 * first arc + second arc; the first arc is at most 2.
      uint64_t small = 0;
      const bool fits = p - start <= 8;
      if (fits) {
        for (const uint8_t* q = start; q != p; ++q) small = (small << 7) | (*q & 0x7F);
      }
      if (fits && small < 80) {
        out += std::to_string(small / 40);
        out += '.';
        out += std::to_string(small % 40);
      } else {
        out += "2.";
        AppendBase128Decimal(out, start, p, 80);
      }
      first = false;
    } else {
      out += '.';
      AppendBase128Decimal(out, start, p, 0);
    }
  }
  return out;
}

}  // namespace kelvadrome
