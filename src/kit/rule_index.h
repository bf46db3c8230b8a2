// Which rules of an engine could take a connection, found by looking the connection's names and
// host up instead of visiting every rule. The index only ever narrows: a rule it offers is then
// tested in full, and a rule it leaves out could not have taken the connection.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "matchers.h"

namespace velmora {

class RuleIndex {
 public:
  /// What the index needs of one rule, given in evaluation order.
  struct Entry {
    bool enabled = true;
    std::span<const AppPattern> apps;
    std::span<const HostPattern> hosts;
  };

  explicit RuleIndex(std::span<const Entry> rules);

  /// The rules that could take one connection, as a set of positions in evaluation order. It
  /// lives on the caller's stack; it is neither copied nor moved.
  class Candidates {
   public:
    Candidates(const RuleIndex& index, const PreparedApp& app, const PreparedHost& host);
    Candidates(const Candidates&) = delete;
    Candidates& operator=(const Candidates&) = delete;

    /// The first candidate at or after the position; the rule count when there is none.
    std::size_t next(std::size_t position) const;

   private:
    /// Up to this many rules the sets live inline; larger profiles take them from the heap.
    static constexpr std::size_t kInlineWords = 256;

    std::uint64_t* words(std::size_t set);

    std::size_t count_;
    std::size_t wordCount_;
    std::array<std::uint64_t, 2 * kInlineWords> inline_;
    std::unique_ptr<std::uint64_t[]> heap_;
    std::uint64_t* bits_;
  };

 private:
  /// Lower-cased ASCII keys, each with the positions of the rules it leads to; looked up with
  /// text in any case.
  class KeyTable {
   public:
    void add(std::string_view key, std::uint32_t position);
    void seal();
    bool empty() const { return slots_.empty(); }
    /// Sets the bit of every rule that the key, compared ignoring ASCII case, leads to.
    void mark(std::string_view text, std::uint64_t* bits) const;

   private:
    struct Slot {
      std::uint64_t hash = 0;
      std::uint32_t keyBegin = 0;
      std::uint32_t keyLength = 0;
      std::uint32_t positionsBegin = 0;
      std::uint32_t positionsEnd = 0;  // equal to positionsBegin only in an empty slot
    };

    std::unordered_map<std::string, std::vector<std::uint32_t>> building_;  // until sealed
    /// Bit n is set when some key is n bytes long (bit 63: 63 or more), so that most misses
    /// end before the text is hashed.
    std::uint64_t lengths_ = 0;
    std::vector<Slot> slots_;
    std::string keys_;
    std::vector<std::uint32_t> positions_;
  };

  /// An IPv4 network or range of one rule's hosts.
  struct Interval {
    std::uint32_t low;
    std::uint32_t high;
    std::uint32_t position;
  };

  void markApps(const PreparedApp& app, std::uint64_t* bits) const;
  void markHost(const PreparedHost& host, std::uint64_t* bits) const;

  std::size_t count_ = 0;
  /// Rules that no application (or host) lookup can rule out: those without that kind of
  /// pattern, and those with one the index cannot look up (a general wildcard, text that is not
  /// ASCII).
  std::vector<std::uint64_t> anyApp_;
  std::vector<std::uint64_t> anyHost_;
  /// Plain application patterns, looked up with every name of the identity and with the bundle
  /// identifier up to each ".".
  KeyTable appNames_;
  KeyTable exactHosts_;
  KeyTable hostSuffixes_;  // ".domain" of every "*.domain"
  std::vector<Interval> intervals_;
};

}  // namespace velmora
