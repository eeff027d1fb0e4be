// DLLs planted beside a downloaded program must never be loaded into it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "ExcelWindow.h"
#include "Harness.h"

namespace {

// Names Windows looks for in a program's own folder first: none is a KnownDLL, and the programs
// or the system DLLs they use load several of them as they run (a window brings in uxtheme.dll).
const wchar_t* const PlantedNames[] = {
    L"uxtheme.dll", L"dwmapi.dll",   L"version.dll", L"winmm.dll",   L"cryptbase.dll", L"propsys.dll",
    L"profapi.dll", L"userenv.dll",  L"sspicli.dll", L"secur32.dll", L"wtsapi32.dll",  L"dbghelp.dll",
    L"msimg32.dll", L"netapi32.dll", L"winsta.dll",  L"cryptsp.dll", L"rsaenh.dll",    L"bcrypt.dll",
};

const wchar_t* const PlantedIn[] = {L"install.exe", L"quelbrin.exe", L"importsonly.exe"};

// Wine's per-program settings, which the loader of each new process reads.
std::wstring AppDefaultsKey(const wchar_t* Program) {
  return std::wstring(L"Software\\Wine\\AppDefaults\\") + Program;
}

// Wine prefers its own builtins; Windows would take the planted files, so these programs must too.
void PreferPlanted() {
  for (const wchar_t* Program : PlantedIn) {
    HKEY Key = nullptr;
    const std::wstring Overrides = AppDefaultsKey(Program) + L"\\DllOverrides";
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, Overrides.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &Key, nullptr),
        ERROR_SUCCESS);
    const std::wstring Order = L"native,builtin";
    for (const wchar_t* Name : PlantedNames) {
      const std::wstring Base = std::wstring(Name).substr(0, wcslen(Name) - 4);
      RegSetValueExW(Key, Base.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(Order.c_str()),
                     static_cast<DWORD>((Order.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(Key);
  }
}

void PreferBuiltins() {
  for (const wchar_t* Program : PlantedIn) RegDeleteTreeW(HKEY_CURRENT_USER, AppDefaultsKey(Program).c_str());
}

// Plants planted.dll under every name in Folder.
void Plant(const std::wstring& Folder) {
  for (const wchar_t* Name : PlantedNames)
    ASSERT_TRUE(CopyFileW(InFolder(BinFolder(), L"planted.dll").c_str(), InFolder(Folder, Name).c_str(), FALSE));
}

// The planted names that were loaded from Folder, as planted.log lists them.
std::set<std::string> Loaded(const std::wstring& Folder) {
  std::set<std::string> Names;
  const std::string Data = ReadWholeFile(InFolder(Folder, L"planted.log"));
  for (std::size_t Start = 0, End; (End = Data.find('\n', Start)) != std::string::npos; Start = End + 1) {
    std::string Name = Data.substr(Start, End - Start);
    std::transform(Name.begin(), Name.end(), Name.begin(), [](unsigned char C) { return char(std::tolower(C)); });
    Names.insert(Name);
  }
  return Names;
}

std::string Listed(const std::set<std::string>& Names) {
  std::string Text;
  for (const auto& Name : Names) Text += Name + " ";
  return Text.empty() ? "(none)" : Text;
}

// Every run here takes the planted files first where the system would let it.
class PlantedDll : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PreferPlanted();
    // What the loader takes before the first instruction of any program; on Windows these
    // names would all be KnownDLLs or not loaded at all.
    const std::wstring Folder = NewCaseFolder(L"planted-baseline");
    Plant(Folder);
    const std::wstring Program = PlaceProgram(L"importsonly.exe", Folder);
    RunProgram(Program);
    ByLoader = Loaded(Folder);
  }
  static void TearDownTestSuite() { PreferBuiltins(); }
  inline static std::set<std::string> ByLoader;
};

struct PlantedCase {
  const char* Name;
  const wchar_t* Program;  // install.exe beside the add-in, or Uninstall\quelbrin.exe below it
  bool ShowsBox;           // install: Excel missing; uninstall: Excel open
};

class PlantedDllRun : public PlantedDll, public ::testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedDllRun, LoadsNoneOfThemBeyondWhatTheLoaderTook) {
  const PlantedCase& Case = GetParam();
  const bool Setup = std::wstring(Case.Program) == L"install.exe";
  const std::wstring AddInFolder = NewCaseFolder(L"planted");
  const PlacedProgram Placed = Setup ? PlaceSetup(AddInFolder, true) : PlaceUninstall(AddInFolder, true);
  const std::wstring Folder = FolderOf(Placed.Program);
  Plant(Folder);
  PrepareStandIn();
  std::unique_ptr<ExcelUnregistered> NoExcel;
  std::unique_ptr<ExcelWindow> ExcelOpen;
  if (Case.ShowsBox && Setup) NoExcel = std::make_unique<ExcelUnregistered>();
  if (Case.ShowsBox && !Setup) ExcelOpen = std::make_unique<ExcelWindow>();
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_EQ(Run.Boxes.size(), Case.ShowsBox ? 1u : 0u);
  NoExcel.reset();
  // The run did its job: with Excel there, Excel was told to quit.
  if (!(Setup && Case.ShowsBox)) {
    EXPECT_TRUE(StandInJournal().QuitCleanly());
  }

  std::set<std::string> Extra;
  for (const auto& Name : Loaded(Folder))
    if (!ByLoader.count(Name)) Extra.insert(Name);
  EXPECT_TRUE(Extra.empty()) << "loaded from the program's folder: " << Listed(Extra)
                             << "; by the loader alone: " << Listed(ByLoader);
}

INSTANTIATE_TEST_SUITE_P(PlantedDll, PlantedDllRun,
                         ::testing::Values(PlantedCase{"setup", L"install.exe", false},
                                           PlantedCase{"setup_with_message", L"install.exe", true},
                                           PlantedCase{"uninstall", L"quelbrin.exe", false},
                                           PlantedCase{"uninstall_with_warning", L"quelbrin.exe", true}),
                         [](const ::testing::TestParamInfo<PlantedCase>& Info) { return Info.param.Name; });

}  // namespace
