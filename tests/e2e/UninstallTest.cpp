// The uninstall program, run for real against the Excel stand-in and the prefix's own registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "ExcelWindow.h"
#include "Harness.h"

namespace {

using Lines = std::vector<std::string>;

const std::wstring Warning =
    L"Microsoft Excel needs to be closed in order to uninstall 'Zorvik Larkspan'. "
    L"\nPlease close Excel and then click OK to continue.";
const std::string Installed = "addin Zorvik Larkspan|C:\\Elsewhere\\Larkspan.xla|1";

// What an uninstall run tells Excel when the file is there and Excel knows the add-in.
const Lines FullRemoval = {
    PutBool("Application.displayalerts", false),
    Get("Application.Workbooks"),
    Method("Workbooks.Add"),
    Get("Application.AddIns", TextByRef(L"Zorvik Larkspan")),
    Get("Application.AddIns", Text(L"Zorvik Larkspan")),
    PutBool("AddIn.Installed", false),
    Get("Application.Workbooks"),
    Method("Workbooks.Close"),
    PutBool("Application.displayalerts", true),
    Method("Application.Quit"),
};

struct PlacedUninstall {
  std::wstring Program;
  std::wstring AddInPath;
};

// quelbrin.exe in Uninstall below a fresh add-in folder, with or without the add-in file.
PlacedUninstall PlaceUninstall(const std::wstring& AddInFolder, bool WithAddIn) {
  PlacedUninstall Placed{PlaceProgram(L"quelbrin.exe", AddInFolder + L"\\Uninstall"), AddInFolder + L"\\Larkspan.xla"};
  if (WithAddIn) PlaceFile(Placed.AddInPath);
  return Placed;
}

// The whole removal, as it goes on every machine it may meet.
class UninstallOnMachine : public ::testing::TestWithParam<Machine> {};

TEST_P(UninstallOnMachine, SwitchesTheAddInOffQuietlyWhenExcelIsNotRunning) {
  const PlacedUninstall Placed = PlaceUninstall(NewCaseFolder(L"quiet"), true);
  PrepareMachine(GetParam(), {Installed});
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), FullRemoval);
  EXPECT_EQ(ReleaseProblems(Log), "");
  EXPECT_TRUE(Log.QuitCleanly());
}

INSTANTIATE_TEST_SUITE_P(Uninstall, UninstallOnMachine, ::testing::Values(PlainMachine, GermanMachine), MachineName);

TEST(Uninstall, WarnsOnceBeforeTouchingExcelThenCarriesOn) {
  const PlacedUninstall Placed = PlaceUninstall(NewCaseFolder(L"warns"), true);
  PrepareStandIn({Installed});
  const ExcelWindow Running;
  ASSERT_NE(Running.Window, nullptr);
  bool ExcelStartedBeforeOk = true;
  const RunOutcome Run = RunProgram(Placed.Program, [&](const SeenBox&) { ExcelStartedBeforeOk = StandInStarted(); });
  ASSERT_EQ(Run.boxes.size(), 1u);
  const SeenBox& Box = Run.boxes[0];
  EXPECT_EQ(Utf8(Box.caption), "Uninstall");
  EXPECT_EQ(Utf8(Box.text), Utf8(Warning));
  EXPECT_TRUE(Box.stopIcon);
  EXPECT_EQ(Box.buttons, std::vector<std::wstring>{L"OK"});
  EXPECT_TRUE(Box.topmost);
  EXPECT_FALSE(ExcelStartedBeforeOk);
  // The window is still there after OK; the removal goes on regardless.
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), FullRemoval);
  EXPECT_EQ(ReleaseProblems(Log), "");
}

TEST(Uninstall, LeavesAnAddInExcelDoesNotKnowAlone) {
  const PlacedUninstall Placed = PlaceUninstall(NewCaseFolder(L"unknown-title"), true);
  PrepareStandIn();
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.boxes.empty());
  const Journal Log = StandInJournal();
  const Lines Expected = {
      PutBool("Application.displayalerts", false),
      Get("Application.Workbooks"),
      Method("Workbooks.Add"),
      Failed(Get("Application.AddIns", TextByRef(L"Zorvik Larkspan"))),
      Get("Application.Workbooks"),
      Method("Workbooks.Close"),
      PutBool("Application.displayalerts", true),
      Method("Application.Quit"),
  };
  EXPECT_EQ(Calls(Log), Expected);
  EXPECT_EQ(ReleaseProblems(Log), "");
}

