// Every Windows function tessard.exe's own code calls, one row each, in
// the shape of platform/windows_calls.h (read there how the rows are
// used and checked). Included with both macros defined, once for each
// thing made from the rows (so it has no include guard):
//
//   WINDOWS_CALL(dll, name, result, (parameters), (arguments))
//     a call through the server's seam: system_calls.h declares
//     tessard::sys::name with the Windows signature, system_calls_win32.cpp
//     forwards it, and the scripted fake (tests/server_seam) defines it;
//   WINDOWS_BYPASS(dll, name, reason)
//     a call the server makes straight to Windows, and why.
//
// The seam holds what a test must be able to fault or play on purpose:
// the socket tables, another process and its token, the registry, the
// event log and the service manager's status reports. Each row starts
// "WINDOWS_CALL(dll, name," or "WINDOWS_BYPASS(dll, name," on one line.

// The socket tables: who owns a socket, which ports are bound.
WINDOWS_CALL(iphlpapi, GetExtendedTcpTable, DWORD,
             (PVOID pTcpTable, PDWORD pdwSize, WINBOOL bOrder, ULONG ulAf,
              TCP_TABLE_CLASS TableClass, ULONG Reserved),
             (pTcpTable, pdwSize, bOrder, ulAf, TableClass, Reserved))
WINDOWS_CALL(iphlpapi, GetExtendedUdpTable, DWORD,
             (PVOID pUdpTable, PDWORD pdwSize, WINBOOL bOrder, ULONG ulAf,
              UDP_TABLE_CLASS TableClass, ULONG Reserved),
             (pUdpTable, pdwSize, bOrder, ulAf, TableClass, Reserved))

// The plain tables, without owners: the periodic sample of bound sockets
// reads these, since finding owners costs (under Wine a scan of every
// process's descriptors, which stalled serving for over a second).
WINDOWS_CALL(iphlpapi, GetUdpTable, ULONG,
             (PMIB_UDPTABLE UdpTable, PULONG SizePointer, WINBOOL Order),
             (UdpTable, SizePointer, Order))
WINDOWS_CALL(iphlpapi, GetUdp6Table, ULONG,
             (PMIB_UDP6TABLE Udp6Table, PULONG SizePointer, WINBOOL Order),
             (Udp6Table, SizePointer, Order))
WINDOWS_CALL(iphlpapi, GetTcpTable, ULONG,
             (PMIB_TCPTABLE TcpTable, PULONG SizePointer, WINBOOL Order),
             (TcpTable, SizePointer, Order))
WINDOWS_CALL(iphlpapi, GetTcp6Table, ULONG,
             (PMIB_TCP6TABLE TcpTable, PULONG SizePointer, WINBOOL Order),
             (TcpTable, SizePointer, Order))

// A process: when it started, its program, its token's account.
WINDOWS_CALL(kernel32, OpenProcess, HANDLE,
             (DWORD dwDesiredAccess, WINBOOL bInheritHandle,
              DWORD dwProcessId),
             (dwDesiredAccess, bInheritHandle, dwProcessId))
WINDOWS_CALL(kernel32, GetProcessTimes, WINBOOL,
             (HANDLE hProcess, LPFILETIME lpCreationTime,
              LPFILETIME lpExitTime, LPFILETIME lpKernelTime,
              LPFILETIME lpUserTime),
             (hProcess, lpCreationTime, lpExitTime, lpKernelTime, lpUserTime))
WINDOWS_CALL(kernel32, QueryFullProcessImageNameW, WINBOOL,
             (HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName,
              PDWORD lpdwSize),
             (hProcess, dwFlags, lpExeName, lpdwSize))
WINDOWS_CALL(advapi32, OpenProcessToken, WINBOOL,
             (HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle),
             (ProcessHandle, DesiredAccess, TokenHandle))
WINDOWS_CALL(advapi32, GetTokenInformation, WINBOOL,
             (HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
              LPVOID TokenInformation, DWORD TokenInformationLength,
              PDWORD ReturnLength),
             (TokenHandle, TokenInformationClass, TokenInformation,
              TokenInformationLength, ReturnLength))
