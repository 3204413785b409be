#include "ops/hash.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/byte_buffer.h"
#include "platform/error_codes.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "ui/dialog_host.h"

namespace kelvadrome {

namespace {

// Small enough that what one read copies out of the page cache is still in the CPU's cache (L2)
// when the digest reads it: with reads of a megabyte the digest fetched every byte again from
// memory. Large enough that the calls themselves cost little.
constexpr size_t kReadChunk = size_t{128} << 10;

HashResult Finish(MessageDigest& digest) {
  ByteBuffer hex;
  if (!hex.HexEncode(digest.data(), digest.length()))
    return {Code(ErrorCode::kAllocationFailed), {}};
  return {Code(ErrorCode::kSuccess), hex.ToString()};
}

// Streams the file at |path| (the file system's spelling) into |digest|; false when the file cannot
// be read as one regular, non-empty, unchanging file.
bool DigestFile(const std::string& path, MessageDigest& digest) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return false;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return false;
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<unsigned char> chunk(kReadChunk);
  digest.Begin();
  uint64_t total = 0;
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    digest.Update(chunk.data(), static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
  }
  // A file that grew or shrank while it was read has no single digest to report.
  if (total != static_cast<uint64_t>(info.st_size)) return false;
  digest.Finish();
  return true;
}

}  // namespace

DigestAlgorithm DigestForFlags(int32_t flags) {
  switch (flags & kHashAlgorithmMask) {
    case 1:
      return DigestAlgorithm::kMd5;
    case 3:
      return DigestAlgorithm::kSha256;
    case 4:
      return DigestAlgorithm::kSha512;
    default:
      return DigestAlgorithm::kSha1;
  }
}

HashResult HashText(std::u16string_view text, int32_t flags) {
  if (text.empty()) return {Code(ErrorCode::kBadArgument), {}};
  auto digest = MakeDigest(DigestForFlags(flags));
  digest->Begin();
  if ((flags & kHashTextInCodePage) != 0) {
    std::string narrow = ConvertToNarrow(text);
    narrow.resize(std::string_view(narrow.c_str()).size());  // up to the first NUL
    digest->Update(narrow.data(), narrow.size());
  } else {
    // UTF-16LE code units, low byte first, no terminator or byte-order mark; converted a slice at
    // a time so that a huge text is not copied whole.
    unsigned char bytes[8192];
    for (size_t start = 0; start < text.size(); start += sizeof bytes / 2) {
      const size_t count = std::min(text.size() - start, sizeof bytes / 2);
      for (size_t i = 0; i < count; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(text[start + i] & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(text[start + i] >> 8);
      }
      digest->Update(bytes, 2 * count);
    }
  }
  digest->Finish();
  return Finish(*digest);
}

HashResult HashFileAt(std::string path, int32_t flags, DialogHost& host) {
  if (path.empty()) {
    OpenFileRequest request;
    request.title = ConvertToNarrow(Utf8ToUtf16("請選擇檔案"));
    request.filter = "All Files (*.*)|*.*||";
    request.default_extension = "*.*";
    request.flags = 0x106;  // overwrite prompt, hide read-only, no validation
    PickResult picked = host.PickOpenFile(request);
    // A picker that cannot be shown is taken as cancelled (5070), as a closed one is.
    if (picked.outcome != DialogOutcome::kOk) return {Code(ErrorCode::kCancelled), {}};
    path = std::move(picked.path);
  }
  // A path that cannot be said in the file system's spelling names no file.
  const std::optional<std::string> system_path = SystemPath(path);
  struct stat info;
  if (!system_path || ::stat(system_path->c_str(), &info) != 0)
    return {Code(ErrorCode::kFileNotFound), {}};
  auto digest = MakeDigest(DigestForFlags(flags));
  if (!DigestFile(*system_path, *digest)) return {Code(ErrorCode::kFileUnreadable), {}};
  return Finish(*digest);
}

}  // namespace kelvadrome