TEST(Uninstall, WithoutTheFileDoesNotLookTheAddInUp) {
  const PlacedUninstall Placed = PlaceUninstall(NewCaseFolder(L"absent"), false);
  PrepareStandIn({Installed});
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), ExcelOpenedAndClosed());
  EXPECT_EQ(ReleaseProblems(Log), "");
}

// A failing call ends the Excel part silently; nothing after it reaches Excel.
class UninstallFailure : public ::testing::TestWithParam<const char*> {};

TEST_P(UninstallFailure, StopsSilentlyAtTheFailedCall) {
  const std::string Member = GetParam();
  const PlacedUninstall Placed = PlaceUninstall(NewCaseFolder(L"fails"), true);
  PrepareStandIn({Installed, "fail " + Member});
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_NE(Log.FailedCall(Member), nullptr) << Member << " was never called";
  EXPECT_EQ(Calls(Log), CallsUpToFailed(FullRemoval, Member));
  EXPECT_EQ(ReleaseProblems(Log), "");
}

INSTANTIATE_TEST_SUITE_P(Uninstall, UninstallFailure,
                         ::testing::Values("Application.displayalerts", "Workbooks.Add", "AddIn.Installed",
                                           "Workbooks.Close", "Application.Quit"));

// ---- Registry clean-up, against the prefix's real HKEY_CURRENT_USER ----

const wchar_t* const OfficeKey = L"Software\\Microsoft\\Office";

std::wstring ManagerKey(const wchar_t* Version) {
  return std::wstring(OfficeKey) + L"\\" + Version + L"\\Excel\\Add-in Manager";
}

bool KeyPresent(const std::wstring& Key) {
  HKEY Handle = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, Key.c_str(), 0, KEY_READ, &Handle) != ERROR_SUCCESS) return false;
  RegCloseKey(Handle);
  return true;
}

// Every value name under Key, sorted; empty when the key is absent.
std::vector<std::wstring> ValueNames(const std::wstring& Key) {
  std::vector<std::wstring> Names;
  HKEY Handle = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, Key.c_str(), 0, KEY_READ, &Handle) != ERROR_SUCCESS) return Names;
  wchar_t Name[16384];
  for (DWORD Index = 0;; ++Index) {
    DWORD Length = 16384;
    if (RegEnumValueW(Handle, Index, Name, &Length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    Names.emplace_back(Name, Length);
  }
  RegCloseKey(Handle);
  std::sort(Names.begin(), Names.end());
  return Names;
}

void SeedValues(const std::wstring& Key, const std::vector<std::wstring>& Names) {
  HKEY Handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &Handle, nullptr),
            ERROR_SUCCESS);
  for (const auto& Name : Names) RegSetValueExW(Handle, Name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2);
  RegCloseKey(Handle);
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> Names) {
  std::sort(Names.begin(), Names.end());
  return Names;
}

struct RegistryCase {
  const char* Name;
  const wchar_t* AddInFolderName;         // the folder above Uninstall, inside the case folder
  std::vector<const wchar_t*> Seeded;     // versions whose Add-in Manager key exists before the run
  std::vector<const wchar_t*> Cleaned;    // versions whose value for this add-in must be gone afterwards
};

// Each case starts and ends with no Office keys and nothing of ours on the scratch drive's root.
class UninstallRegistry : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  static void Clear() {
    RegDeleteTreeW(HKEY_CURRENT_USER, OfficeKey);
    ClearScratchDrive();
  }
};

class UninstallRegistryTable : public UninstallRegistry, public ::testing::WithParamInterface<RegistryCase> {};

