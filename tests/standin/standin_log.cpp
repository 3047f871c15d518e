// Appends lines to tessard.log; the control handler and the service thread
// both write, so each line is written whole under one lock.
#include "standin_log.h"

#include <windows.h>

#include <mutex>

namespace standin {
namespace {

std::string g_home;
std::mutex g_logLock;

}  // namespace

void SetHomeDirectory(const std::string& directory) { g_home = directory; }

const std::string& HomeDirectory() { return g_home; }

void Log(const std::string& key, const std::string& value) {
  const std::string line = key + ": " + value + "\r\n";
  std::lock_guard<std::mutex> hold(g_logLock);
  const std::string path = g_home + "tessard.log";
  HANDLE hFile = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return;  // nowhere to tell
  DWORD written = 0;
  WriteFile(hFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(hFile);
}

}  // namespace standin