WINDOWS_CALL(advapi32, LookupAccountSidW, WINBOOL,
             (LPCWSTR lpSystemName, PSID Sid, LPWSTR Name, LPDWORD cchName,
              LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
              PSID_NAME_USE peUse),
             (lpSystemName, Sid, Name, cchName, ReferencedDomainName,
              cchReferencedDomainName, peUse))
WINDOWS_CALL(kernel32, CloseHandle, WINBOOL, (HANDLE hObject), (hObject))

// The clock a call's arrival is stamped with, the one process creation
// times are given in (a process created after a call arrived did not
// send it).
WINDOWS_CALL(kernel32, GetSystemTimeAsFileTime, void,
             (LPFILETIME lpSystemTimeAsFileTime), (lpSystemTimeAsFileTime))

// The registry: the stored registrations and the server's settings.
WINDOWS_CALL(advapi32, RegCreateKeyExW, LONG,
             (HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
              DWORD dwOptions, REGSAM samDesired,
              LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
              LPDWORD lpdwDisposition),
             (hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
              lpSecurityAttributes, phkResult, lpdwDisposition))
WINDOWS_CALL(advapi32, RegOpenKeyExW, LONG,
             (HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
              PHKEY phkResult),
             (hKey, lpSubKey, ulOptions, samDesired, phkResult))
WINDOWS_CALL(advapi32, RegCloseKey, LONG, (HKEY hKey), (hKey))
WINDOWS_CALL(advapi32, RegSetValueExW, LONG,
             (HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
              CONST BYTE* lpData, DWORD cbData),
             (hKey, lpValueName, Reserved, dwType, lpData, cbData))
WINDOWS_CALL(advapi32, RegQueryValueExW, LONG,
             (HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
              LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData),
             (hKey, lpValueName, lpReserved, lpType, lpData, lpcbData))
WINDOWS_CALL(advapi32, RegDeleteValueW, LONG, (HKEY hKey, LPCWSTR lpValueName),
             (hKey, lpValueName))
WINDOWS_CALL(advapi32, RegEnumValueW, LONG,
             (HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
              LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
              LPBYTE lpData, LPDWORD lpcbData),
             (hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType,
              lpData, lpcbData))
WINDOWS_CALL(advapi32, RegQueryInfoKeyW, LONG,
             (HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
              LPDWORD lpReserved, LPDWORD lpcSubKeys,
              LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
              LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
              LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
              PFILETIME lpftLastWriteTime),
             (hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys,
              lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
              lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor,
              lpftLastWriteTime))
WINDOWS_CALL(advapi32, RegNotifyChangeKeyValue, LONG,
             (HKEY hKey, WINBOOL bWatchSubtree, DWORD dwNotifyFilter,
              HANDLE hEvent, WINBOOL fAsynchronous),
             (hKey, bWatchSubtree, dwNotifyFilter, hEvent, fAsynchronous))
WINDOWS_CALL(advapi32, RegDeleteTreeW, LONG, (HKEY hKey, LPCWSTR lpSubKey),
             (hKey, lpSubKey))

// The event log.
WINDOWS_CALL(advapi32, RegisterEventSourceW, HANDLE,
             (LPCWSTR lpUNCServerName, LPCWSTR lpSourceName),
             (lpUNCServerName, lpSourceName))
WINDOWS_CALL(advapi32, ReportEventW, WINBOOL,
             (HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
              PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize,
              LPCWSTR* lpStrings, LPVOID lpRawData),
             (hEventLog, wType, wCategory, dwEventID, lpUserSid, wNumStrings,
              dwDataSize, lpStrings, lpRawData))
WINDOWS_CALL(advapi32, DeregisterEventSource, WINBOOL, (HANDLE hEventLog),
             (hEventLog))

// The service manager's side of a running service.
WINDOWS_CALL(advapi32, RegisterServiceCtrlHandlerExW, SERVICE_STATUS_HANDLE,
             (LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
              LPVOID lpContext),
             (lpServiceName, lpHandlerProc, lpContext))
WINDOWS_CALL(advapi32, SetServiceStatus, WINBOOL,
             (SERVICE_STATUS_HANDLE hServiceStatus,
              LPSERVICE_STATUS lpServiceStatus),
             (hServiceStatus, lpServiceStatus))

