// DerBuilder: writes DER front to back into one buffer, for the structures the component encodes
// itself (signed and enveloped messages, certification requests).
//
// A constructed element is opened, its children written, and closed: closing fills in the length
// in its shortest definite form, so no encoder works out a nested length itself. Large content is
// written once: AddElement copies it straight into the output and AddElementSpace hands out the
// room for it to be filled in place; an enclosing element opened with the expected size of its
// content has its length octets reserved up front, so closing it moves nothing when the guess
// needs as many length octets as the real length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelvadrome {

class DerBuilder {
 public:
  // The builder starts empty with room for |capacity| octets.
  explicit DerBuilder(size_t capacity = 0);

  // Open starts a constructed element of |tag| (one tag octet); everything written until the
  // matching Close is its content. |expected_length| is a guess of the content length: it only
  // decides how many length octets are reserved now.
  void Open(uint8_t tag, size_t expected_length = 0);
  // Close ends the innermost open element and writes its length. Throws std::length_error for
  // content of 4 GiB or more, which no length of four octets can carry, and std::logic_error when
  // no element is open.
  void Close();
  // CloseSetOf is Close for a SET OF: the children are first put in the order of their encodings,
  // as DER requires.
  void CloseSetOf();

  // AddElement writes the element of |tag| holding |content|.
  void AddElement(uint8_t tag, std::span<const uint8_t> content);
  // AddElementSpace writes the header of an element of |tag| with |length| content octets and
  // returns the room for them, zero-filled, to be filled by the caller. The span is valid until
  // the next write to the builder.
  std::span<uint8_t> AddElementSpace(uint8_t tag, size_t length);
  // AddEncoded writes |encoded| as it is: elements encoded elsewhere.
  void AddEncoded(std::span<const uint8_t> encoded);
  // AddObjectIdentifier writes the OBJECT IDENTIFIER of the dotted text |dotted| ("2.5.4.3"); the
  // text must be a valid identifier of at least two arcs (it is a constant of the caller), else
  // std::invalid_argument.
  void AddObjectIdentifier(const char* dotted);

  // Finish returns the encoding and leaves the builder empty. Throws std::logic_error when an
  // element is still open.
  std::vector<uint8_t> Finish();

 private:
  struct OpenElement {
    size_t length_at;      // offset of the first length octet
    size_t length_octets;  // length octets reserved
  };
  // CloseInnermost writes the length of the innermost open element and returns the offset of its
  // content.
  size_t CloseInnermost();
  // AddHeader writes the tag and length octets of an element of |tag| with |length| content octets.
  void AddHeader(uint8_t tag, size_t length);

  std::vector<uint8_t> out_;
  std::vector<OpenElement> open_;
};

}  // namespace kelvadrome
