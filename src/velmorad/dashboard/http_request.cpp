#include "http_request.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace velmora::dashboard {

namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string lowered(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

/// The bytes that %XX and + stand for; nothing for a broken escape.
std::optional<std::string> percentDecoded(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      result.push_back(' ');
    } else if (text[i] == '%') {
      unsigned value = 0;
      if (i + 2 >= text.size()) return std::nullopt;
      const auto [end, error] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
      if (error != std::errc() || end != text.data() + i + 3) return std::nullopt;
      result.push_back(static_cast<char>(value));
      i += 2;
    } else {
      result.push_back(text[i]);
    }
  }
  return result;
}

bool isTokenCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

std::string_view HttpRequest::header(const std::string& name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? std::string_view() : std::string_view(found->second);
}

std::optional<std::string> HttpRequest::cookie(std::string_view name) const {
  std::string_view rest = header("cookie");
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find(';'), rest.size());
    const std::string_view pair = trimmed(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name)
      return std::string(pair.substr(equals + 1));
  }
  return std::nullopt;
}

std::optional<HttpRequest> parseRequestHead(std::string_view head) {
  if (head.size() > maxHeadSize || !head.ends_with("\r\n\r\n")) return std::nullopt;
  HttpRequest request;
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view requestLine = head.substr(0, lineEnd);
  const std::size_t firstSpace = requestLine.find(' ');
  const std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
  if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos ||
      requestLine.find(' ', secondSpace + 1) != std::string_view::npos)
    return std::nullopt;
  request.method = requestLine.substr(0, firstSpace);
  const std::string_view target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  const std::string_view version = requestLine.substr(secondSpace + 1);
  if (request.method.empty() || !std::all_of(request.method.begin(), request.method.end(),
                                             isTokenCharacter))
    return std::nullopt;
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return std::nullopt;
  request.keepAlive = version == "HTTP/1.1";
  if (!target.starts_with('/')) return std::nullopt;
  const std::size_t question = target.find('?');
  const std::optional<std::string> path = percentDecoded(target.substr(0, question));
  if (!path || path->find('\0') != std::string::npos) return std::nullopt;
  request.path = *path;
  if (question != std::string_view::npos) {
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
      const std::size_t end = std::min(query.find('&'), query.size());
      const std::string_view pair = query.substr(0, end);
      query.remove_prefix(std::min(end + 1, query.size()));
      const std::size_t equals = std::min(pair.find('='), pair.size());
      const std::optional<std::string> name = percentDecoded(pair.substr(0, equals));
      const std::optional<std::string> value =
          percentDecoded(equals < pair.size() ? pair.substr(equals + 1) : std::string_view());
      if (!name || !value) return std::nullopt;
      request.query.emplace(*name, *value);
    }
  }

  while (true) {
    const std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string_view line = head.substr(start, lineEnd - start);
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), isTokenCharacter)) return std::nullopt;
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (value.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos)
      return std::nullopt;
    std::string& stored = request.headers[lowered(name)];
    if (!stored.empty()) stored += ", ";
    stored += value;
  }

  if (!request.header("transfer-encoding").empty()) return std::nullopt;
  if (const std::string_view length = request.header("content-length"); !length.empty()) {
    const auto [end, error] =
        std::from_chars(length.data(), length.data() + length.size(), request.contentLength);
    if (error != std::errc() || end != length.data() + length.size() ||
        request.contentLength > maxBodySize)
      return std::nullopt;
  }
  const std::string connection = lowered(request.header("connection"));
  if (connection == "close") request.keepAlive = false;
  if (connection == "keep-alive") request.keepAlive = true;
  return request;
}

bool sameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace velmora::dashboard
