// The procedures of the port mapper and rpcbind protocols, as one table:
// a row per (version, procedure) says how its arguments decode, which
// handler serves it, how its results encode, what kind of procedure it is
// (which decides who may call it: admission.cpp) and what GETSTAT counts
// of it. A procedure a version lacks has no row.
#include "port_mapper.h"

#include <chrono>
#include <ctime>
#include <new>
#include <optional>

#include "admission.h"
#include "rpc_message.h"

namespace tessard {
namespace {

// Procedure numbers, the same in every version where they exist.
enum Procedure : std::uint32_t {
  kNull = 0,
  kSet = 1,
  kUnset = 2,
  kGetAddr = 3,  // GETPORT in version 2
  kDump = 4,
  kCallIt = 5,  // BCAST in version 4
  kGetTime = 6,
  kUaddr2Taddr = 7,
  kTaddr2Uaddr = 8,
  kGetVersAddr = 9,
  kIndirect = 10,
  kGetAddrList = 11,
  kGetStat = 12,
};

constexpr std::uint32_t kProtocolTcp = 6;
constexpr std::uint32_t kProtocolUdp = 17;

// Strings in arguments longer than this are garbage; shorter ones that do
// not fit the table's bounds are refused by the procedure.
constexpr std::size_t kMaxArgumentString = 1024;

// Transport semantics as rpcbind reports them.
constexpr std::uint32_t kConnectionless = 1;
constexpr std::uint32_t kOrderlyConnection = 3;

std::uint32_t SystemClock() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

std::uint64_t SystemTicks() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// Version 2's arguments: a mapping of program and version to a port.
struct Mapping {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::uint32_t protocol = 0;
  std::uint32_t port = 0;
};

// Versions 3 and 4: a registration as the caller states it.
struct RpcbArgs {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::string_view netid;
  std::string_view uaddr;
  std::string_view owner;
};

// The arguments of any procedure, as its row's decoder reads them.
struct Arguments {
  Mapping mapping;
  RpcbArgs rpcb;
  std::string_view uaddr;  // UADDR2TADDR
  Bytes netbuf;            // TADDR2UADDR
};

// A look-up for GETSTAT to count.
struct CountedLookup {
  bool asked = false;
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::string_view netid;
  bool found = false;
};

// The results of any procedure, as its row's encoder writes them.
struct Results {
  bool granted = false;      // SET, UNSET; false when refused
  std::uint32_t number = 0;  // GETPORT's port, GETTIME's time
  // GETADDR's, GETVERSADDR's, TADDR2UADDR's address: in the snapshot or
  // in uaddrBuffer.
  std::string_view uaddr;
  char uaddrBuffer[kMaxInetUaddr];
  std::uint8_t netbuf[kMaxNetbuf];
  std::size_t netbufSize = 0;
  // The table as the listings and look-ups read it, held until encoded.
  std::optional<RegistrationTable::ReadGuard> snapshot;
  CountedLookup lookup;
};

// One call being served.
struct Call {
  const Caller& caller;
  std::uint32_t vers;
  std::size_t slot;  // the worker's table slot and statistics block
  RegistrationTable& table;
  const Statistics& statistics;
  PortMapper::Clock clock;
  PortMapper::Ticks ticks;
  RecordSink* records;
  Arguments args;
  Results results;
  Identity identity;  // SET and UNSET: who the caller is
  std::uint32_t proc;
  bool mayChange;  // SET and UNSET: the caller may change the table

  // Asks who the caller is: once, and only where a change needs it.
  void Identify() {
    if (caller.identity) identity = caller.identity->Identify();
  }

  void Write(RecordKind kind, std::uint32_t prog, std::uint32_t progVers,
             std::string_view netid, std::string_view uaddr,
             const char* problem = nullptr) {
    if (!records) return;
    Record record{kind};
    record.prog = prog;
    record.vers = progVers;
    record.netid = netid;
    record.uaddr = uaddr;
    record.caller = &caller;
    record.identity = &identity;
    record.mapperVersion = vers;
    record.procedure = proc;
    if (problem) record.problem = problem;
    records->Write(record);
  }

