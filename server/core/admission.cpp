// The admission rules, and why:
// - A caller outside the administrator's RemoteLookups gets nothing: no
//   reply to reflect on UDP, the connection closed on TCP. Loopback
//   callers are always let in, so that a setting cannot cut this machine's
//   programs off from their port mapper.
// - SET and UNSET change the table only for callers on this machine (a
//   loopback source and a loopback destination: IsLocalCall): a
//   registration says where this machine's programs listen, and only this
//   machine can say that. Others get false.
// - Remote calls through the port mapper (CALLIT, BCAST, INDIRECT) are
//   forwarded on datagrams, where broadcasts come, unless RemoteCalls
//   is 0; remote_calls.h says where to, and the reply obeys the size rule
//   below, so a forward never amplifies. Not offered, CALLIT and BCAST
//   stay silent on a datagram, as for a program that is not registered (a
//   broadcaster hears from the machines that do forward); otherwise the
//   answer is PROC_UNAVAIL.
// - A datagram from another machine never gets a DUMP, GETADDRLIST or
//   GETSTAT, whose replies grow with the table: it is refused at once with
//   AUTH_TOOWEAK, so that the client asks over TCP instead of waiting. Any
//   other reply is at most twice the call and 256 bytes: a forged source
//   address cannot turn this server into an amplifier, and a GETADDR
//   answered with a long IPv6 address still gets its answer. Over TCP,
//   where the handshake
//   proves the caller's address, everything is answered, but for listings
//   when RemoteListings keeps them to this machine: those are refused with
//   AUTH_TOOWEAK, which says the caller is refused, where PROC_UNAVAIL
//   would say the server lacks the procedure. Never an empty list: that
//   would say the table is empty.
#include "admission.h"

#include <algorithm>
#include <limits>

namespace tessard {
namespace {

// A caller on this machine as far as the settings go: a local call
// (Caller::local), or a TCP connection from a loopback address to any of
// ours (the handshake proves its source).
bool IsLoopbackCaller(const Caller& caller) {
  return caller.local() || (caller.stream() && IsLoopback(caller.source));
}

}  // namespace

bool LetsIn(const Caller& caller, const Settings& settings) {
  return IsLoopbackCaller(caller) || InRemoteLookups(settings, caller.source);
}

std::size_t ReplyBound(const Caller& caller, std::size_t callSize) {
  if (caller.stream() || caller.local()) {
    return std::numeric_limits<std::size_t>::max();
  }
  return std::min(kRemoteReplyFactor * callSize, kMaxRemoteDatagramReply);
}

CallAdmission AdmitCall(ProcedureKind kind, const Caller& caller,
                        const Settings& settings, std::size_t callSize) {
  using Verdict = CallAdmission::Verdict;
  CallAdmission admission;
  admission.mayChange = kind == ProcedureKind::kChange && caller.local();
  admission.replyBound = ReplyBound(caller, callSize);
  Verdict& verdict = admission.verdict;
  if (!LetsIn(caller, settings)) {
    verdict = Verdict::kShutOut;
    return admission;
  }
  switch (kind) {
    case ProcedureKind::kLookup:
    case ProcedureKind::kChange:
    case ProcedureKind::kNone:
      break;
    case ProcedureKind::kListing:
      if (!caller.stream() && !caller.local()) {
        verdict = Verdict::kTooWeak;
      } else if (!IsLoopbackCaller(caller) && !settings.remoteListings) {
        verdict = Verdict::kTooWeak;
      }
      break;
    case ProcedureKind::kForward:
    case ProcedureKind::kBroadcastForward:
      if (!caller.stream() && settings.remoteCalls) {
        verdict = Verdict::kForward;
      } else if (kind == ProcedureKind::kBroadcastForward &&
                 !caller.stream()) {
        verdict = Verdict::kSilent;
      } else {
        verdict = Verdict::kNotOffered;
      }
      break;
  }
  return admission;
}

}  // namespace tessard
