// Every Windows function tessardctl.exe calls, one row each: add a new call
// here and nowhere else. Included with both macros defined, once for each
// thing made from the rows (so it has no include guard):
//
//   WINDOWS_CALL(dll, name, result, (parameters), (arguments))
//     a call through the seam: platform.h declares platform::name with the
//     Windows signature, win32.cpp forwards it to the real function, and the
//     fake (tests/fake) must define it or no unit test links;
//   WINDOWS_BYPASS(dll, name, reason)
//     a call the product makes straight to Windows, and why.
//
// The import libraries of the delay-loaded DLLs are made from the rows of
// their DLL, and after each link cmake/check_windows_calls.sh compares the
// rows with the Windows functions the product's code imports: a call that
// is not here, a bypass that nothing calls, or a seam function called
// around the seam fails the build (cmake/WindowsCalls.cmake). Each row
// starts "WINDOWS_CALL(dll, name," or "WINDOWS_BYPASS(dll, name," on one
// line: the check reads them as text. The C runtime (msvcrt) is not listed:
// the code reaches it through the C++ library's headers.

// Service Control Manager
WINDOWS_CALL(advapi32, OpenSCManagerA, SC_HANDLE,
             (LPCSTR lpMachineName, LPCSTR lpDatabaseName,
              DWORD dwDesiredAccess),
             (lpMachineName, lpDatabaseName, dwDesiredAccess))
WINDOWS_CALL(advapi32, OpenServiceA, SC_HANDLE,
             (SC_HANDLE hSCManager, LPCSTR lpServiceName,
              DWORD dwDesiredAccess),
             (hSCManager, lpServiceName, dwDesiredAccess))
WINDOWS_CALL(advapi32, CreateServiceA, SC_HANDLE,
             (SC_HANDLE hSCManager, LPCSTR lpServiceName,
              LPCSTR lpDisplayName, DWORD dwDesiredAccess,
              DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
              LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup,
              LPDWORD lpdwTagId, LPCSTR lpDependencies,
              LPCSTR lpServiceStartName, LPCSTR lpPassword),
             (hSCManager, lpServiceName, lpDisplayName, dwDesiredAccess,
              dwServiceType, dwStartType, dwErrorControl, lpBinaryPathName,
              lpLoadOrderGroup, lpdwTagId, lpDependencies, lpServiceStartName,
              lpPassword))
WINDOWS_CALL(advapi32, StartServiceA, BOOL,
             (SC_HANDLE hService, DWORD dwNumServiceArgs,
              LPCSTR* lpServiceArgVectors),
             (hService, dwNumServiceArgs, lpServiceArgVectors))
WINDOWS_CALL(advapi32, QueryServiceStatus, BOOL,
             (SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus),
             (hService, lpServiceStatus))
WINDOWS_CALL(advapi32, ControlService, BOOL,
             (SC_HANDLE hService, DWORD dwControl,
              LPSERVICE_STATUS lpServiceStatus),
             (hService, dwControl, lpServiceStatus))
WINDOWS_CALL(advapi32, DeleteService, BOOL, (SC_HANDLE hService), (hService))
WINDOWS_CALL(advapi32, CloseServiceHandle, BOOL, (SC_HANDLE hSCObject),
             (hSCObject))

// Registry
WINDOWS_CALL(advapi32, RegOpenKeyExA, LSTATUS,
             (HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
              PHKEY phkResult),
             (hKey, lpSubKey, ulOptions, samDesired, phkResult))
WINDOWS_CALL(advapi32, RegQueryValueExW, LSTATUS,
             (HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
              LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData),
             (hKey, lpValueName, lpReserved, lpType, lpData, lpcbData))
WINDOWS_CALL(advapi32, RegSetValueExA, LSTATUS,
             (HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
              const BYTE* lpData, DWORD cbData),
             (hKey, lpValueName, Reserved, dwType, lpData, cbData))
WINDOWS_CALL(advapi32, RegCloseKey, LSTATUS, (HKEY hKey), (hKey))

// System messages, errors, process services
WINDOWS_CALL(kernel32, FormatMessageA, DWORD,
             (DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
              DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
              va_list* Arguments),
             (dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize,
              Arguments))
