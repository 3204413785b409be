// ByteBuffer: the one owned byte array that carries every binary value inside the component
// (DER, digests, signatures, ciphertext, keys) and the Base64 and hex text forms handed to callers.
//
// Invariants kept by every operation:
//  - empty means data() == nullptr and length() == 0; a non-null data pointer never has length 0;
//  - whenever data() is non-null, the two bytes after the content are zero, so text content can be
//    read as a NUL-terminated 8-bit string and UTF-16 content as a NUL-terminated wide string;
//  - every operation that replaces the content (all but Append) releases the old content first, so
//  a
//    failed operation leaves the buffer empty.
// Released storage is wiped, because buffers also carry keys and passwords.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvadrome {

class ByteBuffer {
 public:
  // Largest content a buffer can hold: the length is a signed 32-bit value and the storage also
  // needs the two terminating zero bytes.
  static constexpr int32_t kMaxLength = INT32_MAX - 2;

  ByteBuffer() = default;
  // Constructs a buffer of |size| zero bytes, as Allocate(size); a failure leaves it empty.
  explicit ByteBuffer(int32_t size);
  ~ByteBuffer();

  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  int32_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  // The content read as NUL-terminated 8-bit text; "" when the buffer is empty.
  const char* c_str() const { return data_ ? reinterpret_cast<const char*>(data_) : ""; }
  std::string ToString() const { return std::string(c_str(), static_cast<size_t>(length_)); }

  // Reset releases (and wipes) the storage; the buffer becomes empty.
  void Reset();

  // Allocate releases the old content and makes |n| zero bytes of content. Returns false, leaving
  // the buffer empty, when n < 1, n > kMaxLength or storage cannot be obtained.
  bool Allocate(int32_t n);

  // Append adds |n| bytes after the content. Returns false and leaves the buffer unchanged when
  // |bytes| is null, n < 1, or the result would exceed kMaxLength. Storage grows geometrically, so
  // appending piece by piece stays linear in the total length.
  bool Append(const void* bytes, int32_t n);

  // AssignReversed replaces the content with the |n| bytes in reverse order (first byte last);
  // converts between little-endian platform blobs and big-endian encodings. Returns false, leaving
  // the buffer empty, for null |bytes| or n < 1.
  bool AssignReversed(const void* bytes, int32_t n);

  // Base64Encode replaces the content with the padded standard Base64 text of the |n| bytes, no
  // line breaks. Returns false (buffer empty) for null |bytes| or n < 1.
  bool Base64Encode(const void* bytes, int32_t n);

  // Base64Decode replaces the content with the bytes of the NUL-terminated Base64 |text|. Armour
  // lines ("-----BEGIN ...-----" up to the next hyphen run) are passed over; CR, LF and blanks are
  // ignored; groups of four decode on their own, so padded groups may follow each other. Returns
  // false (buffer empty) for null or empty text, or armour without a closing hyphen run. A body of
  // only blanks and line breaks gives true and an empty buffer.
  bool Base64Decode(const char* text);

  // HexEncode replaces the content with two upper-case hex digits per byte. Returns false (buffer
  // empty) for null |bytes| or n < 1.
  bool HexEncode(const void* bytes, int32_t n);

  // HexDecode replaces the content with one byte per two characters of the NUL-terminated |text|.
  // Returns false (buffer empty) for null, empty or odd-length text. Characters outside 0-9, A-F,
  // a-f are not rejected; they give the byte that the digit arithmetic gives.
  bool HexDecode(const char* text);

 private:
  // Makes room for |total| content bytes plus the two terminating zeros, keeping the content.
  bool Reserve(int64_t total);

  uint8_t* data_ = nullptr;
  int32_t length_ = 0;
  int64_t capacity_ = 0;  // storage size in bytes, terminator included
};

// StripPemArmour removes, from text that begins with "-----", every certificate and PKCS #7 armour
// line marker and every LF and CR. Text that does not begin with "-----" is left as it is.
void StripPemArmour(std::string& text);

// The file functions below take paths as narrow text in the process code page and convert them to
// the file system's spelling (SystemPath, platform/text.h); a path that cannot be converted fails
// as a missing file would.
//
// ReadFileBytes reads the whole file at |path| into |out|. Returns false (|out| empty) for an empty
// path, a missing, unreadable or zero-length file, a directory, or a file larger than a buffer can
// hold.
bool ReadFileBytes(const std::string& path, ByteBuffer& out);

// WriteFileBytes replaces the file at |path| with the content of |buffer| atomically: an unnamed
// temporary file (mode 0600) in the same folder is written, synced, given a name and renamed over
// the target, so a failure leaves any old file as it was and a writer killed half-way leaves no
// file behind. A regular file that is replaced keeps its mode (and its owner, where the process
// may keep it); a new file has mode 0600. A symbolic link at |path| is replaced, not written
// through. Returns true when every byte was written (an empty buffer gives an empty file).
bool WriteFileBytes(const std::string& path, const ByteBuffer& buffer);

// PathExists reports whether anything (a file, a folder) exists at |path|; false for an empty
// path.
bool PathExists(const std::string& path);
// IsExistingFile reports whether something other than a folder exists at |path|.
bool IsExistingFile(const std::string& path);

// SameFile reports whether |a| and |b| name one existing file (the same device and inode), however
// the paths are written: "dir/./x.pfx" and a symbolic link to it are the same file, while names
// differing only in letter case are not on a case-sensitive file system.
bool SameFile(const std::string& a, const std::string& b);

// EnsureFolder returns true when |folder| is a folder, making it (one level, mode 0700) when
// nothing is there; false for an empty path, a path naming something else, or a failed mkdir.
bool EnsureFolder(const std::string& folder);

// RemoveFile deletes the file at |path|. Returns true only for a non-empty path whose deletion
// worked.
bool RemoveFile(const std::string& path);

}  // namespace kelvadrome
