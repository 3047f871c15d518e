#include "fake_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <set>

namespace tessard::fake {
namespace {

struct Socket {
  bool stream = false;
  bool listening = false;
  InetAddress local;
  InetAddress remote;
  std::uint32_t pid = 0;
  std::uint64_t bound = 0;  // UDP: the clock when it was added
};

struct Key {
  std::map<std::wstring, Value> values;  // by folded name: in name order
};

// What a fake handle stands for. Handles are addresses inside kHandleSpace,
// so that none is ever a real Windows handle: CloseHandle hands any other
// handle (the tests' real events) to Windows.
struct Object {
  enum Kind { kProcess, kToken, kKey, kEventSource, kService } kind;
  std::shared_ptr<const Process> process;  // kProcess, kToken
  std::wstring path;                       // kKey, folded
};

struct Failure {
  DWORD error;
  int times;
  int skip;
};

struct Notification {
  std::wstring path;
  HANDLE event;
};

const char* const kFunctions[] = {
#define WINDOWS_CALL(dll, name, result, parameters, arguments) #name,
#define WINDOWS_BYPASS(dll, name, reason)
#include "server_calls.h"
#undef WINDOWS_CALL
#undef WINDOWS_BYPASS
};

struct State {
  std::vector<Socket> sockets;
  int growth = 0;
  int grown = 0;
  std::map<std::uint32_t, std::shared_ptr<const Process>> running;
  std::vector<std::shared_ptr<const Process>> ever;  // for LookupAccountSidW
  std::uint64_t now = kStartTime;
  std::map<std::wstring, Key> keys;  // by folded path
  std::vector<Notification> notifications;
  std::vector<EventRecord> events;
  std::vector<SERVICE_STATUS> statuses;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID handlerContext = nullptr;
  std::map<std::uintptr_t, Object> objects;  // open handles by offset
  std::uintptr_t nextHandle = 1;
  std::map<std::string, int> calls;
  std::map<std::string, Failure> failures;
};

State& S() {
  static State state;
  return state;
}

char kHandleSpace[1 << 16];

HANDLE NewHandle(Object object) {
  State& s = S();
  const std::uintptr_t offset = s.nextHandle++;
  s.objects.emplace(offset, std::move(object));
  return kHandleSpace + offset;
}

Object* Find(HANDLE handle, Object::Kind kind) {
  const auto* p = static_cast<const char*>(handle);
  if (p < kHandleSpace || p >= kHandleSpace + sizeof kHandleSpace) return nullptr;
  auto it = S().objects.find(static_cast<std::uintptr_t>(p - kHandleSpace));
  if (it == S().objects.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

// Counts the call, and answers whether a scripted failure takes it.
bool Fails(const char* function, DWORD* error) {
  State& s = S();
  ++s.calls[function];
  auto it = s.failures.find(function);
  if (it == s.failures.end()) return false;
  if (it->second.skip > 0) {
    --it->second.skip;
    return false;
  }
  *error = it->second.error;
  if (--it->second.times == 0) s.failures.erase(it);
  return true;
}

class UnfiredFailures : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo&) override {
    for (const auto& [function, failure] : S().failures) {
      ADD_FAILURE() << "fake::FailNext(\"" << function << "\") was scripted, "
                    << "but " << failure.times << " of its failures never fired";
    }
    S().failures.clear();
  }
};
[[maybe_unused]] const bool kUnfiredFailuresChecked = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new UnfiredFailures);
  return true;
}();

// ---- socket tables ----

DWORD StoredPort(std::uint16_t port) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(port >> 8),
                                 static_cast<std::uint8_t>(port), 0, 0};
  DWORD stored;
  std::memcpy(&stored, bytes, 4);
  return stored;
}

DWORD StoredAddress(const InetAddress& address) {
  DWORD stored;
  std::memcpy(&stored, address.host, 4);
  return stored;
}

