// The admission rule of the TCP side.
#include "connection_admission.h"

namespace tessard {

AdmissionDecision DecideAdmission(const std::vector<OpenConnection>& open,
                                  const InetAddress& source,
                                  std::uint64_t nowMs,
                                  const AdmissionLimits& limits) {
  using Kind = AdmissionDecision::Kind;
  auto placesOf = [&open](const InetAddress& host) {
    std::size_t places = 0;
    for (const OpenConnection& c : open) places += SameHost(c.source, host);
    return places;
  };
  auto quieter = [&open](std::size_t i, std::size_t best) {
    return best == open.size() ||
           open[i].lastActiveMs < open[best].lastActiveMs;
  };

  if (placesOf(source) >= limits.maxPerSource) {
    std::size_t victim = open.size();
    for (std::size_t i = 0; i < open.size(); ++i) {
      if (SameHost(open[i].source, source) && !open[i].inCall &&
          quieter(i, victim)) {
        victim = i;
      }
    }
    if (victim == open.size()) return {Kind::kRefuse, 0};
    return {Kind::kAdmitAfterClosing, victim};
  }
  if (open.size() < limits.maxConnections) return {Kind::kAdmit, 0};

  // Full: a quiet connection past its grace period, from the source that
  // holds the most places; of that source (or of sources that hold as
  // many), the one quiet the longest.
  std::size_t victim = open.size();
  std::size_t victimPlaces = 0;
  for (std::size_t i = 0; i < open.size(); ++i) {
    const OpenConnection& c = open[i];
    if (c.inCall || nowMs - c.acceptedMs < limits.graceMs) continue;
    std::size_t places = placesOf(c.source);
    if (places > victimPlaces ||
        (places == victimPlaces && quieter(i, victim))) {
      victim = i;
      victimPlaces = places;
    }
  }
  if (victim == open.size()) return {Kind::kRefuse, 0};
  return {Kind::kAdmitAfterClosing, victim};
}

}  // namespace tessard