// Winsock and the adapters' addresses go straight to Windows: the system
// tests drive them for real, in a network namespace of their own, where
// a scripted stand-in would check nothing that a client meets.
WINDOWS_BYPASS(ws2_32, WSAStartup, "Winsock, driven for real")
WINDOWS_BYPASS(ws2_32, WSACleanup, "Winsock, driven for real")
WINDOWS_BYPASS(ws2_32, WSAEnumProtocolsW, "whether an SPX provider is listed")
WINDOWS_BYPASS(ws2_32, WSAGetLastError, "Winsock's error of the last call")
WINDOWS_BYPASS(ws2_32, WSASocketW, "opens an overlapped socket")
WINDOWS_BYPASS(ws2_32, socket, "tries whether IPv6 and SPX open a socket")
WINDOWS_BYPASS(ws2_32, closesocket, "closes a socket")
WINDOWS_BYPASS(ws2_32, setsockopt, "socket options")
WINDOWS_BYPASS(ws2_32, ioctlsocket, "non-blocking sockets")
WINDOWS_BYPASS(ws2_32, WSAIoctl, "keeps ICMP errors from datagram receives")
WINDOWS_BYPASS(ws2_32, bind, "binds the server's sockets")
WINDOWS_BYPASS(ws2_32, listen, "the stream sockets listen")
WINDOWS_BYPASS(ws2_32, accept, "takes a connection")
WINDOWS_BYPASS(ws2_32, WSAEventSelect, "connections waiting to be accepted set an event")
WINDOWS_BYPASS(ws2_32, recvfrom, "receives a datagram")
WINDOWS_BYPASS(ws2_32, sendto, "answers a datagram")
WINDOWS_BYPASS(ws2_32, WSARecv, "reads a connection")
WINDOWS_BYPASS(ws2_32, WSASend, "writes a connection")
WINDOWS_BYPASS(ws2_32, WSAGetOverlappedResult, "a connection's I/O")
WINDOWS_BYPASS(ws2_32, WSAResetEvent, "a connection's I/O event")
WINDOWS_BYPASS(ws2_32, htons, "byte order")
WINDOWS_BYPASS(ws2_32, ntohs, "byte order")
WINDOWS_BYPASS(iphlpapi, GetAdaptersAddresses, "this host's addresses")

// The rest go straight to Windows as well: events, waits, the clock of
// the timeouts, texts and the service's start. A test plays none of them;
// one moves behind the seam when a test must.
WINDOWS_BYPASS(kernel32, CreateEventW, "events between the server's threads")
WINDOWS_BYPASS(kernel32, SetEvent, "events between the server's threads")
WINDOWS_BYPASS(kernel32, ResetEvent, "events between the server's threads")
WINDOWS_BYPASS(kernel32, WaitForSingleObject, "waits for the stop")
WINDOWS_BYPASS(kernel32, WaitForMultipleObjects, "waits for I/O or a stop")
WINDOWS_BYPASS(kernel32, CancelIoEx, "cancels a connection's I/O")
WINDOWS_BYPASS(kernel32, GetTickCount64, "the monotonic clock of timeouts")
WINDOWS_BYPASS(kernel32, GetLastError, "the last call's error")
WINDOWS_BYPASS(kernel32, GetCurrentProcessId, "the server's own process")
WINDOWS_BYPASS(kernel32, CreateToolhelp32Snapshot, "whether services.exe started us")
WINDOWS_BYPASS(kernel32, Process32FirstW, "whether services.exe started us")
WINDOWS_BYPASS(kernel32, Process32NextW, "whether services.exe started us")
WINDOWS_BYPASS(kernel32, CompareStringOrdinal, "compares program names")
WINDOWS_BYPASS(kernel32, SetConsoleCtrlHandler, "Ctrl+C in console mode")
WINDOWS_BYPASS(kernel32, GetModuleFileNameW, "the event source's message file")
WINDOWS_BYPASS(kernel32, FormatMessageW, "an event's text from our message table")
WINDOWS_BYPASS(kernel32, GetModuleHandleW, "the module holding the message table")
WINDOWS_BYPASS(kernel32, FormatMessageA, "the text of a Windows error")
WINDOWS_BYPASS(kernel32, LocalFree, "frees FormatMessage's texts")
WINDOWS_BYPASS(advapi32, StartServiceCtrlDispatcherW, "runs as a service")
