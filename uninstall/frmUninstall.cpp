#include <windows.h>

#include "Platform.h"
#include "basUninstall.h"

namespace {

// The uninstall pass: switch the add-in off in Excel, clear Excel's memory of it, end.
[[noreturn]] void Form_Load() {
  RemoveAddIn();
  CleanAddInManager();
  EndProgram();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearch();
  Form_Load();
}
