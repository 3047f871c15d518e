// The server's reports to an administrator (why it stopped or could not
// start, what it serves, the port mapper's records): entries in the
// Application event log when it runs as a service, lines on standard error
// in a console.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tessard {

enum class ReportTo { kEventLog, kConsole };

void SetReportTarget(ReportTo target);

// An error that stops the server, a fault it serves on with, and a note
// of what it does.
void ReportError(const std::string& text);
void ReportWarning(const std::string& text);
void ReportInformation(const std::string& text);

// An entry of its own event id, whose message text (tessard_messages.mc)
// takes `strings` as its insertions %1, %2, ...; in a console the same
// text, formatted from the same message, on standard error.
void ReportEntry(WORD type, DWORD eventId,
                 const std::vector<std::string>& strings);

// The system's text for an error code (Winsock codes included), without
// its line end, or "error N" when the system has none.
std::string SystemText(DWORD code);
// `said` (the system's text when empty) and the code, as every report of a
// failed call gives them: "Access is denied (error 5)".
std::string ErrorText(DWORD code, const std::string& said = std::string());

}  // namespace tessard
