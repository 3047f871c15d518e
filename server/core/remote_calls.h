// Remote calls through the port mapper (CALLIT, BCAST, INDIRECT) as data:
// which programs are never forwarded to, which registration a call goes to
// and whether its caller could reach it directly, the call forwarded, the
// bounded table of forwards waiting for their program, and the reply the
// caller gets. Free of Windows headers; the Windows program sends and
// receives the datagrams.
//
// How it is used: a serving thread reads a remote call's arguments
// (ReadRemoteCallArgs), asks ChooseForward, writes the forwarded call
// (WriteForwardedCall) with the xid that ForwardTable::Add gave it and
// sends it from the address the call came to. The thread that receives the
// programs' replies reads each (ReadProgramReply), takes its forward
// (ForwardTable::Take) and writes the caller's reply (WriteForwardReply).
// Expire frees forwards whose program never answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "caller.h"
#include "registration.h"
#include "rpc_message.h"
#include "universal_address.h"
#include "xdr.h"

namespace tessard {

// Forwards waiting for their program at once; more are dropped, counted.
constexpr std::size_t kMaxForwards = 64;
// How long a forward waits for its program's reply.
constexpr std::uint64_t kForwardTimeoutMs = 3000;

// The procedure numbers of the remote calls: CALLIT in versions 2 and 3,
// BCAST in version 4 (the same number), INDIRECT in version 4.
constexpr std::uint32_t kCallItProcedure = 5;
constexpr std::uint32_t kIndirectProcedure = 10;

// The arguments of CALLIT, BCAST and INDIRECT, the same in every version:
// the program, version and procedure to call and its arguments, already
// in XDR.
struct RemoteCallArgs {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::uint32_t proc = 0;
  Bytes args;  // a view into the call
};
// False for arguments that do not decode, or that are not whole XDR units.
bool ReadRemoteCallArgs(XdrReader& in, RemoteCallArgs* args);

// Why a call of this program and procedure is never forwarded, or nullptr
// when it may be: the port mapper itself, and the programs whose servers
// take a call from this machine as trusted, so that a call forwarded by us
// would act with more rights than its caller has. The list is data in
// remote_calls.cpp; docs/server.md shows it.
const char* RefusedForward(std::uint32_t prog, std::uint32_t proc);

// Why a remote call is not forwarded. Each is a record of its own kind.
enum class ForwardRefusal {
  kNone,            // forwarded
  kNotRegistered,   // no registration of the program and version on the
                    // call's netid
  kNotReachable,    // registered where the caller could not reach it
  kRefusedProgram,  // on the refused list
  kCredential,      // a credential other than AUTH_NONE and AUTH_SYS
  kTooMany,         // every place of the forward table is taken
};

// Where a forward goes, and what the caller is told of it.
struct ForwardTarget {
  InetAddress program;  // where the call is sent, and its reply comes from
  InetAddress shown;    // the program's address as the caller may reach it
};

// Chooses the registration a remote call goes to: of its program and
// version on the netid the call came on, registered on the wildcard
// address or on `receivedOn`, or on a loopback address for a local caller
// alone. `receivedOn` is the address of this machine the call came to:
// its destination, or for a broadcast or multicast one the address of the
// interface it came on. A registration on the wildcard address is sent to
// and shown as `receivedOn` with its port.
ForwardRefusal ChooseForward(const std::vector<Registration>& table,
                             const RemoteCallArgs& args, const Caller& caller,
                             const InetAddress& receivedOn,
                             ForwardTarget* target);

// Whether a caller's credential may go with its call: AUTH_NONE and
// AUTH_SYS are forwarded as sent; any other flavour binds to the caller
// and its server, not to us.
bool MayForwardCredential(const OpaqueAuth& credential);

// The call sent to the program: our xid, RPC version 2, the program,
// version and procedure asked for, the caller's credential as sent,
// verifier AUTH_NONE, the arguments as sent.
void WriteForwardedCall(XdrWriter& out, std::uint32_t xid,
                        const OpaqueAuth& credential,
                        const RemoteCallArgs& args);

// A forward waiting for its program's reply.
struct PendingForward {
  std::uint32_t xid = 0;        // ours, set by ForwardTable::Add
  std::uint64_t deadline = 0;   // set by ForwardTable::Add
  std::uint32_t callerXid = 0;
  std::uint32_t mapperVersion = 0;  // 2, 3 or 4
  std::uint32_t procedure = 0;      // kCallItProcedure or kIndirectProcedure
  InetAddress caller;               // where the reply goes
  InetAddress receivedOn;           // where it leaves from
  ForwardTarget target;
  // The longest reply the caller may get, by the rule every reply obeys
  // (admission.h): for another machine's datagram at most twice its call
  // and 256 bytes.
  std::size_t replyBound = 0;
};

// The forwards in flight: a fixed number of places, each freed by its
// reply or at its deadline. Any thread; one short lock per operation,
// never held while sending.
class ForwardTable {
 public:
  // `seed` starts the sequence of our xids (the Windows program gives a
  // value that differs from start to start, so that a reply cannot be
  // guessed from an earlier run).
  explicit ForwardTable(std::size_t capacity = kMaxForwards,
                        std::uint64_t timeoutMs = kForwardTimeoutMs,
                        std::uint64_t seed = 0);

  // Takes a place for *forward, giving it an xid that no forward in
  // flight has and its deadline; places past their deadline are freed
  // first. False when every place is taken: the forward is dropped and
  // counted.
  bool Add(PendingForward* forward, std::uint64_t now);
  // The forward that a reply with `xid` from `from` answers, which leaves
  // the table: the same xid, from the program's address and port. False
  // for a reply that answers none (late, stray or forged).
  bool Take(std::uint32_t xid, const InetAddress& from, PendingForward* out);
  // Frees the place of a forward that could not be sent.
  void Cancel(std::uint32_t xid);
  // Frees the places past their deadline; how many.
  std::size_t Expire(std::uint64_t now);

  std::size_t inFlight();
  std::uint64_t dropped();

 private:
  std::uint32_t NextXid();

  std::mutex lock_;
  std::vector<PendingForward> places_;
  std::vector<bool> taken_;
  std::uint64_t timeoutMs_;
  std::uint64_t state_;
  std::uint64_t dropped_ = 0;
};

// A program's reply to a forwarded call, as far as the caller's reply
// needs it.
struct ProgramReply {
  std::uint32_t xid = 0;
  bool accepted = false;
  AcceptStat stat = AcceptStat::kSuccess;  // accepted
  std::uint32_t low = 0, high = 0;         // PROG_MISMATCH
  RejectStat reject = RejectStat::kRpcMismatch;  // denied
  AuthStat authStat = AuthStat::kBadCred;        // denied, AUTH_ERROR
  Bytes results;  // accepted, SUCCESS: a view into the reply
};
// False for a datagram that is no reply we can read.
bool ReadProgramReply(const std::uint8_t* data, std::size_t size,
                      ProgramReply* reply);

enum class ForwardReply {
  kSend,    // send what was written
  kSilent,  // send nothing
};
// Writes the caller's reply to a forward its program answered: on success
// the program's address (version 2: its port) and its results; CALLIT and
// BCAST are silent otherwise, INDIRECT gets the program's error. A reply
// over the size rule is not sent, but an INDIRECT caller is told at once
// with AUTH_TOOWEAK, which is never larger than its call.
// Appends to *reply, never past `limit` bytes in all.
ForwardReply WriteForwardReply(std::vector<std::uint8_t>* reply,
                               std::size_t limit,
                               const PendingForward& forward,
                               const ProgramReply& programReply);

}  // namespace tessard
