// The HTTP/1.1 requests the dashboard answers: what a browser on the same machine sends, read
// strictly, and the few things the dashboard asks of them.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::dashboard {

/// The most a request's head may take; a longer head is refused.
inline constexpr std::size_t maxHeadSize = 16 * 1024;
/// The most a request's body may take.
inline constexpr std::size_t maxBodySize = 64 * 1024;

struct HttpRequest {
  std::string method;
  /// The path without its query ("/api/state").
  std::string path;
  /// The query's parameters, percent-decoded; the first of a repeated name counts.
  std::map<std::string, std::string> query;
  /// Header names lower-cased; a repeated header's values joined by ", ".
  std::map<std::string, std::string> headers;
  std::size_t contentLength = 0;
  /// HTTP/1.1 without "Connection: close".
  bool keepAlive = true;
  std::string body;

  /// The header's value, or an empty one.
  std::string_view header(const std::string& name) const;
  /// The value of the cookie called name, if the request carries one.
  std::optional<std::string> cookie(std::string_view name) const;
};

/// The request whose head is head (up to and including the empty line). Nothing when it is not
/// a well-formed HTTP/1.x request with a body of a size the dashboard takes.
std::optional<HttpRequest> parseRequestHead(std::string_view head);

/// Whether a and b are the same, in a time that does not depend on where they differ.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace velmora::dashboard
