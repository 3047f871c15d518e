// Start-and-wait: asks the service manager to start the port-mapper service
// and follows the progress it reports, through two process-wide handles.
#pragma once

#include <windows.h>

// Opens the manager (SC_MANAGER_ALL_ACCESS) into g_hScm, null or not.
SC_HANDLE OpenManagerHandle();
// Opens `serviceName` through g_hScm (SERVICE_ALL_ACCESS) into g_hService.
SC_HANDLE OpenServiceHandle(LPCSTR serviceName);

// Shows every outcome in a message box (none when a handle cannot be opened).
void StartAndReport();
// 0 when the service was seen running, -1 otherwise. Shows nothing.
int StartSilently();
