// The yardstick for planted DLLs: imports from the same system DLLs as the two programs, and
// runs no code of its own, so whatever it loads the loader took before any program code ran.
#include <windows.h>
#include <oleauto.h>

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR CommandLine, int) {
  // Never true; it only keeps one import from each DLL.
  if (CommandLine == reinterpret_cast<PWSTR>(1)) {
    MessageBoxW(nullptr, nullptr, nullptr, 0);
    CoInitializeEx(nullptr, 0);
    SysFreeString(nullptr);
    RegCloseKey(nullptr);
    std::abort();
  }
  ExitProcess(0);
}
