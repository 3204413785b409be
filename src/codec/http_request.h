// ParseHttpRequest reads one HTTP/1.x request from the front of a connection's received bytes, for
// the page bridge's loopback service. The reader is strict where leniency lets one side see a
// different request than the other: lines end in CR LF, header lines are never folded, a message
// framed by Transfer-Encoding is not taken, and two different Content-Length values are refused.
// Every length is checked against the bounds before anything is copied.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvadrome {

struct HttpLimits {
  size_t max_head = 16 * 1024;    // request line and headers, with the blank line
  size_t max_body = 1024 * 1024;  // the Content-Length a request may announce
  size_t max_headers = 64;
};

enum class HttpParse {
  kIncomplete,    // more bytes are needed (nothing was taken)
  kComplete,      // |request| holds a request of |consumed| bytes
  kMalformed,     // not an HTTP/1.x request this reader takes
  kHeadTooLarge,  // the head is over max_head or has more than max_headers lines
  kBodyTooLarge,  // the announced body is over max_body (known before the body arrives)
  kUnsupported,   // framed by Transfer-Encoding
};

struct HttpRequest {
  std::string method;  // as sent ("POST")
  std::string target;  // the request target ("/rpc")
  int minor_version = 1;
  // Header names in lower case, values without surrounding blanks, in the order sent.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool keep_alive = true;

  // Header returns the value of the first header named |lower_name|, or null.
  const std::string* Header(std::string_view lower_name) const;
  // HeaderCount counts the headers named |lower_name|.
  size_t HeaderCount(std::string_view lower_name) const;
};

struct HttpParseResult {
  HttpParse status = HttpParse::kIncomplete;
  size_t consumed = 0;
  HttpRequest request;
};

// ParseHttpRequest never reads past |received| and takes nothing unless the status is kComplete.
HttpParseResult ParseHttpRequest(std::string_view received, const HttpLimits& limits = {});

}  // namespace kelvadrome
