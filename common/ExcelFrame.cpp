#include "ExcelFrame.h"

#include "AddIn.h"
#include "FileExists.h"

void RunExcelFrame(const std::wstring& AddInPath, Object& ExcelApplication, Object& AddIn, AddInStep Step) {
  ExcelApplication = CreateObject(ExcelProgId);
  PutProperty(ExcelApplication, L"displayalerts", BoolArg(false));
  if (FileExists(AddInPath)) {
    // Each collection is dropped right after its one call.
    CallMethod(GetProperty(ExcelApplication, L"Workbooks"), L"Add");
    Step(ExcelApplication, AddInPath, AddIn);
  }
  CallMethod(GetProperty(ExcelApplication, L"Workbooks"), L"Close");
  PutProperty(ExcelApplication, L"displayalerts", BoolArg(true));
  CallMethod(ExcelApplication, L"Quit");
}
