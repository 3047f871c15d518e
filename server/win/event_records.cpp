// The port mapper's records as event log entries.
#include "event_records.h"

#include <string>
#include <vector>

#include "notes.h"
#include "tessard_messages.h"

namespace tessard {
namespace {

struct Entry {
  WORD type;
  DWORD id;
};

Entry EntryOf(RecordKind kind) {
  switch (kind) {
    case RecordKind::kSetNotStored:
      return {EVENTLOG_ERROR_TYPE, MSG_SET_NOT_STORED};
    case RecordKind::kUnsetNotStored:
      return {EVENTLOG_ERROR_TYPE, MSG_UNSET_NOT_STORED};
    case RecordKind::kDropNotStored:
      return {EVENTLOG_ERROR_TYPE, MSG_DROP_NOT_STORED};
    case RecordKind::kUnsetRefused:
      return {EVENTLOG_WARNING_TYPE, MSG_UNSET_REFUSED_NOT_OWNER};
    case RecordKind::kDropped:
      return {EVENTLOG_INFORMATION_TYPE, MSG_DROPPED};
    case RecordKind::kStorageDamaged:
      return {EVENTLOG_WARNING_TYPE, MSG_STORAGE_DAMAGED};
  }
  return {EVENTLOG_ERROR_TYPE, MSG_SERVER_ERROR};
}

}  // namespace

std::string CallerAddressText(const InetAddress& address) {
  InetAddress host = address;
  host.port = 0;
  char text[kMaxInetUaddr];
  std::size_t length = FormatUniversalAddress(host, text);
  // The universal form ends in the port's two bytes: ".0.0" here.
  std::string written(text, length >= 4 ? length - 4 : length);
  return written + " port " + std::to_string(address.port);
}

void EventRecords::Write(const Record& record) {
  const Entry entry = EntryOf(record.kind);
  std::vector<std::string> strings;
  if (record.kind == RecordKind::kStorageDamaged) {
    strings = {std::string(record.valueName), std::string(record.problem)};
  } else {
    strings = {std::to_string(record.prog), std::to_string(record.vers),
               std::string(record.netid), std::string(record.uaddr)};
    if (record.caller) {
      strings.push_back(CallerAddressText(record.caller->source));
    } else {
      strings.push_back("this server");
    }
    const bool known = record.identity && record.identity->known;
    strings.push_back(known ? record.identity->account : "unknown");
    strings.push_back(known ? record.identity->image : "unknown");
  }
  ReportEntry(entry.type, entry.id, strings);
}

}  // namespace tessard
