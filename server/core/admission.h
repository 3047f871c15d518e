// Who may call what. Each procedure is of one kind, and the kind, the
// caller and the administrator's settings decide whether a call (or a new
// TCP connection) is answered, refused, not offered or met with silence,
// and how large a reply to a datagram may be. Every such rule of the port
// mapper is here. Free of Windows headers.
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
  kForward,  // INDIRECT: a remote call through the port mapper, not offered
  kBroadcastForward,  // CALLIT, BCAST: the same, and broadcast to us
  kConnection,        // not a procedure: a TCP connection just accepted
};

enum class Admission {
  kAnswer,      // decode the arguments, handle the call, send the results
  kRefuse,      // decode the arguments, send the results of a refusal
                // (false) without handling the call
  kNotOffered,  // PROC_UNAVAIL
  kTooWeak,     // MSG_DENIED, AUTH_ERROR AUTH_TOOWEAK: a listing that
                // RemoteListings keeps from other machines
  kSilent,      // send nothing
  kShutOut,     // a caller outside RemoteLookups: nothing at all, silence
                // on a datagram, the connection closed at once on TCP
};

Admission Admit(ProcedureKind kind, const Caller& caller,
                const Settings& settings);

// A caller on this machine as far as the settings go: a local call
// (Caller::local), or a TCP connection from a loopback address to any of
// ours (the handshake proves its source). The settings never refuse one.
bool IsLoopbackCaller(const Caller& caller);

// A reply to another machine's datagram is at most this many times the
// call, and never longer than kMaxRemoteDatagramReply: that answers every
// look-up and gives a forged source address nothing worth reflecting.
constexpr std::size_t kRemoteReplyFactor = 2;
constexpr std::size_t kMaxRemoteDatagramReply = 256;

// Whether a reply of replySize bytes may go back for a call of callSize
// bytes.
bool MayReply(const Caller& caller, std::size_t callSize,
              std::size_t replySize);

}  // namespace tessard