// Writes the table of the matching sockets, as Windows does.
template <typename Table, typename Fill>
DWORD Answer(PVOID buffer, PDWORD size, bool stream, bool listening, bool v6,
             Fill fill, bool everyState = false) {
  State& s = S();
  std::vector<const Socket*> rows;
  for (const Socket& socket : s.sockets) {
    if (socket.stream == stream && socket.local.v6 == v6 &&
        (!stream || everyState || socket.listening == listening)) {
      rows.push_back(&socket);
    }
  }
  const DWORD needed = static_cast<DWORD>(
      offsetof(Table, table) + std::max<std::size_t>(rows.size(), 1) *
                                   sizeof(Table{}.table[0]));
  if (size == nullptr) return ERROR_INVALID_PARAMETER;
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    for (int i = 0; i < s.growth; ++i) {
      Socket filler;
      filler.local.v6 = i % 2 == 1;
      filler.local.port = static_cast<std::uint16_t>(60000 + s.grown++);
      s.sockets.push_back(filler);
    }
    return ERROR_INSUFFICIENT_BUFFER;
  }
  auto* table = static_cast<Table*>(buffer);
  table->dwNumEntries = static_cast<DWORD>(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) fill(*rows[i], &table->table[i]);
  return NO_ERROR;
}

// ---- registry ----

std::wstring Fold(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

std::wstring Join(const std::wstring& parent, LPCWSTR sub) {
  std::wstring path = parent;
  if (sub != nullptr && *sub != 0) {
    if (!path.empty()) path += L'\\';
    path += Fold(sub);
  }
  return path;
}

// The folded path of a key handle, or false for one that is not a key.
bool KeyPath(HKEY key, std::wstring* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return true;
  }
  const Object* object = Find(key, Object::kKey);
  if (object == nullptr) return false;
  *path = object->path;
  return true;
}

// The key a handle names, or the error to answer.
LONG OpenedKey(HKEY handle, Key** key) {
  std::wstring path;
  if (!KeyPath(handle, &path)) return ERROR_INVALID_HANDLE;
  auto it = S().keys.find(path);
  if (it == S().keys.end()) return path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  *key = &it->second;
  return ERROR_SUCCESS;
}

bool IsBelow(const std::wstring& path, const std::wstring& parent) {
  return path.size() > parent.size() + (parent.empty() ? 0 : 1) &&
         (parent.empty() || (path.compare(0, parent.size(), parent) == 0 &&
                             path[parent.size()] == L'\\'));
}

// Copies `bytes` to an out-buffer of *size bytes, as the Reg* functions do.
LONG CopyOut(const std::vector<BYTE>& bytes, LPBYTE data, LPDWORD size) {
  if (size == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  const DWORD room = *size;
  *size = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return ERROR_SUCCESS;
  if (room < bytes.size()) return ERROR_MORE_DATA;
  std::copy(bytes.begin(), bytes.end(), data);
  return ERROR_SUCCESS;
}

// ---- tokens ----

std::vector<BYTE> SidBytes(const std::vector<DWORD>& rids) {
  std::vector<BYTE> sid(8 + 4 * rids.size());
  sid[0] = SID_REVISION;
  sid[1] = static_cast<BYTE>(rids.size());
  sid[7] = 5;  // SECURITY_NT_AUTHORITY
  std::memcpy(sid.data() + 8, rids.data(), 4 * rids.size());
  return sid;
}

}  // namespace

// ---- scripting ----

void Reset() {
  State& s = S();
  s = State{};
}

void AddTcpListener(const InetAddress& local, std::uint32_t pid) {
  S().sockets.push_back(Socket{true, true, local, InetAddress{local.v6}, pid});
}
void AddTcpConnection(const InetAddress& local, const InetAddress& remote,
                      std::uint32_t pid) {
  S().sockets.push_back(Socket{true, false, local, remote, pid});
}
void AddUdp(const InetAddress& local, std::uint32_t pid) {
  S().sockets.push_back(Socket{false, false, local, {}, pid, S().now});
}
void CloseUdp(const InetAddress& local) {
  auto& sockets = S().sockets;
  sockets.erase(std::remove_if(sockets.begin(), sockets.end(),
                               [&local](const Socket& s) {
                                 return !s.stream && s.local.v6 == local.v6 &&
                                        s.local.port == local.port &&
                                        std::memcmp(s.local.host, local.host,
                                                    16) == 0;
                               }),
                sockets.end());
}
void GrowTablesWhenAsked(int rows) { S().growth = rows; }

