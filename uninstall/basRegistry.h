#pragma once
#include <windows.h>

#include <string>

// Deletes the one value ValueName under RootKey\SubKey when that key exists; creates nothing.
// Registry statuses are not examined; a name the ANSI code page cannot hold exactly raises.
void DeleteValue(HKEY RootKey, const std::wstring& SubKey, const std::wstring& ValueName);

// True when RootKey\SubKey can be opened.
bool KeyExists(HKEY RootKey, const std::wstring& SubKey);
