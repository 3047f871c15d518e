// Counting calls per thread, and adding the counts up for a report.
#include "statistics.h"

namespace tessard {

std::size_t Statistics::VersionIndex(std::uint32_t vers) {
  return IsServedVersion(vers) ? vers - kLowestVersion : kStatVersions;
}

void Statistics::CountCall(std::size_t block, std::uint32_t vers,
                           std::uint32_t proc) {
  std::size_t v = VersionIndex(vers);
  if (v == kStatVersions || proc >= kStatProcedures) return;
  blocks_[block].versions[v].calls[proc].fetch_add(1,
                                                   std::memory_order_relaxed);
}

void Statistics::CountSet(std::size_t block, std::uint32_t vers) {
  std::size_t v = VersionIndex(vers);
  if (v != kStatVersions) {
    blocks_[block].versions[v].sets.fetch_add(1, std::memory_order_relaxed);
  }
}

void Statistics::CountUnset(std::size_t block, std::uint32_t vers) {
  std::size_t v = VersionIndex(vers);
  if (v != kStatVersions) {
    blocks_[block].versions[v].unsets.fetch_add(1, std::memory_order_relaxed);
  }
}

void Statistics::CountLookup(std::size_t block, std::uint32_t vers,
                             std::uint32_t prog, std::uint32_t lookupVers,
                             std::string_view netid, bool found) {
  std::size_t v = VersionIndex(vers);
  if (v == kStatVersions || block == kSharedBlock || netid.size() > kMaxNetid) {
    return;
  }
  Version& version = blocks_[block].versions[v];
  std::size_t count = version.lookupCount.load(std::memory_order_relaxed);
  Lookup* hit = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    Lookup& l = version.lookups[i];
    if (l.prog == prog && l.vers == lookupVers && l.netid.view() == netid) {
      hit = &l;
      break;
    }
  }
  if (!hit) {
    // Further keys are not kept: the calls are still counted per procedure.
    if (count == kLookupKeysPerBlock) return;
    hit = &version.lookups[count];
    hit->prog = prog;
    hit->vers = lookupVers;
    hit->netid.Assign(netid);
    version.lookupCount.store(count + 1, std::memory_order_release);
  }
  (found ? hit->success : hit->failure)
      .fetch_add(1, std::memory_order_relaxed);
}

void Statistics::Report(StatisticsReport* report) const {
  *report = StatisticsReport{};
  for (const Block& block : blocks_) {
    for (std::size_t v = 0; v < kStatVersions; ++v) {
      const Version& from = block.versions[v];
      VersionReport& to = (*report)[v];
      for (std::size_t p = 0; p < kStatProcedures; ++p) {
        to.calls[p] += from.calls[p].load(std::memory_order_relaxed);
      }
      to.sets += from.sets.load(std::memory_order_relaxed);
      to.unsets += from.unsets.load(std::memory_order_relaxed);
      std::size_t count = from.lookupCount.load(std::memory_order_acquire);
      for (std::size_t i = 0; i < count; ++i) {
        const Lookup& l = from.lookups[i];
        LookupCount* merged = nullptr;
        for (std::size_t j = 0; j < to.lookupCount; ++j) {
          LookupCount& m = to.lookups[j];
          if (m.prog == l.prog && m.vers == l.vers &&
              m.netid.view() == l.netid.view()) {
            merged = &m;
            break;
          }
        }
        if (!merged) {
          if (to.lookupCount == kLookupKeysReported) continue;
          merged = &to.lookups[to.lookupCount++];
          merged->prog = l.prog;
          merged->vers = l.vers;
          merged->netid = l.netid;
        }
        merged->success += l.success.load(std::memory_order_relaxed);
        merged->failure += l.failure.load(std::memory_order_relaxed);
      }
    }
  }
}

}  // namespace tessard