void StartProcess(const Process& process) {
  auto started = std::make_shared<const Process>(process);
  S().running[process.pid] = started;
  S().ever.push_back(started);
}
void EndProcess(std::uint32_t pid) { S().running.erase(pid); }
int OpenHandles() {
  int open = 0;
  for (const auto& [offset, object] : S().objects) {
    if (object.kind != Object::kService) ++open;
  }
  return open;
}
void SetTime(std::uint64_t filetime) { S().now = filetime; }

bool KeyExists(const std::wstring& path) { return S().keys.count(Fold(path)) != 0; }
std::vector<Value> Values(const std::wstring& path) {
  std::vector<Value> values;
  auto it = S().keys.find(Fold(path));
  if (it == S().keys.end()) return values;
  for (const auto& [folded, value] : it->second.values) values.push_back(value);
  return values;
}
void SetValue(const std::wstring& path, const Value& value) {
  std::wstring folded;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    folded = Join(folded, path.substr(start, end - start).c_str());
    S().keys[folded];
    start = end + 1;
  }
  S().keys[folded].values[Fold(value.name)] = value;
}
int FireRegistryChange() {
  std::vector<Notification> pending;
  pending.swap(S().notifications);
  for (const Notification& n : pending) ::SetEvent(n.event);
  return static_cast<int>(pending.size());
}

const std::vector<EventRecord>& Events() { return S().events; }
const std::vector<SERVICE_STATUS>& ServiceStatuses() { return S().statuses; }
DWORD SendControl(DWORD control) {
  if (S().handler == nullptr) {
    ADD_FAILURE() << "fake::SendControl: no control handler is registered";
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  return S().handler(control, 0, nullptr, S().handlerContext);
}

int CountCalls(const std::string& function) {
  auto it = S().calls.find(function);
  return it == S().calls.end() ? 0 : it->second;
}
void FailNext(const std::string& function, DWORD error, int times, int skip) {
  if (std::find(std::begin(kFunctions), std::end(kFunctions), function) ==
      std::end(kFunctions)) {
    ADD_FAILURE() << "fake::FailNext(\"" << function << "\"): not a seam function";
    return;
  }
  S().failures[function] = Failure{error, times, skip};
}

}  // namespace tessard::fake

// ---- the seam ----

