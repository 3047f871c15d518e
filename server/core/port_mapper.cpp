// The procedures of the port mapper and rpcbind protocols.
//
// What is refused, and why:
// - SET and UNSET change the table only for callers on a loopback address:
//   a registration says where this machine's programs listen, and only
//   this machine can say that.
// - Remote calls through the port mapper (CALLIT, BCAST, INDIRECT) are not
//   offered: they let anyone bounce traffic off this machine. On a datagram
//   CALLIT and BCAST stay silent, as for a program that is not registered;
//   otherwise the answer is PROC_UNAVAIL.
// - A datagram from another machine never gets back more bytes than it
//   brought, and never a DUMP, GETADDRLIST or GETSTAT, whose replies grow
//   with the table: a forged source address cannot turn this server into
//   an amplifier. Over TCP, where the caller's address is proven by the
//   handshake, everything is answered.
#include "port_mapper.h"

#include <ctime>
#include <new>

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

struct RpcbArgs {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::string_view netid;
  std::string_view uaddr;
  std::string_view owner;
};

bool ReadRpcb(XdrReader& in, RpcbArgs* args) {
  args->prog = in.U32();
  args->vers = in.U32();
  args->netid = in.String(kMaxArgumentString);
  args->uaddr = in.String(kMaxArgumentString);
  args->owner = in.String(kMaxArgumentString);
  return in.ok();
}

struct Mapping {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::uint32_t protocol = 0;
  std::uint32_t port = 0;
};

bool ReadMapping(XdrReader& in, Mapping* m) {
  m->prog = in.U32();
  m->vers = in.U32();
  m->protocol = in.U32();
  m->port = in.U32();
  return in.ok();
}

const char* NetidOfProtocol(std::uint32_t protocol) {
  if (protocol == kProtocolTcp) return "tcp";
  if (protocol == kProtocolUdp) return "udp";
  return nullptr;
}

// Stored texts are shown by tools on terminals: printable ASCII only, and
// no spaces in a netid or an address.
bool IsStorable(std::string_view text, bool spaces) {
  for (char c : text) {
    if (c < (spaces ? 0x20 : 0x21) || c > 0x7E) return false;
  }
  return true;
}

// The address to give a caller for a registration: one made on the
// wildcard address is answered with the address the call came to, so that
// a caller on another machine gets an address it can reach.
std::string_view Merged(const Registration& r, const Caller& caller,
                        char (&buffer)[kMaxInetUaddr]) {
  InetAddress address;
  if (!caller.hasLocal || !ClassifyNetid(r.netid.view()).inet ||
      !ParseUniversalAddress(r.uaddr.view(), &address) ||
      !IsWildcard(address) || address.v6 != caller.local.v6) {
    return r.uaddr.view();
  }
  InetAddress merged = caller.local;
  merged.port = address.port;
  return std::string_view(buffer, FormatUniversalAddress(merged, buffer));
}

}  // namespace

struct PortMapper::Request {
  std::size_t slot;  // the worker's table slot and statistics block
  const Caller& caller;
  const CallHeader& header;
  XdrReader& args;
  XdrWriter& out;

