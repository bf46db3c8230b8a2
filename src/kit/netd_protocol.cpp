#include "netd_protocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <set>

#include "json_text.h"
#include "localize.h"
#include "unicode.h"

namespace velmora::netd {
namespace {

constexpr std::size_t maxCgroupSize = 1024;

enum class Side { request, reply };

[[noreturn]] void refuse(Side side, const std::string& reason) {
  throw ProtocolError(side == Side::request ? VL("请求无效：%@", reason)
                                            : VL("回复无效：%@", reason));
}

/// Why text is not a cgroup path the helper accepts, or nothing. Text read from JSON is always
/// valid UTF-8: the JSON reader refuses anything else.
std::optional<std::string> cgroupProblem(std::string_view cgroup) {
  if (cgroup.size() > maxCgroupSize)
    return VL("cgroup 超过 %lld 字节", static_cast<long long>(maxCgroupSize));
  // NUL included: a path that the system calls would cut short.
  if (std::ranges::any_of(
          cgroup, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; }))
    return VL("cgroup 含有控制字符");
  if (!cgroup.starts_with('/')) return VL("cgroup 应以「/」开头");
  if (cgroup == "/") return VL("cgroup 不能是根「/」");
  std::string_view rest = cgroup.substr(1);
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    if (component.empty() || component == "." || component == "..")
      return VL("cgroup 含有空的、「.」或「..」的部分");
    if (slash == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(slash + 1);
  }
}

/// The first key that an object of the text repeats. The reader keeps only the last of them, so
/// such a message could mean one thing here and another to a different reader.
std::optional<std::string> repeatedKey(std::string_view text) {
  std::vector<std::set<std::string>> objects;
  std::optional<std::string> repeated;
  using Event = json::Value::parse_event_t;
  // The document itself is the one json::parse read; this pass only looks at the keys.
  const json::Value keys =
      json::Value::parse(text.begin(), text.end(), [&](int, Event event, json::Value& parsed) {
        if (event == Event::object_start) {
          objects.emplace_back();
        } else if (event == Event::object_end) {
          objects.pop_back();
        } else if (event == Event::key && !repeated) {
          std::string key = parsed.get<std::string>();
          if (!objects.back().insert(key).second) repeated = std::move(key);
        }
        return true;
      });
  return repeated;
}

json::Value parseMessage(std::string_view message, Side side) {
  if (message.size() > maxMessageSize) {
    const auto limit = static_cast<long long>(maxMessageSize);
    throw ProtocolError(side == Side::request ? VL("请求超过 %lld 字节", limit)
                                              : VL("回复超过 %lld 字节", limit));
  }
  json::Value document;
  try {
    document = json::parse(message);
  } catch (const json::DecodingError& error) {
    refuse(side, error.description());
  }
  if (const auto key = repeatedKey(message)) refuse(side, VL("键「%@」出现了不止一次", *key));
  return document;
}

void requireOnly(const json::Reader& object, std::initializer_list<std::string_view> keys,
                 Side side) {
  for (const auto& [key, value] : object.members()) {
    if (std::ranges::find(keys, key) == keys.end()) refuse(side, VL("未知的键「%@」", key));
  }
}

std::string readCgroup(const json::Reader& value, Side side) {
  std::string cgroup = value.string();
  if (const auto problem = cgroupProblem(cgroup)) refuse(side, *problem);
  return cgroup;
}

Capture readCapture(const json::Reader& message, Side side) {
  Capture capture;
  capture.cgroup = readCgroup(message["cgroup"], side);
  const json::Reader port = message["port"];
  capture.port = port.port();
  if (capture.port == 0 || capture.port > 65536 - transparentPortSpan) port.invalid();
  capture.failsafe = message["failsafe"].boolean();
  if (const auto exceptClient = message.optional("exceptClient"))
    capture.exceptClient = exceptClient->boolean();
  if (const auto dnsPort = message.optional("dnsPort")) {
    capture.dnsPort = dnsPort->port();
    if (capture.dnsPort == 0) dnsPort->invalid();
  }
  if (const auto udpPort = message.optional("udpPort")) {
    capture.udpPort = udpPort->port();
    if (capture.udpPort < 1024) udpPort->invalid();
  }
  return capture;
}

json::Value toJSON(const Capture& capture) {
  json::Value value = {
      {"cgroup", capture.cgroup}, {"port", capture.port}, {"failsafe", capture.failsafe}};
  if (capture.exceptClient) value["exceptClient"] = true;
  if (capture.dnsPort) value["dnsPort"] = *capture.dnsPort;
  if (capture.udpPort) value["udpPort"] = *capture.udpPort;
  return value;
}

/// An IPv4 or IPv6 address in its usual text; nothing else (names included) is taken.
std::string readAddress(const json::Reader& value) {
  std::string text = value.string();
  in6_addr parsed{};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1 &&
      ::inet_pton(AF_INET6, text.c_str(), &parsed) != 1)
    value.invalid();
  return text;
}

std::uint16_t readNonZeroPort(const json::Reader& value) {
  const std::uint16_t port = value.port();
  if (port == 0) value.invalid();
  return port;
}

/// One request: its name, its members ("request" among them, every one required but a capture's
/// "exceptClient", false when absent, "dnsPort" and "udpPort"), and how it is read and written.
struct RequestForm {
  std::string_view name;
  std::initializer_list<std::string_view> keys;
  Request (*read)(const json::Reader& message);
  void (*write)(const Request& request, json::Value& message);
};

void writeNothing(const Request&, json::Value&) {}

