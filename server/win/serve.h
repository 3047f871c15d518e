// One run of the server, the same from the service manager and from a
// console: check the argument, open the sockets, serve until asked to stop.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tessard {

struct ServeHooks {
  std::function<void()> progress;  // after each socket opened
  std::function<void()> running;   // once every socket is served
  std::function<void()> stopping;  // now and then while a stop waits
  // The service's name, whose key keeps the table; empty in a console,
  // where the table lives in memory only.
  std::wstring serviceName;
  // Set by the service manager's PARAMCHANGE: read the settings again.
  HANDLE paramChange = nullptr;
};

// Serves the transport that `argument` names until stopEvent is set.
// Returns 0 after a stop, or the error that kept the server from serving,
// which has then been reported.
DWORD Serve(const std::string& argument, HANDLE stopEvent,
            const ServeHooks& hooks);

}  // namespace tessard
