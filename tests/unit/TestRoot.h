#pragma once
#include <windows.h>

#include <string>

// A scratch folder for this suite under the run's test root. The root lies on a file system
// that keeps hidden/system attributes, which the prefix's own temp folder may not.
inline std::wstring ScratchFolder(const wchar_t* Name) {
  wchar_t Root[MAX_PATH];
  const DWORD Length = GetEnvironmentVariableW(L"LARKSPAN_TEST_ROOT", Root, MAX_PATH);
  std::wstring Folder = (Length > 0 && Length < MAX_PATH) ? std::wstring(Root, Length) : L".";
  Folder += L"\\";
  Folder += Name;
  CreateDirectoryW(Folder.c_str(), nullptr);
  return Folder;
}
