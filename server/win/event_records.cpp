// The port mapper's records as event log entries.
#include "event_records.h"

#include <string>
#include <vector>

#include "procedures.h"
#include "reporting.h"
#include "tessard_messages.h"

namespace tessard {
namespace {

struct Entry {
  WORD type;
  DWORD id;
  const char* what;  // the kind, as the record of those left out names it
};

Entry EntryOf(RecordKind kind) {
  switch (kind) {
    case RecordKind::kSetNotStored:
      return {EVENTLOG_ERROR_TYPE, MSG_SET_NOT_STORED,
              "registrations that could not be stored"};
    case RecordKind::kUnsetNotStored:
      return {EVENTLOG_ERROR_TYPE, MSG_UNSET_NOT_STORED,
              "removals that could not be stored"};
    case RecordKind::kDropNotStored:
      return {EVENTLOG_ERROR_TYPE, MSG_DROP_NOT_STORED,
              "removals of dead registrations that could not be stored"};
    case RecordKind::kUnsetRefused:
      return {EVENTLOG_WARNING_TYPE, MSG_UNSET_REFUSED_NOT_OWNER,
              "removals refused to a caller that is not the owner"};
    case RecordKind::kDropped:
      return {EVENTLOG_INFORMATION_TYPE, MSG_DROPPED,
              "registrations removed because no socket is bound to their port"};
    case RecordKind::kStorageDamaged:
      return {EVENTLOG_WARNING_TYPE, MSG_STORAGE_DAMAGED,
              "damaged stored registrations set aside"};
    case RecordKind::kSetGranted:
      return {EVENTLOG_INFORMATION_TYPE, MSG_SET_GRANTED, "registrations"};
    case RecordKind::kSetExists:
      return {EVENTLOG_WARNING_TYPE, MSG_SET_EXISTS,
              "registrations refused: registered already"};
    case RecordKind::kSetNotLocal:
      return {EVENTLOG_WARNING_TYPE, MSG_SET_NOT_LOCAL,
              "registrations refused to other machines"};
    case RecordKind::kSetTableFull:
      return {EVENTLOG_WARNING_TYPE, MSG_SET_TABLE_FULL,
              "registrations refused: the table is full"};
    case RecordKind::kSetInvalid:
      return {EVENTLOG_WARNING_TYPE, MSG_SET_INVALID,
              "registrations refused: invalid arguments"};
    case RecordKind::kUnsetGranted:
      return {EVENTLOG_INFORMATION_TYPE, MSG_UNSET_GRANTED, "removals"};
    case RecordKind::kUnsetNotLocal:
      return {EVENTLOG_WARNING_TYPE, MSG_UNSET_NOT_LOCAL,
              "removals refused to other machines"};
    case RecordKind::kOutsideLookups:
      return {EVENTLOG_WARNING_TYPE, MSG_OUTSIDE_LOOKUPS,
              "callers shut out by RemoteLookups"};
    case RecordKind::kForwardRefused:
      return {EVENTLOG_WARNING_TYPE, MSG_FORWARD_REFUSED,
              "remote calls refused"};
    case RecordKind::kForwardNotRegistered:
      return {EVENTLOG_WARNING_TYPE, MSG_FORWARD_NOT_REGISTERED,
              "remote calls to programs not registered"};
    case RecordKind::kForwardNotReachable:
      return {EVENTLOG_WARNING_TYPE, MSG_FORWARD_NOT_REACHABLE,
              "remote calls to programs the caller could not reach"};
    case RecordKind::kForwardRefusedProgram:
      return {EVENTLOG_WARNING_TYPE, MSG_FORWARD_REFUSED_PROGRAM,
              "remote calls to programs never forwarded to"};
    case RecordKind::kForwardCredential:
      return {EVENTLOG_WARNING_TYPE, MSG_FORWARD_CREDENTIAL,
              "remote calls with credentials not forwarded"};
    case RecordKind::kForwardTooMany:
      return {EVENTLOG_WARNING_TYPE, MSG_FORWARD_TOO_MANY,
              "remote calls dropped: too many forwards waiting"};
    case RecordKind::kListingRefused:
      return {EVENTLOG_WARNING_TYPE, MSG_LISTING_REFUSED,
              "listings refused by RemoteListings"};
    case RecordKind::kLeftOut:
      break;
  }
  return {EVENTLOG_WARNING_TYPE, MSG_LEFT_OUT, "records left out"};
}

// The port mapper's procedures by version and number, for the records of
// refused calls.
std::string ProcedureText(std::uint32_t version, std::uint32_t procedure) {
  const char* name = ProcedureName(version, procedure);
  std::string text = name ? name : "procedure " + std::to_string(procedure);
  return text + " of version " + std::to_string(version);
}

}  // namespace

std::string CallerAddressText(const InetAddress& address) {
  return HostAddressText(address) + " port " + std::to_string(address.port);
}

void EventRecords::Write(const Record& record) {
  try {
    const Entry entry = EntryOf(record.kind);
    std::vector<std::string> strings;
    if (record.kind == RecordKind::kStorageDamaged) {
      strings = {RecordText(record.valueName), RecordText(record.problem)};
    } else if (record.kind == RecordKind::kLeftOut) {
      strings = {std::to_string(record.leftOut),
                 EntryOf(record.leftOutKind).what};
    } else {
      strings = {std::to_string(record.prog), std::to_string(record.vers),
                 RecordText(record.netid), RecordText(record.uaddr),
                 record.caller ? CallerAddressText(record.caller->source)
                               : std::string("this server")};
      const bool known = record.identity && record.identity->known;
      // Escaped like every text of a record, though the system gave them.
      strings.push_back(known ? RecordText(record.identity->account)
                              : "unknown");
      strings.push_back(known ? RecordText(record.identity->image)
                              : "unknown");
      std::string detail;
      if (!record.problem.empty()) {
        detail = RecordText(record.problem);
      } else if (record.kind == RecordKind::kOutsideLookups &&
                 record.mapperVersion == 0) {
        // Shut out before any call was read (no version): a datagram goes
        // unanswered, a connection is closed as it is accepted; the
        // caller's transport tells which.
        detail = record.caller && !record.caller->stream()
                     ? "a datagram, not answered"
                     : "a TCP connection, closed at once";
      } else if (record.mapperVersion != 0) {
        detail = ProcedureText(record.mapperVersion, record.procedure);
      }
      strings.push_back(detail);
    }
    ReportEntry(entry.type, entry.id, strings);
  } catch (const std::bad_alloc&) {
    // A record is not worth the server: it goes unwritten.
  }
}

}  // namespace tessard
