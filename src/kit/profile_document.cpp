#include "profile_document.h"

#include <array>
#include <cstdint>

namespace velmora {

std::string encodeProfileDocument(const Profile& profile) {
  return json::pretty(toJSON(profile));
}

ProfileOutline ProfileOutline::of(const Profile& profile) {
  return ProfileOutline{.id = profile.id,
                        .name = profile.name,
                        .ruleCount = profile.rules.size(),
                        .proxyCount = profile.proxies.size(),
                        .environments = profile.environments};
}

namespace {

/// The direct reader gives a document up: the document tree reads it instead.
struct Declined {};

[[noreturn]] void decline() {
  throw Declined{};
}

/// Bytes that stand for themselves inside a JSON string: printable ASCII but the quote and the
/// backslash. Everything else needs a closer look.
constexpr std::array<bool, 256> kPlainStringByte = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x80; ++c) table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return table;
}();

constexpr std::array<bool, 256> kSpace = [] {
  std::array<bool, 256> table{};
  for (const unsigned char c : {' ', '\n', '\r', '\t'}) table[c] = true;
  return table;
}();

/// Keys and enumeration texts are short: a plain loop beats a call to memcmp.
bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

/// The length of the well-formed UTF-8 sequence starting at p (whose first byte is not ASCII),
/// or 0. The bounds are those of the Unicode standard's table of well-formed byte sequences.
std::size_t utf8SequenceLength(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = p[0];
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < length) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

