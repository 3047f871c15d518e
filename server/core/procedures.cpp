// The procedures of the port mapper and rpcbind protocols: their rows,
// and the decoders, handlers and encoders the rows name.
#include "procedures.h"

#include <optional>

namespace tessard {
namespace {

// Procedure numbers, the same in every version where they exist.
enum ProcedureNumber : std::uint32_t {
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
  bool granted = false;    // SET, UNSET; false when refused
  std::uint32_t port = 0;  // GETPORT's
  std::uint32_t time = 0;  // GETTIME's
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

// One call being served: what the envelope hands over, and what its
// procedure makes of it.
struct Call : CallContext {
  Arguments args;
  Results results;
  Identity identity;  // SET and UNSET: who the caller is

  // Asks who the caller is: once, and only where a change needs it.
  void Identify() {
    if (caller.identity) identity = caller.identity->Identify();
  }

  void Write(RecordKind kind, std::uint32_t prog, std::uint32_t progVers,
             std::string_view netid, std::string_view uaddr,
             std::string_view problem = {}) {
    WriteRecord(records, kind, prog, progVers, netid, uaddr,
                {&caller, &identity, header.vers, header.proc}, problem);
  }

  const Snapshot& snapshot() {
    if (!results.snapshot) results.snapshot.emplace(table, slot);
    return results.snapshot->snapshot();
  }

