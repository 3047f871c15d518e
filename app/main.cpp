// The Windows entry point of tessardctl.exe.
#include "entry.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance,
                   LPSTR lpCmdLine, int nShowCmd) {
  return TessardMain(hInstance, hPrevInstance, lpCmdLine, nShowCmd);
}
