// The uninstall program's registry clean-up, run for real against the prefix's own
// HKEY_CURRENT_USER, with the Excel stand-in to prove each run happened.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "Harness.h"

namespace {

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
  const wchar_t* AddInFolderName;       // the folder above Uninstall, inside the case folder
  std::vector<const wchar_t*> Seeded;   // versions whose Add-in Manager key exists before the run
  std::vector<const wchar_t*> Cleaned;  // versions whose value for this add-in must be gone afterwards
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
  const PlacedProgram Placed = PlaceUninstall(AddInFolder, false);
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
  EXPECT_TRUE(Run.Boxes.empty());
  for (const wchar_t* Version : {L"10.0", L"11.0", L"12.0", L"16.0"}) {
    const bool Seeded = Before.count(Version) != 0;
    EXPECT_EQ(KeyPresent(ManagerKey(Version)), Seeded) << Case.Name << ": key " << Utf8(Version);
    if (!Seeded) continue;
    const bool Cleaned = std::find_if(Case.Cleaned.begin(), Case.Cleaned.end(), [&](const wchar_t* V) {
                           return std::wstring(V) == Version;
                         }) != Case.Cleaned.end();
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
    ::testing::Values(RegistryCase{"both old keys", L"Larkspan", {L"11.0", L"10.0"}, {L"11.0", L"10.0"}},
                      RegistryCase{"only 10.0", L"Larkspan", {L"10.0"}, {L"10.0"}},
                      RegistryCase{"no keys", L"Larkspan", {}, {}},
                      RegistryCase{
                          "newer versions too", L"Larkspan", {L"11.0", L"10.0", L"12.0", L"16.0"}, {L"11.0", L"10.0"}},
                      // Omega has no place in code page 1252; best fit would make it the look-alike "Omega" folder.
                      RegistryCase{"name outside the code page", L"\u03a9mega", {L"11.0", L"10.0"}, {}}),
    [](const ::testing::TestParamInfo<RegistryCase>& Info) {
      std::string Name = Info.param.Name;
      std::replace_if(
          Name.begin(), Name.end(), [](char C) { return !isalnum(static_cast<unsigned char>(C)); }, '_');
      return Name;
    });

TEST_F(UninstallRegistry, CleansUpEvenWithoutExcel) {
  const PlacedProgram Placed = PlaceUninstall(NewCaseFolder(L"no-excel"), true);
  SeedValues(ManagerKey(L"11.0"), {Placed.AddInPath, L"Other.xla"});
  PrepareStandIn();
  const ExcelUnregistered NoExcel;
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.Boxes.empty());
  EXPECT_FALSE(StandInStarted());
  EXPECT_EQ(ValueNames(ManagerKey(L"11.0")), std::vector<std::wstring>{L"Other.xla"});
}

// From R:\Uninstall the add-in is R:\Larkspan.xla: one backslash, as the parent is "R:".
TEST_F(UninstallRegistry, FromADriveRootSubfolderWorksOnTheRootsFile) {
  const std::wstring Program = PlaceProgram(L"quelbrin.exe", L"R:\\Uninstall");
  PlaceFile(L"R:\\Larkspan.xla");
  SeedValues(ManagerKey(L"10.0"), {L"R:\\Larkspan.xla", L"R:\\\\Larkspan.xla"});
  PrepareStandIn({AddInInstalled});
  const RunOutcome Run = RunProgram(Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  // The file was found there: the add-in was looked up and switched off.
  EXPECT_EQ(Calls(Log), FullRemoval());
  EXPECT_EQ(ReleaseProblems(Log), "");
  EXPECT_EQ(ValueNames(ManagerKey(L"10.0")), std::vector<std::wstring>{L"R:\\\\Larkspan.xla"});
}

}  // namespace