  // Whether the table holds this very registration: its key and address.
  // Read through a guard of its own, let go before any change.
  // Whether the table holds the key of a SET, and with which address.
  enum class Held { kNo, kSame, kOther };
  Held Holds(const Registration& r) {
    RegistrationTable::ReadGuard guard(table, slot);
    for (const Registration& held : guard.snapshot()) {
      if (held.prog == r.prog && held.vers == r.vers &&
          held.netid.view() == r.netid.view()) {
        return held.uaddr.view() == r.uaddr.view() ? Held::kSame
                                                   : Held::kOther;
      }
    }
    return Held::kNo;
  }
  // Whether an UNSET of these would find anything to remove.
  bool HoldsAny(std::uint32_t prog, std::uint32_t vers,
                std::initializer_list<std::string_view> netids) {
    RegistrationTable::ReadGuard guard(table, slot);
    for (const Registration& held : guard.snapshot()) {
      if (!held.permanent &&
          RegistrationTable::Selects(held, prog, vers, netids)) {
        return true;
      }
    }
    return false;
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
  if (!c.admission.mayChange) {
    c.Write(RecordKind::kSetNotLocal, r.prog, r.vers, netid, uaddr);
    return;
  }
  if (!problem) problem = RegistrationFault(r);
  if (problem) {
    c.Identify();  // the record names who sent it
    c.Write(RecordKind::kSetInvalid, r.prog, r.vers, netid, uaddr, problem);
    return;
  }
  // The owner, which costs a read of the socket tables, is looked up only
  // for a registration the table does not hold. The same registration
  // again, as libtirpc's servers send it, changes nothing: granted without
  // a store or a record. Another address for a key held is refused.
  switch (c.Holds(r)) {
    case Call::Held::kSame:
      c.results.granted = true;
      return;
    case Call::Held::kOther:
      c.Write(RecordKind::kSetExists, r.prog, r.vers, r.netid.view(),
              r.uaddr.view());
      return;
    case Call::Held::kNo:
      break;
  }
  c.Identify();
  OwnerOfAccount(c.identity.known ? c.identity.account : std::string_view(),
                 &r.owner);
  r.processId = c.identity.processId;
  r.processCreated = c.identity.processCreated;
  r.setVersion = static_cast<std::uint8_t>(c.header.vers);
  r.madeAt = c.ticks();
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
  if (!c.admission.mayChange) {
    c.Write(RecordKind::kUnsetNotLocal, prog, vers, netid, {});
    return;
  }
  // An UNSET of nothing is answered false without asking who sent it.
  if (!c.HoldsAny(prog, vers, netids)) return;
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
// wildcard address is answered with the address the call came to (for a
// broadcast, the interface's), so that a caller on another machine gets an
// address it can reach.
std::string_view ReachableAddress(const Registration& r, const Caller& caller,
                                  char (&buffer)[kMaxInetUaddr]) {
  InetAddress address;
  if (!ClassifyNetid(r.netid.view()).inet ||
      !ParseUniversalAddress(r.uaddr.view(), &address) ||
      !IsWildcard(address) || address.v6 != caller.receivedOn.v6) {
    return r.uaddr.view();
  }
  InetAddress reachable = caller.receivedOn;
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
      c.results.port = address.port;
      break;
    }
  }
  c.results.lookup = {true, m.prog, m.vers, netid, c.results.port != 0};
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
  // An empty netid means every netid.
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

void GetTime(Call& c) { c.results.time = c.clock(); }

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

void WritePort(Call& c, XdrWriter& out) { out.U32(c.results.port); }

void WriteTime(Call& c, XdrWriter& out) { out.U32(c.results.time); }

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
    out.Bool(false);  // remote calls are not counted by program
  }
}

// What GETSTAT counts of a call besides the call itself.
enum class Counts { kCall, kSet, kUnset, kLookup };

void Count(Counts counts, const Call& c) {
  const Results& r = c.results;
  const std::uint32_t vers = c.header.vers;
  switch (counts) {
    case Counts::kCall:
      break;
    case Counts::kSet:
      if (r.granted) c.statistics.CountSet(c.slot, vers);
      break;
    case Counts::kUnset:
      if (r.granted) c.statistics.CountUnset(c.slot, vers);
      break;
    case Counts::kLookup:
      if (r.lookup.asked) {
        c.statistics.CountLookup(c.slot, vers, r.lookup.prog, r.lookup.vers,
                                 r.lookup.netid, r.lookup.found);
      }
      break;
  }
}

using K = ProcedureKind;
using C = Counts;

}  // namespace

// A procedure of the versions from `lowest` to `highest`. Rows that are
// not offered have no decoder, handler or encoder: admission never lets
// their calls that far.
struct Procedure {
  std::uint32_t lowest;
  std::uint32_t highest;
  std::uint32_t proc;
  const char* name;
  ProcedureKind kind;
  Counts counts;
  bool (*decode)(XdrReader&, Arguments*);
  void (*handle)(Call&);
  void (*encode)(Call&, XdrWriter&);
};

namespace {

const Procedure kProcedures[] = {
    {2, 4, kNull, "NULL", K::kLookup, C::kCall, NoArguments, Nothing,
     NoResults},

    {2, 2, kSet, "SET", K::kChange, C::kSet, ReadMapping, SetMapping,
     WriteGranted},
    {2, 2, kUnset, "UNSET", K::kChange, C::kUnset, ReadMapping, UnsetMapping,
     WriteGranted},
    {2, 2, kGetAddr, "GETPORT", K::kLookup, C::kLookup, ReadMapping, GetPort,
     WritePort},
    {2, 2, kDump, "DUMP", K::kListing, C::kCall, NoArguments, TakeSnapshot,
     WriteMappings},
    {2, 3, kCallIt, "CALLIT", K::kBroadcastForward, C::kCall, nullptr, nullptr,
     nullptr},

    {3, 4, kSet, "SET", K::kChange, C::kSet, ReadRpcb, SetRegistration,
     WriteGranted},
    {3, 4, kUnset, "UNSET", K::kChange, C::kUnset, ReadRpcb, UnsetRegistration,
     WriteGranted},
    {3, 4, kGetAddr, "GETADDR", K::kLookup, C::kLookup, ReadRpcb, GetAddr,
     WriteUaddr},
    {3, 4, kDump, "DUMP", K::kListing, C::kCall, NoArguments, TakeSnapshot,
     WriteRegistrations},
    {3, 4, kGetTime, "GETTIME", K::kLookup, C::kCall, NoArguments, GetTime,
     WriteTime},
    {3, 4, kUaddr2Taddr, "UADDR2TADDR", K::kLookup, C::kCall, ReadUaddr,
     Uaddr2Taddr, WriteNetbuf},
    {3, 4, kTaddr2Uaddr, "TADDR2UADDR", K::kLookup, C::kCall, ReadNetbuf,
     Taddr2Uaddr, WriteUaddr},

    {4, 4, kCallIt, "BCAST", K::kBroadcastForward, C::kCall, nullptr, nullptr,
     nullptr},
    {4, 4, kGetVersAddr, "GETVERSADDR", K::kLookup, C::kLookup, ReadRpcb,
     GetVersAddr, WriteUaddr},
    {4, 4, kIndirect, "INDIRECT", K::kForward, C::kCall, nullptr, nullptr,
     nullptr},
    {4, 4, kGetAddrList, "GETADDRLIST", K::kListing, C::kCall, ReadRpcb,
     TakeSnapshot, WriteAddressList},
    {4, 4, kGetStat, "GETSTAT", K::kListing, C::kCall, NoArguments, Nothing,
     WriteStatistics},
};

}  // namespace

const Procedure* FindProcedure(std::uint32_t vers, std::uint32_t proc) {
  for (const Procedure& p : kProcedures) {
    if (p.lowest <= vers && vers <= p.highest && p.proc == proc) return &p;
  }
  return nullptr;
}

ProcedureKind KindOf(const Procedure& procedure) { return procedure.kind; }

const char* ProcedureName(std::uint32_t vers, std::uint32_t proc) {
  const Procedure* procedure = FindProcedure(vers, proc);
  return procedure ? procedure->name : nullptr;
}

void Serve(const Procedure& procedure, const CallContext& context,
           XdrReader& args, XdrWriter& out) {
  Call c{context, {}, {}, {}};
  if (!procedure.decode(args, &c.args)) {
    WriteAcceptedReply(out, c.header.xid, AcceptStat::kGarbageArgs);
    return;
  }
  // A change the caller may not make still goes to its handler, which
  // records it.
  procedure.handle(c);
  Count(procedure.counts, c);
  WriteAcceptedReply(out, c.header.xid, AcceptStat::kSuccess);
  procedure.encode(c, out);
}

}  // namespace tessard