namespace tessard::sys {
using fake::S;
using fake::Value;

DWORD GetExtendedTcpTable(PVOID pTcpTable, PDWORD pdwSize, WINBOOL, ULONG ulAf,
                          TCP_TABLE_CLASS TableClass, ULONG) {
  DWORD error;
  if (fake::Fails("GetExtendedTcpTable", &error)) return error;
  bool listening;
  if (TableClass == TCP_TABLE_OWNER_PID_LISTENER) {
    listening = true;
  } else if (TableClass == TCP_TABLE_OWNER_PID_CONNECTIONS) {
    listening = false;
  } else {
    ADD_FAILURE() << "GetExtendedTcpTable: the fake has no table class " << TableClass;
    return ERROR_INVALID_PARAMETER;
  }
  using fake::StoredAddress;
  using fake::StoredPort;
  if (ulAf == AF_INET) {
    return fake::Answer<MIB_TCPTABLE_OWNER_PID>(
        pTcpTable, pdwSize, true, listening, false,
        [](const fake::Socket& s, MIB_TCPROW_OWNER_PID* row) {
          row->dwState = s.listening ? MIB_TCP_STATE_LISTEN : MIB_TCP_STATE_ESTAB;
          row->dwLocalAddr = StoredAddress(s.local);
          row->dwLocalPort = StoredPort(s.local.port);
          row->dwRemoteAddr = StoredAddress(s.remote);
          row->dwRemotePort = StoredPort(s.remote.port);
          row->dwOwningPid = s.pid;
        });
  }
  if (ulAf != AF_INET6) return ERROR_INVALID_PARAMETER;
  return fake::Answer<MIB_TCP6TABLE_OWNER_PID>(
      pTcpTable, pdwSize, true, listening, true,
      [](const fake::Socket& s, MIB_TCP6ROW_OWNER_PID* row) {
        std::memcpy(row->ucLocalAddr, s.local.host, 16);
        row->dwLocalScopeId = 0;
        row->dwLocalPort = StoredPort(s.local.port);
        std::memcpy(row->ucRemoteAddr, s.remote.host, 16);
        row->dwRemoteScopeId = 0;
        row->dwRemotePort = StoredPort(s.remote.port);
        row->dwState = s.listening ? MIB_TCP_STATE_LISTEN : MIB_TCP_STATE_ESTAB;
        row->dwOwningPid = s.pid;
      });
}

DWORD GetExtendedUdpTable(PVOID pUdpTable, PDWORD pdwSize, WINBOOL, ULONG ulAf,
                          UDP_TABLE_CLASS TableClass, ULONG) {
  DWORD error;
  if (fake::Fails("GetExtendedUdpTable", &error)) return error;
  if (TableClass != UDP_TABLE_OWNER_MODULE) {
    ADD_FAILURE() << "GetExtendedUdpTable: the fake has no table class " << TableClass;
    return ERROR_INVALID_PARAMETER;
  }
  if (ulAf == AF_INET) {
    return fake::Answer<MIB_UDPTABLE_OWNER_MODULE>(
        pUdpTable, pdwSize, false, false, false,
        [](const fake::Socket& s, MIB_UDPROW_OWNER_MODULE* row) {
          row->dwLocalAddr = fake::StoredAddress(s.local);
          row->dwLocalPort = fake::StoredPort(s.local.port);
          row->dwOwningPid = s.pid;
          row->liCreateTimestamp.QuadPart = static_cast<LONGLONG>(s.bound);
        });
  }
  if (ulAf != AF_INET6) return ERROR_INVALID_PARAMETER;
  return fake::Answer<MIB_UDP6TABLE_OWNER_MODULE>(
      pUdpTable, pdwSize, false, false, true,
      [](const fake::Socket& s, MIB_UDP6ROW_OWNER_MODULE* row) {
        std::memcpy(row->ucLocalAddr, s.local.host, 16);
        row->dwLocalScopeId = 0;
        row->dwLocalPort = fake::StoredPort(s.local.port);
        row->dwOwningPid = s.pid;
        row->liCreateTimestamp.QuadPart = static_cast<LONGLONG>(s.bound);
      });
}

HANDLE OpenProcess(DWORD, WINBOOL, DWORD dwProcessId) {
  DWORD error;
  if (fake::Fails("OpenProcess", &error)) {
    ::SetLastError(error);
    return nullptr;
  }
  auto it = S().running.find(dwProcessId);
  if (it == S().running.end() || dwProcessId == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!it->second->openable) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return fake::NewHandle(fake::Object{fake::Object::kProcess, it->second, {}});
}

WINBOOL GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime,
                        LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
                        LPFILETIME lpUserTime) {
  DWORD error;
  if (fake::Fails("GetProcessTimes", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  const fake::Object* process = fake::Find(hProcess, fake::Object::kProcess);
  if (process == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const std::uint64_t created = process->process->created;
  lpCreationTime->dwLowDateTime = static_cast<DWORD>(created);
  lpCreationTime->dwHighDateTime = static_cast<DWORD>(created >> 32);
  *lpExitTime = *lpKernelTime = *lpUserTime = FILETIME{};
  return TRUE;
}

WINBOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD, LPWSTR lpExeName,
                                   PDWORD lpdwSize) {
  DWORD error;
  if (fake::Fails("QueryFullProcessImageNameW", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  const fake::Object* process = fake::Find(hProcess, fake::Object::kProcess);
  if (process == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const std::wstring& image = process->process->image;
  if (*lpdwSize <= image.size()) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(image.begin(), image.end(), lpExeName);
  lpExeName[image.size()] = 0;
  *lpdwSize = static_cast<DWORD>(image.size());
  return TRUE;
}

WINBOOL OpenProcessToken(HANDLE ProcessHandle, DWORD, PHANDLE TokenHandle) {
  DWORD error;
  if (fake::Fails("OpenProcessToken", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  const fake::Object* process = fake::Find(ProcessHandle, fake::Object::kProcess);
  if (process == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *TokenHandle =
      fake::NewHandle(fake::Object{fake::Object::kToken, process->process, {}});
  return TRUE;
}

WINBOOL GetTokenInformation(HANDLE TokenHandle,
                            TOKEN_INFORMATION_CLASS TokenInformationClass,
                            LPVOID TokenInformation,
                            DWORD TokenInformationLength, PDWORD ReturnLength) {
  DWORD error;
  if (fake::Fails("GetTokenInformation", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  const fake::Object* token = fake::Find(TokenHandle, fake::Object::kToken);
  if (token == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const fake::Process& p = *token->process;
  // The structure, then the SIDs it points to, in one block.
  std::vector<BYTE> block;
  std::vector<std::pair<std::size_t, std::vector<BYTE>>> sids;  // pointer at, SID
  if (TokenInformationClass == TokenUser) {
    block.resize(sizeof(TOKEN_USER));
    sids.emplace_back(offsetof(TOKEN_USER, User.Sid), fake::SidBytes(p.rids));
  } else if (TokenInformationClass == TokenElevation) {
    TOKEN_ELEVATION elevation{p.elevated ? 1u : 0u};
    block.resize(sizeof elevation);
    std::memcpy(block.data(), &elevation, sizeof elevation);
  } else if (TokenInformationClass == TokenGroups) {
    // Everyone, then the administrators when the token has them.
    const DWORD count = p.inAdministrators ? 2 : 1;
    block.resize(offsetof(TOKEN_GROUPS, Groups) + count * sizeof(SID_AND_ATTRIBUTES));
    TOKEN_GROUPS header{};
    header.GroupCount = count;
    std::memcpy(block.data(), &header, offsetof(TOKEN_GROUPS, Groups));
    for (DWORD i = 0; i < count; ++i) {
      SID_AND_ATTRIBUTES group{nullptr, i == 0 ? DWORD{SE_GROUP_ENABLED}
                                               : p.administratorsAttributes};
      const std::size_t at =
          offsetof(TOKEN_GROUPS, Groups) + i * sizeof(SID_AND_ATTRIBUTES);
      std::memcpy(block.data() + at, &group, sizeof group);
      std::vector<BYTE> sid = i == 0 ? std::vector<BYTE>{1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}
                                     : fake::SidBytes({32, 544});
      sids.emplace_back(at + offsetof(SID_AND_ATTRIBUTES, Sid), sid);
    }
  } else {
    ADD_FAILURE() << "GetTokenInformation: the fake has no class "
                  << TokenInformationClass;
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD needed = static_cast<DWORD>(block.size());
  for (const auto& sid : sids) needed += static_cast<DWORD>(sid.second.size());
  *ReturnLength = needed;
  if (TokenInformation == nullptr || TokenInformationLength < needed) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* out = static_cast<BYTE*>(TokenInformation);
  std::memcpy(out, block.data(), block.size());
  std::size_t at = block.size();
  for (const auto& [pointerAt, sid] : sids) {
    std::memcpy(out + at, sid.data(), sid.size());
    BYTE* where = out + at;
    std::memcpy(out + pointerAt, &where, sizeof where);
    at += sid.size();
  }
  return TRUE;
}

WINBOOL LookupAccountSidW(LPCWSTR, PSID Sid, LPWSTR Name, LPDWORD cchName,
                          LPWSTR ReferencedDomainName,
                          LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
  DWORD error;
  if (fake::Fails("LookupAccountSidW", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  const auto* sid = static_cast<const BYTE*>(Sid);
  for (const auto& p : S().ever) {
    const std::vector<BYTE> bytes = fake::SidBytes(p->rids);
    if (std::memcmp(bytes.data(), sid, 2) != 0 ||
        std::memcmp(bytes.data(), sid, bytes.size()) != 0) {
      continue;
    }
    if (*cchName <= p->name.size() || *cchReferencedDomainName <= p->domain.size()) {
      *cchName = static_cast<DWORD>(p->name.size() + 1);
      *cchReferencedDomainName = static_cast<DWORD>(p->domain.size() + 1);
      ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::copy(p->name.begin(), p->name.end(), Name);
    Name[p->name.size()] = 0;
    std::copy(p->domain.begin(), p->domain.end(), ReferencedDomainName);
    ReferencedDomainName[p->domain.size()] = 0;
    *cchName = static_cast<DWORD>(p->name.size());
    *cchReferencedDomainName = static_cast<DWORD>(p->domain.size());
    *peUse = SidTypeUser;
    return TRUE;
  }
  ::SetLastError(ERROR_NONE_MAPPED);
  return FALSE;
}

WINBOOL CloseHandle(HANDLE hObject) {
  DWORD error;
  if (fake::Fails("CloseHandle", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  const auto* p = static_cast<const char*>(hObject);
  if (p < fake::kHandleSpace || p >= fake::kHandleSpace + sizeof fake::kHandleSpace) {
    return ::CloseHandle(hObject);  // a real event of the test's
  }
  if (fake::Find(hObject, fake::Object::kProcess) == nullptr &&
      fake::Find(hObject, fake::Object::kToken) == nullptr) {
    ADD_FAILURE() << "CloseHandle of a handle that is not open";
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  S().objects.erase(static_cast<std::uintptr_t>(p - fake::kHandleSpace));
  return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  ++S().calls["GetSystemTimeAsFileTime"];
  lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(S().now);
  lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(S().now >> 32);
}

// ---- registry ----

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
  DWORD error;
  if (fake::Fails("RegCreateKeyExW", &error)) return static_cast<LONG>(error);
  std::wstring parent;
  if (!fake::KeyPath(hKey, &parent)) return ERROR_INVALID_HANDLE;
  if (!parent.empty() && S().keys.count(parent) == 0) return ERROR_KEY_DELETED;
  const std::wstring path = fake::Join(parent, lpSubKey);
  const bool existed = S().keys.count(path) != 0;
  // Every key on the way is made too.
  for (std::size_t at = parent.size() + 1; at < path.size(); ++at) {
    if (path[at] == L'\\') S().keys[path.substr(0, at)];
  }
  S().keys[path];
  if (lpdwDisposition != nullptr) {
    *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  }
  *phkResult = static_cast<HKEY>(
      fake::NewHandle(fake::Object{fake::Object::kKey, nullptr, path}));
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  DWORD error;
  if (fake::Fails("RegOpenKeyExW", &error)) return static_cast<LONG>(error);
  std::wstring parent;
  if (!fake::KeyPath(hKey, &parent)) return ERROR_INVALID_HANDLE;
  const std::wstring path = fake::Join(parent, lpSubKey);
  if (S().keys.count(path) == 0) return ERROR_FILE_NOT_FOUND;
  *phkResult = static_cast<HKEY>(
      fake::NewHandle(fake::Object{fake::Object::kKey, nullptr, path}));
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  DWORD error;
  if (fake::Fails("RegCloseKey", &error)) return static_cast<LONG>(error);
  if (fake::Find(hKey, fake::Object::kKey) == nullptr) {
    ADD_FAILURE() << "RegCloseKey of a key that is not open";
    return ERROR_INVALID_HANDLE;
  }
  S().objects.erase(static_cast<std::uintptr_t>(
      reinterpret_cast<const char*>(hKey) - fake::kHandleSpace));
  return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                    CONST BYTE* lpData, DWORD cbData) {
  DWORD error;
  if (fake::Fails("RegSetValueExW", &error)) return static_cast<LONG>(error);
  fake::Key* key;
  if (LONG result = fake::OpenedKey(hKey, &key)) return result;
  const std::wstring name = lpValueName != nullptr ? lpValueName : L"";
  key->values[fake::Fold(name)] =
      Value{name, dwType, std::vector<BYTE>(lpData, lpData + cbData)};
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  DWORD error;
  if (fake::Fails("RegQueryValueExW", &error)) return static_cast<LONG>(error);
  fake::Key* key;
  if (LONG result = fake::OpenedKey(hKey, &key)) return result;
  auto it = key->values.find(fake::Fold(lpValueName != nullptr ? lpValueName : L""));
  if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
  if (lpType != nullptr) *lpType = it->second.type;
  return fake::CopyOut(it->second.data, lpData, lpcbData);
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  DWORD error;
  if (fake::Fails("RegDeleteValueW", &error)) return static_cast<LONG>(error);
  fake::Key* key;
  if (LONG result = fake::OpenedKey(hKey, &key)) return result;
  return key->values.erase(fake::Fold(lpValueName != nullptr ? lpValueName : L""))
             ? ERROR_SUCCESS
             : ERROR_FILE_NOT_FOUND;
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                   LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData) {
  DWORD error;
  if (fake::Fails("RegEnumValueW", &error)) return static_cast<LONG>(error);
  fake::Key* key;
  if (LONG result = fake::OpenedKey(hKey, &key)) return result;
  if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value& value = std::next(key->values.begin(), dwIndex)->second;
  if (*lpcchValueName <= value.name.size()) return ERROR_MORE_DATA;
  std::copy(value.name.begin(), value.name.end(), lpValueName);
  lpValueName[value.name.size()] = 0;
  *lpcchValueName = static_cast<DWORD>(value.name.size());
  if (lpType != nullptr) *lpType = value.type;
  return fake::CopyOut(value.data, lpData, lpcbData);
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR, LPDWORD, LPDWORD, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD, PFILETIME lpftLastWriteTime) {
  DWORD error;
  if (fake::Fails("RegQueryInfoKeyW", &error)) return static_cast<LONG>(error);
  fake::Key* key;
  if (LONG result = fake::OpenedKey(hKey, &key)) return result;
  std::wstring path;
  fake::KeyPath(hKey, &path);
  DWORD subKeys = 0, maxSubKey = 0, maxName = 0, maxData = 0;
  for (const auto& [other, unused] : S().keys) {
    if (!fake::IsBelow(other, path)) continue;
    const std::wstring rest = other.substr(path.empty() ? 0 : path.size() + 1);
    if (rest.find(L'\\') != std::wstring::npos) continue;
    ++subKeys;
    maxSubKey = std::max(maxSubKey, static_cast<DWORD>(rest.size()));
  }
  for (const auto& [folded, value] : key->values) {
    maxName = std::max(maxName, static_cast<DWORD>(value.name.size()));
    maxData = std::max(maxData, static_cast<DWORD>(value.data.size()));
  }
  if (lpcSubKeys) *lpcSubKeys = subKeys;
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSubKey;
  if (lpcValues) *lpcValues = static_cast<DWORD>(key->values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
  return ERROR_SUCCESS;
}

LONG RegNotifyChangeKeyValue(HKEY hKey, WINBOOL, DWORD, HANDLE hEvent,
                             WINBOOL fAsynchronous) {
  DWORD error;
  if (fake::Fails("RegNotifyChangeKeyValue", &error)) return static_cast<LONG>(error);
  fake::Key* key;
  if (LONG result = fake::OpenedKey(hKey, &key)) return result;
  if (!fAsynchronous || hEvent == nullptr) {
    ADD_FAILURE() << "RegNotifyChangeKeyValue: the fake answers only "
                     "asynchronous requests with an event";
    return ERROR_INVALID_PARAMETER;
  }
  std::wstring path;
  fake::KeyPath(hKey, &path);
  S().notifications.push_back(fake::Notification{path, hEvent});
  return ERROR_SUCCESS;
}

LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  DWORD error;
  if (fake::Fails("RegDeleteTreeW", &error)) return static_cast<LONG>(error);
  std::wstring parent;
  if (!fake::KeyPath(hKey, &parent)) return ERROR_INVALID_HANDLE;
  const std::wstring path = fake::Join(parent, lpSubKey);
  auto top = S().keys.find(path);
  if (top == S().keys.end()) return ERROR_FILE_NOT_FOUND;
  for (auto it = S().keys.begin(); it != S().keys.end();) {
    it = fake::IsBelow(it->first, path) ? S().keys.erase(it) : std::next(it);
  }
  // Without a subkey, the key itself stays, emptied.
  if (lpSubKey == nullptr || *lpSubKey == 0) {
    S().keys[path].values.clear();
  } else {
    S().keys.erase(path);
  }
  return ERROR_SUCCESS;
}

// ---- event log and service ----

HANDLE RegisterEventSourceW(LPCWSTR, LPCWSTR) {
  DWORD error;
  if (fake::Fails("RegisterEventSourceW", &error)) {
    ::SetLastError(error);
    return nullptr;
  }
  return fake::NewHandle(fake::Object{fake::Object::kEventSource, nullptr, {}});
}

WINBOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD, DWORD dwEventID, PSID,
                     WORD wNumStrings, DWORD, LPCWSTR* lpStrings, LPVOID) {
  DWORD error;
  if (fake::Fails("ReportEventW", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  if (fake::Find(hEventLog, fake::Object::kEventSource) == nullptr) {
    ADD_FAILURE() << "ReportEventW on a source that is not registered";
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  fake::EventRecord record{wType, dwEventID, {}};
  for (WORD i = 0; i < wNumStrings; ++i) record.strings.emplace_back(lpStrings[i]);
  S().events.push_back(record);
  return TRUE;
}

WINBOOL DeregisterEventSource(HANDLE hEventLog) {
  DWORD error;
  if (fake::Fails("DeregisterEventSource", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  if (fake::Find(hEventLog, fake::Object::kEventSource) == nullptr) {
    ADD_FAILURE() << "DeregisterEventSource of a source that is not registered";
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  S().objects.erase(static_cast<std::uintptr_t>(
      static_cast<const char*>(hEventLog) - fake::kHandleSpace));
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR,
                                                    LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                    LPVOID lpContext) {
  DWORD error;
  if (fake::Fails("RegisterServiceCtrlHandlerExW", &error)) {
    ::SetLastError(error);
    return nullptr;
  }
  S().handler = lpHandlerProc;
  S().handlerContext = lpContext;
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(
      fake::NewHandle(fake::Object{fake::Object::kService, nullptr, {}}));
}

WINBOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                         LPSERVICE_STATUS lpServiceStatus) {
  DWORD error;
  if (fake::Fails("SetServiceStatus", &error)) {
    ::SetLastError(error);
    return FALSE;
  }
  if (fake::Find(reinterpret_cast<HANDLE>(hServiceStatus),
                 fake::Object::kService) == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  S().statuses.push_back(*lpServiceStatus);
  return TRUE;
}

// The plain tables: every TCP socket of the family, whatever its state.
ULONG GetUdpTable(PMIB_UDPTABLE table, PULONG size, WINBOOL) {
  DWORD error;
  if (fake::Fails("GetUdpTable", &error)) return error;
  return fake::Answer<MIB_UDPTABLE>(
      table, size, false, false, false,
      [](const fake::Socket& s, MIB_UDPROW* row) {
        row->dwLocalAddr = fake::StoredAddress(s.local);
        row->dwLocalPort = fake::StoredPort(s.local.port);
      });
}

ULONG GetUdp6Table(PMIB_UDP6TABLE table, PULONG size, WINBOOL) {
  DWORD error;
  if (fake::Fails("GetUdp6Table", &error)) return error;
  return fake::Answer<MIB_UDP6TABLE>(
      table, size, false, false, true,
      [](const fake::Socket& s, MIB_UDP6ROW* row) {
        std::memcpy(row->dwLocalAddr.u.Byte, s.local.host, 16);
        row->dwLocalScopeId = 0;
        row->dwLocalPort = fake::StoredPort(s.local.port);
      });
}

ULONG GetTcpTable(PMIB_TCPTABLE table, PULONG size, WINBOOL) {
  DWORD error;
  if (fake::Fails("GetTcpTable", &error)) return error;
  return fake::Answer<MIB_TCPTABLE>(
      table, size, true, false, false,
      [](const fake::Socket& s, MIB_TCPROW* row) {
        row->dwState = s.listening ? MIB_TCP_STATE_LISTEN : MIB_TCP_STATE_ESTAB;
        row->dwLocalAddr = fake::StoredAddress(s.local);
        row->dwLocalPort = fake::StoredPort(s.local.port);
        row->dwRemoteAddr = fake::StoredAddress(s.remote);
        row->dwRemotePort = fake::StoredPort(s.remote.port);
      },
      true);
}

ULONG GetTcp6Table(PMIB_TCP6TABLE table, PULONG size, WINBOOL) {
  DWORD error;
  if (fake::Fails("GetTcp6Table", &error)) return error;
  return fake::Answer<MIB_TCP6TABLE>(
      table, size, true, false, true,
      [](const fake::Socket& s, MIB_TCP6ROW* row) {
        row->State = s.listening ? MIB_TCP_STATE_LISTEN : MIB_TCP_STATE_ESTAB;
        std::memcpy(row->LocalAddr.u.Byte, s.local.host, 16);
        row->dwLocalScopeId = 0;
        row->dwLocalPort = fake::StoredPort(s.local.port);
        std::memcpy(row->RemoteAddr.u.Byte, s.remote.host, 16);
        row->dwRemoteScopeId = 0;
        row->dwRemotePort = fake::StoredPort(s.remote.port);
      },
      true);
}

}  // namespace tessard::sys
