#include "basUninstall.h"

#include <cstdint>
#include <limits>

#include "AddIn.h"
#include "ExcelFrame.h"
#include "Platform.h"
#include "basRegistry.h"

namespace {

constexpr wchar_t ExcelMainWindowClass[] = L"XLMAIN";

constexpr wchar_t ExcelRunningWarning[] =
    L"Microsoft Excel needs to be closed in order to uninstall 'Zorvik Larkspan'. "
    L"\nPlease close Excel and then click OK to continue.";

// Older Excel versions that kept add-ins by full path; newer ones are not ours to touch.
constexpr const wchar_t* AddInManagerKeys[] = {
    L"Software\\Microsoft\\Office\\11.0\\Excel\\Add-in Manager",
    L"Software\\Microsoft\\Office\\10.0\\Excel\\Add-in Manager",
};

constexpr int Int16Max = std::numeric_limits<std::int16_t>::max();

// Warns once when an Excel main window exists; the handle is judged as a signed 32-bit value.
void WarnIfExcelRuns() {
  const HWND Window = FindWindowA(ToAnsi(ExcelMainWindowClass).c_str(), nullptr);
  const auto Handle = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(Window));
  if (Handle > 0) ShowMessage(ExcelRunningWarning, L"Uninstall", MB_ICONERROR);
}

// Switches the add-in off when Excel's list holds it; looked up by title, so any copy of it counts.
void SwitchAddInOff(const Object& ExcelApplication, const std::wstring&, Object& AddIn) {
  // Two texts: the look-up passes this variable by reference, the removal a fresh copy by value,
  // so nothing Excel may have done to the first through its reference reaches the second.
  ScopedBstr Title(AddInTitle);
  if (AddInExists(ExcelApplication, Title)) {
    ScopedBstr TitleCopy(AddInTitle);
    AddIn = GetProperty(ExcelApplication, L"AddIns", {TextArg(TitleCopy.Get())});
    PutProperty(AddIn, L"Installed", BoolArg(false));
  }
}

}  // namespace

void RemoveAddIn() {
  const ComApartment Apartment;
  Object ExcelApplication;
  Object AddIn;
  try {
    WarnIfExcelRuns();
    RunExcelFrame(UninstallAddInPath(), ExcelApplication, AddIn, SwitchAddInOff);
  } catch (...) {
    // The uninstall carries on to the registry whatever Excel did.
  }
  AddIn.Release();
  ExcelApplication.Release();
}

bool AddInExists(const Object& XlApp, ScopedBstr& Title) {
  try {
    const Object Found = GetProperty(XlApp, L"AddIns", {TextRefArg(Title.Address())});
    return true;
  } catch (...) {
    // Excel answers an unknown title with a failure; any failure means "not there".
    return false;
  }
}

std::wstring TextBeforeLastBackslash(const std::wstring& Folder) {
  if (Folder.size() > static_cast<std::size_t>(Int16Max)) RaiseFailure(HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW));
  const std::size_t Length = Folder.size();
  for (std::size_t Count = 1; Count <= Length; ++Count) {
    if (Folder[Length - Count] == L'\\') return Folder.substr(0, Length - Count);
  }
  // The 16-bit counter steps once past the length when nothing is found.
  if (Length == static_cast<std::size_t>(Int16Max)) RaiseFailure(HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW));
  return std::wstring();
}

std::wstring ParentFolder() {
  return TextBeforeLastBackslash(ProgramFolder());
}

std::wstring UninstallAddInPath() {
  return ParentFolder() + L"\\" + AddInFileName;
}

void CleanAddInManager() {
  for (const wchar_t* SubKey : AddInManagerKeys) {
    try {
      DeleteValue(HKEY_CURRENT_USER, SubKey, UninstallAddInPath());
    } catch (...) {
      // A step that fails is skipped; the next key still gets its turn.
    }
  }
}
