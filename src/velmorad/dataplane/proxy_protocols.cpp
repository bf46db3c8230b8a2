#include "proxy_protocols.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "kit/unicode.h"

namespace velmora::dataplane {
namespace {

constexpr std::uint8_t ipv4Type = 1;
constexpr std::uint8_t domainType = 3;
constexpr std::uint8_t ipv6Type = 4;

std::optional<std::uint16_t> parsePort(std::string_view text) {
  std::uint16_t port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return port;
}

/// "host:port" or "[v6]:port"; the port defaults to fallback when there is none.
std::optional<std::pair<std::string, std::uint16_t>> splitAuthority(
    std::string_view authority, std::optional<std::uint16_t> fallback) {
  std::string_view host = authority;
  std::string_view port;
  if (authority.starts_with("[")) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(":")) return std::nullopt;
      port = rest.substr(1);
    }
  } else if (const std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  std::optional<std::uint16_t> number = port.empty() ? fallback : parsePort(port);
  if (!number || *number == 0) return std::nullopt;
  return std::pair{std::string(host), *number};
}

void appendPort(std::string& out, std::uint16_t port) {
  out += static_cast<char>(port >> 8);
  out += static_cast<char>(port & 0xFF);
}

bool headerNamed(std::string_view line, std::string_view name) {
  return line.size() > name.size() && line[name.size()] == ':' &&
         unicode::equalsIgnoringCase(line.substr(0, name.size()), name);
}

}  // namespace

std::string socksReply(SocksReply code) {
  return {'\x05', static_cast<char>(code), '\x00', '\x01', 0, 0, 0, 0, 0, 0};
}

std::optional<std::size_t> socksAddressLength(std::uint8_t type, std::uint8_t domainLength) {
  switch (type) {
    case ipv4Type:
      return 1 + 4 + 2;
    case ipv6Type:
      return 1 + 16 + 2;
    case domainType:
      return 1 + 1 + std::size_t{domainLength} + 2;
    default:
      return std::nullopt;
  }
}

std::optional<std::pair<std::string, std::uint16_t>> parseSocksAddress(std::string_view field) {
  if (field.size() < 2) return std::nullopt;
  const auto type = static_cast<std::uint8_t>(field[0]);
  const std::optional<std::size_t> length =
      socksAddressLength(type, static_cast<std::uint8_t>(field[1]));
  if (!length || field.size() != *length) return std::nullopt;
  const auto portAt = [&](std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(field[at]) << 8) |
                                      static_cast<std::uint8_t>(field[at + 1]));
  };
  char text[INET6_ADDRSTRLEN] = {};
  switch (type) {
    case ipv4Type:
      inet_ntop(AF_INET, field.data() + 1, text, sizeof text);
      return std::pair{std::string(text), portAt(5)};
    case ipv6Type:
      inet_ntop(AF_INET6, field.data() + 1, text, sizeof text);
      return std::pair{std::string(text), portAt(17)};
    default: {
      const std::string_view name = field.substr(2, field.size() - 4);
      if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
      return std::pair{std::string(name), portAt(field.size() - 2)};
    }
  }
}

std::string socksReply(SocksReply code, std::string_view boundAddress) {
  return std::string{'\x05', static_cast<char>(code), '\x00'} + std::string(boundAddress);
}

std::optional<std::string> socksAddressField(std::string_view host, std::uint16_t port) {
  std::string out;
  const std::string name(host);
  unsigned char address[16];
  if (inet_pton(AF_INET, name.c_str(), address) == 1) {
    out += static_cast<char>(ipv4Type);
    out.append(reinterpret_cast<const char*>(address), 4);
  } else if (inet_pton(AF_INET6, name.c_str(), address) == 1) {
    out += static_cast<char>(ipv6Type);
    out.append(reinterpret_cast<const char*>(address), 16);
  } else {
    if (host.empty() || host.size() > 255) return std::nullopt;
    out += static_cast<char>(domainType);
    out += static_cast<char>(host.size());
    out += host;
  }
  appendPort(out, port);
  return out;
}

std::optional<std::string> socksConnectRequest(std::string_view host, std::uint16_t port) {
  const std::optional<std::string> field = socksAddressField(host, port);
  if (!field) return std::nullopt;
  return std::string{'\x05', '\x01', '\x00'} + *field;
}

std::optional<std::string> socksUdpAssociateRequest(std::string_view host, std::uint16_t port) {
  const std::optional<std::string> field = socksAddressField(host, port);
  if (!field) return std::nullopt;
  return std::string{'\x05', '\x03', '\x00'} + *field;
}

