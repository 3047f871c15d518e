// Counts of the calls the port mapper served, by version and procedure,
// with the outcome of address look-ups, as the GETSTAT procedure reports
// them. Each serving thread counts in a block of its own, so counting on
// the hot path shares no cache line; a report adds the blocks up. Free of
// Windows headers.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "registration_table.h"

namespace tessard {

// The versions served, each with procedures 0 to 12.
constexpr std::size_t kStatVersions = kHighestVersion - kLowestVersion + 1;
constexpr std::size_t kStatProcedures = 13;
// Look-up keys kept per version: per block, and in a report.
constexpr std::size_t kLookupKeysPerBlock = 16;
constexpr std::size_t kLookupKeysReported = 64;

struct LookupCount {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::uint32_t success = 0;
  std::uint32_t failure = 0;
  BoundedText<kMaxNetid> netid;
};

struct VersionReport {
  std::uint32_t calls[kStatProcedures] = {};
  std::uint32_t sets = 0;    // successful SETs
  std::uint32_t unsets = 0;  // successful UNSETs
  LookupCount lookups[kLookupKeysReported];
  std::size_t lookupCount = 0;
};

using StatisticsReport = std::array<VersionReport, kStatVersions>;

class Statistics {
 public:
  // Blocks 0 to kMaxReaders - 1 belong to one thread each; block
  // kMaxReaders is shared by threads without a slot of their own and keeps
  // no look-ups.
  static constexpr std::size_t kSharedBlock = kMaxReaders;

  void CountCall(std::size_t block, std::uint32_t vers, std::uint32_t proc);
  void CountSet(std::size_t block, std::uint32_t vers);
  void CountUnset(std::size_t block, std::uint32_t vers);
  // A look-up (GETPORT, GETADDR, GETVERSADDR) of a program, version and
  // netid, and whether it found an address.
  void CountLookup(std::size_t block, std::uint32_t vers, std::uint32_t prog,
                   std::uint32_t lookupVers, std::string_view netid,
                   bool found);

  void Report(StatisticsReport* report) const;

 private:
  struct Lookup {
    std::uint32_t prog = 0;
    std::uint32_t vers = 0;
    BoundedText<kMaxNetid> netid;
    std::atomic<std::uint32_t> success{0};
    std::atomic<std::uint32_t> failure{0};
  };
  struct Version {
    std::atomic<std::uint32_t> calls[kStatProcedures] = {};
    std::atomic<std::uint32_t> sets{0};
    std::atomic<std::uint32_t> unsets{0};
    // Written by the block's one thread: a key is complete before the
    // count that publishes it.
    Lookup lookups[kLookupKeysPerBlock];
    std::atomic<std::size_t> lookupCount{0};
  };
  struct alignas(64) Block {
    Version versions[kStatVersions];
  };

  // Index of a version's counters, or kStatVersions for another version.
  static std::size_t VersionIndex(std::uint32_t vers);

  std::array<Block, kMaxReaders + 1> blocks_;
};

}  // namespace tessard
