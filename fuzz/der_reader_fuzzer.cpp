// The DER cursor over arbitrary bytes: walks every element, descending into constructed ones, and
// checks what a read promises: contents inside the input, a failed read that moves nothing, typed
// reads that agree with the plain ones, and object identifier text of the right shape.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/der_reader.h"

namespace {

using kelvadrome::DerReader;
using kelvadrome::DerStatus;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckTyped(DerReader reader, uint8_t tag) {
  DerReader value;
  uint8_t unused = 0;
  bool flag = false;
  const size_t before = reader.size();
  bool ok = false;
  switch (tag) {
    case kelvadrome::der_tag::kInteger:
      ok = reader.ReadInteger(value);
      if (ok) Check(value.size() >= 1);
      break;
    case kelvadrome::der_tag::kBoolean:
      ok = reader.ReadBoolean(flag);
      break;
    case kelvadrome::der_tag::kBitString:
      ok = reader.ReadBitString(value, unused);
      if (ok) Check(unused <= 7 && (unused == 0 || !value.empty()));
      break;
    case kelvadrome::der_tag::kObjectIdentifier: {
      ok = reader.ReadObjectIdentifier(value);
      if (!ok) break;
      const std::string text = kelvadrome::ObjectIdentifierToText(value.data(), value.size());
      Check(text.empty() == (value.size() > kelvadrome::kMaxObjectIdentifierText));
      if (!text.empty()) Check(text[0] >= '0' && text[0] <= '2' && text[1] == '.');
      break;
    }
    default:
      return;
  }
  if (!ok) Check(reader.size() == before);
}

void Walk(DerReader reader, const uint8_t* begin, const uint8_t* end, int depth) {
  while (!reader.empty()) {
    const DerReader before = reader;
    uint8_t tag = 0;
    DerReader contents;
    size_t header = 0;
    if (reader.ReadAnyElement(tag, contents, &header) != DerStatus::kOk) {
      Check(reader.data() == before.data() && reader.size() == before.size());
      return;
    }
    Check(contents.data() - header == before.data());
    Check(contents.data() >= begin && contents.data() + contents.size() <= end);
    Check(reader.size() == before.size() - header - contents.size());
    // The same element read by tag gives the same contents.
    DerReader again = before;
    DerReader by_tag;
    Check(again.ReadElement(tag, by_tag) && by_tag.data() == contents.data() &&
          by_tag.size() == contents.size() && again.data() == reader.data());
    CheckTyped(before, tag);
    if ((tag & kelvadrome::der_tag::kConstructed) != 0 && depth < 64) {
      Walk(contents, begin, end, depth + 1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Walk(DerReader(data, size), data, data + size, 0);
  if (kelvadrome::IsValidObjectIdentifier(data, size)) {
    Check(!kelvadrome::ObjectIdentifierToText(data, size).empty() ||
          size > kelvadrome::kMaxObjectIdentifierText);
  } else {
    Check(kelvadrome::ObjectIdentifierToText(data, size).empty());
  }
  return 0;
}