// Each seeded key holds the add-in's own value, one naming Larkspan.xla in another folder,
// a look-alike of the add-in's path written with plain letters, and an unrelated value.
TEST_P(UninstallRegistryTable, DeletesOnlyTheAddInsValueFromTheOldKeys) {
  const RegistryCase& Case = GetParam();
  const std::wstring CaseFolder = NewCaseFolder(L"registry");
  const std::wstring AddInFolder = CaseFolder + L"\\" + Case.AddInFolderName;
  const PlacedUninstall Placed = PlaceUninstall(AddInFolder, false);
  const std::wstring LookAlike = CaseFolder + L"\\Omega\\Larkspan.xla";
  const std::vector<std::wstring> Others = {L"C:\\Elsewhere\\Larkspan.xla", LookAlike, L"Other.xla"};
  std::map<std::wstring, std::vector<std::wstring>> Before;
  for (const wchar_t* Version : Case.Seeded) {
    std::vector<std::wstring> Names = Others;
    Names.push_back(Placed.AddInPath);
    SeedValues(ManagerKey(Version), Names);
    Before[Version] = Sorted(Names);
  }
  PrepareStandIn();
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.boxes.empty());
  for (const wchar_t* Version : {L"10.0", L"11.0", L"12.0", L"16.0"}) {
    const bool Seeded = Before.count(Version) != 0;
    EXPECT_EQ(KeyPresent(ManagerKey(Version)), Seeded) << Case.Name << ": key " << Utf8(Version);
    if (!Seeded) continue;
    const bool Cleaned = std::find_if(Case.Cleaned.begin(), Case.Cleaned.end(),
                                      [&](const wchar_t* V) { return std::wstring(V) == Version; }) != Case.Cleaned.end();
    std::vector<std::wstring> Expected = Before[Version];
    if (Cleaned) Expected.erase(std::find(Expected.begin(), Expected.end(), Placed.AddInPath));
    EXPECT_EQ(ValueNames(ManagerKey(Version)), Expected) << Case.Name << ": values under " << Utf8(Version);
  }
  // The add-in file is absent, so a run that really happened opened and closed Excel.
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), ExcelOpenedAndClosed()) << Case.Name;
  EXPECT_EQ(ReleaseProblems(Log), "") << Case.Name;
}

INSTANTIATE_TEST_SUITE_P(
    UninstallRegistry, UninstallRegistryTable,
    ::testing::Values(
        RegistryCase{"both old keys", L"Larkspan", {L"11.0", L"10.0"}, {L"11.0", L"10.0"}},
        RegistryCase{"only 10.0", L"Larkspan", {L"10.0"}, {L"10.0"}},
        RegistryCase{"no keys", L"Larkspan", {}, {}},
        RegistryCase{"newer versions too", L"Larkspan", {L"11.0", L"10.0", L"12.0", L"16.0"}, {L"11.0", L"10.0"}},
        // Omega has no place in code page 1252; best fit would make it the look-alike "Omega" folder.
        RegistryCase{"name outside the code page", L"\u03a9mega", {L"11.0", L"10.0"}, {}}),
    [](const ::testing::TestParamInfo<RegistryCase>& Info) {
      std::string Name = Info.param.Name;
      std::replace_if(Name.begin(), Name.end(), [](char C) { return !isalnum(static_cast<unsigned char>(C)); }, '_');
      return Name;
    });

TEST_F(UninstallRegistry, CleansUpEvenWithoutExcel) {
  const PlacedUninstall Placed = PlaceUninstall(NewCaseFolder(L"no-excel"), true);
  SeedValues(ManagerKey(L"11.0"), {Placed.AddInPath, L"Other.xla"});
  PrepareStandIn();
  const ExcelUnregistered NoExcel;
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.boxes.empty());
  EXPECT_FALSE(StandInStarted());
  EXPECT_EQ(ValueNames(ManagerKey(L"11.0")), std::vector<std::wstring>{L"Other.xla"});
}

// From R:\Uninstall the add-in is R:\Larkspan.xla: one backslash, as the parent is "R:".
TEST_F(UninstallRegistry, FromADriveRootSubfolderWorksOnTheRootsFile) {
  const std::wstring Program = PlaceProgram(L"quelbrin.exe", L"R:\\Uninstall");
  PlaceFile(L"R:\\Larkspan.xla");
  SeedValues(ManagerKey(L"10.0"), {L"R:\\Larkspan.xla", L"R:\\\\Larkspan.xla"});
  PrepareStandIn({Installed});
  const RunOutcome Run = RunProgram(Program);
  EXPECT_TRUE(Run.boxes.empty());
  const Journal Log = StandInJournal();
  // The file was found there: the add-in was looked up and switched off.
  EXPECT_EQ(Calls(Log), FullRemoval);
  EXPECT_EQ(ReleaseProblems(Log), "");
  EXPECT_EQ(ValueNames(ManagerKey(L"10.0")), std::vector<std::wstring>{L"R:\\\\Larkspan.xla"});
}

}  // namespace
