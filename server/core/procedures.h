// The procedures of the port mapper and rpcbind protocols, as one table
// (procedures.cpp): a row per procedure, for the versions that have it
// alike, gives its name, its kind (which decides who may call it:
// admission.h), how its arguments decode, which handler serves it, how its
// results encode and what GETSTAT counts of it. A procedure a version
// lacks has no row. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "admission.h"
#include "port_mapper.h"
#include "rpc_message.h"

namespace tessard {

struct Procedure;  // a row of the table

// The row of a procedure of program 100000, or nullptr.
const Procedure* FindProcedure(std::uint32_t vers, std::uint32_t proc);
ProcedureKind KindOf(const Procedure& procedure);
// Its name as the protocols write it (GETPORT, BCAST, ...), or nullptr
// when the version lacks the procedure.
const char* ProcedureName(std::uint32_t vers, std::uint32_t proc);

// One call as the envelope hands it to its procedure.
struct CallContext {
  const Caller& caller;
  const CallHeader& header;
  const CallAdmission& admission;
  std::size_t slot;  // the reader slot: the table's, and a statistics block
  RegistrationTable& table;
  Statistics& statistics;
  PortMapper::Clock clock;
  PortMapper::Ticks ticks;
  RecordSink* records;
  // Remote calls: the forwards in flight, and where the envelope is told
  // to send a forward (nullptr: the caller gives nowhere, and nothing is
  // forwarded).
  ForwardTable& forwards;
  InetAddress* forwardTo;
};

// Serves an admitted call of a procedure that is offered: decodes its
// arguments (GARBAGE_ARGS when they do not), handles it, counts it for
// GETSTAT and writes the reply with its results.
void Serve(const Procedure& procedure, const CallContext& call, XdrReader& args,
           XdrWriter& out);

// Forwards an admitted remote call (remote_calls.h) or records why not:
// kForward with the forwarded call written and *call.forwardTo set,
// kSilent, or for INDIRECT an error reply (kReply).
CallOutcome ForwardRemoteCall(const CallContext& call, XdrReader& args,
                              XdrWriter& out);

}  // namespace tessard
