#include "rule_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace velmora {
namespace {

using unicode::asciiLower;
using unicode::isASCII;

/// The bytes of a word that are ASCII capitals, turned to lower case; other bytes stay as they
/// are. Eight bytes at a time, without a branch per byte.
std::uint64_t asciiLowerWord(std::uint64_t word) {
  constexpr std::uint64_t ones = 0x0101010101010101;
  const std::uint64_t low7 = word & (0x7f * ones);
  const std::uint64_t atLeastA = low7 + (0x80 - 'A') * ones;   // top bit set from "A" on
  const std::uint64_t pastZ = low7 + (0x80 - 'Z' - 1) * ones;  // top bit set past "Z"
  const std::uint64_t capitals = atLeastA & ~pastZ & ~word & (0x80 * ones);
  return word | (capitals >> 2);
}

std::uint64_t mixed(std::uint64_t hash) {
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccd;
  hash ^= hash >> 33;
  return hash;
}

std::uint64_t load(const char* at, std::size_t size) {
  std::uint64_t word = 0;
  std::memcpy(&word, at, size);
  return word;
}

/// A hash of the lower-cased bytes, so that a key and any casing of it hash alike; it takes
/// eight bytes per step, which matters because every decision hashes a dozen names. The last
/// step reads whole words that may overlap the one before instead of copying the odd bytes
/// out, which would stall on the copy.
std::uint64_t loweredHash(std::string_view text) {
  constexpr std::uint64_t odd = 0x9e3779b97f4a7c15;
  const char* at = text.data();
  const std::size_t size = text.size();
  std::uint64_t hash = size * odd;
  const auto step = [&hash](std::uint64_t word) {
    hash = (hash ^ asciiLowerWord(word)) * odd;
    hash ^= hash >> 29;
  };
  if (size >= 8) {
    for (std::size_t i = 0; i + 8 <= size; i += 8) step(load(at + i, 8));
    if (size % 8 != 0) step(load(at + size - 8, 8));
  } else if (size >= 4) {
    step(load(at, 4) | load(at + size - 4, 4) << 32);
  } else if (size > 0) {
    const auto byte = [at](std::size_t i) {
      return std::uint64_t{static_cast<unsigned char>(at[i])};
    };
    step(byte(0) | byte(size / 2) << 8 | byte(size - 1) << 16);
  }
  return mixed(hash);
}

void setBit(std::uint64_t* bits, std::size_t position) {
  bits[position / 64] |= std::uint64_t{1} << (position % 64);
}

/// Under Unicode case folding a text that is not ASCII may still equal an ASCII one (the Kelvin
/// sign folds to "k"), so only ASCII text on both sides can be looked up by its lower case.
bool indexable(const AppPattern& pattern) {
  return !pattern.pattern.compiled && isASCII(pattern.pattern.source);
}

/// The ".domain" that a "*.domain" pattern asks a host to end with; empty for other wildcards.
std::string_view suffixOf(const HostPattern& pattern) {
  const std::string_view source = pattern.source;
  if (source.size() < 2 || source[0] != '*' || source[1] != '.') return {};
  const std::string_view suffix = source.substr(1);
  if (suffix.find_first_of("*?") != std::string_view::npos || !isASCII(suffix)) return {};
  return suffix;
}

bool indexable(const HostPattern& pattern) {
  switch (pattern.kind) {
    case HostPattern::Kind::cidr:
    case HostPattern::Kind::range:
      return true;
    case HostPattern::Kind::exact:
      return isASCII(pattern.source);
    case HostPattern::Kind::wildcard:
      return !suffixOf(pattern).empty();
  }
  return false;
}

}  // namespace

namespace {

std::uint64_t lengthBit(std::size_t length) {
  return std::uint64_t{1} << std::min<std::size_t>(length, 63);
}

}  // namespace

void RuleIndex::KeyTable::add(std::string_view key, std::uint32_t position) {
  lengths_ |= lengthBit(key.size());
  std::vector<std::uint32_t>& positions = building_[unicode::lowercased(key)];
  if (positions.empty() || positions.back() != position) positions.push_back(position);
}

void RuleIndex::KeyTable::seal() {
  if (building_.empty()) return;
  // At most half full, so that a miss ends after a probe or two.
  slots_.assign(std::bit_ceil(building_.size() * 2), Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (const auto& [key, positions] : building_) {
    const std::uint64_t hash = loweredHash(key);
    std::size_t at = hash & mask;
    while (slots_[at].positionsEnd != slots_[at].positionsBegin) at = (at + 1) & mask;
    Slot& slot = slots_[at];
    slot.hash = hash;
    slot.keyBegin = static_cast<std::uint32_t>(keys_.size());
    slot.keyLength = static_cast<std::uint32_t>(key.size());
    keys_ += key;
    slot.positionsBegin = static_cast<std::uint32_t>(positions_.size());
    positions_.insert(positions_.end(), positions.begin(), positions.end());
    slot.positionsEnd = static_cast<std::uint32_t>(positions_.size());
  }
  building_ = {};
}

void RuleIndex::KeyTable::mark(std::string_view text, std::uint64_t* bits) const {
  if ((lengths_ & lengthBit(text.size())) == 0) return;
  const std::uint64_t hash = loweredHash(text);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.positionsEnd == slot.positionsBegin) return;
    if (slot.hash != hash || slot.keyLength != text.size()) continue;
    const char* key = keys_.data() + slot.keyBegin;
    if (!std::equal(text.begin(), text.end(), key,
                    [](char t, char k) { return asciiLower(t) == k; }))
      continue;
    for (std::uint32_t i = slot.positionsBegin; i < slot.positionsEnd; ++i)
      setBit(bits, positions_[i]);
    return;
  }
}