// In the order of the alternatives of Request.
const std::array<RequestForm, std::variant_size_v<Request>> requestForms = {{
    {"hello", {"request"}, [](const json::Reader&) -> Request { return Hello{}; }, writeNothing},
    {"capture",
     {"request", "cgroup", "port", "failsafe", "exceptClient", "dnsPort", "udpPort"},
     [](const json::Reader& message) -> Request { return readCapture(message, Side::request); },
     [](const Request& request, json::Value& message) {
       message.update(toJSON(std::get<Capture>(request)));
     }},
    {"release",
     {"request", "cgroup"},
     [](const json::Reader& message) -> Request {
       return Release{readCgroup(message["cgroup"], Side::request)};
     },
     [](const Request& request, json::Value& message) {
       message["cgroup"] = std::get<Release>(request).cgroup;
     }},
    {"list", {"request"}, [](const json::Reader&) -> Request { return List{}; }, writeNothing},
    {"udpSockets",
     {"request", "port"},
     [](const json::Reader& message) -> Request {
       const json::Reader port = message["port"];
       const UdpSockets request{port.port()};
       if (request.port < 1024) port.invalid();
       return request;
     },
     [](const Request& request, json::Value& message) {
       message["port"] = std::get<UdpSockets>(request).port;
     }},
    {"replySocket",
     {"request", "address", "port"},
     [](const json::Reader& message) -> Request {
       return ReplySocket{readAddress(message["address"]), readNonZeroPort(message["port"])};
     },
     [](const Request& request, json::Value& message) {
       const auto& reply = std::get<ReplySocket>(request);
       message["address"] = reply.address;
       message["port"] = reply.port;
     }},
    {"refuseFlow",
     {"request", "source", "sourcePort", "address", "port"},
     [](const json::Reader& message) -> Request {
       return RefuseFlow{readAddress(message["source"]), readNonZeroPort(message["sourcePort"]),
                         readAddress(message["address"]), readNonZeroPort(message["port"])};
     },
     [](const Request& request, json::Value& message) {
       const auto& flow = std::get<RefuseFlow>(request);
       message["source"] = flow.source;
       message["sourcePort"] = flow.sourcePort;
       message["address"] = flow.address;
       message["port"] = flow.port;
     }},
}};

}  // namespace

std::string socketPath() {
  const char* path = std::getenv("VELMORA_NETD_SOCKET");
  return path && *path ? std::string(path) : std::string(defaultSocketPath);
}

std::string encode(const Request& request) {
  const RequestForm& form = requestForms[request.index()];
  json::Value message = {{"request", form.name}};
  form.write(request, message);
  return json::compact(message);
}

Request decodeRequest(std::string_view message) {
  const json::Value document = parseMessage(message, Side::request);
  try {
    const json::Reader reader(document);
    const std::string name = reader["request"].string();
    const auto form = std::ranges::find(requestForms, name, &RequestForm::name);
    if (form == requestForms.end()) refuse(Side::request, VL("未知的请求「%@」", name));
    requireOnly(reader, form->keys, Side::request);
    return form->read(reader);
  } catch (const json::DecodingError& error) {
    refuse(Side::request, error.description());
  }
}

std::string encode(const Reply& reply) {
  if (!reply.ok) {
    const auto encoded = [](const std::string& error) {
      return json::compact({{"ok", false}, {"error", error}});
    };
    if (std::string whole = encoded(reply.error); whole.size() <= maxMessageSize) return whole;
    // The longest beginning, cut between characters, that fits with the mark of the cut.
    const auto beginning = [&reply](std::size_t size) {
      std::string text = reply.error.substr(0, size);
      while (!unicode::isValidUTF8(text)) text.pop_back();
      return text + "…";
    };
    std::size_t fits = 0;
    std::size_t tooLong = reply.error.size();
    while (tooLong - fits > 1) {
      const std::size_t middle = fits + (tooLong - fits) / 2;
      (encoded(beginning(middle)).size() <= maxMessageSize ? fits : tooLong) = middle;
    }
    return encoded(beginning(fits));
  }
  json::Value message = {{"ok", true}};
  if (!reply.cgroupRoot.empty()) message["cgroupRoot"] = reply.cgroupRoot;
  if (!reply.captures.empty()) {
    json::Value& captures = message["captures"] = json::Value::array();
    for (const Capture& capture : reply.captures) captures.push_back(toJSON(capture));
  }
  if (!reply.held.empty()) message["held"] = reply.held;
  return json::compact(message);
}

Reply decodeReply(std::string_view message) {
  const json::Value document = parseMessage(message, Side::reply);
  try {
    const json::Reader reader(document);
    Reply reply;
    reply.ok = reader["ok"].boolean();
    if (!reply.ok) {
      requireOnly(reader, {"ok", "error"}, Side::reply);
      const json::Reader error = reader["error"];
      reply.error = error.string();
      if (reply.error.empty()) error.invalid();
      return reply;
    }
    requireOnly(reader, {"ok", "cgroupRoot", "captures", "held"}, Side::reply);
    if (const auto root = reader.optional("cgroupRoot")) reply.cgroupRoot = root->string();
    if (const auto captures = reader.optional("captures")) {
      for (const json::Reader& capture : captures->elements()) {
        requireOnly(capture, {"cgroup", "port", "failsafe", "exceptClient", "dnsPort", "udpPort"},
                    Side::reply);
        reply.captures.push_back(readCapture(capture, Side::reply));
      }
    }
    if (const auto held = reader.optional("held")) {
      for (const json::Reader& cgroup : held->elements())
        reply.held.push_back(readCgroup(cgroup, Side::reply));
    }
    return reply;
  } catch (const json::DecodingError& error) {
    refuse(Side::reply, error.description());
  }
}

}  // namespace velmora::netd
