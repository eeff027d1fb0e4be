#pragma once
#include <string>

// True when Fname, taken as a search pattern, matches an ordinary file: not a folder, not hidden, not system.
bool FileExists(const std::wstring& Fname);
