// The second floor of the benchmarks: a program that does nothing but import
// user32, advapi32 and oleaut32, the DLLs tessardctl.exe needs once it works
// on a service, so that the cost of loading them under Wine shows apart from
// the utility's own work.
#include <windows.h>
#include <oleauto.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Never true; the calls are there only so that the DLLs are imported.
  static volatile bool never = false;
  if (never) {
    MessageBoxA(nullptr, nullptr, nullptr, MB_OK);
    CloseServiceHandle(nullptr);
    SysFreeString(nullptr);
  }
  return 0;
}
