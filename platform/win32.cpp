// Forwards every call of the platform seam to the real Windows function.
#include "platform.h"

namespace platform {

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName,
                         DWORD dwDesiredAccess) {
  return ::OpenSCManagerA(lpMachineName, lpDatabaseName, dwDesiredAccess);
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                       DWORD dwDesiredAccess) {
  return ::OpenServiceA(hSCManager, lpServiceName, dwDesiredAccess);
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName,
                         LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType,
                         DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                         LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                         LPCSTR lpPassword) {
  return ::CreateServiceA(
      hSCManager, lpServiceName, lpDisplayName, dwDesiredAccess, dwServiceType,
      dwStartType, dwErrorControl, lpBinaryPathName, lpLoadOrderGroup,
      lpdwTagId, lpDependencies, lpServiceStartName, lpPassword);
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs,
                   LPCSTR* lpServiceArgVectors) {
  return ::StartServiceA(hService, dwNumServiceArgs, lpServiceArgVectors);
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  return ::QueryServiceStatus(hService, lpServiceStatus);
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl,
                    LPSERVICE_STATUS lpServiceStatus) {
  return ::ControlService(hService, dwControl, lpServiceStatus);
}

BOOL DeleteService(SC_HANDLE hService) { return ::DeleteService(hService); }

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  return ::CloseServiceHandle(hSCObject);
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                      REGSAM samDesired, PHKEY phkResult) {
  return ::RegOpenKeyExA(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return ::RegQueryValueExW(hKey, lpValueName, lpReserved, lpType, lpData,
                            lpcbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                       DWORD dwType, const BYTE* lpData, DWORD cbData) {
  return ::RegSetValueExA(hKey, lpValueName, Reserved, dwType, lpData, cbData);
}

LSTATUS RegCloseKey(HKEY hKey) { return ::RegCloseKey(hKey); }

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                     DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                     va_list* Arguments) {
  return ::FormatMessageA(dwFlags, lpSource, dwMessageId, dwLanguageId,
                          lpBuffer, nSize, Arguments);
}

HLOCAL LocalFree(HLOCAL hMem) { return ::LocalFree(hMem); }

DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD dwErrCode) { ::SetLastError(dwErrCode); }

void Sleep(DWORD dwMilliseconds) { ::Sleep(dwMilliseconds); }

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  return ::GetModuleFileNameA(hModule, lpFilename, nSize);
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  return ::GetModuleFileNameW(hModule, lpFilename, nSize);
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                        int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  return ::MultiByteToWideChar(CodePage, dwFlags, lpMultiByteStr, cbMultiByte,
                               lpWideCharStr, cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                        LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  return ::WideCharToMultiByte(CodePage, dwFlags, lpWideCharStr, cchWideChar,
                               lpMultiByteStr, cbMultiByte, lpDefaultChar,
                               lpUsedDefaultChar);
}

int lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  return ::lstrcmpA(lpString1, lpString2);
}

int CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2,
                         int cchCount2, BOOL bIgnoreCase) {
  return ::CompareStringOrdinal(lpString1, cchCount1, lpString2, cchCount2,
                                bIgnoreCase);
}

LPSTR lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  return ::lstrcpyA(lpString1, lpString2);
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer,
                int cchBufferMax) {
  return ::LoadStringA(hInstance, uID, lpBuffer, cchBufferMax);
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  return ::MessageBoxA(hWnd, lpText, lpCaption, uType);
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  return ::SysAllocStringLen(strIn, ui);
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
  return ::SysAllocStringByteLen(psz, len);
}

void SysFreeString(BSTR bstrString) { ::SysFreeString(bstrString); }

UINT SysStringLen(BSTR pbstr) { return ::SysStringLen(pbstr); }

UINT SysStringByteLen(BSTR bstr) { return ::SysStringByteLen(bstr); }

HRESULT VarBstrCat(BSTR bstrLeft, BSTR bstrRight, BSTR* pbstrResult) {
  return ::VarBstrCat(bstrLeft, bstrRight, pbstrResult);
}

}  // namespace platform