  const Snapshot& snapshot() {
    if (!results.snapshot) results.snapshot.emplace(table, slot);
    return results.snapshot->snapshot();
  }
};

// Decoders: false when the arguments are garbage.

bool NoArguments(XdrReader&, Arguments*) { return true; }

bool ReadMapping(XdrReader& in, Arguments* a) {
  a->mapping.prog = in.U32();
  a->mapping.vers = in.U32();
  a->mapping.protocol = in.U32();
  a->mapping.port = in.U32();
  return in.ok();
}

bool ReadRpcb(XdrReader& in, Arguments* a) {
  a->rpcb.prog = in.U32();
  a->rpcb.vers = in.U32();
  a->rpcb.netid = in.String(kMaxArgumentString);
  a->rpcb.uaddr = in.String(kMaxArgumentString);
  a->rpcb.owner = in.String(kMaxArgumentString);
  return in.ok();
}

bool ReadUaddr(XdrReader& in, Arguments* a) {
  a->uaddr = in.String(kMaxArgumentString);
  return in.ok();
}

// CALLIT, BCAST, INDIRECT: only the program and version of the call to
// forward, for the record of its refusal.
bool ReadForward(XdrReader& in, Arguments* a) {
  a->mapping.prog = in.U32();
  a->mapping.vers = in.U32();
  return in.ok();
}

bool ReadNetbuf(XdrReader& in, Arguments* a) {
  in.U32();  // maxlen: the client's buffer, not ours to use
  a->netbuf = in.Opaque(kMaxArgumentString);
  return in.ok();
}

const char* NetidOfProtocol(std::uint32_t protocol) {
  if (protocol == kProtocolTcp) return "tcp";
  if (protocol == kProtocolUdp) return "udp";
  return nullptr;
}

// Adds a registration made by this call, owned by the caller's account,
// and records the SET whatever its answer. `netid` and `uaddr` are the
// call's, for the record; `problem`, what is already known to be wrong.
void Register(Call& c, Registration& r, std::string_view netid,
              std::string_view uaddr, const char* problem) {
  if (!c.mayChange) {
    c.Write(RecordKind::kSetNotLocal, r.prog, r.vers, netid, uaddr);
    return;
  }
  c.Identify();
  OwnerOfAccount(c.identity.known ? c.identity.account : std::string_view(),
                 &r.owner);
  r.processId = c.identity.processId;
  r.processCreated = c.identity.processCreated;
  r.setVersion = static_cast<std::uint8_t>(c.vers);
  r.madeAt = c.ticks();
  if (!problem) problem = RegistrationFault(r);
  if (problem) {
    c.Write(RecordKind::kSetInvalid, r.prog, r.vers, netid, uaddr, problem);
    return;
  }
  RecordKind kind = RecordKind::kSetGranted;
  switch (c.table.Add(r)) {
    case RegistrationTable::AddResult::kAdded:
      c.results.granted = true;
      break;
    case RegistrationTable::AddResult::kNotKept:
      kind = RecordKind::kSetNotStored;
      break;
    case RegistrationTable::AddResult::kExists:
      kind = RecordKind::kSetExists;
      break;
    case RegistrationTable::AddResult::kFull:
      kind = RecordKind::kSetTableFull;
      break;
  }
  c.Write(kind, r.prog, r.vers, r.netid.view(), r.uaddr.view());
}

// Whether the caller owns a registration: the same account, an
// administrator, or a registration nobody could be found for.
bool Owns(const Identity& identity, const Registration& r) {
  if (r.owner.view() == kUnknownOwner) return true;
  if (!identity.known) return false;
  if (identity.administrator) return true;
  BoundedText<kMaxOwner> owner;
  OwnerOfAccount(identity.account, &owner);
  return owner.view() != kUnknownOwner && owner.view() == r.owner.view();
}

// Removes what an UNSET asks for, if the caller owns all of it.
// Each registration removed is recorded.
void Unregister(Call& c, std::uint32_t prog, std::uint32_t vers,
                std::initializer_list<std::string_view> netids,
                std::string_view netid) {
  if (!c.mayChange) {
    c.Write(RecordKind::kUnsetNotLocal, prog, vers, netid, {});
    return;
  }
  c.Identify();
  std::vector<Registration> gone;
  RegistrationTable::RemoveResult removed = c.table.Remove(
      prog, vers, netids,
      [&c](const Registration& r) { return Owns(c.identity, r); }, &gone);
  for (const Registration& r : gone) {
    c.Write(RecordKind::kUnsetGranted, r.prog, r.vers, r.netid.view(),
            r.uaddr.view());
  }
  if (removed.refused) {
    c.Write(RecordKind::kUnsetRefused, prog, vers, netid, {});
  }
  if (removed.notKept) {
    const Registration& r = removed.unkept;
    c.Write(RecordKind::kUnsetNotStored, r.prog, r.vers, r.netid.view(),
            r.uaddr.view());
  }
  // Not granted when part of it could not be stored: the caller learns
  // that it is not all gone, the record says which stayed.
  c.results.granted = removed.removed > 0 && !removed.notKept;
}

// The address to give a caller for a registration: one made on the
// wildcard address is answered with the address the call came to, so that
// a caller on another machine gets an address it can reach.
std::string_view ReachableAddress(const Registration& r, const Caller& caller,
                                  char (&buffer)[kMaxInetUaddr]) {
  InetAddress address;
  if (!caller.hasDestination || !ClassifyNetid(r.netid.view()).inet ||
      !ParseUniversalAddress(r.uaddr.view(), &address) ||
      !IsWildcard(address) || address.v6 != caller.destination.v6) {
    return r.uaddr.view();
  }
  InetAddress reachable = caller.destination;
  reachable.port = address.port;
  return std::string_view(buffer, FormatUniversalAddress(reachable, buffer));
}

// Handlers.

void Nothing(Call&) {}

void SetMapping(Call& c) {
  const Mapping& m = c.args.mapping;
  const char* netid = NetidOfProtocol(m.protocol);
  const char* problem = nullptr;
  if (!netid) problem = "the protocol is neither 6 (TCP) nor 17 (UDP)";
  if (m.port > 0xFFFF) problem = "the port is over 65535";
  InetAddress any;
  any.port = static_cast<std::uint16_t>(m.port);
  char uaddr[kMaxInetUaddr];
  std::string_view address;
  if (m.port <= 0xFFFF) {
    address = std::string_view(uaddr, FormatUniversalAddress(any, uaddr));
  }
  Registration r;
  r.prog = m.prog;
  r.vers = m.vers;
  r.netid.Assign(netid ? netid : "");
  r.uaddr.Assign(address);
  Register(c, r, r.netid.view(), address, problem);
}

void UnsetMapping(Call& c) {
  // Version 2 knows no netids: its mapping goes for both protocols, and
  // the call counts as one UNSET. Protocol and port are ignored.
  const Mapping& m = c.args.mapping;
  Unregister(c, m.prog, m.vers, {"udp", "tcp"}, {});
}

void GetPort(Call& c) {
  const Mapping& m = c.args.mapping;
  const char* netid = NetidOfProtocol(m.protocol);
  if (!netid) return;
  for (const Registration& r : c.snapshot()) {
    InetAddress address;
    if (r.prog == m.prog && r.vers == m.vers && r.netid.view() == netid &&
        ParseUniversalAddress(r.uaddr.view(), &address)) {
      c.results.number = address.port;
      break;
    }
  }
  c.results.lookup = {true, m.prog, m.vers, netid, c.results.number != 0};
}

void SetRegistration(Call& c) {
  const RpcbArgs& a = c.args.rpcb;
  Registration r;
  r.prog = a.prog;
  r.vers = a.vers;
  // The owner kept is the account found; the one the caller names must
  // still fit its bound and be printable.
  const char* problem = nullptr;
  if (!r.netid.Assign(a.netid)) problem = "the netid is over 32 bytes";
  if (!r.uaddr.Assign(a.uaddr)) problem = "the address is over 128 bytes";
  if (a.owner.size() > kMaxOwner || !IsPrintable(a.owner)) {
    problem = "the owner named is over 64 bytes or not printable ASCII";
  }
  Register(c, r, a.netid, a.uaddr, problem);
}

void UnsetRegistration(Call& c) {
  const RpcbArgs& a = c.args.rpcb;
  if (a.netid.empty()) {
    Unregister(c, a.prog, a.vers, {}, a.netid);
  } else {
    Unregister(c, a.prog, a.vers, {a.netid}, a.netid);
  }
}

enum class Versions { kAskedOnly, kAnyOfTheProgram };

void FindAddress(Call& c, Versions versions) {
  const RpcbArgs& a = c.args.rpcb;
  // The netid asked for; the transport's own when the caller names none.
  std::string_view netid = a.netid.empty() ? c.caller.netid : a.netid;
  const Registration* found = nullptr;
  for (const Registration& r : c.snapshot()) {
    if (r.prog != a.prog || r.netid.view() != netid) continue;
    if (r.vers == a.vers) {
      found = &r;
      break;
    }
    // GETADDR may answer with another version of the program: the caller
    // then learns the versions served from the program itself.
    if (versions == Versions::kAnyOfTheProgram && !found) found = &r;
  }
  if (found) {
    c.results.uaddr = ReachableAddress(*found, c.caller, c.results.uaddrBuffer);
  }
  c.results.lookup = {true, a.prog, a.vers, netid, !c.results.uaddr.empty()};
}

void GetAddr(Call& c) { FindAddress(c, Versions::kAnyOfTheProgram); }
void GetVersAddr(Call& c) { FindAddress(c, Versions::kAskedOnly); }

void TakeSnapshot(Call& c) { c.snapshot(); }

void GetTime(Call& c) { c.results.number = c.clock(); }

void Uaddr2Taddr(Call& c) {
  InetAddress address;
  if (ParseUniversalAddress(c.args.uaddr, &address)) {
    c.results.netbufSize = AddressToNetbuf(address, c.results.netbuf);
  }
}

void Taddr2Uaddr(Call& c) {
  InetAddress address;
  if (NetbufToAddress(c.args.netbuf.data, c.args.netbuf.size, &address)) {
    c.results.uaddr = std::string_view(
        c.results.uaddrBuffer,
        FormatUniversalAddress(address, c.results.uaddrBuffer));
  }
}

// Encoders of the results.

void NoResults(Call&, XdrWriter&) {}

void WriteGranted(Call& c, XdrWriter& out) { out.Bool(c.results.granted); }

void WriteNumber(Call& c, XdrWriter& out) { out.U32(c.results.number); }

void WriteUaddr(Call& c, XdrWriter& out) { out.String(c.results.uaddr); }

void WriteNetbuf(Call& c, XdrWriter& out) {
  auto length = static_cast<std::uint32_t>(c.results.netbufSize);
  out.U32(length);  // maxlen
  out.Opaque(c.results.netbuf, length);
}

// Version 2's DUMP: the IPv4 inet registrations as mappings.
void WriteMappings(Call& c, XdrWriter& out) {
  for (const Registration& r : c.snapshot()) {
    NetidInfo info = ClassifyNetid(r.netid.view());
    InetAddress address;
    if (!info.inet || info.v6 ||
        !ParseUniversalAddress(r.uaddr.view(), &address)) {
      continue;
    }
    out.Bool(true);
    out.U32(r.prog);
    out.U32(r.vers);
    out.U32(info.stream ? kProtocolTcp : kProtocolUdp);
    out.U32(address.port);
  }
  out.Bool(false);
}

void WriteRegistrations(Call& c, XdrWriter& out) {
  for (const Registration& r : c.snapshot()) {
    out.Bool(true);
    out.U32(r.prog);
    out.U32(r.vers);
    out.String(r.netid.view());
    out.String(r.uaddr.view());
    out.String(r.owner.view());
  }
  out.Bool(false);
}

void WriteAddressList(Call& c, XdrWriter& out) {
  const RpcbArgs& a = c.args.rpcb;
  for (const Registration& r : c.snapshot()) {
    if (r.prog != a.prog || r.vers != a.vers) continue;
    NetidInfo info = ClassifyNetid(r.netid.view());
    char reachable[kMaxInetUaddr];
    out.Bool(true);
    out.String(ReachableAddress(r, c.caller, reachable));
    out.String(r.netid.view());
    if (info.inet) {
      out.U32(info.stream ? kOrderlyConnection : kConnectionless);
      out.String(info.v6 ? "inet6" : "inet");
      out.String(info.stream ? "tcp" : "udp");
    } else {
      // A netid of another kind of transport: nothing known of it.
      out.U32(0);
      out.String("-");
      out.String("-");
    }
  }
  out.Bool(false);
}

void WriteStatistics(Call& c, XdrWriter& out) {
  StatisticsReport report;
  c.statistics.Report(&report);
  for (const VersionReport& v : report) {
    for (std::uint32_t calls : v.calls) out.U32(calls);
    out.U32(v.sets);
    out.U32(v.unsets);
    for (std::size_t i = 0; i < v.lookupCount; ++i) {
      const LookupCount& l = v.lookups[i];
      out.Bool(true);
      out.U32(l.prog);
      out.U32(l.vers);
      out.U32(l.success);
      out.U32(l.failure);
      out.String(l.netid.view());
    }
    out.Bool(false);
    out.Bool(false);  // remote calls: none are forwarded
  }
}

// What GETSTAT counts of a call besides the call itself.
enum class Counts { kCall, kSet, kUnset, kLookup };

// A procedure of a version. Rows that are not offered have no handler or
// encoder: admission never lets their calls that far; their decoder reads
// what the record of the refusal names.
struct Row {
  std::uint32_t vers;
  std::uint32_t proc;
  ProcedureKind kind;
  Counts counts;
  bool (*decode)(XdrReader&, Arguments*);
  void (*handle)(Call&);
  void (*encode)(Call&, XdrWriter&);
};

using K = ProcedureKind;
using C = Counts;

const Row kRows[] = {
    {2, kNull, K::kLookup, C::kCall, NoArguments, Nothing, NoResults},
    {2, kSet, K::kChange, C::kSet, ReadMapping, SetMapping, WriteGranted},
    {2, kUnset, K::kChange, C::kUnset, ReadMapping, UnsetMapping, WriteGranted},
    {2, kGetAddr, K::kLookup, C::kLookup, ReadMapping, GetPort, WriteNumber},
    {2, kDump, K::kListing, C::kCall, NoArguments, TakeSnapshot, WriteMappings},
    {2, kCallIt, K::kBroadcastForward, C::kCall, ReadForward, nullptr, nullptr},

    {3, kNull, K::kLookup, C::kCall, NoArguments, Nothing, NoResults},
    {3, kSet, K::kChange, C::kSet, ReadRpcb, SetRegistration, WriteGranted},
    {3, kUnset, K::kChange, C::kUnset, ReadRpcb, UnsetRegistration,
     WriteGranted},
    {3, kGetAddr, K::kLookup, C::kLookup, ReadRpcb, GetAddr, WriteUaddr},
    {3, kDump, K::kListing, C::kCall, NoArguments, TakeSnapshot,
     WriteRegistrations},
    {3, kCallIt, K::kBroadcastForward, C::kCall, ReadForward, nullptr, nullptr},
    {3, kGetTime, K::kLookup, C::kCall, NoArguments, GetTime, WriteNumber},
    {3, kUaddr2Taddr, K::kLookup, C::kCall, ReadUaddr, Uaddr2Taddr,
     WriteNetbuf},
    {3, kTaddr2Uaddr, K::kLookup, C::kCall, ReadNetbuf, Taddr2Uaddr,
     WriteUaddr},

    {4, kNull, K::kLookup, C::kCall, NoArguments, Nothing, NoResults},
    {4, kSet, K::kChange, C::kSet, ReadRpcb, SetRegistration, WriteGranted},
    {4, kUnset, K::kChange, C::kUnset, ReadRpcb, UnsetRegistration,
     WriteGranted},
    {4, kGetAddr, K::kLookup, C::kLookup, ReadRpcb, GetAddr, WriteUaddr},
    {4, kDump, K::kListing, C::kCall, NoArguments, TakeSnapshot,
     WriteRegistrations},
    {4, kCallIt, K::kBroadcastForward, C::kCall, ReadForward, nullptr, nullptr},
    {4, kGetTime, K::kLookup, C::kCall, NoArguments, GetTime, WriteNumber},
    {4, kUaddr2Taddr, K::kLookup, C::kCall, ReadUaddr, Uaddr2Taddr,
     WriteNetbuf},
    {4, kTaddr2Uaddr, K::kLookup, C::kCall, ReadNetbuf, Taddr2Uaddr,
     WriteUaddr},
    {4, kGetVersAddr, K::kLookup, C::kLookup, ReadRpcb, GetVersAddr,
     WriteUaddr},
    {4, kIndirect, K::kForward, C::kCall, ReadForward, nullptr, nullptr},
    {4, kGetAddrList, K::kListing, C::kCall, ReadRpcb, TakeSnapshot,
     WriteAddressList},
    {4, kGetStat, K::kListing, C::kCall, NoArguments, Nothing, WriteStatistics},
};

const Row* FindRow(std::uint32_t vers, std::uint32_t proc) {
  for (const Row& row : kRows) {
    if (row.vers == vers && row.proc == proc) return &row;
  }
  return nullptr;
}

}  // namespace

PortMapper::PortMapper(std::size_t capacity, Clock clock, Ticks ticks)
    : table_(capacity),
      clock_(clock ? clock : SystemClock),
      ticks_(ticks ? ticks : SystemTicks),
      settings_(std::make_unique<const Settings>()) {}

void PortMapper::SetRecordSink(RecordSink* records, RecordLimits limits) {
  limiter_.reset();
  records_ = nullptr;
  if (!records) return;
  limiter_ = std::make_unique<RecordLimiter>(records, ticks_, limits);
  records_ = limiter_.get();
}

void PortMapper::FlushRecords() {
  if (limiter_) limiter_->Flush();
}

void PortMapper::SetSettings(const Settings& settings) {
  auto next = std::make_unique<const Settings>(settings);
  std::lock_guard<std::mutex> lock(settings_.writers());
  settings_.Publish(std::move(next));
}

void PortMapper::RecordRefusal(RecordKind kind, const Caller& caller,
                               const CallHeader* header, std::uint32_t prog,
                               std::uint32_t vers) {
  if (!records_) return;
  Record record{kind};
  record.prog = prog;
  record.vers = vers;
  record.caller = &caller;
  if (header) {
    record.mapperVersion = header->vers;
    record.procedure = header->proc;
  }
  records_->Write(record);
}

bool PortMapper::AdmitConnection(Worker& worker, const Caller& caller) {
  Published<Settings>::Guard settings(settings_, worker.slot_);
  if (Admit(ProcedureKind::kConnection, caller, settings.value()) ==
      Admission::kShutOut) {
    RecordRefusal(RecordKind::kOutsideLookups, caller, nullptr);
    return false;
  }
  return true;
}

void PortMapper::SetStore(Store* store) {
  store_ = store;
  table_.SetStore(store);
}

void PortMapper::RecordDrop(RecordKind kind, const Registration& r) {
  if (!records_) return;
  Record record{kind};
  record.prog = r.prog;
  record.vers = r.vers;
  record.netid = r.netid.view();
  record.uaddr = r.uaddr.view();
  records_->Write(record);
}

PortMapper::RestoreReport PortMapper::Restore(
    const std::vector<StoredValue>& values, const SocketSample& sample) {
  RestoreReport report;
  auto damaged = [&](const StoredValue& value, const char* problem) {
    report.damaged.push_back(RestoreReport::Damaged{value.name, problem});
    if (!records_) return;
    Record record{RecordKind::kStorageDamaged};
    record.valueName = value.name;
    record.problem = problem;
    records_->Write(record);
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
      // Nothing listens there now: the registration goes from storage, or,
      // when that fails, comes back to go at a later sample.
      StoredChange change{StoredChange::Kind::kDelete, value.name, {}, &r};
      if (!store_ || store_->Keep(change)) {
        statistics_.CountUnset(Statistics::kSharedBlock, r.setVersion);
        RecordDrop(RecordKind::kDropped, r);
        ++report.dropped;
        continue;
      }
      RecordDrop(RecordKind::kDropNotStored, r);
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
        [&](const Registration& r) { return IsDead(r, sample, now); },
        nullptr, &dropped);
  } catch (const std::bad_alloc&) {
    return 0;  // nothing changed; the next sample tries again
  }
  for (const Registration& r : dropped) {
    statistics_.CountUnset(Statistics::kSharedBlock, r.setVersion);
    RecordDrop(RecordKind::kDropped, r);
  }
  if (result.notKept) RecordDrop(RecordKind::kDropNotStored, result.unkept);
  return dropped.size();
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

PortMapper::Worker::Worker(PortMapper& mapper)
    : mapper_(mapper), slot_(mapper.table_.ClaimSlot()) {}

PortMapper::Worker::~Worker() { mapper_.table_.ReleaseSlot(slot_); }

CallOutcome PortMapper::HandleCall(Worker& worker, const std::uint8_t* call,
                                   std::size_t size, const Caller& caller,
                                   std::vector<std::uint8_t>* reply) {
  const std::size_t start = reply->size();
  const std::size_t limit =
      start + (caller.stream() ? kMaxStreamReply : kMaxDatagramReply);
  CallHeader header;
  CallOutcome outcome = CallOutcome::kReply;
  bool systemError = false;
  try {
    Published<Settings>::Guard settings(settings_, worker.slot_);
    // A caller outside RemoteLookups learns nothing, not even that its
    // message was malformed.
    if (Admit(ProcedureKind::kConnection, caller, settings.value()) ==
        Admission::kShutOut) {
      RecordRefusal(RecordKind::kOutsideLookups, caller, nullptr);
      return CallOutcome::kClose;
    }
    XdrReader in(call, size);
    XdrWriter out(reply, limit);
    outcome =
        Answer(worker.slot_, caller, settings.value(), in, &header, out);
    // The results do not fit what the transport carries.
    systemError = !out.ok();
  } catch (const std::bad_alloc&) {
    // A change of the table, or a reply that outgrew its buffer.
    systemError = true;
    outcome = CallOutcome::kReply;
  }
  if (outcome != CallOutcome::kReply) {
    reply->resize(start);
    return outcome;
  }
  if (systemError) {
    reply->resize(start);
    try {
      XdrWriter again(reply, limit);
      WriteAcceptedReply(again, header.xid, AcceptStat::kSystemErr);
    } catch (const std::bad_alloc&) {
      reply->resize(start);
      return CallOutcome::kOutOfMemory;
    }
  }
  if (!MayReply(caller, size, reply->size() - start)) {
    reply->resize(start);
    return CallOutcome::kSilent;
  }
  return CallOutcome::kReply;
}

CallOutcome PortMapper::Answer(std::size_t slot, const Caller& caller,
                               const Settings& settings, XdrReader& in,
                               CallHeader* header, XdrWriter& out) {
  switch (ReadCallHeader(in, header)) {
    case HeaderOutcome::kNotACall:
    case HeaderOutcome::kTruncated:
      return CallOutcome::kMalformed;
    case HeaderOutcome::kRpcMismatch:
      WriteRpcMismatch(out, header->xid);
      return CallOutcome::kReply;
    case HeaderOutcome::kBadCredential:
      WriteAuthError(out, header->xid, AuthStat::kBadCred);
      return CallOutcome::kReply;
    case HeaderOutcome::kBadVerifier:
      WriteAuthError(out, header->xid, AuthStat::kBadVerf);
      return CallOutcome::kReply;
    case HeaderOutcome::kRejectedFlavor:
      WriteAuthError(out, header->xid, AuthStat::kRejectedCred);
      return CallOutcome::kReply;
    case HeaderOutcome::kCall:
      break;
  }
  return Dispatch(slot, caller, settings, *header, in, out);
}

CallOutcome PortMapper::Dispatch(std::size_t slot, const Caller& caller,
                                 const Settings& settings,
                                 const CallHeader& header, XdrReader& args,
                                 XdrWriter& out) {
  if (header.prog != kPortMapperProgram) {
    WriteAcceptedReply(out, header.xid, AcceptStat::kProgUnavail);
    return CallOutcome::kReply;
  }
  if (!IsServedVersion(header.vers)) {
    WriteProgMismatch(out, header.xid, kLowestVersion, kHighestVersion);
    return CallOutcome::kReply;
  }
  const Row* row = FindRow(header.vers, header.proc);
  if (!row) {
    WriteAcceptedReply(out, header.xid, AcceptStat::kProcUnavail);
    return CallOutcome::kReply;
  }
  statistics_.CountCall(slot, header.vers, header.proc);

  Admission admission = Admit(row->kind, caller, settings);
  if (admission != Admission::kShutOut &&
      (row->kind == ProcedureKind::kForward ||
       row->kind == ProcedureKind::kBroadcastForward)) {
    Arguments forwarded;
    row->decode(args, &forwarded);
    RecordRefusal(RecordKind::kForwardRefused, caller, &header,
                  forwarded.mapping.prog, forwarded.mapping.vers);
  }
  switch (admission) {
    case Admission::kShutOut:
      RecordRefusal(RecordKind::kOutsideLookups, caller, &header);
      return CallOutcome::kClose;
    case Admission::kSilent:
      return CallOutcome::kSilent;
    case Admission::kNotOffered:
      WriteAcceptedReply(out, header.xid, AcceptStat::kProcUnavail);
      return CallOutcome::kReply;
    case Admission::kTooWeak:
      RecordRefusal(RecordKind::kListingRefused, caller, &header);
      WriteAuthError(out, header.xid, AuthStat::kTooWeak);
      return CallOutcome::kReply;
    case Admission::kAnswer:
    case Admission::kRefuse:
      break;
  }
  Call c{caller,
         header.vers,
         slot,
         table_,
         statistics_,
         clock_,
         ticks_,
         records_,
         {},
         {},
         {},
         header.proc,
         admission == Admission::kAnswer};
  if (!row->decode(args, &c.args)) {
    WriteAcceptedReply(out, header.xid, AcceptStat::kGarbageArgs);
    return CallOutcome::kReply;
  }
  // A refused change still goes to its handler, which records it.
  row->handle(c);

  const Results& r = c.results;
  switch (row->counts) {
    case Counts::kCall:
      break;
    case Counts::kSet:
      if (r.granted) statistics_.CountSet(slot, header.vers);
      break;
    case Counts::kUnset:
      if (r.granted) statistics_.CountUnset(slot, header.vers);
      break;
    case Counts::kLookup:
      if (r.lookup.asked) {
        statistics_.CountLookup(slot, header.vers, r.lookup.prog,
                                r.lookup.vers, r.lookup.netid, r.lookup.found);
      }
      break;
  }
  WriteAcceptedReply(out, header.xid, AcceptStat::kSuccess);
  row->encode(c, out);
  return CallOutcome::kReply;
}

}  // namespace tessard