  void Success() { WriteAcceptedReply(out, header.xid, AcceptStat::kSuccess); }
  void Fail(AcceptStat stat) { WriteAcceptedReply(out, header.xid, stat); }
  void Garbage() { Fail(AcceptStat::kGarbageArgs); }
  void Bool(bool value) {
    Success();
    out.Bool(value);
  }
};

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
      start + (caller.stream ? kMaxStreamReply : kMaxDatagramReply);
  XdrReader in(call, size);
  XdrWriter out(reply, limit);
  CallHeader header;
  CallOutcome outcome = CallOutcome::kReply;
  switch (ReadCallHeader(in, &header)) {
    case HeaderOutcome::kNotACall:
    case HeaderOutcome::kTruncated:
      return CallOutcome::kMalformed;
    case HeaderOutcome::kRpcMismatch:
      WriteRpcMismatch(out, header.xid);
      break;
    case HeaderOutcome::kBadCredential:
      WriteAuthError(out, header.xid, AuthStat::kBadCred);
      break;
    case HeaderOutcome::kBadVerifier:
      WriteAuthError(out, header.xid, AuthStat::kBadVerf);
      break;
    case HeaderOutcome::kRejectedFlavor:
      WriteAuthError(out, header.xid, AuthStat::kRejectedCred);
      break;
    case HeaderOutcome::kCall: {
      Request request{worker.slot_, caller, header, in, out};
      try {
        outcome = Dispatch(request);
      } catch (const std::bad_alloc&) {
        // Only a change of the table allocates.
        reply->resize(start);
        out = XdrWriter(reply, limit);
        WriteAcceptedReply(out, header.xid, AcceptStat::kSystemErr);
        outcome = CallOutcome::kReply;
      }
      break;
    }
  }
  if (outcome != CallOutcome::kReply) {
    reply->resize(start);
    return outcome;
  }
  if (!out.ok()) {
    // The results do not fit what the transport carries.
    reply->resize(start);
    XdrWriter again(reply, limit);
    WriteAcceptedReply(again, header.xid, AcceptStat::kSystemErr);
  }
  if (!caller.stream && !caller.loopback && reply->size() - start > size) {
    reply->resize(start);
    return CallOutcome::kSilent;
  }
  return CallOutcome::kReply;
}

CallOutcome PortMapper::Dispatch(Request& r) {
  const CallHeader& h = r.header;
  if (h.prog != kPortMapperProgram) {
    r.Fail(AcceptStat::kProgUnavail);
    return CallOutcome::kReply;
  }
  if (h.vers < kLowestVersion || h.vers > kHighestVersion) {
    WriteProgMismatch(r.out, h.xid, kLowestVersion, kHighestVersion);
    return CallOutcome::kReply;
  }
  std::uint32_t highest = h.vers == 2 ? kCallIt
                          : h.vers == 3 ? kTaddr2Uaddr
                                        : kGetStat;
  if (h.proc > highest) {
    r.Fail(AcceptStat::kProcUnavail);
    return CallOutcome::kReply;
  }
  statistics_.CountCall(r.slot, h.vers, h.proc);

  bool datagram = !r.caller.stream;
  bool growsWithTable =
      h.proc == kDump || h.proc == kGetAddrList || h.proc == kGetStat;
  if (datagram && !r.caller.loopback && growsWithTable) {
    return CallOutcome::kSilent;
  }
  if (h.proc == kCallIt || h.proc == kIndirect) {
    if (datagram && h.proc == kCallIt) return CallOutcome::kSilent;
    r.Fail(AcceptStat::kProcUnavail);
    return CallOutcome::kReply;
  }
  if (h.vers == 2) {
    Version2(r);
  } else {
    Version34(r);
  }
  return CallOutcome::kReply;
}

