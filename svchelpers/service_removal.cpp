// Removing half of AtServiceHelpers: whether a registered service runs a
// given image path, and stopping and deleting a service that is ours.
#include "error_text.h"
#include "platform.h"
#include "scoped_owners.h"
#include "service_helpers.h"
#include "services_key.h"

namespace AtServiceHelpers {

namespace {

constexpr DWORD kImagePathBytes = 260;
constexpr LONG kStopBudgetMs = 30000;
constexpr DWORD kStopPollMs = 500;
constexpr DWORD kStopSettleMs = 100;

HRESULT IsThisMyServiceBody(const OwnedWideString& serviceName, BOOL* pbIsMine,
                            const OwnedWideString& moduleName,
                            OwnedWideString& errorText) {
  *pbIsMine = FALSE;
  RegistryKey key;
  if (!OpenServicesKey(serviceName, KEY_READ, key, errorText)) return E_FAIL;

  BYTE value[kImagePathBytes] = {};
  DWORD size = kImagePathBytes;
  DWORD type = REG_NONE;
  DWORD code = static_cast<DWORD>(platform::RegQueryValueExA(
      key.Get(), "ImagePath", nullptr, &type, value, &size));
  if (code == ERROR_SUCCESS) {
    // Only a string that ends inside what was stored can be compared.
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      code = ERROR_INVALID_DATA;
    } else if (size > kImagePathBytes || (size != 0 && value[size - 1] != 0)) {
      code = ERROR_INVALID_DATA;
    }
  }
  if (code != ERROR_SUCCESS) {
    SetFailureText(errorText, "Failed call to Read Services Key: ", code);
    return E_FAIL;
  }

  // A size of 0 leaves the zeroed buffer: an empty text.
  const OwnedWideString imagePath(reinterpret_cast<LPCSTR>(value));
  const NarrowCopy storedText(imagePath);
  const NarrowCopy moduleText(moduleName);
  // A side that cannot be converted matches nothing, so the service is
  // never taken for ours by accident.
  if (storedText.Get() != nullptr && moduleText.Get() != nullptr &&
      platform::lstrcmpiA(storedText.Get(), moduleText.Get()) == 0) {
    *pbIsMine = TRUE;
  }
  return S_OK;
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

  // Wait a bounded time for the stop; a service still running at the end
  // is deleted all the same (the manager marks it for deletion).
  LONG budget = kStopBudgetMs;
  for (;;) {
    if (platform::QueryServiceStatus(hService.Get(), &status) &&
        status.dwCurrentState == SERVICE_STOPPED) {
      platform::Sleep(kStopSettleMs);
      break;
    }
    platform::Sleep(kStopPollMs);
    budget -= static_cast<LONG>(kStopPollMs);
    if (budget <= 0) break;
  }

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
