// The admission rules, and why:
// - A caller outside the administrator's RemoteLookups gets nothing: no
//   reply to reflect on UDP, the connection closed on TCP. Loopback
//   callers are always let in, so that a setting cannot cut this machine's
//   programs off from their port mapper.
// - SET and UNSET change the table only for callers on this machine (a
//   loopback source and a loopback destination: IsLocalCall): a
//   registration says where this machine's programs listen, and only this
//   machine can say that. Others get false.
// - Remote calls through the port mapper (CALLIT, BCAST, INDIRECT) are not
//   offered: they let anyone bounce traffic off this machine. On a
//   datagram CALLIT and BCAST stay silent, as for a program that is not
//   registered (a broadcaster hears from the machines that do forward);
//   otherwise the answer is PROC_UNAVAIL.
// - A datagram from another machine never gets a DUMP, GETADDRLIST or
//   GETSTAT, whose replies grow with the table, and any other reply is at
//   most twice the call and 256 bytes: a forged source address cannot
//   turn this server into an amplifier, and a GETADDR answered with a long
//   IPv6 address still gets its answer. Over TCP, where the handshake
//   proves the caller's address, everything is answered, but for listings
//   when RemoteListings keeps them to this machine: those are refused with
//   AUTH_TOOWEAK, which says the caller is refused, where PROC_UNAVAIL
//   would say the server lacks the procedure. Never an empty list: that
//   would say the table is empty.
#include "admission.h"

namespace tessard {

bool IsLoopbackCaller(const Caller& caller) {
  return caller.local() || (caller.stream() && IsLoopback(caller.source));
}

Admission Admit(ProcedureKind kind, const Caller& caller,
                const Settings& settings) {
  bool local = caller.local();
  bool loopback = IsLoopbackCaller(caller);
  bool remoteDatagram = !caller.stream() && !local;
  if (!loopback && !InRemoteLookups(settings, caller.source)) {
    return Admission::kShutOut;
  }
  switch (kind) {
    case ProcedureKind::kConnection:
    case ProcedureKind::kLookup:
      return Admission::kAnswer;
    case ProcedureKind::kChange:
      return local ? Admission::kAnswer : Admission::kRefuse;
    case ProcedureKind::kListing:
      if (remoteDatagram) return Admission::kSilent;
      return loopback || settings.remoteListings ? Admission::kAnswer
                                                 : Admission::kTooWeak;
    case ProcedureKind::kForward:
      return Admission::kNotOffered;
    case ProcedureKind::kBroadcastForward:
      return caller.stream() ? Admission::kNotOffered : Admission::kSilent;
  }
  return Admission::kNotOffered;
}

bool MayReply(const Caller& caller, std::size_t callSize,
              std::size_t replySize) {
  if (caller.stream() || caller.local()) return true;
  return replySize <= kRemoteReplyFactor * callSize &&
         replySize <= kMaxRemoteDatagramReply;
}

}  // namespace tessard
