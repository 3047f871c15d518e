// The upkeep of the table: the port mapper's own registrations, the stored
// table restored at start-up, and dead registrations dropped by a sample
// of the socket tables.
#include "table_upkeep.h"

#include <cstring>
#include <new>

#include "port_mapper.h"

namespace tessard {
namespace {

// Whether the socket may receive what the registration says is served.
bool Serves(const BoundSocket& s, bool stream, const InetAddress& r) {
  const InetAddress& a = s.address;
  if (s.stream != stream || a.port != r.port) return false;
  if (a.v6 == r.v6) return IsWildcard(a) || IsWildcard(r) || SameHost(a, r);
  if (!a.v6) return false;
  // An IPv6 socket that is not IPv6-only serves IPv4 on :: and on mapped
  // addresses.
  if (IsWildcard(a)) return true;
  return IsIpv4Mapped(a) &&
         (IsWildcard(r) || std::memcmp(a.host + 12, r.host, 4) == 0);
}

void WriteDrop(RecordSink* records, RecordKind kind, const Registration& r) {
  WriteRecord(records, kind, r.prog, r.vers, r.netid.view(), r.uaddr.view());
}

}  // namespace

bool MayBeServed(const Registration& r, const SocketSample& sample) {
  NetidInfo info = ClassifyNetid(r.netid.view());
  InetAddress address;
  if (!info.inet || !ParseUniversalAddress(r.uaddr.view(), &address)) {
    return true;
  }
  // An IPv4 registration may be served by a dual-stack socket on ::,
  // which only the IPv6 table lists: both tables must have been read.
  const bool read6 = info.stream ? sample.tcp6Read : sample.udp6Read;
  const bool read4 = info.stream ? sample.tcpRead : sample.udpRead;
  if (!read6 || (!info.v6 && !read4)) return true;
  for (const BoundSocket& s : sample.sockets) {
    if (Serves(s, info.stream, address)) return true;
  }
  return false;
}

bool IsDead(const Registration& r, const SocketSample& sample,
            std::uint64_t nowMs) {
  return !r.permanent && nowMs >= r.madeAt &&
         nowMs - r.madeAt >= kDropGraceMs && !MayBeServed(r, sample);
}

void PortMapper::AddOwnTransport(std::string_view netid) {
  NetidInfo info = ClassifyNetid(netid);
  InetAddress any;
  any.v6 = info.v6;
  any.port = kPortMapperPort;
  char uaddr[kMaxInetUaddr];
  std::size_t length = FormatUniversalAddress(any, uaddr);
  for (std::uint32_t vers = kHighestVersion; vers >= kLowestVersion; --vers) {
    // Version 2 speaks of IPv4 ports only.
    if (vers == 2 && info.v6) continue;
    Registration r;
    r.prog = kPortMapperProgram;
    r.vers = vers;
    r.netid.Assign(netid);
    r.uaddr.Assign(std::string_view(uaddr, length));
    r.owner.Assign(kOwnOwner);
    r.permanent = true;
    table_.Add(r);
  }
}

PortMapper::RestoreReport PortMapper::Restore(
    const std::vector<StoredValue>& values, const SocketSample& sample) {
  RestoreReport report;
  auto damaged = [&](const StoredValue& value, const char* problem) {
    report.damaged.push_back(RestoreReport::Damaged{value.name, problem});
    WriteRecord(records_, RecordKind::kStorageDamaged, 0, 0, {}, {}, {},
                problem, value.name);
  };
  const std::uint64_t now = ticks_();
  for (const StoredValue& value : values) {
    Registration r;
    const char* problem = nullptr;
    if (!DecodeStoredRegistration(value.data.data(), value.data.size(), &r,
                                  &problem)) {
      damaged(value, problem);
      continue;
    }
    if (StoredValueName(r) != value.name) {
      damaged(value, "its name is not the name of the registration it holds");
      continue;
    }
    if (!MayBeServed(r, sample)) {
      // Nothing listens there: the registration goes from storage, or,
      // when that fails, comes back to go at a later sample.
      StoredChange change{StoredChange::Kind::kDelete, value.name, {}, &r};
      if (!store_ || store_->Keep(change)) {
        statistics_.CountUnset(Statistics::kSharedBlock, r.setVersion);
        WriteDrop(records_, RecordKind::kDropped, r);
        ++report.dropped;
        continue;
      }
      WriteDrop(records_, RecordKind::kDropNotStored, r);
    }
    r.madeAt = now;
    switch (table_.Add(r, RegistrationTable::Storage::kAlreadyKept)) {
      case RegistrationTable::AddResult::kAdded:
        ++report.restored;
        break;
      case RegistrationTable::AddResult::kExists:
        damaged(value, "a second value holds the same registration");
        break;
      case RegistrationTable::AddResult::kFull:
      case RegistrationTable::AddResult::kNotKept:
        damaged(value, "there are more registrations than the table holds");
        break;
    }
  }
  return report;
}

std::size_t PortMapper::ApplySample(const SocketSample& sample) {
  const std::uint64_t now = ticks_();
  std::vector<Registration> dropped;
  RegistrationTable::RemoveResult result;
  try {
    result = table_.RemoveIf(
        [&](const Registration& r) { return IsDead(r, sample, now); }, nullptr,
        &dropped);
  } catch (const std::bad_alloc&) {
    return 0;  // nothing changed; the next sample tries again
  }
  for (const Registration& r : dropped) {
    statistics_.CountUnset(Statistics::kSharedBlock, r.setVersion);
    WriteDrop(records_, RecordKind::kDropped, r);
  }
  if (result.notKept) {
    WriteDrop(records_, RecordKind::kDropNotStored, result.unkept);
  }
  return dropped.size();
}

}  // namespace tessard
