// Temporary forwarding until the server's seam lands.
#pragma once
#include <windows.h>
namespace tessard::sys {
using ::RegCloseKey; using ::RegCreateKeyExW; using ::RegQueryInfoKeyW;
using ::RegEnumValueW; using ::RegQueryValueExW; using ::RegSetValueExW;
using ::RegDeleteValueW; using ::RegOpenKeyExW; using ::RegNotifyChangeKeyValue;
using ::RegisterEventSourceW; using ::ReportEventW; using ::DeregisterEventSource;
}
