// Stands for a DLL that some other download left beside our program: when anything loads it,
// it adds its own file name to planted.log beside it, and does nothing else.
#include <windows.h>

#include "TestSupport.h"

BOOL WINAPI DllMain(HINSTANCE Instance, DWORD Reason, LPVOID) {
  if (Reason != DLL_PROCESS_ATTACH) return TRUE;
  const std::wstring Path = ModulePath(Instance);
  AppendToFile(InFolder(FolderOf(Path), L"planted.log"), Utf8(FileNameOf(Path)) + "\n");
  return TRUE;
}
