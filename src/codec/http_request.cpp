#include "codec/http_request.h"

#include <cstdint>

namespace kelvadrome {
namespace {

// The token characters of a method or header name.
bool IsTokenCharacter(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!IsTokenCharacter(c)) return false;
  }
  return true;
}

// A header value: visible ASCII, blanks and bytes of other encodings; no control characters.
bool IsFieldValue(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// A Content-Length: decimal digits only, read without overflow; false when over |limit|.
bool ReadLength(std::string_view text, size_t limit, size_t& length, bool& over) {
  if (text.empty() || text.size() > 19) {
    over = !text.empty();
    return false;
  }
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  over = value > limit;
  if (over) return false;
  length = static_cast<size_t>(value);
  return true;
}

// Lines of the head, each without its CR LF. A bare LF or a CR not before LF is malformed.
class LineReader {
 public:
  explicit LineReader(std::string_view head) : rest_(head) {}
  bool done() const { return rest_.empty(); }
  // Next takes the next line; false (nothing taken) when none is left or it holds a stray CR/LF.
  bool Next(std::string_view& line) {
    const size_t end = rest_.find("\r\n");
    if (end == std::string_view::npos) return false;
    if (rest_.substr(0, end).find_first_of("\r\n") != std::string_view::npos) return false;
    line = rest_.substr(0, end);
    rest_.remove_prefix(end + 2);
    return true;
  }

 private:
  std::string_view rest_;
};

}  // namespace

const std::string* HttpRequest::Header(std::string_view lower_name) const {
  for (const auto& [name, value] : headers) {
    if (name == lower_name) return &value;
  }
  return nullptr;
}

size_t HttpRequest::HeaderCount(std::string_view lower_name) const {
  size_t count = 0;
  for (const auto& header : headers) count += header.first == lower_name ? 1 : 0;
  return count;
}

HttpParseResult ParseHttpRequest(std::string_view received, const HttpLimits& limits) {
  HttpParseResult result;
  const size_t head_end = received.find("\r\n\r\n");
  if (head_end == std::string_view::npos) {
    // Without the blank line the head is not complete; it may still grow up to the bound.
    result.status =
        received.size() >= limits.max_head ? HttpParse::kHeadTooLarge : HttpParse::kIncomplete;
    return result;
  }
  const size_t head_size = head_end + 4;
  if (head_size > limits.max_head) {
    result.status = HttpParse::kHeadTooLarge;
    return result;
  }
  // The head with the CR LF of its last line, so that every line ends alike.
  LineReader lines(received.substr(0, head_end + 2));
  HttpRequest& request = result.request;
  result.status = HttpParse::kMalformed;

  std::string_view line;
  if (!lines.Next(line)) return result;
  const size_t first_space = line.find(' ');
  const size_t last_space = line.rfind(' ');
  if (first_space == std::string_view::npos || first_space == last_space) return result;
  const std::string_view method = line.substr(0, first_space);
  const std::string_view target = line.substr(first_space + 1, last_space - first_space - 1);
  const std::string_view version = line.substr(last_space + 1);
  if (!IsToken(method) || target.empty()) return result;
  for (const char c : target) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      return result;
    }
  }
  if (version == "HTTP/1.1") {
    request.minor_version = 1;
  } else if (version == "HTTP/1.0") {
    request.minor_version = 0;
  } else {
    return result;
  }
  request.method = method;
  request.target = target;

  while (!lines.done()) {
    if (!lines.Next(line)) return result;
    if (request.headers.size() >= limits.max_headers) {
      result.status = HttpParse::kHeadTooLarge;
      return result;
    }
    const size_t colon = line.find(':');
    // A line starting with a blank would continue the previous one (folding); not taken.
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return result;
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!IsFieldValue(value)) return result;
    request.headers.emplace_back(Lower(line.substr(0, colon)), std::string(value));
  }
  if (request.Header("transfer-encoding") != nullptr) {
    result.status = HttpParse::kUnsupported;
    return result;
  }
  size_t body_size = 0;
  bool have_length = false;
  for (const auto& [name, value] : request.headers) {
    if (name != "content-length") continue;
    size_t length = 0;
    bool over = false;
    if (!ReadLength(value, limits.max_body, length, over)) {
      result.status = over ? HttpParse::kBodyTooLarge : HttpParse::kMalformed;
      return result;
    }
    if (have_length && length != body_size) return result;
    body_size = length;
    have_length = true;
  }

  const std::string* connection = request.Header("connection");
  const std::string connection_value = connection != nullptr ? Lower(*connection) : "";
  request.keep_alive =
      request.minor_version == 1 ? connection_value != "close" : connection_value == "keep-alive";

  if (received.size() - head_size < body_size) {
    result.status = HttpParse::kIncomplete;
    result.request = HttpRequest{};
    return result;
  }
  request.body = received.substr(head_size, body_size);
  result.consumed = head_size + body_size;
  result.status = HttpParse::kComplete;
  return result;
}

}  // namespace kelvadrome
