// The scripted in-memory Windows behind the platform seam, for unit tests:
// services, registry, system texts, allocations, sleeps and message boxes.
#pragma once

#include <windows.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

namespace fake {

// ---- whole system --------------------------------------------------------

// Forgets everything: no services, no keys or values, default system texts,
// no scripted failures, all counters and logs emptied, last error 0, module
// file name back to kDefaultModulePath, every message box answered by
// default. Call it at the start of every test (the fixtures do).
void Reset();

inline constexpr const char* kDefaultModulePath = "C:\\Tools\\tessardctl.exe";

// ---- call log --------------------------------------------------------------

// One platform call as the fake saw it. Arguments are rendered as text:
// narrow strings in double quotes ("RPCSS"), wide strings as L"...", null
// pointers as null, integers as lowercase hex with 0x (0xf003f, 0x0),
// service-manager handles and keys as h<serial> (h1, h2, ...; the serial
// is that of the fake's object, one count shared by manager handles,
// service handles and keys, from 1 after Reset), HKEY_LOCAL_MACHINE as
// HKLM, out-pointers as out, other pointers as hex. Multi-strings (the
// dependency list) render each name quoted and separated by ", " inside
// braces: {"RPCSS"}, {"RPCSS", "Tcpip"}. Texts are not escaped. In/out
// sizes (RegQueryValueExW's lpcbData) render as their value on entry; BSTRs
// as L"..." while live, as hex once freed; RegSetValueExA's data as text for
// REG_SZ/REG_EXPAND_SZ, braces for REG_MULTI_SZ, hex for REG_DWORD.
struct Call {
  std::string name;
  std::vector<std::string> args;
  std::string ToString() const;  // name(arg, arg, ...)
};

// Every seam function is logged except GetLastError, SetLastError,
// SysStringLen and SysStringByteLen (too chatty to be useful).
const std::vector<Call>& Calls();
std::vector<std::string> CallNames();  // just the names, in order
// How often one was called. A name the log cannot hold (not a seam
// function, or one left out) fails the test at once.
int CountCalls(const std::string& name);
void ClearCalls();

// ---- scripted failures -------------------------------------------------------

// The fallible calls are: OpenSCManagerA, OpenServiceA, CreateServiceA,
// StartServiceA, QueryServiceStatus, ControlService, DeleteService,
// RegOpenKeyExA, RegQueryValueExW, RegSetValueExA, FormatMessageA,
// GetModuleFileNameA, GetModuleFileNameW, MultiByteToWideChar,
// WideCharToMultiByte, LoadStringA,
// MessageBoxA. A failed call returns its documented failure value (null,
// FALSE, 0, or the error code itself for the Reg* functions) and, where the
// real one does, sets the last error to `error`. Nothing else changes.

// Fails the nth fallible call (1-based) counted from the last Reset or
// ClearFailures. error 0 means "the natural error for that function":
// ERROR_ACCESS_DENIED (5) for the service manager and the registry,
// ERROR_MR_MID_NOT_FOUND (317) for FormatMessageA, ERROR_NO_UNICODE_TRANSLATION
// (1113) for the conversions, ERROR_INSUFFICIENT_BUFFER for
// GetModuleFileNameA and W, ERROR_RESOURCE_NAME_NOT_FOUND for LoadStringA,
// ERROR_NOT_ENOUGH_MEMORY for MessageBoxA.
void FailCall(int n, DWORD error = 0);
// Fails the (skip + 1)th call, counted from now, of one named function.
// Several may be queued, for the same or different functions; those of one
// function are taken in turn, each counting from the call after the
// previous one fired (FailNext("X"); FailNext("X") fails the next two).
// A name that is not one of the fallible calls fails the test at once, and
// a queued failure that has not fired when the test ends fails it then
// (Reset and ClearFailures drop queued failures without a word).
void FailNext(const std::string& function, DWORD error = 0, int skip = 0);
// Number of fallible calls made since the last Reset or ClearFailures; a
// sweep runs an operation once clean to learn how many there are.
int FallibleCallCount();
// The names of those calls, in order (what a sweep's nth failure hits).
const std::vector<std::string>& FallibleCallNames();
// The names of the functions the fake can be told to fail, as listed above.
const std::set<std::string>& FallibleFunctions();

// Allocations are SysAllocStringLen, SysAllocStringByteLen and VarBstrCat.
// Fails the nth allocation (1-based) since the last Reset or ClearFailures:
// the Sys* functions return null, VarBstrCat returns E_OUTOFMEMORY.
void FailAllocation(int n);
int AllocationCount();
// VarBstrCat's next call fails with this HRESULT instead of concatenating;
// one that has not failed when the test ends fails the test.
void FailNextVarBstrCat(HRESULT hr);

void ClearFailures();  // drops every scripted failure and restarts the counts

// ---- services --------------------------------------------------------------

// A service as the fake service manager holds it. Tests reach into it to
// script behaviour and to check what was registered.
struct Service {
  std::string name;  // looked up ignoring letter case, like the real one
  std::string displayName;
  std::string imagePath;
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  std::vector<std::string> dependencies;  // the names of the multi-string
  bool accountGiven = false;  // false when CreateServiceA got null
  std::string account;
  bool passwordGiven = false;
  std::string password;

  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0,
                        0, 0};
  // What StartServiceA does: with startError 0 it accepts; the service then
  // answers each QueryServiceStatus with the next entry of startScript
  // (which also becomes `status`), and with `status` once the script is
  // used up. An empty script means it reports SERVICE_RUNNING at once.
  // With a script, `status` is SERVICE_START_PENDING from the accepted
  // start to the first query.
  DWORD startError = 0;
  std::deque<SERVICE_STATUS> startScript;
  // What a stop request does: stopError non-zero fails ControlService with
  // it; ignoresStop accepts the request but the service keeps running;
  // otherwise the service is SERVICE_STOPPED from the next query on (the
  // ControlService call itself reports SERVICE_STOP_PENDING).
  DWORD stopError = 0;
  bool ignoresStop = false;

