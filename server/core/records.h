// What the port mapper records for an administrator: changes of the table
// that could not be stored, refusals, registrations dropped, damaged
// storage. Each record is data handed to a sink the Windows program gives,
// which maps its kind to an event id and a message. Free of Windows
// headers.
#pragma once

#include <cstdint>
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
};

struct Record {
  RecordKind kind;
  // The registration, or the call's arguments.
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::string_view netid = {};
  std::string_view uaddr = {};
  // The caller, when a call led to the record; for a local caller its
  // identity when found (account, program, process).
  const Caller* caller = nullptr;
  const Identity* identity = nullptr;
  // A stored value, and what is wrong with it.
  std::string_view valueName = {};
  std::string_view problem = {};
};

// Takes records; called outside every lock of the table, from any serving
// thread.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void Write(const Record& record) = 0;
};

}  // namespace tessard