void appendUTF8(std::string& out, std::uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

/// The keys of one kind of object, and for each the key that follows it in byte order, the
/// order in which the store writes them.
template <std::size_t N>
struct Keys {
  std::array<std::string_view, N> names;
  std::array<std::size_t, N + 1> following{};  // following[N]: the first key

  constexpr explicit Keys(std::array<std::string_view, N> keyNames) : names(keyNames) {
    for (std::size_t i = 0; i <= N; ++i) {
      std::size_t best = N;
      for (std::size_t j = 0; j < N; ++j) {
        if ((i == N || names[j] > names[i]) && (best == N || names[j] < names[best])) best = j;
      }
      following[i] = best;
    }
  }
};

/// Which keys of one object a member list has named so far. A key named twice is declined: the
/// document tree keeps the last value, and the direct reader does not try to agree with it.
template <std::size_t N>
class KeySet {
 public:
  explicit KeySet(const Keys<N>& keys) : keys_(keys), next_(keys.following[N]) {}

  /// The key's index, or N for a key of no interest. The key that follows the last one found
  /// is tried first.
  std::size_t mark(std::string_view key) {
    std::size_t found = N;
    if (next_ < N && sameText(keys_.names[next_], key)) {
      found = next_;
    } else {
      for (std::size_t i = 0; i < N && found == N; ++i) {
        if (sameText(keys_.names[i], key)) found = i;
      }
      if (found == N) return N;
    }
    if (seen_ & (1u << found)) decline();
    seen_ |= 1u << found;
    next_ = keys_.following[found];
    return found;
  }
  bool seen(std::size_t index) const { return seen_ & (1u << index); }
  void requireAll() const {
    if (seen_ != (1u << N) - 1) decline();
  }

 private:
  const Keys<N>& keys_;
  std::size_t next_;
  std::uint32_t seen_ = 0;
};

/// A member whose use depends on another member ("id" of an action depends on its "kind"):
/// kept as it came, and judged once the whole object is read.
struct LooseText {
  enum class State { absent, text, other };  // absent: missing or null
  State state = State::absent;
  std::string text;
};

/// One pass over a profile document straight into the model. It takes only documents that are
/// well-formed JSON and decode without complaint, and declines everything else, so it never
/// needs to explain anything.
class DirectReader {
 public:
  explicit DirectReader(std::string_view text)
      : at_(reinterpret_cast<const unsigned char*>(text.data())), end_(at_ + text.size()) {}

  /// Reads the document into profile. With outline set, rules, proxies and chains are checked
  /// and counted but not kept.
  void document(Profile& profile, bool outline) {
    outline_ = outline;
    space();
    readProfile(profile);
    space();
    if (at_ != end_) decline();
  }

  std::size_t ruleCount = 0;
  std::size_t proxyCount = 0;

 private:
  void space() {
    while (at_ != end_ && kSpace[*at_]) ++at_;
  }
  void expect(char c) {
    if (at_ == end_ || *at_ != static_cast<unsigned char>(c)) decline();
    ++at_;
  }
  bool next(char c) const { return at_ != end_ && *at_ == static_cast<unsigned char>(c); }
  void literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - at_) < word.size() ||
        std::string_view(reinterpret_cast<const char*>(at_), word.size()) != word)
      decline();
    at_ += word.size();
  }

  /// Calls member(key) for each member, positioned at its value, which member must consume.
  template <typename Member>
  void object(Member member) {
    expect('{');
    space();
    if (next('}')) {
      ++at_;
      return;
    }
    for (;;) {
      space();
      const std::string_view name = key();
      space();
      expect(':');
      space();
      member(name);
      space();
      if (next(',')) {
        ++at_;
        continue;
      }
      expect('}');
      return;
    }
  }

  /// Calls element() for each element, positioned at it.
  template <typename Element>
  void array(Element element) {
    expect('[');
    space();
    if (next(']')) {
      ++at_;
      return;
    }
    for (;;) {
      space();
      element();
      space();
      if (next(',')) {
        ++at_;
        continue;
      }
      expect(']');
      return;
    }
  }

  /// A key without escapes, viewed in place; a key with one is declined, since it might spell
  /// a known key in disguise.
  std::string_view key() {
    expect('"');
    const unsigned char* start = at_;
    for (;;) {
      if (at_ == end_) decline();
      const unsigned char c = *at_;
      if (kPlainStringByte[c]) {
        ++at_;
      } else if (c == '"') {
        break;
      } else if (c >= 0x80) {
        const std::size_t length = utf8SequenceLength(at_, end_);
        if (length == 0) decline();
        at_ += length;
      } else {
        decline();  // a control character or an escape
      }
    }
    const std::string_view result(reinterpret_cast<const char*>(start),
                                  static_cast<std::size_t>(at_ - start));
    ++at_;
    return result;
  }

  void string(std::string& out) {
    expect('"');
    out.clear();
    const unsigned char* run = at_;  // the start of bytes not yet copied
    for (;;) {
      if (at_ == end_) decline();
      const unsigned char c = *at_;
      if (kPlainStringByte[c]) {
        ++at_;
        continue;
      }
      if (c >= 0x80) {
        const std::size_t length = utf8SequenceLength(at_, end_);
        if (length == 0) decline();
        at_ += length;
        continue;
      }
      out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(at_ - run));
      if (c == '"') {
        ++at_;
        return;
      }
      if (c != '\\') decline();  // a raw control character
      ++at_;
      escape(out);
      run = at_;
    }
  }

  void escape(std::string& out) {
    if (at_ == end_) decline();
    const unsigned char c = *at_++;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += static_cast<char>(c);
        return;
      case 'b':
        out += '\b';
        return;
      case 'f':
        out += '\f';
        return;
      case 'n':
        out += '\n';
        return;
      case 'r':
        out += '\r';
        return;
      case 't':
        out += '\t';
        return;
      case 'u':
        break;
      default:
        decline();
    }
    std::uint32_t unit = hexUnit();
    if (unit >= 0xDC00 && unit <= 0xDFFF) decline();
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      literal("\\u");
      const std::uint32_t trail = hexUnit();
      if (trail < 0xDC00 || trail > 0xDFFF) decline();
      unit = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
    }
    appendUTF8(out, unit);
  }

  std::uint32_t hexUnit() {
    if (end_ - at_ < 4) decline();
    std::uint32_t unit = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char c = *at_++;
      unit <<= 4;
      if (c >= '0' && c <= '9') {
        unit |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        unit |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        unit |= c - 'A' + 10;
      } else {
        decline();
      }
    }
    return unit;
  }

  /// A JSON integer of at most 18 digits; fractions, exponents and longer numbers are declined.
  std::int64_t integer() {
    const bool negative = next('-');
    if (negative) ++at_;
    if (at_ == end_ || *at_ < '0' || *at_ > '9') decline();
    std::int64_t value = 0;
    int digits = 0;
    if (*at_ == '0') {
      ++at_;
      digits = 1;
    } else {
      while (at_ != end_ && *at_ >= '0' && *at_ <= '9') {
        if (++digits > 18) decline();
        value = value * 10 + (*at_++ - '0');
      }
    }
    if (at_ != end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E' || (*at_ >= '0' && *at_ <= '9')))
      decline();
    return negative ? -value : value;
  }

  bool boolean() {
    if (next('t')) {
      literal("true");
      return true;
    }
    literal("false");
    return false;
  }

  std::uint16_t port() {
    const std::int64_t value = integer();
    if (value < 0 || value > 65535) decline();
    return static_cast<std::uint16_t>(value);
  }

  UUID uuid() {
    string(scratch_);
    const auto parsed = UUID::parse(scratch_);
    if (!parsed) decline();
    return *parsed;
  }

  template <typename E>
  E enumeration() {
    string(scratch_);
    const auto parsed = fromRawValue<E>(scratch_);
    if (!parsed) decline();
    return *parsed;
  }

  /// Reads an array of strings into out, reusing the strings it already holds.
  void strings(std::vector<std::string>& out) {
    std::size_t count = 0;
    array([&] {
      if (count == out.size()) out.emplace_back();
      string(out[count++]);
    });
    out.resize(count);
  }

  void loose(LooseText& slot) {
    if (next('n')) {
      literal("null");
      slot.state = LooseText::State::absent;
    } else if (next('"')) {
      string(slot.text);
      slot.state = LooseText::State::text;
    } else {
      skipValue(0);
      slot.state = LooseText::State::other;
    }
  }

  /// Steps over a value of no interest, checking that it is well-formed. Numbers other than
  /// short integers, and deep nesting, are declined.
  void skipValue(int depth) {
    if (depth > 32 || at_ == end_) decline();
    switch (*at_) {
      case '{':
        object([&](std::string_view) { skipValue(depth + 1); });
        return;
      case '[':
        array([&] { skipValue(depth + 1); });
        return;
      case '"':
        string(scratch_);
        return;
      case 't':
        literal("true");
        return;
      case 'f':
        literal("false");
        return;
      case 'n':
        literal("null");
        return;
      default:
        integer();
    }
  }

  void readProfile(Profile& profile) {
    static constexpr Keys<9> kKeys({"schemaVersion", "id", "name", "proxies", "chains", "rules",
                                    "dns", "general", "environments"});
    KeySet keys(kKeys);
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          profile.schemaVersion = integer();
          return;
        case 1:
          profile.id = uuid();
          return;
        case 2:
          string(profile.name);
          return;
        case 3:
          array([&] {
            readProxy(outline_ ? scratchProxy_ : profile.proxies.emplace_back());
            ++proxyCount;
          });
          return;
        case 4:
          array([&] { readChain(outline_ ? scratchChain_ : profile.chains.emplace_back()); });
          return;
        case 5:
          array([&] {
            readRule(outline_ ? scratchRule_ : profile.rules.emplace_back());
            ++ruleCount;
          });
          return;
        case 6:
          readDNS(profile.dns);
          return;
        case 7:
          readGeneral(profile.general);
          return;
        case 8:
          array([&] { readEnvironment(profile.environments.emplace_back()); });
          return;
        default:
          skipValue(1);
      }
    });
    keys.requireAll();
  }

  void readProxy(ProxyServer& proxy) {
    static constexpr Keys<6> kKeys({"id", "name", "address", "port", "proto", "credentials"});
    KeySet keys(kKeys);
    proxy.credentials.reset();
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          proxy.id = uuid();
          return;
        case 1:
          string(proxy.name);
          return;
        case 2:
          string(proxy.address);
          return;
        case 3:
          proxy.port = port();
          return;
        case 4:
          proxy.proto = enumeration<ProxyProtocol>();
          return;
        case 5:
          if (next('n')) {
            literal("null");
          } else {
            readCredentials(proxy.credentials.emplace());
          }
          return;
        default:
          skipValue(3);
      }
    });
    // The credentials are optional: missing and null alike mean none.
    if (!(keys.seen(0) && keys.seen(1) && keys.seen(2) && keys.seen(3) && keys.seen(4))) decline();
  }

  void readCredentials(ProxyCredentials& credentials) {
    static constexpr Keys<2> kKeys({"username", "password"});
    KeySet keys(kKeys);
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          string(credentials.username);
          return;
        case 1:
          string(credentials.password);
          return;
        default:
          skipValue(4);
      }
    });
    keys.requireAll();
  }

  void readChain(ProxyChain& chain) {
    static constexpr Keys<3> kKeys({"id", "name", "proxyIDs"});
    KeySet keys(kKeys);
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          chain.id = uuid();
          return;
        case 1:
          string(chain.name);
          return;
        case 2:
          chain.proxyIDs.clear();
          array([&] { chain.proxyIDs.push_back(uuid()); });
          return;
        default:
          skipValue(3);
      }
    });
    keys.requireAll();
  }

  void readRule(Rule& rule) {
    static constexpr Keys<11> kKeys({"id", "name", "enabled", "apps", "hosts", "ports", "transport",
                                     "action", "quicPolicy", "locked", "tags"});
    KeySet keys(kKeys);
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          rule.id = uuid();
          return;
        case 1:
          string(rule.name);
          return;
        case 2:
          rule.enabled = boolean();
          return;
        case 3:
          strings(rule.apps);
          return;
        case 4:
          strings(rule.hosts);
          return;
        case 5:
          strings(rule.ports);
          return;
        case 6:
          rule.transport = enumeration<FlowTransport>();
          return;
        case 7:
          rule.action = readAction();
          return;
        case 8:
          rule.quicPolicy = enumeration<QUICPolicy>();
          return;
        case 9:
          rule.locked = boolean();
          return;
        case 10:
          strings(rule.tags);
          return;
        default:
          skipValue(3);
      }
    });
    keys.requireAll();
  }

  RuleAction readAction() {
    static constexpr Keys<3> kKeys({"kind", "id", "name"});
    KeySet keys(kKeys);
    std::string kind;
    LooseText id, name;
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          string(kind);
          return;
        case 1:
          loose(id);
          return;
        case 2:
          loose(name);
          return;
        default:
          skipValue(4);
      }
    });
    if (!keys.seen(0)) decline();
    if (kind == "direct") return RuleAction::direct();
    if (kind == "block") return RuleAction::block();
    if (kind == "interface") {
      if (name.state != LooseText::State::text) decline();
      return RuleAction::interface(std::move(name.text));
    }
    if (kind != "proxy" && kind != "chain") decline();
    if (id.state != LooseText::State::text) decline();
    const auto parsed = UUID::parse(id.text);
    if (!parsed) decline();
    return kind == "proxy" ? RuleAction::proxy(*parsed) : RuleAction::chain(*parsed);
  }

  void readDNS(DNSSettings& dns) {
    static constexpr Keys<2> kKeys({"resolveViaProxy", "exclusions"});
    KeySet keys(kKeys);
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          dns.resolveViaProxy = boolean();
          return;
        case 1:
          strings(dns.exclusions);
          return;
        default:
          skipValue(2);
      }
    });
    keys.requireAll();
  }

  void readGeneral(GeneralSettings& general) {
    static constexpr Keys<2> kKeys({"loopDetection", "failsafeOnCrash"});
    KeySet keys(kKeys);
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          general.loopDetection = boolean();
          return;
        case 1:
          general.failsafeOnCrash = boolean();
          return;
        default:
          skipValue(2);
      }
    });
    keys.requireAll();
  }

  void readEnvironment(NetworkEnvironment& environment) {
    static constexpr Keys<3> kKeys({"id", "name", "kind"});
    KeySet keys(kKeys);
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          environment.id = uuid();
          return;
        case 1:
          string(environment.name);
          return;
        case 2:
          environment.kind = readEnvironmentKind();
          return;
        default:
          skipValue(3);
      }
    });
    keys.requireAll();
  }

  NetworkEnvironment::Kind readEnvironmentKind() {
    static constexpr Keys<4> kKeys({"type", "ssid", "gatewayMAC", "subnet"});
    KeySet keys(kKeys);
    std::string type;
    LooseText ssid, gatewayMAC, subnet;
    object([&](std::string_view key) {
      switch (keys.mark(key)) {
        case 0:
          string(type);
          return;
        case 1:
          loose(ssid);
          return;
        case 2:
          loose(gatewayMAC);
          return;
        case 3:
          loose(subnet);
          return;
        default:
          skipValue(4);
      }
    });
    if (!keys.seen(0)) decline();
    if (type == "wifi") {
      if (ssid.state != LooseText::State::text) decline();
      return NetworkEnvironment::Kind::wifi(std::move(ssid.text));
    }
    if (type != "wired") decline();
    const auto optionalText = [](LooseText& slot) -> std::optional<std::string> {
      if (slot.state == LooseText::State::other) decline();
      if (slot.state == LooseText::State::absent) return std::nullopt;
      return std::move(slot.text);
    };
    auto mac = optionalText(gatewayMAC);
    return NetworkEnvironment::Kind::wired(std::move(mac), optionalText(subnet));
  }

  const unsigned char* at_;
  const unsigned char* const end_;
  bool outline_ = false;
  std::string scratch_;
  // Where an outline read puts the parts it checks but does not keep; reused, so that checking
  // a thousand rules allocates about as much as keeping one.
  Rule scratchRule_;
  ProxyServer scratchProxy_;
  ProxyChain scratchChain_;
};