void PortMapper::Version2(Request& r) {
  Mapping m;
  switch (r.header.proc) {
    case kNull:
      r.Success();
      return;
    case kSet: {
      if (!ReadMapping(r.args, &m)) return r.Garbage();
      const char* netid = NetidOfProtocol(m.protocol);
      Registration reg;
      reg.prog = m.prog;
      reg.vers = m.vers;
      bool valid = netid && m.port <= 0xFFFF;
      if (valid) {
        InetAddress any;
        any.port = static_cast<std::uint16_t>(m.port);
        char uaddr[kMaxInetUaddr];
        reg.netid.Assign(netid);
        reg.uaddr.Assign(
            std::string_view(uaddr, FormatUniversalAddress(any, uaddr)));
        reg.owner.Assign(kUnknownOwner);
      }
      r.Bool(valid && Register(r, reg));
      return;
    }
    case kUnset: {
      if (!ReadMapping(r.args, &m)) return r.Garbage();
      // Version 2 knows no netids: its mapping goes for both protocols,
      // and the call counts as one UNSET.
      bool udp = Unset(r, m.prog, m.vers, "udp");
      bool tcp = Unset(r, m.prog, m.vers, "tcp");
      if (udp || tcp) statistics_.CountUnset(r.slot, r.header.vers);
      r.Bool(udp || tcp);
      return;
    }
    case kGetAddr: {
      if (!ReadMapping(r.args, &m)) return r.Garbage();
      const char* netid = NetidOfProtocol(m.protocol);
      std::uint32_t port = 0;
      if (netid) {
        RegistrationTable::ReadGuard guard(table_, r.slot);
        for (const Registration& reg : guard.snapshot()) {
          InetAddress address;
          if (reg.prog == m.prog && reg.vers == m.vers &&
              reg.netid.view() == netid &&
              ParseUniversalAddress(reg.uaddr.view(), &address)) {
            port = address.port;
            break;
          }
        }
        statistics_.CountLookup(r.slot, 2, m.prog, m.vers, netid, port != 0);
      }
      r.Success();
      r.out.U32(port);
      return;
    }
    case kDump: {
      r.Success();
      RegistrationTable::ReadGuard guard(table_, r.slot);
      for (const Registration& reg : guard.snapshot()) {
        NetidInfo info = ClassifyNetid(reg.netid.view());
        InetAddress address;
        if (!info.inet || info.v6 ||
            !ParseUniversalAddress(reg.uaddr.view(), &address)) {
          continue;
        }
        r.out.Bool(true);
        r.out.U32(reg.prog);
        r.out.U32(reg.vers);
        r.out.U32(info.stream ? kProtocolTcp : kProtocolUdp);
        r.out.U32(address.port);
      }
      r.out.Bool(false);
      return;
    }
  }
}

void PortMapper::Version34(Request& r) {
  RpcbArgs a;
  switch (r.header.proc) {
    case kNull:
      r.Success();
      return;
    case kSet: {
      if (!ReadRpcb(r.args, &a)) return r.Garbage();
      Registration reg;
      reg.prog = a.prog;
      reg.vers = a.vers;
      bool fits = reg.netid.Assign(a.netid) && reg.uaddr.Assign(a.uaddr) &&
                  reg.owner.Assign(a.owner);
      r.Bool(fits && Register(r, reg));
      return;
    }
    case kUnset: {
      if (!ReadRpcb(r.args, &a)) return r.Garbage();
      bool removed = Unset(r, a.prog, a.vers, a.netid);
      if (removed) statistics_.CountUnset(r.slot, r.header.vers);
      r.Bool(removed);
      return;
    }
    case kGetAddr:
    case kGetVersAddr:
      return WriteLookup(r, r.header.proc == kGetAddr);
    case kDump:
      return WriteDump(r);
    case kGetTime:
      r.Success();
      r.out.U32(clock_());
      return;
    case kUaddr2Taddr: {
      std::string_view uaddr = r.args.String(kMaxArgumentString);
      if (!r.args.ok()) return r.Garbage();
      InetAddress address;
      std::uint8_t netbuf[kMaxNetbuf];
      std::size_t length = ParseUniversalAddress(uaddr, &address)
                               ? AddressToNetbuf(address, netbuf)
                               : 0;
      r.Success();
      r.out.U32(static_cast<std::uint32_t>(length));  // maxlen
      r.out.Opaque(netbuf, length);
      return;
    }
    case kTaddr2Uaddr: {
      r.args.U32();  // maxlen: the client's buffer, not ours to use
      Bytes netbuf = r.args.Opaque(kMaxArgumentString);
      if (!r.args.ok()) return r.Garbage();
      InetAddress address;
      char uaddr[kMaxInetUaddr];
      std::size_t length = NetbufToAddress(netbuf.data, netbuf.size, &address)
                               ? FormatUniversalAddress(address, uaddr)
                               : 0;
      r.Success();
      r.out.String(std::string_view(uaddr, length));
      return;
    }
    case kGetAddrList:
      return WriteAddressList(r);
    case kGetStat:
      return WriteStatistics(r);
  }
}

