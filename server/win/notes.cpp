// Event log entries and console lines.
#include "notes.h"

#include <cstdio>

#include "tessard_messages.h"

namespace tessard {
namespace {

ReportTo g_target = ReportTo::kConsole;

// The event source. Its registration (the message file that turns our
// event into text) is written at each start of the service, so that a
// moved server still explains itself.
const wchar_t kEventSource[] = L"tessard";

std::wstring Widen(const std::string& text) {
  int length = MultiByteToWideChar(CP_ACP, 0, text.data(),
                                   static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                      &wide[0], length);
  return wide;
}

void RegisterSource() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                      L"Application\\tessard",
                      0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                 reinterpret_cast<const BYTE*>(path),
                 (length + 1) * sizeof(wchar_t));
  DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE |
                EVENTLOG_INFORMATION_TYPE;
  RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&types), sizeof types);
  RegCloseKey(key);
}

void Report(WORD type, DWORD eventId, const std::string& text) {
  if (g_target == ReportTo::kConsole) {
    std::fprintf(stderr, "tessard: %s\n", text.c_str());
    std::fflush(stderr);
    return;
  }
  HANDLE source = RegisterEventSourceW(nullptr, kEventSource);
  if (!source) return;
  std::wstring wide = Widen(text);
  const wchar_t* strings[] = {wide.c_str()};
  ReportEventW(source, type, 0, eventId, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace

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

}  // namespace tessard
