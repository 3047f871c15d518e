// The procedures of the port mapper and rpcbind protocols, as one table:
// a row per (version, procedure) says how its arguments decode, which
// handler serves it, how its results encode, what kind of procedure it is
// (which decides who may call it: admission.cpp) and what GETSTAT counts
// of it. A procedure a version lacks has no row.
#include "port_mapper.h"

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

const char kOwnOwner[] = "superuser";
const char kUnknownOwner[] = "unknown";

std::uint32_t SystemClock() {
  return static_cast<std::uint32_t>(std::time(nullptr));
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
  std::size_t slot;  // the worker's table slot and statistics block
  RegistrationTable& table;
  const Statistics& statistics;
  PortMapper::Clock clock;
  Arguments args;
  Results results;

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

// Stored texts are shown by tools on terminals: printable ASCII only, and
// no spaces in a netid or an address.
bool IsPrintable(std::string_view text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool IsToken(std::string_view text) {
  return IsPrintable(text) && text.find(' ') == std::string_view::npos;
}

// What a SET may store: not the port mapper itself, a netid and an address
// that are printable tokens, a printable owner, and for an inet netid an
// address of its family.
bool IsStorable(const Registration& r) {
  std::string_view netid = r.netid.view();
  std::string_view uaddr = r.uaddr.view();
  if (r.prog == kPortMapperProgram || netid.empty() || uaddr.empty() ||
      !IsToken(netid) || !IsToken(uaddr) || !IsPrintable(r.owner.view())) {
    return false;
  }
  NetidInfo info = ClassifyNetid(netid);
  InetAddress address;
  return !info.inet ||
         (ParseUniversalAddress(uaddr, &address) && address.v6 == info.v6);
}

bool Register(Call& c, const Registration& r) {
  return IsStorable(r) &&
         c.table.Add(r) == RegistrationTable::AddResult::kAdded;
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
  if (!netid || m.port > 0xFFFF) return;
  InetAddress any;
  any.port = static_cast<std::uint16_t>(m.port);
  char uaddr[kMaxInetUaddr];
  Registration r;
  r.prog = m.prog;
  r.vers = m.vers;
  r.netid.Assign(netid);
  r.uaddr.Assign(std::string_view(uaddr, FormatUniversalAddress(any, uaddr)));
  r.owner.Assign(kUnknownOwner);
  c.results.granted = Register(c, r);
}

void UnsetMapping(Call& c) {
  // Version 2 knows no netids: its mapping goes for both protocols, and
  // the call counts as one UNSET. Protocol and port are ignored.
  const Mapping& m = c.args.mapping;
  c.results.granted = c.table.Remove(m.prog, m.vers, {"udp", "tcp"}) > 0;
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
  c.results.granted = r.netid.Assign(a.netid) && r.uaddr.Assign(a.uaddr) &&
                      r.owner.Assign(a.owner) && Register(c, r);
}

void UnsetRegistration(Call& c) {
  const RpcbArgs& a = c.args.rpcb;
  c.results.granted = c.table.Remove(a.prog, a.vers, a.netid) > 0;
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

// A procedure of a version. Rows that are not offered have no decoder,
// handler or encoder: admission never lets their calls that far.
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
    {2, kUnset, K::kChange, C::kUnset, ReadMapping, UnsetMapping,
     WriteGranted},
    {2, kGetAddr, K::kLookup, C::kLookup, ReadMapping, GetPort, WriteNumber},
    {2, kDump, K::kListing, C::kCall, NoArguments, TakeSnapshot,
     WriteMappings},
    {2, kCallIt, K::kBroadcastForward, C::kCall, nullptr, nullptr, nullptr},

    {3, kNull, K::kLookup, C::kCall, NoArguments, Nothing, NoResults},
    {3, kSet, K::kChange, C::kSet, ReadRpcb, SetRegistration, WriteGranted},
    {3, kUnset, K::kChange, C::kUnset, ReadRpcb, UnsetRegistration,
     WriteGranted},
    {3, kGetAddr, K::kLookup, C::kLookup, ReadRpcb, GetAddr, WriteUaddr},
    {3, kDump, K::kListing, C::kCall, NoArguments, TakeSnapshot,
     WriteRegistrations},
    {3, kCallIt, K::kBroadcastForward, C::kCall, nullptr, nullptr, nullptr},
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
    {4, kCallIt, K::kBroadcastForward, C::kCall, nullptr, nullptr, nullptr},
    {4, kGetTime, K::kLookup, C::kCall, NoArguments, GetTime, WriteNumber},
    {4, kUaddr2Taddr, K::kLookup, C::kCall, ReadUaddr, Uaddr2Taddr,
     WriteNetbuf},
    {4, kTaddr2Uaddr, K::kLookup, C::kCall, ReadNetbuf, Taddr2Uaddr,
     WriteUaddr},
    {4, kGetVersAddr, K::kLookup, C::kLookup, ReadRpcb, GetVersAddr,
     WriteUaddr},
    {4, kIndirect, K::kForward, C::kCall, nullptr, nullptr, nullptr},
    {4, kGetAddrList, K::kListing, C::kCall, ReadRpcb, TakeSnapshot,
     WriteAddressList},
    {4, kGetStat, K::kListing, C::kCall, NoArguments, Nothing,
     WriteStatistics},
};

const Row* FindRow(std::uint32_t vers, std::uint32_t proc) {
  for (const Row& row : kRows) {
    if (row.vers == vers && row.proc == proc) return &row;
  }
  return nullptr;
}

}  // namespace

PortMapper::PortMapper(std::size_t capacity, Clock clock)
    : table_(capacity), clock_(clock ? clock : SystemClock) {}

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
    XdrReader in(call, size);
    XdrWriter out(reply, limit);
    outcome = Answer(worker.slot_, caller, in, &header, out);
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
                               XdrReader& in, CallHeader* header,
                               XdrWriter& out) {
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
  return Dispatch(slot, caller, *header, in, out);
}

CallOutcome PortMapper::Dispatch(std::size_t slot, const Caller& caller,
                                 const CallHeader& header, XdrReader& args,
                                 XdrWriter& out) {
  if (header.prog != kPortMapperProgram) {
    WriteAcceptedReply(out, header.xid, AcceptStat::kProgUnavail);
    return CallOutcome::kReply;
  }
  if (header.vers < kLowestVersion || header.vers > kHighestVersion) {
    WriteProgMismatch(out, header.xid, kLowestVersion, kHighestVersion);
    return CallOutcome::kReply;
  }
  const Row* row = FindRow(header.vers, header.proc);
  if (!row) {
    WriteAcceptedReply(out, header.xid, AcceptStat::kProcUnavail);
    return CallOutcome::kReply;
  }
  statistics_.CountCall(slot, header.vers, header.proc);

  Admission admission = Admit(row->kind, caller);
  if (admission == Admission::kSilent) return CallOutcome::kSilent;
  if (admission == Admission::kNotOffered) {
    WriteAcceptedReply(out, header.xid, AcceptStat::kProcUnavail);
    return CallOutcome::kReply;
  }
  Call c{caller, slot, table_, statistics_, clock_, {}, {}};
  if (!row->decode(args, &c.args)) {
    WriteAcceptedReply(out, header.xid, AcceptStat::kGarbageArgs);
    return CallOutcome::kReply;
  }
  if (admission == Admission::kAnswer) row->handle(c);

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
