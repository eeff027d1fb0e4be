#include "basRegistry.h"

#include "Platform.h"

void DeleteValue(HKEY RootKey, const std::wstring& SubKey, const std::wstring& ValueName) {
  // Converted before anything is opened: a name that does not survive conversion
  // could name another add-in's value, so it must never reach the registry.
  const std::string Key = ToAnsi(SubKey);
  const std::string Name = ToAnsi(ValueName);
  if (!KeyExists(RootKey, SubKey)) return;
  HKEY Handle = nullptr;
  RegOpenKeyA(RootKey, Key.c_str(), &Handle);
  if (!Handle) return;
  RegDeleteValueA(Handle, Name.c_str());
  RegCloseKey(Handle);
}

bool KeyExists(HKEY RootKey, const std::wstring& SubKey) {
  const std::string Key = ToAnsi(SubKey);
  HKEY Handle = nullptr;
  RegOpenKeyA(RootKey, Key.c_str(), &Handle);
  const bool Answer = Handle != nullptr;
  // Closed whatever the open did; closing no key is harmless.
  RegCloseKey(Handle);
  return Answer;
}
