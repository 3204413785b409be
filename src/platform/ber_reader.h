// BerReader: a non-owning, bounds-checked cursor over BER-encoded bytes, for the container formats
// that other software writes with indefinite lengths and constructed strings (PKCS #7, PKCS #12).
// DER-only input is better read with DerReader.
//
// A read that fails leaves the cursor where it was. Definite lengths (any length form, leading
// zero octets allowed) are checked against what is left before they are trusted; an indefinite
// length (constructed elements only) is followed through its children, up to the end-of-contents
// marker, with the nesting depth capped so that hostile input cannot exhaust the stack. A read
// that needs bytes past the cursor's end fails with kEndOfData when they would also lie past the
// whole input (the bytes ended early), and with kBadTag when the input goes on (the element
// overran the one holding it).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvadrome {

enum class BerFault { kNone, kEndOfData, kBadTag };

// The deepest nesting a reader follows (the outermost element is level 0).
inline constexpr int kBerMaxNesting = 64;

// One element. For an indefinite length, content_end is the first octet of the end-of-contents
// marker and end is just past it; for a definite length both are the same.
struct BerElement {
  const uint8_t* begin = nullptr;
  const uint8_t* content = nullptr;
  const uint8_t* content_end = nullptr;
  const uint8_t* end = nullptr;
  uint8_t identifier = 0;  // the first identifier octet (class, constructed bit, low tag number)
  bool high_tag = false;   // the tag number follows in further identifier octets

  bool Is(uint8_t tag) const { return !high_tag && identifier == tag; }
  size_t content_size() const { return static_cast<size_t>(content_end - content); }
};

class BerReader {
 public:
  // The reader covers [pos, end), which lies inside the whole input ending at input_end.
  BerReader(const uint8_t* pos, const uint8_t* end, const uint8_t* input_end)
      : pos_(pos), end_(end), input_end_(input_end) {}

  bool empty() const { return pos_ == end_; }
  const uint8_t* position() const { return pos_; }

  // NextIs is true when something is left and the next identifier octet is the one-octet |tag|.
  bool NextIs(uint8_t tag) const { return pos_ != end_ && *pos_ == tag; }

  // Inside returns a reader over the content octets of |element|.
  BerReader Inside(const BerElement& element) const {
    return BerReader(element.content, element.content_end, input_end_);
  }

  // Read reads the next element, at nesting level |depth|. Universal tag 0 is the end-of-contents
  // marker and never an element. A tag number takes at most four base-128 octets, without a
  // leading zero group; the length octet 0xFF is reserved.
  BerFault Read(BerElement& element, int depth);

  // Read reads the next element when its tag is the one-octet low-number |tag|; kBadTag
  // otherwise, checked before the rest so that a wrong element is kBadTag even when cut short.
  BerFault Read(uint8_t tag, BerElement& element, int depth);

 private:
  size_t Left(const uint8_t* p) const { return static_cast<size_t>(end_ - p); }
  // Short says why |needed| octets from |p| are not in the reader.
  BerFault Short(const uint8_t* p, size_t needed) const;
  // SkipEndOfContents moves past an end-of-contents marker and returns true when one is next.
  bool SkipEndOfContents();

  const uint8_t* pos_;
  const uint8_t* end_;
  const uint8_t* input_end_;
};

}  // namespace kelvadrome