std::optional<SocksDatagram> parseSocksDatagram(std::string_view datagram) {
  // RSV RSV FRAG, then the address field; fragments are not reassembled.
  if (datagram.size() < 5 || datagram[0] != 0 || datagram[1] != 0 || datagram[2] != 0)
    return std::nullopt;
  const std::optional<std::size_t> length = socksAddressLength(
      static_cast<std::uint8_t>(datagram[3]), static_cast<std::uint8_t>(datagram[4]));
  if (!length || datagram.size() < 3 + *length) return std::nullopt;
  const auto destination = parseSocksAddress(datagram.substr(3, *length));
  if (!destination) return std::nullopt;
  return SocksDatagram{destination->first, destination->second, 3 + *length};
}

std::optional<std::string> socksDatagramHeader(std::string_view host, std::uint16_t port) {
  const std::optional<std::string> field = socksAddressField(host, port);
  if (!field) return std::nullopt;
  return std::string(3, '\0') + *field;
}

std::optional<std::string> socksPasswordRequest(const ProxyCredentials& credentials) {
  if (credentials.username.size() > 255 || credentials.password.size() > 255) return std::nullopt;
  std::string out = {'\x01', static_cast<char>(credentials.username.size())};
  out += credentials.username;
  out += static_cast<char>(credentials.password.size());
  out += credentials.password;
  return out;
}

std::optional<ProxyRequest> parseHttpRequest(std::string_view head) {
  const std::size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string_view::npos || !head.ends_with("\r\n\r\n")) return std::nullopt;
  const std::string_view line = head.substr(0, lineEnd);
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) return std::nullopt;
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, last - first - 1);
  const std::string_view version = line.substr(last + 1);
  if (!version.starts_with("HTTP/1.")) return std::nullopt;

  if (method == "CONNECT") {
    const auto destination = splitAuthority(target, std::nullopt);
    if (!destination) return std::nullopt;
    return ProxyRequest{
        ProxyRequest::Kind::httpConnect, destination->first, destination->second, {}};
  }
  constexpr std::string_view scheme = "http://";
  if (target.size() <= scheme.size() ||
      !unicode::equalsIgnoringCase(target.substr(0, scheme.size()), scheme))
    return std::nullopt;
  const std::string_view rest = target.substr(scheme.size());
  const std::size_t pathAt = rest.find_first_of("/?");
  const std::string_view authority = rest.substr(0, pathAt);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  const auto destination = splitAuthority(authority, 80);
  if (!destination) return std::nullopt;
  std::string path = pathAt == std::string_view::npos ? "/" : std::string(rest.substr(pathAt));
  if (path.starts_with("?")) path.insert(0, "/");

  std::string forward = std::string(method) + " " + path + " " + std::string(version) + "\r\n";
  std::size_t at = lineEnd + 2;
  while (at < head.size()) {
    const std::size_t end = head.find("\r\n", at);
    const std::string_view header = head.substr(at, end - at);
    at = end + 2;
    if (header.empty()) break;
    if (headerNamed(header, "Proxy-Connection") || headerNamed(header, "Proxy-Authorization") ||
        headerNamed(header, "Connection") || headerNamed(header, "Keep-Alive"))
      continue;
    forward += header;
    forward += "\r\n";
  }
  forward += "Connection: close\r\n\r\n";
  return ProxyRequest{ProxyRequest::Kind::httpForward, destination->first, destination->second,
                      std::move(forward)};
}

std::string hostPort(std::string_view host, std::uint16_t port) {
  const bool v6 = host.find(':') != std::string_view::npos;
  return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
}

std::string httpConnectRequest(std::string_view host, std::uint16_t port,
                               const std::optional<ProxyCredentials>& credentials) {
  const std::string authority = hostPort(host, port);
  std::string out = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (credentials)
    out += "Proxy-Authorization: Basic " +
           base64(credentials->username + ":" + credentials->password) + "\r\n";
  return out + "\r\n";
}

std::optional<int> httpStatus(std::string_view head) {
  if (!head.starts_with("HTTP/1.") || head.size() < 12 || head[8] != ' ') return std::nullopt;
  int status = 0;
  const auto [end, error] = std::from_chars(head.data() + 9, head.data() + 12, status);
  if (error != std::errc() || end != head.data() + 12) return std::nullopt;
  return status;
}

std::string httpError(std::string_view status) {
  return "HTTP/1.1 " + std::string(status) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string base64(std::string_view bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{static_cast<std::uint8_t>(bytes[i])} << 16) |
                            (std::uint32_t{static_cast<std::uint8_t>(bytes[i + 1])} << 8) |
                            static_cast<std::uint8_t>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(n >> shift) & 63];
  }
  if (const std::size_t left = bytes.size() - i; left > 0) {
    std::uint32_t n = std::uint32_t{static_cast<std::uint8_t>(bytes[i])} << 16;
    if (left == 2) n |= std::uint32_t{static_cast<std::uint8_t>(bytes[i + 1])} << 8;
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += left == 2 ? alphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace velmora::dataplane