RuleIndex::RuleIndex(std::span<const Entry> rules)
    : count_(rules.size()), anyApp_((count_ + 63) / 64), anyHost_((count_ + 63) / 64) {
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const Entry& rule = rules[i];
    if (!rule.enabled) continue;
    const auto position = static_cast<std::uint32_t>(i);

    if (rule.apps.empty() || !std::all_of(rule.apps.begin(), rule.apps.end(),
                                          [](const AppPattern& p) { return indexable(p); })) {
      setBit(anyApp_.data(), i);
    } else {
      for (const AppPattern& app : rule.apps) {
        appNames_.add(app.pattern.source, position);
      }
    }

    if (rule.hosts.empty() || !std::all_of(rule.hosts.begin(), rule.hosts.end(),
                                           [](const HostPattern& p) { return indexable(p); })) {
      setBit(anyHost_.data(), i);
    } else {
      for (const HostPattern& host : rule.hosts) {
        switch (host.kind) {
          case HostPattern::Kind::cidr:
            intervals_.push_back({host.base, host.base | ~host.mask, position});
            break;
          case HostPattern::Kind::range:
            intervals_.push_back({host.low, host.high, position});
            break;
          case HostPattern::Kind::exact:
            exactHosts_.add(host.source, position);
            break;
          case HostPattern::Kind::wildcard:
            hostSuffixes_.add(suffixOf(host), position);
            break;
        }
      }
    }
  }
  appNames_.seal();
  exactHosts_.seal();
  hostSuffixes_.seal();
}

void RuleIndex::markApps(const PreparedApp& app, std::uint64_t* bits) const {
  for (const unicode::FoldedSubject& name : app.names()) appNames_.mark(name.text, bits);
  // A plain bundle identifier also covers the identifiers that extend it past a ".".
  if (const unicode::FoldedSubject* bundleID = app.bundleID(); bundleID && !appNames_.empty()) {
    const std::string_view text = bundleID->text;
    for (std::size_t dot = text.find('.'); dot != std::string_view::npos;
         dot = text.find('.', dot + 1))
      appNames_.mark(text.substr(0, dot), bits);
  }
}

void RuleIndex::markHost(const PreparedHost& host, std::uint64_t* bits) const {
  const std::string_view text = host.text.text;
  exactHosts_.mark(text, bits);
  if (!hostSuffixes_.empty()) {
    for (std::size_t dot = text.find('.'); dot != std::string_view::npos;
         dot = text.find('.', dot + 1))
      hostSuffixes_.mark(text.substr(dot), bits);
  }
  if (!host.address) return;
  for (const Interval& interval : intervals_) {
    if (interval.low <= *host.address && *host.address <= interval.high)
      setBit(bits, interval.position);
  }
}

RuleIndex::Candidates::Candidates(const RuleIndex& index, const PreparedApp& app,
                                  const PreparedHost& host)
    : count_(index.count_), wordCount_(index.anyApp_.size()) {
  if (wordCount_ > kInlineWords) heap_ = std::make_unique<std::uint64_t[]>(2 * wordCount_);
  bits_ = heap_ ? heap_.get() : inline_.data();
  std::uint64_t* apps = words(0);
  std::uint64_t* hosts = words(1);

  const auto names = app.names();
  if (std::any_of(names.begin(), names.end(), [](const auto& name) { return !name.ascii; })) {
    std::fill_n(apps, wordCount_, ~std::uint64_t{0});
  } else {
    std::copy(index.anyApp_.begin(), index.anyApp_.end(), apps);
    index.markApps(app, apps);
  }
  if (!host.text.ascii) {
    std::fill_n(hosts, wordCount_, ~std::uint64_t{0});
  } else {
    std::copy(index.anyHost_.begin(), index.anyHost_.end(), hosts);
    index.markHost(host, hosts);
  }
  for (std::size_t i = 0; i < wordCount_; ++i) apps[i] &= hosts[i];
}

std::uint64_t* RuleIndex::Candidates::words(std::size_t set) {
  return bits_ + set * wordCount_;
}

std::size_t RuleIndex::Candidates::next(std::size_t position) const {
  for (std::size_t word = position / 64; word < wordCount_; ++word) {
    std::uint64_t bits = bits_[word];
    if (word == position / 64) bits &= ~std::uint64_t{0} << (position % 64);
    if (bits != 0) return std::min(count_, word * 64 + std::countr_zero(bits));
  }
  return count_;
}

}  // namespace velmora
