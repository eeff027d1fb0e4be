#include "frmSetup.h"

#include "AddIn.h"
#include "Automation.h"
#include "ExcelFrame.h"
#include "Platform.h"

std::wstring InstructionsText(const std::wstring& AddInPath) {
  return L"The Larkspan Addin has been placed in the directory: "
         L"\n" +
         AddInPath +
         L"\nTo install: "
         L"\n\t1) Open Excel."
         L"\n\t2) Under the 'Tools' menu, select Add-Ins."
         L"\n\t3) Click on the browse button and browse to the location above."
         L"\n\t4) After selecting the item, click 'OK'."
         L"\n\t5) Now that the Add-In appears in the list, make sure the box next to it is checked.  Then click 'OK'.";
}

namespace {

// Adds the file to Excel's list and switches it on.
void InstallAddIn(const Object& ExcelApplication, const std::wstring& AddInPath, Object& AddIn) {
  ScopedBstr Path(AddInPath);
  AddIn = CallObjectMethod(GetProperty(ExcelApplication, L"AddIns"), L"Add", {TextRefArg(Path.Address())});
  PutProperty(AddIn, L"Installed", BoolArg(true));
}

}  // namespace

void Form_Load() {
  // EndProgram never returns and runs no destructors: the block lets go of the apartment, and
  // with it COM, before the program ends.
  {
    const ComApartment Apartment;
    std::wstring AddInPath;
    Object ExcelApplication;
    Object AddIn;
    try {
      AddInPath = ProgramFolder() + L"\\" + AddInFileName;
      RunExcelFrame(AddInPath, ExcelApplication, AddIn, InstallAddIn);
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
  RestrictDllSearch();
  Form_Load();
}
