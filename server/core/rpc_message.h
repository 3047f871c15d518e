// ONC RPC version 2 messages as the port mapper meets them: the call header
// with its credentials, and the replies it sends (accepted, or denied for
// the RPC version or the authentication). Free of Windows headers.
#pragma once

#include <cstdint>
#include <string_view>

#include "xdr.h"

namespace tessard {

constexpr std::uint32_t kRpcVersion = 2;
constexpr std::uint32_t kMsgCall = 0;
constexpr std::uint32_t kMsgReply = 1;
constexpr std::uint32_t kMsgAccepted = 0;
constexpr std::uint32_t kMsgDenied = 1;

// Authentication flavours and the largest body the protocol allows.
constexpr std::uint32_t kAuthNone = 0;
constexpr std::uint32_t kAuthSys = 1;
constexpr std::size_t kMaxAuthBody = 400;

enum class AcceptStat : std::uint32_t {
  kSuccess = 0,
  kProgUnavail = 1,
  kProgMismatch = 2,
  kProcUnavail = 3,
  kGarbageArgs = 4,
  kSystemErr = 5,
};

enum class RejectStat : std::uint32_t { kRpcMismatch = 0, kAuthError = 1 };

enum class AuthStat : std::uint32_t {
  kBadCred = 1,
  kRejectedCred = 2,
  kBadVerf = 3,
  kTooWeak = 5,
};

struct OpaqueAuth {
  std::uint32_t flavor = kAuthNone;
  Bytes body;
};

struct CallHeader {
  std::uint32_t xid = 0;
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::uint32_t proc = 0;
  OpaqueAuth cred;
  OpaqueAuth verf;
};

// What reading a call header found.
enum class HeaderOutcome {
  kCall,            // a call we may serve; the reader is at the arguments
  kNotACall,        // a reply, or no message type we know: never answered
  kTruncated,       // the message ends inside the header: dropped
  kRpcMismatch,     // another RPC version: answered with the range we speak
  kBadCredential,   // a malformed credential: answered
  kBadVerifier,     // a verifier body over the bound: answered
  kRejectedFlavor,  // a flavour other than none and sys: answered
};

// Reads the call header: transaction id, message type, RPC version, program,
// version, procedure, credential and verifier. The xid is set whenever the
// message is long enough to hold one.
HeaderOutcome ReadCallHeader(XdrReader& in, CallHeader* call);

// Replies. Each writes a whole reply message but for the results, which an
// accepted, successful reply's caller appends.
void WriteAcceptedReply(XdrWriter& out, std::uint32_t xid, AcceptStat stat);
// PROG_MISMATCH with the range of versions served.
void WriteProgMismatch(XdrWriter& out, std::uint32_t xid, std::uint32_t low,
                       std::uint32_t high);
void WriteRpcMismatch(XdrWriter& out, std::uint32_t xid);
void WriteAuthError(XdrWriter& out, std::uint32_t xid, AuthStat stat);

}  // namespace tessard