WINDOWS_CALL(kernel32, LocalFree, HLOCAL, (HLOCAL hMem), (hMem))
WINDOWS_CALL(kernel32, GetLastError, DWORD, (), ())
// The product itself never sets the last error; tests set a sentinel
// through the seam, on the fake and on Windows alike.
WINDOWS_CALL(kernel32, SetLastError, void, (DWORD dwErrCode), (dwErrCode))
WINDOWS_CALL(kernel32, Sleep, void, (DWORD dwMilliseconds), (dwMilliseconds))
WINDOWS_CALL(kernel32, GetModuleFileNameA, DWORD,
             (HMODULE hModule, LPSTR lpFilename, DWORD nSize),
             (hModule, lpFilename, nSize))
WINDOWS_CALL(kernel32, GetModuleFileNameW, DWORD,
             (HMODULE hModule, LPWSTR lpFilename, DWORD nSize),
             (hModule, lpFilename, nSize))

// Strings and conversions
WINDOWS_CALL(kernel32, MultiByteToWideChar, int,
             (UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
              int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar),
             (CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr,
              cchWideChar))
WINDOWS_CALL(kernel32, WideCharToMultiByte, int,
             (UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
              int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
              LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar),
             (CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr,
              cbMultiByte, lpDefaultChar, lpUsedDefaultChar))
WINDOWS_CALL(kernel32, lstrcmpA, int, (LPCSTR lpString1, LPCSTR lpString2),
             (lpString1, lpString2))
WINDOWS_CALL(kernel32, CompareStringOrdinal, int,
             (LPCWCH lpString1, int cchCount1, LPCWCH lpString2,
              int cchCount2, BOOL bIgnoreCase),
             (lpString1, cchCount1, lpString2, cchCount2, bIgnoreCase))
WINDOWS_CALL(kernel32, lstrcpyA, LPSTR, (LPSTR lpString1, LPCSTR lpString2),
             (lpString1, lpString2))

// Catalogue texts and message boxes
WINDOWS_CALL(user32, LoadStringA, int,
             (HINSTANCE hInstance, UINT uID, LPSTR lpBuffer,
              int cchBufferMax),
             (hInstance, uID, lpBuffer, cchBufferMax))
WINDOWS_CALL(user32, MessageBoxA, int,
             (HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType),
             (hWnd, lpText, lpCaption, uType))

// Automation strings
WINDOWS_CALL(oleaut32, SysAllocStringLen, BSTR,
             (const OLECHAR* strIn, UINT ui), (strIn, ui))
WINDOWS_CALL(oleaut32, SysAllocStringByteLen, BSTR, (LPCSTR psz, UINT len),
             (psz, len))
WINDOWS_CALL(oleaut32, SysFreeString, void, (BSTR bstrString), (bstrString))
WINDOWS_CALL(oleaut32, SysStringLen, UINT, (BSTR pbstr), (pbstr))
WINDOWS_CALL(oleaut32, SysStringByteLen, UINT, (BSTR bstr), (bstr))
WINDOWS_CALL(oleaut32, VarBstrCat, HRESULT,
             (BSTR bstrLeft, BSTR bstrRight, BSTR* pbstrResult),
             (bstrLeft, bstrRight, pbstrResult))

// The installer dialog's window calls go straight to user32: the dialog is
// tested for real under Xvfb (tests/dialog), where a scripted stand-in for
// the window manager would check nothing that a user meets.
WINDOWS_BYPASS(user32, CreateDialogParamA, "opens the dialog")
WINDOWS_BYPASS(user32, GetDesktopWindow, "the dialog's owner")
WINDOWS_BYPASS(user32, GetMessageA, "the dialog's message loop")
WINDOWS_BYPASS(user32, TranslateMessage, "the dialog's message loop")
WINDOWS_BYPASS(user32, DispatchMessageA, "the dialog's message loop")
WINDOWS_BYPASS(user32, SetWindowTextA, "the dialog's caption")
WINDOWS_BYPASS(user32, SetDlgItemTextA, "the dialog's texts")
WINDOWS_BYPASS(user32, GetDlgItemTextA, "reads the location field")
WINDOWS_BYPASS(user32, CheckDlgButton, "the start-up choice")
WINDOWS_BYPASS(user32, DestroyWindow, "closes the dialog at Exit")
WINDOWS_BYPASS(user32, PostQuitMessage, "ends the message loop")
