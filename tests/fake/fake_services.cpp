// The fake Service Control Manager: scripted services behind manager and
// service handles, with access checks and deletion on the last close.
#include "fake_state.h"

#include <cstring>

#include "platform.h"

namespace fake {
namespace detail {

namespace {

std::uintptr_t HandleValue(int serial) {
  // Never reused within a run, so a closed handle is always recognised.
  return 0x10000000u + static_cast<std::uintptr_t>(serial) * 8;
}

ServiceRecord* FindRecord(const std::string& name) {
  for (ServiceRecord& record : S().services) {
    if (EqualNoCase(record.svc.name, name)) return &record;
  }
  return nullptr;
}

SC_HANDLE NewHandle(ScKind kind, ServiceRecord* service, DWORD access) {
  State& s = S();
  const int serial = s.nextSerial++;
  s.scHandles[HandleValue(serial)] =
      ScHandleRecord{serial, kind, service, access, true};
  return reinterpret_cast<SC_HANDLE>(HandleValue(serial));
}

// Finds an open handle of the wanted kind. Null is an ordinary caller
// error; anything else that is not an open handle of that kind is misuse.
ScHandleRecord* Resolve(SC_HANDLE handle, ScKind kind, const char* function) {
  if (handle == nullptr) return nullptr;
  State& s = S();
  auto it = s.scHandles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == s.scHandles.end()) {
    RecordMisuse(std::string(function) + " with unknown handle " +
                 KeyH(reinterpret_cast<HKEY>(handle)));
    return nullptr;
  }
  ScHandleRecord& record = it->second;
  if (!record.open) {
    RecordMisuse(std::string(function) + " with closed handle h" +
                 std::to_string(record.serial));
    return nullptr;
  }
  if (record.kind != kind) {
    RecordMisuse(std::string(function) + " with " +
                 (record.kind == ScKind::Manager ? "manager" : "service") +
                 " handle h" + std::to_string(record.serial));
    return nullptr;
  }
  return &record;
}

BOOL Fail(DWORD error) {
  S().lastError = error;
  return FALSE;
}

SC_HANDLE FailHandle(DWORD error) {
  S().lastError = error;
  return nullptr;
}

std::vector<std::string> SplitMultiString(const char* list) {
  std::vector<std::string> names;
  if (list == nullptr) return names;
  for (const char* name = list; *name != '\0'; name += std::strlen(name) + 1)
    names.push_back(name);
  return names;
}

bool IsValidServiceName(const char* name) {
  if (name == nullptr || *name == '\0' || std::strlen(name) > 256) return false;
  return std::strpbrk(name, "/\\") == nullptr;
}

}  // namespace

std::string ServiceKeyPath(const std::string& name) {
  return "System\\CurrentControlSet\\Services\\" + name;
}

void RemoveService(ServiceRecord* record) {
  State& s = S();
  DeleteKeyTree(ServiceKeyPath(record->svc.name));
  for (auto& [value, handle] : s.scHandles) {
    if (handle.service == record) handle.service = nullptr;
  }
  for (auto it = s.services.begin(); it != s.services.end(); ++it) {
    if (&*it == record) {
      s.services.erase(it);
      break;
    }
  }
}

}  // namespace detail

using namespace detail;

Service& AddService(const std::string& name, const std::string& imagePath) {
  ServiceRecord* record = FindRecord(name);
  if (record == nullptr) {
    S().services.emplace_back();
    record = &S().services.back();
  }
  *record = ServiceRecord{};
  record->svc.name = name;
  record->svc.displayName = name;
  record->svc.imagePath = imagePath;
  SetStringValue(ServiceKeyPath(name), "ImagePath", imagePath);
  return record->svc;
}

Service* FindService(const std::string& name) {
  ServiceRecord* record = FindRecord(name);
  return record ? &record->svc : nullptr;
}

SERVICE_STATUS Status(DWORD state, DWORD checkPoint, DWORD waitHint) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  return status;
}

}  // namespace fake