  bool markedForDelete = false;  // DeleteService succeeded
  int startRequests = 0;         // accepted StartServiceA calls
  int stopRequests = 0;          // ControlService(SERVICE_CONTROL_STOP) calls
};

// Registers a service directly (not through CreateServiceA), stopped, with
// its key "System\CurrentControlSet\Services\<name>" and an "ImagePath"
// REG_SZ value holding imagePath, as the real service manager keeps it.
Service& AddService(const std::string& name, const std::string& imagePath);
// Null when no service of that name is registered (letter case ignored). A
// service marked for deletion stays findable until its last handle closes.
Service* FindService(const std::string& name);
// Builds a status record in the running or a pending state (own process;
// SERVICE_ACCEPT_STOP when running, no controls otherwise).
SERVICE_STATUS Status(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0);

// The fake honours access masks: OpenServiceA grants what it is asked for,
// and StartServiceA needs SERVICE_START, QueryServiceStatus
// SERVICE_QUERY_STATUS, ControlService(STOP) SERVICE_STOP, DeleteService
// DELETE; otherwise ERROR_ACCESS_DENIED. OpenServiceA of an unknown name
// fails with ERROR_SERVICE_DOES_NOT_EXIST (1060); a null or closed handle
// gives ERROR_INVALID_HANDLE (6). CreateServiceA of an existing name fails
// with ERROR_SERVICE_EXISTS (1073), and it creates the service key with
// "ImagePath" (REG_SZ) as AddService does. A service marked for deletion
// leaves the manager (and the registry) when its last handle is closed.
// As the real manager does, furthermore: ControlService on a stopped
// service fails with ERROR_SERVICE_NOT_ACTIVE (1062), on a start- or
// stop-pending one with ERROR_SERVICE_CANNOT_ACCEPT_CTRL (1061);
// StartServiceA on a service that is not stopped fails with
// ERROR_SERVICE_ALREADY_RUNNING (1056), on a disabled one with
// ERROR_SERVICE_DISABLED (1058); StartServiceA, DeleteService and
// CreateServiceA of a name marked for deletion fail with
// ERROR_SERVICE_MARKED_FOR_DELETE (1072); CreateServiceA whose display name
// is taken fails with ERROR_DUPLICATE_SERVICE_NAME (1078), and it needs a
// manager opened with SC_MANAGER_CREATE_SERVICE. CloseServiceHandle(NULL)
// fails with ERROR_INVALID_HANDLE and is no misuse; a handle of the wrong
// kind (a manager where a service is needed) is.

