// The floor of the benchmarks: a GUI program that starts and ends at once,
// built like tessardctl.exe (static, GUI subsystem), so that the cost of
// starting any process under Wine can be set apart from the utility's work.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
