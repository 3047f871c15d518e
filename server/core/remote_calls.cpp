// Remote calls: the refused list, the choice of a registration, the
// forwarded call, the table of forwards in flight and the caller's reply.
#include "remote_calls.h"

#include "procedures.h"

namespace tessard {
namespace {

// The arguments of a forwarded call fit in the call that carried them.
constexpr std::size_t kMaxForwardedArgs = 8192;

// A reply as RFC 5531 lays it out, with a verifier of our own (none): the
// program's verifier answers its caller's credential, and we are not it.
void WriteDenied(XdrWriter& out, std::uint32_t xid, const ProgramReply& r) {
  if (r.reject == RejectStat::kAuthError) {
    WriteAuthError(out, xid, r.authStat);
  } else {
    WriteRpcMismatch(out, xid);
  }
}

// The refused list: a program, the procedures of it refused, and why.
struct RefusedProgram {
  std::uint32_t prog;
  enum class Procedures { kAll, kOnly, kAllBut } which;
  std::uint32_t procs[2];  // kOnly, kAllBut: these procedures
  std::size_t procCount;
  const char* why;
};
using P = RefusedProgram::Procedures;

const RefusedProgram kRefusedPrograms[] = {
    {kPortMapperProgram, P::kAll, {}, 0,
     "a call through us to ourselves only loops"},
    // NFS
    {100003, P::kAll, {}, 0,
     "its servers may trust the address a call comes from: through us a "
     "caller would reach files as this machine"},
    // MOUNT's MNT
    {100005, P::kOnly, {1}, 1,
     "a mount from this machine may be allowed where the caller's is not"},
    // NIS, but for DOMAIN and DOMAIN_NONACK
    {100004, P::kAllBut, {1, 2}, 2,
     "its maps (password entries among them) may be served to this "
     "machine and not to the caller; the domain checks say only whether a "
     "domain is served, which broadcast binding asks"},
    // YPPASSWD
    {100009, P::kAll, {}, 0,
     "changes passwords, and may trust a call from this machine"},
    // YPBIND's SETDOM
    {100007, P::kOnly, {2}, 1,
     "would let the caller choose this machine's NIS server"},
};

}  // namespace

const char* RefusedForward(std::uint32_t prog, std::uint32_t proc) {
  for (const RefusedProgram& p : kRefusedPrograms) {
    if (p.prog != prog) continue;
    bool listed = false;
    for (std::size_t i = 0; i < p.procCount; ++i) listed |= p.procs[i] == proc;
    if (p.which == P::kAll || (p.which == P::kOnly) == listed) return p.why;
  }
  return nullptr;
}

bool ReadRemoteCallArgs(XdrReader& in, RemoteCallArgs* a) {
  a->prog = in.U32();
  a->vers = in.U32();
  a->proc = in.U32();
  a->args = in.Opaque(kMaxForwardedArgs);
  // XDR data comes in whole units of four bytes.
  return in.ok() && a->args.size % 4 == 0;
}

ForwardRefusal ChooseForward(const std::vector<Registration>& table,
                             const RemoteCallArgs& args, const Caller& caller,
                             const InetAddress& receivedOn,
                             ForwardTarget* target) {
  const Registration* found = nullptr;
  for (const Registration& r : table) {
    if (r.prog == args.prog && r.vers == args.vers &&
        r.netid.view() == caller.netid) {
      found = &r;
      break;
    }
  }
  if (!found) return ForwardRefusal::kNotRegistered;
  InetAddress registered;
  if (!ParseUniversalAddress(found->uaddr.view(), &registered) ||
      registered.v6 != receivedOn.v6) {
    return ForwardRefusal::kNotReachable;
  }
  InetAddress at = registered;
  if (IsWildcard(registered)) {
    at = receivedOn;
    at.port = registered.port;
  } else if (IsLoopback(registered) ? !caller.local()
                                    : !SameHost(registered, receivedOn)) {
    // A loopback registration is for this machine's programs; any other
    // is reached at its own address only.
    return ForwardRefusal::kNotReachable;
  }
  target->program = at;
  target->shown = at;
  return ForwardRefusal::kNone;
}

bool MayForwardCredential(const OpaqueAuth& credential) {
  return credential.flavor == kAuthNone || credential.flavor == kAuthSys;
}

void WriteForwardedCall(XdrWriter& out, std::uint32_t xid,
                        const OpaqueAuth& credential,
                        const RemoteCallArgs& args) {
  out.U32(xid);
  out.U32(kMsgCall);
  out.U32(kRpcVersion);
  out.U32(args.prog);
  out.U32(args.vers);
  out.U32(args.proc);
  out.U32(credential.flavor);
  out.Opaque(credential.body.data, credential.body.size);
  out.U32(kAuthNone);
  out.U32(0);
  // Already XDR, so whole units: as sent, without a length of its own.
  for (std::size_t i = 0; i < args.args.size; i += 4) {
    out.U32(LoadU32(args.args.data + i));
  }
}

ForwardTable::ForwardTable(std::size_t capacity, std::uint64_t timeoutMs,
                           std::uint64_t seed)
    : places_(capacity), taken_(capacity, false), timeoutMs_(timeoutMs),
      state_(seed) {}

// splitmix64: every seed gives a sequence without short cycles.
std::uint32_t ForwardTable::NextXid() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>(z ^ (z >> 31));
}