bool PortMapper::Register(Request& r, const Registration& reg) {
  std::string_view netid = reg.netid.view();
  std::string_view uaddr = reg.uaddr.view();
  if (!r.caller.loopback || reg.prog == kPortMapperProgram || netid.empty() ||
      uaddr.empty() || !IsStorable(netid, false) ||
      !IsStorable(uaddr, false) || !IsStorable(reg.owner.view(), true)) {
    return false;
  }
  NetidInfo info = ClassifyNetid(netid);
  InetAddress address;
  if (info.inet && (!ParseUniversalAddress(uaddr, &address) ||
                    address.v6 != info.v6)) {
    return false;
  }
  if (table_.Add(reg) != RegistrationTable::AddResult::kAdded) return false;
  statistics_.CountSet(r.slot, r.header.vers);
  return true;
}

bool PortMapper::Unset(Request& r, std::uint32_t prog, std::uint32_t vers,
                       std::string_view netid) {
  return r.caller.loopback && table_.Remove(prog, vers, netid) > 0;
}

void PortMapper::WriteLookup(Request& r, bool anyVersion) {
  RpcbArgs a;
  if (!ReadRpcb(r.args, &a)) return r.Garbage();
  // The netid asked for; the transport's own when the caller names none.
  std::string_view netid = a.netid.empty() ? r.caller.netid : a.netid;
  char merged[kMaxInetUaddr];
  std::string_view uaddr;
  r.Success();
  {
    RegistrationTable::ReadGuard guard(table_, r.slot);
    const Registration* found = nullptr;
    for (const Registration& reg : guard.snapshot()) {
      if (reg.prog != a.prog || reg.netid.view() != netid) continue;
      if (reg.vers == a.vers) {
        found = &reg;
        break;
      }
      // GETADDR may answer with another version of the program: the
      // caller then learns the versions served from the program itself.
      if (anyVersion && !found) found = &reg;
    }
    if (found) uaddr = Merged(*found, r.caller, merged);
    r.out.String(uaddr);
  }
  statistics_.CountLookup(r.slot, r.header.vers, a.prog, a.vers, netid,
                          !uaddr.empty());
}

void PortMapper::WriteDump(Request& r) {
  r.Success();
  RegistrationTable::ReadGuard guard(table_, r.slot);
  for (const Registration& reg : guard.snapshot()) {
    r.out.Bool(true);
    r.out.U32(reg.prog);
    r.out.U32(reg.vers);
    r.out.String(reg.netid.view());
    r.out.String(reg.uaddr.view());
    r.out.String(reg.owner.view());
  }
  r.out.Bool(false);
}

void PortMapper::WriteAddressList(Request& r) {
  RpcbArgs a;
  if (!ReadRpcb(r.args, &a)) return r.Garbage();
  r.Success();
  RegistrationTable::ReadGuard guard(table_, r.slot);
  for (const Registration& reg : guard.snapshot()) {
    if (reg.prog != a.prog || reg.vers != a.vers) continue;
    NetidInfo info = ClassifyNetid(reg.netid.view());
    char merged[kMaxInetUaddr];
    r.out.Bool(true);
    r.out.String(Merged(reg, r.caller, merged));
    r.out.String(reg.netid.view());
    if (info.inet) {
      r.out.U32(info.stream ? kOrderlyConnection : kConnectionless);
      r.out.String(info.v6 ? "inet6" : "inet");
      r.out.String(info.stream ? "tcp" : "udp");
    } else {
      // A netid of another kind of transport: nothing known of it.
      r.out.U32(0);
      r.out.String("-");
      r.out.String("-");
    }
  }
  r.out.Bool(false);
}

void PortMapper::WriteStatistics(Request& r) {
  StatisticsReport report;
  statistics_.Report(&report);
  r.Success();
  for (const VersionReport& v : report) {
    for (std::uint32_t calls : v.calls) r.out.U32(calls);
    r.out.U32(v.sets);
    r.out.U32(v.unsets);
    for (std::size_t i = 0; i < v.lookupCount; ++i) {
      const LookupCount& l = v.lookups[i];
      r.out.Bool(true);
      r.out.U32(l.prog);
      r.out.U32(l.vers);
      r.out.U32(l.success);
      r.out.U32(l.failure);
      r.out.String(l.netid.view());
    }
    r.out.Bool(false);
    r.out.Bool(false);  // remote calls: none are forwarded
  }
}

}  // namespace tessard
