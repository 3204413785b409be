#include "platform/ber_reader.h"

#include <cstdint>

#include "platform/der_reader.h"

namespace kelvadrome {

BerFault BerReader::Short(const uint8_t* p, size_t needed) const {
  return needed > static_cast<size_t>(input_end_ - p) ? BerFault::kEndOfData : BerFault::kBadTag;
}

bool BerReader::SkipEndOfContents() {
  if (Left(pos_) < 2 || pos_[0] != 0 || pos_[1] != 0) return false;
  pos_ += 2;
  return true;
}

BerFault BerReader::Read(BerElement& element, int depth) {
  if (depth > kBerMaxNesting) return BerFault::kBadTag;
  const uint8_t* p = pos_;
  if (p == end_) return Short(p, 1);
  BerElement read;
  read.begin = p;
  read.identifier = *p++;
  if (read.identifier == 0x00) return p == end_ ? Short(p, 1) : BerFault::kBadTag;
  if ((read.identifier & 0x1F) == 0x1F) {
    read.high_tag = true;
    for (int i = 0;; ++i) {
      if (p == end_) return Short(p, 1);
      const uint8_t octet = *p++;
      if (i == 0 && octet == 0x80) return BerFault::kBadTag;
      if ((octet & 0x80) == 0) break;
      if (i == 3) return BerFault::kBadTag;
    }
  }
  if (p == end_) return Short(p, 1);
  const uint8_t first_length = *p++;
  if (first_length == 0x80) {
    if ((read.identifier & der_tag::kConstructed) == 0) return BerFault::kBadTag;
    BerReader children(p, end_, input_end_);
    while (!children.SkipEndOfContents()) {
      BerElement child;
      const BerFault fault = children.Read(child, depth + 1);
      if (fault != BerFault::kNone) return fault;
    }
    read.content = p;
    read.end = children.pos_;
    read.content_end = read.end - 2;
  } else {
    size_t length = first_length;
    if (first_length & 0x80) {
      const size_t count = first_length & 0x7F;
      if (count == 0x7F) return BerFault::kBadTag;
      if (count > Left(p)) return Short(p, count);
      length = 0;
      for (size_t i = 0; i < count; ++i) {
        if (length > (SIZE_MAX >> 8)) return BerFault::kEndOfData;  // beyond any input
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
  return BerFault::kNone;
}

BerFault BerReader::Read(uint8_t tag, BerElement& element, int depth) {
  if (pos_ != end_ && *pos_ != tag) return BerFault::kBadTag;
  BerElement read;
  const BerFault fault = Read(read, depth);
  if (fault != BerFault::kNone) return fault;
  element = read;
  return BerFault::kNone;
}

}  // namespace kelvadrome
