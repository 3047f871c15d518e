// Removing half of AtServiceHelpers: whether a registered service runs a
// given image path, and stopping and deleting a service that is ours.
#include "error_text.h"
#include "platform.h"
#include "scoped_owners.h"
#include "service_helpers.h"
#include "service_manager.h"
#include "services_key.h"

namespace AtServiceHelpers {

namespace {

constexpr DWORD kImagePathChars = 260;  // 259 characters and the NUL
constexpr LONG kStopBudgetMs = 30000;
constexpr DWORD kStopPollMs = 500;
constexpr DWORD kStopSettleMs = 100;

HRESULT IsThisMyServiceBody(const OwnedWideString& serviceName, BOOL* pbIsMine,
                            const OwnedWideString& moduleName,
                            OwnedWideString& errorText) {
  *pbIsMine = FALSE;
  RegistryKey key;
  if (!OpenServicesKey(serviceName, KEY_READ, key, errorText)) return E_FAIL;

  // Read as stored, in UTF-16: a narrow read turns every character the
  // ANSI code page lacks into "?" or a look-alike.
  WCHAR value[kImagePathChars] = {};
  DWORD size = sizeof value;
  DWORD type = REG_NONE;
  DWORD code = static_cast<DWORD>(
      platform::RegQueryValueExW(key.Get(), L"ImagePath", nullptr, &type,
                                 reinterpret_cast<BYTE*>(value), &size));
  if (code == ERROR_SUCCESS) {
    // Only a string that ends inside what was stored can be compared.
    const DWORD chars = size / sizeof(WCHAR);
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      code = ERROR_INVALID_DATA;
    } else if (size > sizeof value || size % sizeof(WCHAR) != 0 ||
               (chars != 0 && value[chars - 1] != L'\0')) {
      code = ERROR_INVALID_DATA;
    }
  }
  if (code != ERROR_SUCCESS) {
    SetFailureText(errorText, "Failed call to Read Services Key: ", code);
    return E_FAIL;
  }

  // A size of 0 leaves the zeroed buffer: an empty text. The comparison
  // goes code unit by code unit and ignores letter case only; lstrcmpi's
  // language rules would take "Strasse" for "Straße" and skip a soft hyphen.
  // A null module name matches nothing.
  if (!moduleName.IsNull() &&
      platform::CompareStringOrdinal(value, -1, moduleName.Get(),
                                     static_cast<int>(moduleName.Length()),
                                     TRUE) == CSTR_EQUAL) {
    *pbIsMine = TRUE;
  }
  return S_OK;
}

// Waits a bounded time for a stop; a service still running at the end is
// deleted all the same (the manager marks it for deletion).
void WaitForStop(SC_HANDLE hService) {
  SERVICE_STATUS status = {};
  for (LONG budget = kStopBudgetMs; budget > 0;
       budget -= static_cast<LONG>(kStopPollMs)) {
    if (platform::QueryServiceStatus(hService, &status) &&
        status.dwCurrentState == SERVICE_STOPPED) {
      platform::Sleep(kStopSettleMs);
      return;
    }
    platform::Sleep(kStopPollMs);
  }
}

HRESULT UninstallBody(const OwnedWideString& serviceName,
                      const OwnedWideString& moduleName,
                      OwnedWideString& errorText) {
  BOOL bInstalled = FALSE;
  HRESULT hr =
      IsInstalled(OwnedWideString(serviceName), &bInstalled, errorText);
  if (FAILED(hr) || !bInstalled) return hr;

  BOOL bIsMine = FALSE;
  hr = IsThisMyServiceWithModuleName(OwnedWideString(serviceName), &bIsMine,
                                     OwnedWideString(moduleName), errorText);
  if (FAILED(hr)) return hr;
  if (!bIsMine) {
    errorText = "Not able to unregister. Not this service.";
    return E_FAIL;
  }

  ServiceHandle hScm;
  if (!OpenManager(hScm, errorText)) return E_FAIL;
  const NarrowCopy name(serviceName);
  ServiceHandle hService(platform::OpenServiceA(
      hScm.Get(), name.Get(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!hService) {
    const DWORD error = platform::GetLastError();
    SetFailureText(errorText, "Failed call to OpenService: ", error);
    return E_FAIL;
  }

  SERVICE_STATUS status = {};
  if (!platform::ControlService(hService.Get(), SERVICE_CONTROL_STOP,
                                &status)) {
    const DWORD error = platform::GetLastError();
    // A service that is not running needs no stop; go on to delete it.
    if (error != ERROR_SERVICE_NOT_ACTIVE) {
      SetFailureText(errorText, "Failed call to ControlService: ", error);
      return E_FAIL;
    }
  }

  WaitForStop(hService.Get());
  if (!platform::DeleteService(hService.Get())) {
    const DWORD error = platform::GetLastError();
    SetFailureText(errorText, "Failed call to DeleteService: ", error);
    hr = E_FAIL;
  }
  return hr;  // the service handle closes before the manager
}

}  // namespace

HRESULT IsThisMyServiceWithModuleName(OwnedWideString serviceName,
                                      BOOL* pbIsMine,
                                      OwnedWideString moduleName,
                                      OwnedWideString& errorText) {
  const ReleasedOnReturn strings{&serviceName, &moduleName};
  return WithCatchAll(
      "Exception caught in AtServiceHelpers::IsThisMyServiceWithModuleName",
      errorText, [&] {
        return IsThisMyServiceBody(serviceName, pbIsMine, moduleName,
                                   errorText);
      });
}

HRESULT UninstallWithModuleName(OwnedWideString serviceName,
                                OwnedWideString moduleName,
                                OwnedWideString& errorText) {
  const ReleasedOnReturn strings{&serviceName, &moduleName};
  return WithCatchAll(
      "Exception caught in AtServiceHelpers::UninstallWithModuleName",
      errorText,
      [&] { return UninstallBody(serviceName, moduleName, errorText); });
}

}  // namespace AtServiceHelpers