/// What the direct reader took from a document.
struct DirectRead {
  Profile profile;
  std::size_t ruleCount = 0;
  std::size_t proxyCount = 0;
};

std::optional<DirectRead> readDirectly(std::string_view text, bool outline) {
  DirectReader reader(text);
  DirectRead read;
  try {
    reader.document(read.profile, outline);
  } catch (const Declined&) {
    return std::nullopt;
  }
  read.ruleCount = reader.ruleCount;
  read.proxyCount = reader.proxyCount;
  return read;
}

Profile readThroughTree(std::string_view text) {
  return profileFromJSON(json::Reader(json::parse(text)));
}

}  // namespace

Profile decodeProfileDocument(std::string_view text) {
  if (auto read = readDirectly(text, false)) return std::move(read->profile);
  return readThroughTree(text);
}

ProfileOutline decodeProfileOutline(std::string_view text) {
  auto read = readDirectly(text, true);
  if (!read) return ProfileOutline::of(readThroughTree(text));
  return ProfileOutline{.id = read->profile.id,
                        .name = std::move(read->profile.name),
                        .ruleCount = read->ruleCount,
                        .proxyCount = read->proxyCount,
                        .environments = std::move(read->profile.environments)};
}

namespace detail {

std::optional<Profile> readProfileDirectly(std::string_view text) {
  if (auto read = readDirectly(text, false)) return std::move(read->profile);
  return std::nullopt;
}

}  // namespace detail

}  // namespace velmora
