#pragma once
#include <string>

#include "Automation.h"
// The module offers the file test as one of its own functions, so it comes with this header.
#include "FileExists.h"

// Switches the add-in off in a new Excel, after warning about a running one. Never fails outward.
void RemoveAddIn();

// True when Excel's add-in list holds an add-in titled Title; Title goes by reference.
bool AddInExists(const Object& XlApp, ScopedBstr& Title);

// The folder above this program's folder: where the add-in lies.
std::wstring ParentFolder();

// The text of Folder before its last backslash; empty when there is none.
// Lengths beyond 16-bit range raise, as the path arithmetic is 16-bit.
std::wstring TextBeforeLastBackslash(const std::wstring& Folder);

// The add-in's full path, worked out afresh from the program's folder.
std::wstring UninstallAddInPath();

// Deletes the add-in's value from the current user's Excel 11.0 and 10.0 Add-in Manager keys. Never fails outward.
void CleanAddInManager();
