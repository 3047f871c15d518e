// Composes the server command line once, for the command line and the
// dialog, from a module path the utility has checked.
#include "server_command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform.h"

namespace {

constexpr char kServerFileName[] = "tessard.exe";

// The utility's own path, narrow, only when it names the very file the wide
// path names. GetModuleFileNameA does not fail on a character the ANSI code
// page lacks: it writes "?" or a look-alike ("best fit": a different
// folder, or a quote), and the server composed from that is another
// program, started as LocalSystem. A cut path names another file too.
bool TrustedModulePath(char (&path)[kTextSize]) {
  const DWORD length =
      platform::GetModuleFileNameA(g_hInstance, path, kTextSize);
  if (length == 0 || length >= static_cast<DWORD>(kTextSize)) return false;
  WCHAR wide[kTextSize];
  const DWORD wideLength =
      platform::GetModuleFileNameW(g_hInstance, wide, kTextSize);
  if (wideLength == 0 || wideLength >= static_cast<DWORD>(kTextSize)) {
    return false;
  }
  WCHAR back[kTextSize];
  return platform::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1,
                                       back, kTextSize) != 0 &&
         std::wcscmp(back, wide) == 0;
}

}  // namespace

bool ComposeServerCommandLine(LPCSTR transport,
                              char (&commandLine)[kTextSize]) {
  commandLine[0] = '\0';
  char modulePath[kTextSize];
  if (!TrustedModulePath(modulePath)) return false;

  char drive[_MAX_DRIVE];
  char directory[kTextSize];
  char fileName[kTextSize];
  char extension[kTextSize];
  if (_splitpath_s(modulePath, drive, sizeof drive, directory, kTextSize,
                   fileName, kTextSize, extension, kTextSize) != 0) {
    return false;
  }
  // The service manager expands "%...%" in an image path when it starts the
  // service, and a quote would end the quoted path early.
  if (std::strpbrk(directory, "%\"") != nullptr) return false;

  const int length =
      std::snprintf(commandLine, kTextSize, "\"%s%s%s\" %s", drive, directory,
                    kServerFileName, transport);
  if (length < 0 || length >= kTextSize) {
    commandLine[0] = '\0';
    return false;
  }
  return true;
}
