#pragma once
#include <string>

#include "Automation.h"

// What a flow does in Excel while the add-in file is present, after a workbook has been added;
// it may hand an add-in object back through AddIn.
using AddInStep = void (*)(const Object& ExcelApplication, const std::wstring& AddInPath, Object& AddIn);

// Drives a new Excel through the frame both programs share: create it, alerts off, a workbook
// and Step when the add-in file is present, workbooks closed, alerts on, quit.
// A failure raises at once and skips the rest; both references stay the caller's to release.
void RunExcelFrame(const std::wstring& AddInPath, Object& ExcelApplication, Object& AddIn, AddInStep Step);