bool ForwardTable::Add(PendingForward* forward, std::uint64_t now) {
  std::lock_guard<std::mutex> hold(lock_);
  std::size_t free = places_.size();
  for (std::size_t i = 0; i < places_.size(); ++i) {
    if (taken_[i] && places_[i].deadline <= now) taken_[i] = false;
    if (!taken_[i] && free == places_.size()) free = i;
  }
  if (free == places_.size()) {
    ++dropped_;
    return false;
  }
  std::uint32_t xid;
  bool used;
  do {
    xid = NextXid();
    used = false;
    for (std::size_t i = 0; i < places_.size(); ++i) {
      used |= taken_[i] && places_[i].xid == xid;
    }
  } while (used);
  forward->xid = xid;
  forward->deadline = now + timeoutMs_;
  places_[free] = *forward;
  taken_[free] = true;
  return true;
}

bool ForwardTable::Take(std::uint32_t xid, const InetAddress& from,
                        PendingForward* out) {
  std::lock_guard<std::mutex> hold(lock_);
  for (std::size_t i = 0; i < places_.size(); ++i) {
    const PendingForward& f = places_[i];
    if (taken_[i] && f.xid == xid && SameHost(f.target.program, from) &&
        f.target.program.port == from.port) {
      *out = f;
      taken_[i] = false;
      return true;
    }
  }
  return false;
}

void ForwardTable::Cancel(std::uint32_t xid) {
  std::lock_guard<std::mutex> hold(lock_);
  for (std::size_t i = 0; i < places_.size(); ++i) {
    if (taken_[i] && places_[i].xid == xid) taken_[i] = false;
  }
}

std::size_t ForwardTable::Expire(std::uint64_t now) {
  std::lock_guard<std::mutex> hold(lock_);
  std::size_t freed = 0;
  for (std::size_t i = 0; i < places_.size(); ++i) {
    if (taken_[i] && places_[i].deadline <= now) {
      taken_[i] = false;
      ++freed;
    }
  }
  return freed;
}

std::size_t ForwardTable::inFlight() {
  std::lock_guard<std::mutex> hold(lock_);
  std::size_t count = 0;
  for (bool t : taken_) count += t;
  return count;
}

std::uint64_t ForwardTable::dropped() {
  std::lock_guard<std::mutex> hold(lock_);
  return dropped_;
}

bool ReadProgramReply(const std::uint8_t* data, std::size_t size,
                      ProgramReply* reply) {
  XdrReader in(data, size);
  reply->xid = in.U32();
  if (in.U32() != kMsgReply) return false;
  std::uint32_t state = in.U32();
  if (!in.ok()) return false;
  if (state == kMsgAccepted) {
    reply->accepted = true;
    in.U32();                 // the program's verifier: flavour
    in.Opaque(kMaxAuthBody);  // and body
    std::uint32_t stat = in.U32();
    if (!in.ok() || stat > static_cast<std::uint32_t>(AcceptStat::kSystemErr)) {
      return false;
    }
    reply->stat = static_cast<AcceptStat>(stat);
    if (reply->stat == AcceptStat::kProgMismatch) {
      reply->low = in.U32();
      reply->high = in.U32();
    } else if (reply->stat == AcceptStat::kSuccess) {
      reply->results = in.Fixed(in.remaining());
    }
    return in.ok();
  }
  if (state != kMsgDenied) return false;
  reply->accepted = false;
  std::uint32_t reject = in.U32();
  if (reject == static_cast<std::uint32_t>(RejectStat::kRpcMismatch)) {
    reply->reject = RejectStat::kRpcMismatch;
    reply->low = in.U32();
    reply->high = in.U32();
  } else if (reject == static_cast<std::uint32_t>(RejectStat::kAuthError)) {
    reply->reject = RejectStat::kAuthError;
    reply->authStat = static_cast<AuthStat>(in.U32());
  } else {
    return false;
  }
  return in.ok();
}