namespace platform {

using namespace fake;
using namespace fake::detail;

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                         DWORD dwDesiredAccess) {
  Log("OpenSCManagerA",
      {Str(lpMachineName), Str(lpDatabaseName), Hex(dwDesiredAccess)});
  DWORD error = 0;
  if (ShouldFail("OpenSCManagerA", &error)) return FailHandle(error);
  return NewHandle(ScKind::Manager, nullptr, dwDesiredAccess);
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                       DWORD dwDesiredAccess) {
  Log("OpenServiceA",
      {ScH(hSCManager), Str(lpServiceName), Hex(dwDesiredAccess)});
  DWORD error = 0;
  if (ShouldFail("OpenServiceA", &error)) return FailHandle(error);
  if (Resolve(hSCManager, ScKind::Manager, "OpenServiceA") == nullptr)
    return FailHandle(ERROR_INVALID_HANDLE);
  if (lpServiceName == nullptr) return FailHandle(ERROR_INVALID_ADDRESS);
  if (!IsValidServiceName(lpServiceName))
    return FailHandle(ERROR_INVALID_NAME);
  ServiceRecord* record = FindRecord(lpServiceName);
  if (record == nullptr) return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
  return NewHandle(ScKind::Service, record, dwDesiredAccess);
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                         LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                         LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR lpPassword) {
  Log("CreateServiceA",
      {ScH(hSCManager), Str(lpServiceName), Str(lpDisplayName),
       Hex(dwDesiredAccess), Hex(dwServiceType), Hex(dwStartType),
       Hex(dwErrorControl), Str(lpBinaryPathName), Str(lpLoadOrderGroup),
       Out(lpdwTagId), MultiStr(lpDependencies), Str(lpServiceStartName),
       Str(lpPassword)});
  DWORD error = 0;
  if (ShouldFail("CreateServiceA", &error)) return FailHandle(error);
  ScHandleRecord* manager =
      Resolve(hSCManager, ScKind::Manager, "CreateServiceA");
  if (manager == nullptr) return FailHandle(ERROR_INVALID_HANDLE);
  if ((manager->access & SC_MANAGER_CREATE_SERVICE) == 0)
    return FailHandle(ERROR_ACCESS_DENIED);
  if (!IsValidServiceName(lpServiceName))
    return FailHandle(ERROR_INVALID_NAME);
  if (lpBinaryPathName == nullptr || *lpBinaryPathName == '\0' ||
      dwStartType > SERVICE_DISABLED ||
      dwErrorControl > SERVICE_ERROR_CRITICAL ||
      (lpdwTagId != nullptr &&
       (lpLoadOrderGroup == nullptr || *lpLoadOrderGroup == '\0')))
    return FailHandle(ERROR_INVALID_PARAMETER);
  if (ServiceRecord* existing = FindRecord(lpServiceName)) {
    return FailHandle(existing->svc.markedForDelete
                          ? ERROR_SERVICE_MARKED_FOR_DELETE
                          : ERROR_SERVICE_EXISTS);
  }
  const std::string displayName =
      lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
  for (const ServiceRecord& other : S().services) {
    if (EqualNoCase(other.svc.displayName, displayName) ||
        EqualNoCase(other.svc.name, displayName))
      return FailHandle(ERROR_DUPLICATE_SERVICE_NAME);
  }

  Service& service = AddService(lpServiceName, lpBinaryPathName);
  service.displayName = displayName;
  service.serviceType = dwServiceType;
  service.startType = dwStartType;
  service.errorControl = dwErrorControl;
  service.status.dwServiceType = dwServiceType;
  service.dependencies = SplitMultiString(lpDependencies);
  service.accountGiven = lpServiceStartName != nullptr;
  service.account = lpServiceStartName ? lpServiceStartName : "";
  service.passwordGiven = lpPassword != nullptr;
  service.password = lpPassword ? lpPassword : "";
  return NewHandle(ScKind::Service, FindRecord(lpServiceName),
                   dwDesiredAccess);
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs,
                   LPCSTR* lpServiceArgVectors) {
  Log("StartServiceA",
      {ScH(hService), Hex(dwNumServiceArgs), Ptr(lpServiceArgVectors)});
  DWORD error = 0;
  if (ShouldFail("StartServiceA", &error)) return Fail(error);
  ScHandleRecord* handle = Resolve(hService, ScKind::Service, "StartServiceA");
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if ((handle->access & SERVICE_START) == 0) return Fail(ERROR_ACCESS_DENIED);
  ServiceRecord& record = *handle->service;
  Service& service = record.svc;
  if (service.markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (service.startType == SERVICE_DISABLED)
    return Fail(ERROR_SERVICE_DISABLED);
  if (service.status.dwCurrentState != SERVICE_STOPPED)
    return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  if (service.startError != 0) return Fail(service.startError);
  ++service.startRequests;
  if (service.startScript.empty()) {
    service.status = Status(SERVICE_RUNNING);
    record.playing = false;
  } else {
    service.status = Status(SERVICE_START_PENDING);
    record.playing = true;
  }
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  Log("QueryServiceStatus", {ScH(hService), Out(lpServiceStatus)});
  DWORD error = 0;
  if (ShouldFail("QueryServiceStatus", &error)) return Fail(error);
  ScHandleRecord* handle =
      Resolve(hService, ScKind::Service, "QueryServiceStatus");
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if ((handle->access & SERVICE_QUERY_STATUS) == 0)
    return Fail(ERROR_ACCESS_DENIED);
  if (lpServiceStatus == nullptr) return Fail(RPC_X_NULL_REF_POINTER);
  ServiceRecord& record = *handle->service;
  if (record.playing && !record.svc.startScript.empty()) {
    record.svc.status = record.svc.startScript.front();
    record.svc.startScript.pop_front();
  }
  if (record.svc.startScript.empty()) record.playing = false;
  *lpServiceStatus = record.svc.status;
  return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl,
                    LPSERVICE_STATUS lpServiceStatus) {
  Log("ControlService", {ScH(hService), Hex(dwControl), Out(lpServiceStatus)});
  DWORD error = 0;
  if (ShouldFail("ControlService", &error)) return Fail(error);
  ScHandleRecord* handle =
      Resolve(hService, ScKind::Service, "ControlService");
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (lpServiceStatus == nullptr) return Fail(RPC_X_NULL_REF_POINTER);
  ServiceRecord& record = *handle->service;
  Service& service = record.svc;
  const DWORD state = service.status.dwCurrentState;

  // The product sends no other control.
  if (dwControl != SERVICE_CONTROL_STOP)
    return Fail(ERROR_INVALID_SERVICE_CONTROL);

  if ((handle->access & SERVICE_STOP) == 0) return Fail(ERROR_ACCESS_DENIED);
  ++service.stopRequests;
  if (state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  // A service still starting or already stopping takes no control.
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  if (service.stopError != 0) return Fail(service.stopError);
  if (service.ignoresStop) {
    *lpServiceStatus = service.status;
    return TRUE;
  }
  *lpServiceStatus = Status(SERVICE_STOP_PENDING);
  service.status = Status(SERVICE_STOPPED);
  record.playing = false;
  return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
  Log("DeleteService", {ScH(hService)});
  DWORD error = 0;
  if (ShouldFail("DeleteService", &error)) return Fail(error);
  ScHandleRecord* handle = Resolve(hService, ScKind::Service, "DeleteService");
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if ((handle->access & DELETE) == 0) return Fail(ERROR_ACCESS_DENIED);
  Service& service = handle->service->svc;
  if (service.markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  service.markedForDelete = true;
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  Log("CloseServiceHandle", {ScH(hSCObject)});
  if (hSCObject == nullptr) return Fail(ERROR_INVALID_HANDLE);
  State& s = S();
  auto it = s.scHandles.find(reinterpret_cast<std::uintptr_t>(hSCObject));
  if (it == s.scHandles.end()) {
    RecordMisuse("CloseServiceHandle of unknown handle " +
                 KeyH(reinterpret_cast<HKEY>(hSCObject)));
    return Fail(ERROR_INVALID_HANDLE);
  }
  ScHandleRecord& handle = it->second;
  if (!handle.open) {
    RecordMisuse("CloseServiceHandle of closed handle h" +
                 std::to_string(handle.serial));
    return Fail(ERROR_INVALID_HANDLE);
  }
  handle.open = false;
  ServiceRecord* record = handle.service;
  if (record != nullptr && record->svc.markedForDelete) {
    bool lastHandle = true;
    for (const auto& [value, other] : s.scHandles) {
      if (other.open && other.service == record) lastHandle = false;
    }
    if (lastHandle) RemoveService(record);
  }
  return TRUE;
}

}  // namespace platform
