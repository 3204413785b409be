#include "platform/der_writer.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace kelvadrome {

namespace {

// The number of octets of the shortest definite length form of |length|.
size_t LengthOctets(size_t length) {
  if (length < 0x80) return 1;
  size_t octets = 1;
  for (size_t rest = length; rest != 0; rest >>= 8) ++octets;
  return octets;
}

// Writes the length form of |length| into the |octets| octets at |at|.
void PutLength(uint8_t* at, size_t octets, size_t length) {
  if (octets == 1) {
    at[0] = static_cast<uint8_t>(length);
    return;
  }
  at[0] = static_cast<uint8_t>(0x80 | (octets - 1));
  for (size_t i = octets - 1; i >= 1; --i, length >>= 8) at[i] = static_cast<uint8_t>(length);
}

void CheckLength(size_t length) {
  if (length > UINT32_MAX) throw std::length_error("DER content too long");
}

}  // namespace

DerBuilder::DerBuilder(size_t capacity) {
  out_.reserve(capacity);
}

void DerBuilder::Open(uint8_t tag, size_t expected_length) {
  const size_t octets = LengthOctets(std::min<size_t>(expected_length, UINT32_MAX));
  out_.push_back(tag);
  open_.push_back({out_.size(), octets});
  out_.resize(out_.size() + octets);
}

size_t DerBuilder::CloseInnermost() {
  if (open_.empty()) throw std::logic_error("no DER element open");
  const OpenElement element = open_.back();
  size_t content_at = element.length_at + element.length_octets;
  const size_t length = out_.size() - content_at;
  CheckLength(length);
  const size_t octets = LengthOctets(length);
  const auto at = out_.begin() + static_cast<ptrdiff_t>(element.length_at);
  if (octets > element.length_octets) {
    out_.insert(at, octets - element.length_octets, 0);
  } else if (octets < element.length_octets) {
    out_.erase(at, at + static_cast<ptrdiff_t>(element.length_octets - octets));
  }
  PutLength(out_.data() + element.length_at, octets, length);
  open_.pop_back();
  return element.length_at + octets;
}

void DerBuilder::Close() {
  CloseInnermost();
}

void DerBuilder::CloseSetOf() {
  const size_t content_at = CloseInnermost();
  // The children are elements this builder wrote, so their headers are well formed.
  std::vector<std::span<const uint8_t>> children;
  for (size_t at = content_at; at < out_.size();) {
    const uint8_t first = out_[at + 1];
    size_t length = first;
    size_t header = 2;
    if (first >= 0x80) {
      length = 0;
      for (size_t i = 0; i < static_cast<size_t>(first & 0x7F); ++i) {
        length = (length << 8) | out_[at + 2 + i];
      }
      header += first & 0x7F;
    }
    children.emplace_back(out_.data() + at, header + length);
    at += header + length;
  }
  if (children.size() < 2) return;
  std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  });
  std::vector<uint8_t> sorted;
  sorted.reserve(out_.size() - content_at);
  for (const auto& child : children) sorted.insert(sorted.end(), child.begin(), child.end());
  std::copy(sorted.begin(), sorted.end(), out_.begin() + static_cast<ptrdiff_t>(content_at));
}

void DerBuilder::AddHeader(uint8_t tag, size_t length) {
  CheckLength(length);
  const size_t octets = LengthOctets(length);
  const size_t at = out_.size();
  out_.resize(at + 1 + octets);
  out_[at] = tag;
  PutLength(out_.data() + at + 1, octets, length);
}

void DerBuilder::AddElement(uint8_t tag, std::span<const uint8_t> content) {
  AddHeader(tag, content.size());
  out_.insert(out_.end(), content.begin(), content.end());
}

std::span<uint8_t> DerBuilder::AddElementSpace(uint8_t tag, size_t length) {
  AddHeader(tag, length);
  const size_t at = out_.size();
  out_.resize(at + length);
  return std::span<uint8_t>(out_.data() + at, length);
}

void DerBuilder::AddEncoded(std::span<const uint8_t> encoded) {
  out_.insert(out_.end(), encoded.begin(), encoded.end());
}

void DerBuilder::AddObjectIdentifier(const char* dotted) {
  std::vector<uint64_t> arcs;
  const char* cursor = dotted;
  while (*cursor != '\0') {
    char* end = nullptr;
    arcs.push_back(std::strtoull(cursor, &end, 10));
    if (end == cursor || (*end != '.' && *end != '\0')) throw std::invalid_argument(dotted);
    cursor = *end == '.' ? end + 1 : end;
  }
  if (arcs.size() < 2 || arcs[0] > 2) throw std::invalid_argument(dotted);
  std::vector<uint8_t> content;
  auto put = [&](uint64_t arc) {
    uint8_t groups[10];
    size_t count = 0;
    do {
      groups[count++] = static_cast<uint8_t>(arc & 0x7F);
      arc >>= 7;
    } while (arc != 0);
    while (count > 1) content.push_back(static_cast<uint8_t>(0x80 | groups[--count]));
    content.push_back(groups[0]);
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  AddElement(0x06, content);
}

std::vector<uint8_t> DerBuilder::Finish() {
  if (!open_.empty()) throw std::logic_error("DER element left open");
  std::vector<uint8_t> result = std::move(out_);
  out_.clear();
  return result;
}

}  // namespace kelvadrome
