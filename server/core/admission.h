// Who may call what, decided once per call: the caller, the
// administrator's settings and the kind of procedure called make one
// value, CallAdmission, that the envelope of the call (call_envelope.cpp),
// the procedures and the reply read. The other rules of who is served live
// beside what they judge: whether a caller is on this machine (caller.h),
// which networks the settings let in (settings.h), and how many TCP
// connections each source may hold (connection_admission.h). Free of
// Windows headers.
#pragma once

#include <cstddef>

#include "caller.h"
#include "settings.h"

namespace tessard {

enum class ProcedureKind {
  kLookup,   // answered to anyone with a reply of bounded size (NULL, the
             // look-ups, the time and the address conversions)
  kChange,   // SET, UNSET: a change of the table, this machine only
  kListing,  // DUMP, GETADDRLIST, GETSTAT: the reply grows with the table
  kForward,  // INDIRECT: a remote call through the port mapper
  kBroadcastForward,  // CALLIT, BCAST: the same, and broadcast to us; silent
                      // unless the program answered
  kNone,  // no procedure of ours: a malformed message, or another program,
          // version or procedure, answered with the error that says so
};

struct CallAdmission {
  enum class Verdict {
    kServe,       // decode the arguments, handle the call, send the results
    kNotOffered,  // PROC_UNAVAIL
    kTooWeak,     // MSG_DENIED, AUTH_ERROR AUTH_TOOWEAK: a listing that
                  // RemoteListings keeps from other machines, or any listing
                  // to another machine's datagram
    kForward,     // decode the remote call and forward it (remote_calls.h)
    kSilent,      // send nothing
    kShutOut,     // a caller outside RemoteLookups: nothing at all, silence
                  // on a datagram, the connection closed at once on TCP
  };
  Verdict verdict = Verdict::kServe;
  // SET and UNSET: whether the call may change the table; a change that
  // may not is answered false, and recorded.
  bool mayChange = false;
  // The longest reply that may go back; a longer one is refused with
  // AUTH_TOOWEAK, never larger than a call, but for CALLIT and BCAST,
  // which stay silent.
  std::size_t replyBound = 0;
};

// A connection let in: whether the settings let a caller in at all.
// Loopback callers always are; others when RemoteLookups holds their
// source.
bool LetsIn(const Caller& caller, const Settings& settings);

// A call let in: what a call of `callSize` bytes to a procedure of `kind`
// may do.
CallAdmission AdmitCall(ProcedureKind kind, const Caller& caller,
                        const Settings& settings, std::size_t callSize);

// A reply allowed out: the longest reply to a call of `callSize` bytes.
// One to another machine's datagram is at most kRemoteReplyFactor times
// the call and never longer than kMaxRemoteDatagramReply: that answers
// every look-up and gives a forged source address nothing worth
// reflecting. Any other is bounded only by what its transport carries.
constexpr std::size_t kRemoteReplyFactor = 2;
constexpr std::size_t kMaxRemoteDatagramReply = 256;
std::size_t ReplyBound(const Caller& caller, std::size_t callSize);

}  // namespace tessard