ForwardReply WriteForwardReply(std::vector<std::uint8_t>* reply,
                               std::size_t limit, const PendingForward& f,
                               const ProgramReply& r) {
  const std::size_t start = reply->size();
  const bool indirect = f.procedure == kIndirectProcedure;
  const bool success = r.accepted && r.stat == AcceptStat::kSuccess;
  if (!success && !indirect) return ForwardReply::kSilent;
  XdrWriter out(reply, limit);
  if (success) {
    WriteAcceptedReply(out, f.callerXid, AcceptStat::kSuccess);
    if (f.mapperVersion == 2) {
      out.U32(f.target.shown.port);
    } else {
      char uaddr[kMaxInetUaddr];
      out.String(std::string_view(
          uaddr, FormatUniversalAddress(f.target.shown, uaddr)));
    }
    out.Opaque(r.results.data, r.results.size);
  } else if (!r.accepted) {
    WriteDenied(out, f.callerXid, r);
  } else if (r.stat == AcceptStat::kProgMismatch) {
    WriteProgMismatch(out, f.callerXid, r.low, r.high);
  } else {
    WriteAcceptedReply(out, f.callerXid, r.stat);
  }
  if (out.ok() && reply->size() - start <= f.replyBound) {
    return ForwardReply::kSend;
  }
  reply->resize(start);
  if (!indirect) return ForwardReply::kSilent;
  // An INDIRECT caller learns at once that it gets no answer this way:
  // results that no datagram carries are a system error, as for any
  // reply; a reply the size rule holds back is refused as too weak.
  XdrWriter refusal(reply, limit);
  if (!out.ok()) {
    WriteAcceptedReply(refusal, f.callerXid, AcceptStat::kSystemErr);
  } else {
    WriteAuthError(refusal, f.callerXid, AuthStat::kTooWeak);
  }
  return ForwardReply::kSend;
}

CallOutcome ForwardRemoteCall(const CallContext& call, XdrReader& args,
                              XdrWriter& out) {
  const CallHeader& header = call.header;
  const bool broadcast = header.proc == kCallItProcedure;
  RemoteCallArgs a;
  if (!ReadRemoteCallArgs(args, &a)) {
    if (broadcast) return CallOutcome::kSilent;
    WriteAcceptedReply(out, header.xid, AcceptStat::kGarbageArgs);
    return CallOutcome::kReply;
  }
  ForwardRefusal refusal = ForwardRefusal::kNone;
  const char* why = RefusedForward(a.prog, a.proc);
  PendingForward f;
  if (why) {
    refusal = ForwardRefusal::kRefusedProgram;
  } else if (!MayForwardCredential(header.cred)) {
    refusal = ForwardRefusal::kCredential;
  } else {
    RegistrationTable::ReadGuard guard(call.table, call.slot);
    refusal = ChooseForward(guard.snapshot(), a, call.caller,
                            call.caller.receivedOn, &f.target);
  }
  if (refusal == ForwardRefusal::kNone) {
    f.callerXid = header.xid;
    f.mapperVersion = header.vers;
    f.procedure = header.proc;
    f.caller = call.caller.source;
    f.receivedOn = call.caller.receivedOn;
    f.replyBound = call.admission.replyBound;
    if (!call.forwards.Add(&f, call.ticks())) {
      refusal = ForwardRefusal::kTooMany;
    }
  }
  if (refusal == ForwardRefusal::kNone) {
    WriteForwardedCall(out, f.xid, header.cred, a);
    if (out.ok()) {
      *call.forwardTo = f.target.program;
      return CallOutcome::kForward;
    }
    // No larger than the call that carried it: never reached.
    call.forwards.Cancel(f.xid);
    return CallOutcome::kSilent;
  }
  static const RecordKind kKinds[] = {
      RecordKind::kForwardRefused,      RecordKind::kForwardNotRegistered,
      RecordKind::kForwardNotReachable, RecordKind::kForwardRefusedProgram,
      RecordKind::kForwardCredential,   RecordKind::kForwardTooMany};
  WriteRecord(call.records, kKinds[static_cast<int>(refusal)], a.prog, a.vers,
              call.caller.netid, {},
              {&call.caller, nullptr, header.vers, header.proc},
              why ? why : "");
  // A broadcaster hears only from the machines that forward; an INDIRECT
  // caller learns that the program is not there for it, or, with every
  // place taken, nothing, as if the datagram were lost: it asks again.
  if (broadcast || refusal == ForwardRefusal::kTooMany) {
    return CallOutcome::kSilent;
  }
  if (refusal == ForwardRefusal::kCredential) {
    WriteAuthError(out, header.xid, AuthStat::kRejectedCred);
  } else {
    WriteAcceptedReply(out, header.xid, AcceptStat::kProgUnavail);
  }
  return CallOutcome::kReply;
}

}  // namespace tessard
