// Reader for the NIST CAVP response files (.rsp) and the .rsp-style files beside them under
// tests/data/vectors. Independent of the component's code, like the rest of tests/support.
//
// The format: '#' starts a comment line; "[...]" is a section header (e.g. "[L = 20]",
// "[ENCRYPT]"); a record is a run of "NAME = value" lines, ended by a blank line, a header, or a
// repeated NAME.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvadrome::testing {

struct NistRecord {
  std::string section;  // text inside the last header before the record ("" if none)
  int line = 0;         // line number (from 1) of the record's first field
  std::vector<std::pair<std::string, std::string>> fields;  // in file order

  // Value of the first field named |name|, or null when the record has none.
  const std::string* Find(std::string_view name) const;
  // Value of the field named |name|; fails the current test and returns "" when it is missing.
  std::string Get(std::string_view name) const;
};

// ParseNistText splits |text| into records. Returns false, with a message naming the line in
// |*error|, for a line that is not blank, a comment, a header or "NAME = value".
bool ParseNistText(std::string_view text, std::vector<NistRecord>* records, std::string* error);

// ReadNistFile reads the file at |path| and parses it as ParseNistText does. Returns false (with
// |*error| set) when the file cannot be read or does not parse.
bool ReadNistFile(const std::filesystem::path& path, std::vector<NistRecord>* records,
                  std::string* error);

// HexToBytes decodes hex text (either case, even length). Returns nullopt for anything else.
std::optional<std::vector<uint8_t>> HexToBytes(std::string_view hex);

// BytesToHex encodes |n| bytes as lower-case hex.
std::string BytesToHex(const void* bytes, size_t n);

}  // namespace kelvadrome::testing
