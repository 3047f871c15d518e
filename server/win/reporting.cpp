// Event log entries and console lines.
#include "reporting.h"

#include <cstdio>

#include "system_calls.h"
#include "tessard_messages.h"
#include "text_conversion.h"

namespace tessard {
namespace {

ReportTo g_target = ReportTo::kConsole;

// The event source. Its registration (the message file that turns our
// event into text) is written at each start of the service, so that a
// moved server still explains itself.
const wchar_t kEventSource[] = L"tessard";

void RegisterSource() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HKEY key = nullptr;
  if (sys::RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                      L"Application\\tessard",
                      0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  sys::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                 reinterpret_cast<const BYTE*>(path),
                 (length + 1) * sizeof(wchar_t));
  DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE |
                EVENTLOG_INFORMATION_TYPE;
  sys::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&types), sizeof types);
  sys::RegCloseKey(key);
}

// The message's text with its insertions, as the event viewer shows it.
std::string FormatEntry(DWORD eventId,
                        const std::vector<const wchar_t*>& insertions) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
          FORMAT_MESSAGE_ARGUMENT_ARRAY,
      GetModuleHandleW(nullptr), eventId, 0,
      reinterpret_cast<wchar_t*>(&buffer), 0,
      reinterpret_cast<va_list*>(const_cast<wchar_t**>(insertions.data())));
  std::wstring text;
  if (length > 0 && buffer) text.assign(buffer, length);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
    text.pop_back();
  }
  return Narrow(text);
}

void Report(WORD type, DWORD eventId, const std::string& text) {
  ReportEntry(type, eventId, {text});
}

}  // namespace

void ReportEntry(WORD type, DWORD eventId,
                 const std::vector<std::string>& strings) {
  std::vector<std::wstring> wide;
  wide.reserve(strings.size());
  for (const std::string& s : strings) wide.push_back(Widen(s));
  std::vector<const wchar_t*> insertions;
  for (const std::wstring& w : wide) insertions.push_back(w.c_str());
  // FormatMessage reads as many insertions as the text names: a few
  // spare ones keep a text that names more from reading past the end.
  while (insertions.size() < 10) insertions.push_back(L"");
  if (g_target == ReportTo::kConsole) {
    std::string text = FormatEntry(eventId, insertions);
    if (text.empty()) {
      // The message table could not be read: the insertions still say it.
      for (const std::string& s : strings) text += (text.empty() ? "" : "; ") + s;
    }
    std::fprintf(stderr, "tessard: %s\n", text.c_str());
    std::fflush(stderr);
    return;
  }
  HANDLE source = sys::RegisterEventSourceW(nullptr, kEventSource);
  if (!source) return;
  sys::ReportEventW(source, type, 0, eventId, nullptr,
                    static_cast<WORD>(strings.size()), 0, insertions.data(),
                    nullptr);
  sys::DeregisterEventSource(source);
}

void SetReportTarget(ReportTo target) {
  g_target = target;
  if (target == ReportTo::kEventLog) RegisterSource();
}

void ReportError(const std::string& text) {
  Report(EVENTLOG_ERROR_TYPE, MSG_SERVER_ERROR, text);
}

void ReportWarning(const std::string& text) {
  Report(EVENTLOG_WARNING_TYPE, MSG_SERVER_WARNING, text);
}

void ReportInformation(const std::string& text) {
  Report(EVENTLOG_INFORMATION_TYPE, MSG_SERVER_INFORMATION, text);
}

std::string SystemText(DWORD code) {
  char* buffer = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer) {
    text.assign(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                             text.back() == ' ' || text.back() == '.')) {
      text.pop_back();
    }
  }
  if (buffer) LocalFree(buffer);
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}

std::string ErrorText(DWORD code, const std::string& said) {
  return (said.empty() ? SystemText(code) : said) + " (error " +
         std::to_string(code) + ")";
}

}  // namespace tessard
