#include <windows.h>

#include "Platform.h"
#include "basUninstall.h"

// The uninstall pass: switch the add-in off in Excel, clear Excel's memory of it, end.
[[noreturn]] static void Form_Load() {
  RemoveAddIn();
  CleanAddInManager();
  EndProgram();
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearch();
  Form_Load();
}
