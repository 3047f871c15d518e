// What the port mapper records for an administrator: every SET and UNSET,
// granted or refused, changes of the table that could not be stored,
// callers refused, registrations dropped, damaged storage, and how many
// records a burst left out. Each record is data handed to a sink the
// Windows program gives, which maps its kind to an event id and a
// message. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "caller.h"

namespace tessard {

enum class RecordKind {
  kSetNotStored,    // SET answered false: the store did not keep it
  kUnsetNotStored,  // UNSET answered false: a removal was not kept
  kDropNotStored,   // a dead registration stays until the next sample
  kUnsetRefused,    // UNSET of a registration the caller does not own
  kDropped,         // a registration whose port has no socket bound went
  kStorageDamaged,  // a stored value kept aside: valueName, problem
  kSetGranted,      // a registration made
  kSetExists,       // SET refused: the program, version and netid are taken
  kSetNotLocal,     // SET refused: the caller is on another machine
  kSetTableFull,    // SET refused: the table is full
  kSetInvalid,      // SET refused: its arguments break a rule (problem)
  kUnsetGranted,    // a registration removed by an UNSET, one record each
  kUnsetNotLocal,   // UNSET refused: the caller is on another machine
  kOutsideLookups,  // a call or connection from outside RemoteLookups
  kForwardRefused,  // CALLIT, BCAST or INDIRECT not offered (TCP, or
                    // RemoteCalls 0): prog and vers of the call to
                    // forward, when it decoded
  // A remote call not forwarded: prog and vers of the call to forward.
  kForwardNotRegistered,  // no registration on the call's netid
  kForwardNotReachable,   // registered where the caller could not reach it
  kForwardRefusedProgram,  // a program on the refused list (problem: why)
  kForwardCredential,     // a credential other than AUTH_NONE and AUTH_SYS
  kForwardTooMany,        // every place of the table of forwards is taken
  kListingRefused,  // DUMP, GETADDRLIST or GETSTAT kept by RemoteListings
  kLeftOut,         // leftOut records of kind leftOutKind were not written
};
constexpr std::size_t kRecordKinds =
    static_cast<std::size_t>(RecordKind::kLeftOut) + 1;

struct Record {
  RecordKind kind;
  // The registration, or the call's arguments: netid and uaddr of a
  // refused call are as the caller sent them (up to 1024 bytes of
  // anything): write them through RecordText.
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::string_view netid = {};
  std::string_view uaddr = {};
  // The caller, when a call led to the record; for a local caller its
  // identity when found (account, program, process).
  const Caller* caller = nullptr;
  const Identity* identity = nullptr;
  // A refused call: the port mapper's version and procedure called.
  std::uint32_t mapperVersion = 0;
  std::uint32_t procedure = 0;
  // A stored value, and what is wrong with it; or what is wrong with a
  // SET's arguments.
  std::string_view valueName = {};
  std::string_view problem = {};
  // kLeftOut: how many records of which kind.
  RecordKind leftOutKind = RecordKind::kLeftOut;
  std::uint64_t leftOut = 0;
};

// A text of a record as the event log may show it: printable ASCII, the
// other bytes and '%' written as %XX, at most 128 bytes of the text (then
// "...").
std::string RecordText(std::string_view text);

// Takes records; called outside every lock of the table, from any serving
// thread. Write must not throw.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void Write(const Record& record) = 0;
};

// The call that led to a record.
struct RecordedCall {
  const Caller* caller = nullptr;
  const Identity* identity = nullptr;  // a local caller's, once asked
  std::uint32_t mapperVersion = 0;     // 0: no call header was read
  std::uint32_t procedure = 0;
};

// Makes a record of a registration or of a call's arguments, led to by
// `call` when one did, with what is wrong (`problem`; for a stored value,
// also its name), and hands it to the sink, if there is one.
inline void WriteRecord(RecordSink* sink, RecordKind kind, std::uint32_t prog,
                        std::uint32_t vers, std::string_view netid,
                        std::string_view uaddr, const RecordedCall& call = {},
                        std::string_view problem = {},
                        std::string_view valueName = {}) {
  if (!sink) return;
  Record record{kind};
  record.prog = prog;
  record.vers = vers;
  record.netid = netid;
  record.uaddr = uaddr;
  record.caller = call.caller;
  record.identity = call.identity;
  record.mapperVersion = call.mapperVersion;
  record.procedure = call.procedure;
  record.problem = problem;
  record.valueName = valueName;
  sink->Write(record);
}

}  // namespace tessard
