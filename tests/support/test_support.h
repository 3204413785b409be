// Helpers shared by the test programs. Nothing here may depend on the component's own code: the
// ABI tests link only the shared library.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kelvadrome::testing {

// Path of a file under tests/data.
std::filesystem::path TestDataPath(const std::string& relative);

// Utf16Le returns the UTF-16LE bytes of |text|: what the component signs and encrypts of a text.
std::string Utf16Le(std::u16string_view text);

// Whole content of a file; fails the current test (and returns empty) when it cannot be read.
std::vector<unsigned char> ReadWholeFile(const std::filesystem::path& path);

// A fresh folder under the system's temporary folder, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes |content| to a file named |name| in the folder and returns its path.
  std::filesystem::path WriteFile(const std::string& name, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

// Sets an environment variable for the life of the object and restores the old value after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);  // value null: unset
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_value_;
  bool had_value_;
};

}  // namespace kelvadrome::testing
