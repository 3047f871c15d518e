// A scripted Windows behind the server's seam (server/win/system_calls.h)
// for unit tests: socket tables with owner processes, processes with their
// tokens, a registry, the event log, the service manager's side of a
// service, and the clock a call's arrival is stamped with. Tests link it
// instead of system_calls_win32.cpp.
#pragma once

#include "system_calls.h"

#include <cstdint>
#include <string>
#include <vector>

#include "universal_address.h"

namespace tessard::fake {

// Forgets everything: no sockets, processes, keys, records or reports, no
// scripted failures, every count at 0, the clock at kStartTime. Call it at
// the start of every test.
void Reset();

// ---- socket tables ------------------------------------------------------

// A TCP socket listening on `local`, a TCP connection from `local` to
// `remote` (ESTABLISHED), a UDP socket bound to `local`, owned by `pid`
// (0: the table names no process). The family is that of `local`.
void AddTcpListener(const InetAddress& local, std::uint32_t pid);
void AddTcpConnection(const InetAddress& local, const InetAddress& remote,
                      std::uint32_t pid);
void AddUdp(const InetAddress& local, std::uint32_t pid);
// The UDP table gives each socket the clock when it was added as its bind
// time (0, as Wine gives: set the clock to 0 first). CloseUdp takes the
// UDP sockets bound to `local` out.
void CloseUdp(const InetAddress& local);
// Each time a table answers ERROR_INSUFFICIENT_BUFFER, `rows` more rows
// (UDP on 0.0.0.0 or ::, ports from 60000, no owner) join it before the
// next read: a table that grows between asking its size and reading it.
void GrowTablesWhenAsked(int rows);

// ---- processes -------------------------------------------------------------

struct Process {
  std::uint32_t pid = 0;
  std::uint64_t created = 0;  // FILETIME units
  std::wstring image;
  std::wstring domain;  // the token user's account
  std::wstring name;
  // The token user's SID, S-1-5-<rids...>; each distinct one is its own
  // account.
  std::vector<DWORD> rids;
  bool elevated = false;
  // BUILTIN\Administrators among the token's groups, and its attributes.
  bool inAdministrators = false;
  DWORD administratorsAttributes = SE_GROUP_ENABLED;
  bool openable = true;  // false: OpenProcess answers ERROR_ACCESS_DENIED
};

// Starts a process; one of the same id that runs is replaced (the id is
// reused). Handles already open keep the process they were opened on.
void StartProcess(const Process& process);
// The process exits: OpenProcess of its id answers ERROR_INVALID_PARAMETER.
void EndProcess(std::uint32_t pid);
// Process and token handles, event sources and keys the code has open.
int OpenHandles();

// ---- the clock ---------------------------------------------------------------

inline constexpr std::uint64_t kStartTime = 133000000000000000ull;
void SetTime(std::uint64_t filetime);

// ---- registry ------------------------------------------------------------------

// Keys under HKEY_LOCAL_MACHINE, named as RegCreateKeyExW takes them;
// names of keys and values are compared without letter case, values
// enumerate in name order.
struct Value {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};
bool KeyExists(const std::wstring& path);
std::vector<Value> Values(const std::wstring& path);  // in name order
void SetValue(const std::wstring& path, const Value& value);  // makes the key
// Sets the events of the pending RegNotifyChangeKeyValue requests (each
// request is answered once, as on Windows); how many it set.
int FireRegistryChange();

// ---- event log and service ------------------------------------------------------

struct EventRecord {
  WORD type = 0;
  DWORD eventId = 0;
  std::vector<std::wstring> strings;
};
const std::vector<EventRecord>& Events();
const std::vector<SERVICE_STATUS>& ServiceStatuses();
// Calls the handler RegisterServiceCtrlHandlerExW registered; its answer.
DWORD SendControl(DWORD control);

// ---- calls and failures -----------------------------------------------------------

// How often a seam function was called since the last Reset.
int CountCalls(const std::string& function);
// Fails `times` calls of `function` with `error` (for a Reg* or table
// function, its result; for the others, the last error with their failure
// value), after letting `skip` calls pass. One script per function: a
// second replaces the first. A name that is no seam function fails the
// test at once; a failure that has not fired when the test ends fails it
// then.
void FailNext(const std::string& function, DWORD error, int times = 1,
              int skip = 0);

}  // namespace tessard::fake
