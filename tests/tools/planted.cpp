// Stands for a DLL that some other download left beside our program: when anything loads it,
// it adds its own file name to planted.log beside it, and does nothing else.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE Instance, DWORD Reason, LPVOID) {
  if (Reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t Path[MAX_PATH];
  const DWORD Length = GetModuleFileNameW(Instance, Path, MAX_PATH);
  if (Length == 0 || Length >= MAX_PATH) return TRUE;
  DWORD Slash = Length;
  while (Slash > 0 && Path[Slash - 1] != L'\\') --Slash;
  char Line[MAX_PATH + 2];
  int Size = WideCharToMultiByte(CP_UTF8, 0, Path + Slash, static_cast<int>(Length - Slash), Line, MAX_PATH, nullptr,
                                 nullptr);
  Line[Size++] = '\n';
  wchar_t Log[MAX_PATH + 16];
  lstrcpynW(Log, Path, static_cast<int>(Slash) + 1);
  lstrcatW(Log, L"planted.log");
  const HANDLE File = CreateFileW(Log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (File == INVALID_HANDLE_VALUE) return TRUE;
  DWORD Written = 0;
  WriteFile(File, Line, static_cast<DWORD>(Size), &Written, nullptr);
  CloseHandle(File);
  return TRUE;
}