// ---- registry --------------------------------------------------------------

// Paths are below HKEY_LOCAL_MACHINE, compared ignoring letter case, with
// single backslashes: "System\\CurrentControlSet\\Services\\X" in C++.
void AddKey(const std::string& path);
void SetValue(const std::string& path, const std::string& name, DWORD type,
              const std::vector<BYTE>& data);  // creates the key if needed
// Stores text and its terminating NUL.
void SetStringValue(const std::string& path, const std::string& name,
                    const std::string& text, DWORD type = REG_SZ);
void DeleteValue(const std::string& path, const std::string& name);
// False when the key or value is missing.
bool GetValue(const std::string& path, const std::string& name, DWORD* type,
              std::vector<BYTE>* data);
// A missing key gives ERROR_FILE_NOT_FOUND (2); a missing
// value ERROR_FILE_NOT_FOUND; a value that does not fit the caller's buffer
// ERROR_MORE_DATA (234) with the needed size stored; RegSetValueExA needs a
// key opened with KEY_SET_VALUE and RegQueryValueExW one with
// KEY_QUERY_VALUE, else ERROR_ACCESS_DENIED. A key deleted while open gives
// ERROR_KEY_DELETED (1018). Only HKEY_LOCAL_MACHINE exists among the roots:
// other roots give ERROR_INVALID_HANDLE. Texts are kept as written, narrow;
// RegQueryValueExW hands them out in UTF-16, converted from the ANSI code
// page, as the real registry does.

// ---- system texts --------------------------------------------------------

// FormatMessageA knows the one form the product uses (FROM_SYSTEM,
// ALLOCATE_BUFFER, IGNORE_INSERTS: the text as it is, in a buffer for
// LocalFree); any other form is misuse. By default it answers with the real
// system's text for a code (so a test can compare with the real
// FormatMessageA). A test can replace the text of a code, or take it away
// (FormatMessageA then returns 0 with last error ERROR_MR_MID_NOT_FOUND).
void SetSystemText(DWORD code, const std::string& text);
void RemoveSystemText(DWORD code);
// The real system's text for a code, "" when it has none.
std::string RealSystemText(DWORD code);

// ---- process ----------------------------------------------------------------

// What GetModuleFileNameA reports; GetModuleFileNameW reports the same path
// read in the ANSI code page. A path that does not fit the caller's buffer
// is cut to nSize - 1 characters and terminated; the call then returns
// nSize with last error ERROR_INSUFFICIENT_BUFFER, as Windows does.
void SetModulePath(const std::string& path);

// LoadStringA forwards to the real one (the test program carries the
// product's resource script), after the failure check and logging.

// Every Sleep, in order, in milliseconds; nothing really sleeps.
const std::vector<DWORD>& Sleeps();

// ---- message boxes --------------------------------------------------------

struct MessageBoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
const std::vector<MessageBoxRecord>& MessageBoxes();
// The answers to the next boxes, in order. Without a queued answer a box is
// answered with its first button: IDOK, IDYES for MB_YESNO and
// MB_YESNOCANCEL, IDABORT, IDRETRY, or IDCANCEL for MB_CANCELTRYCONTINUE.
void QueueMessageBoxAnswer(int answer);

// ---- accounting -----------------------------------------------------------

// Objects handed out and not yet released.
int OpenServiceHandles();  // manager and service handles
int OpenKeys();            // registry keys, not counting predefined roots
int LiveStrings();         // BSTRs from SysAlloc*/VarBstrCat not freed
                           // (a freed one is poisoned with 0xDDDD and its
                           // memory kept until Reset)
int LiveLocalAllocs();     // FormatMessageA buffers not given to LocalFree
// Misuse the fake detected: closing or freeing something twice or something
// it never handed out, using a closed handle. Empty in a sound run.
const std::vector<std::string>& Misuse();
// "" when nothing is open and nothing was misused, else a readable list.
std::string LeakReport();

}  // namespace fake
