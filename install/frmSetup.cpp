#include "frmSetup.h"

#include "AddIn.h"
#include "Automation.h"
#include "Platform.h"

std::wstring InstructionsText(const std::wstring& AddInPath) {
  return L"The Larkspan Addin has been placed in the directory: "
         L"\n" + AddInPath +
         L"\nTo install: "
         L"\n\t1) Open Excel."
         L"\n\t2) Under the 'Tools' menu, select Add-Ins."
         L"\n\t3) Click on the browse button and browse to the location above."
         L"\n\t4) After selecting the item, click 'OK'."
         L"\n\t5) Now that the Add-In appears in the list, make sure the box next to it is checked.  Then click 'OK'.";
}

void Form_Load() {
  {
    const ComApartment Apartment;
    std::wstring AddInPath;
    Object ExcelApplication;
    Object AddIn;
    try {
      AddInPath = ProgramFolder() + L"\\" + AddInFileName;
      ExcelApplication = CreateObject(ExcelProgId);
      PutProperty(ExcelApplication, L"displayalerts", BoolArg(false));
      const bool Found = FileExists(AddInPath);
      if (Found) {
        // Each collection is dropped right after its one call.
        CallMethod(GetProperty(ExcelApplication, L"Workbooks"), L"Add");
        ScopedBstr Path(AddInPath);
        AddIn = CallObjectMethod(GetProperty(ExcelApplication, L"AddIns"), L"Add", {TextRefArg(Path.Address())});
        PutProperty(AddIn, L"Installed", BoolArg(true));
      }
      CallMethod(GetProperty(ExcelApplication, L"Workbooks"), L"Close");
      PutProperty(ExcelApplication, L"displayalerts", BoolArg(true));
      CallMethod(ExcelApplication, L"Quit");
    } catch (...) {
      // Whatever failed, the user can still finish the job by hand.
      ShowMessage(InstructionsText(AddInPath), L"Install", MB_OK);
    }
    AddIn.Release();
    ExcelApplication.Release();
  }
  EndProgram();
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Form_Load();
}
