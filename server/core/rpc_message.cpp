// Reading call headers and writing replies.
#include "rpc_message.h"

namespace tessard {
namespace {

// Whether an AUTH_SYS body is well formed: stamp, machine name of at most
// 255 bytes, uid, gid and at most 16 further group ids, exactly filling
// the credential's body. No field is used: a caller is known by its
// address and, on this machine, by its socket's owner (caller.h).
bool IsAuthSys(Bytes body) {
  XdrReader in(body.data, body.size);
  in.U32();
  in.String(255);
  in.U32();
  in.U32();
  std::uint32_t groups = in.U32();
  if (groups > 16) return false;
  in.Fixed(std::size_t{groups} * 4);
  return in.ok() && in.remaining() == 0;
}

enum class AuthRead { kOk, kTruncated, kTooLong };

// A credential or verifier: a flavour and a body of at most 400 bytes.
AuthRead ReadOpaqueAuth(XdrReader& in, OpaqueAuth* auth) {
  auth->flavor = in.U32();
  std::uint32_t length = in.U32();
  if (!in.ok()) return AuthRead::kTruncated;
  if (length > kMaxAuthBody) return AuthRead::kTooLong;
  auth->body = in.Fixed(length);
  return in.ok() ? AuthRead::kOk : AuthRead::kTruncated;
}

void WriteReplyStart(XdrWriter& out, std::uint32_t xid, std::uint32_t state) {
  out.U32(xid);
  out.U32(kMsgReply);
  out.U32(state);
}

}  // namespace

HeaderOutcome ReadCallHeader(XdrReader& in, CallHeader* call) {
  call->xid = in.U32();
  std::uint32_t type = in.U32();
  if (!in.ok()) return HeaderOutcome::kTruncated;
  if (type != kMsgCall) return HeaderOutcome::kNotACall;
  std::uint32_t rpcvers = in.U32();
  if (!in.ok()) return HeaderOutcome::kTruncated;
  // Another RPC version may lay out the rest differently: answer from here.
  if (rpcvers != kRpcVersion) return HeaderOutcome::kRpcMismatch;
  call->prog = in.U32();
  call->vers = in.U32();
  call->proc = in.U32();

  switch (ReadOpaqueAuth(in, &call->cred)) {
    case AuthRead::kTruncated:
      return HeaderOutcome::kTruncated;
    case AuthRead::kTooLong:
      return HeaderOutcome::kBadCredential;
    case AuthRead::kOk:
      break;
  }
  switch (ReadOpaqueAuth(in, &call->verf)) {
    case AuthRead::kTruncated:
      return HeaderOutcome::kTruncated;
    case AuthRead::kTooLong:
      return HeaderOutcome::kBadVerifier;
    case AuthRead::kOk:
      break;
  }

  if (call->cred.flavor == kAuthSys) {
    if (!IsAuthSys(call->cred.body)) return HeaderOutcome::kBadCredential;
  } else if (call->cred.flavor != kAuthNone) {
    return HeaderOutcome::kRejectedFlavor;
  }
  return HeaderOutcome::kCall;
}

void WriteAcceptedReply(XdrWriter& out, std::uint32_t xid, AcceptStat stat) {
  WriteReplyStart(out, xid, kMsgAccepted);
  out.U32(kAuthNone);  // our verifier: none, empty
  out.U32(0);
  out.U32(static_cast<std::uint32_t>(stat));
}

void WriteProgMismatch(XdrWriter& out, std::uint32_t xid, std::uint32_t low,
                       std::uint32_t high) {
  WriteAcceptedReply(out, xid, AcceptStat::kProgMismatch);
  out.U32(low);
  out.U32(high);
}

void WriteRpcMismatch(XdrWriter& out, std::uint32_t xid) {
  WriteReplyStart(out, xid, kMsgDenied);
  out.U32(static_cast<std::uint32_t>(RejectStat::kRpcMismatch));
  out.U32(kRpcVersion);
  out.U32(kRpcVersion);
}

void WriteAuthError(XdrWriter& out, std::uint32_t xid, AuthStat stat) {
  WriteReplyStart(out, xid, kMsgDenied);
  out.U32(static_cast<std::uint32_t>(RejectStat::kAuthError));
  out.U32(static_cast<std::uint32_t>(stat));
}

}  // namespace tessard
