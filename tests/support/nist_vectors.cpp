#include "support/nist_vectors.h"

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace kelvadrome::testing {
namespace {

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n";
  const size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const std::string* NistRecord::Find(std::string_view name) const {
  for (const auto& field : fields) {
    if (field.first == name) return &field.second;
  }
  return nullptr;
}

std::string NistRecord::Get(std::string_view name) const {
  const std::string* value = Find(name);
  if (value == nullptr) {
    ADD_FAILURE() << "record at line " << line << " has no field " << name;
    return {};
  }
  return *value;
}

bool ParseNistText(std::string_view text, std::vector<NistRecord>* records, std::string* error) {
  records->clear();
  std::string section;
  NistRecord current;
  auto close_record = [&] {
    if (!current.fields.empty()) records->push_back(std::move(current));
    current = NistRecord{};
  };

  int line_number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++line_number;

    if (line.empty()) {
      close_record();
      continue;
    }
    if (line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') {
        *error = "line " + std::to_string(line_number) + ": unterminated header";
        return false;
      }
      close_record();
      section = std::string(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      *error = "line " + std::to_string(line_number) + ": expected NAME = value";
      return false;
    }
    std::string name(Trim(line.substr(0, equals)));
    std::string value(Trim(line.substr(equals + 1)));
    if (current.Find(name) != nullptr) close_record();
    if (current.fields.empty()) {
      current.section = section;
      current.line = line_number;
    }
    current.fields.emplace_back(std::move(name), std::move(value));
  }
  close_record();
  return true;
}

bool ReadNistFile(const std::filesystem::path& path, std::vector<NistRecord>* records,
                  std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path.string();
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!ParseNistText(text, records, error)) {
    *error = path.string() + ": " + *error;
    return false;
  }
  return true;
}

std::optional<std::vector<uint8_t>> HexToBytes(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes(hex.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit(hex[2 * i]);
    const int low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return bytes;
}

std::string BytesToHex(const void* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const uint8_t*>(bytes);
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
  return out;
}

}  // namespace kelvadrome::testing
