#include "Harness.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <map>

namespace {

// The stand-in this run talks to, from --standin=PATH: its journal and control file lie beside it.
std::wstring StandInExe;

std::wstring StandInFile(const wchar_t* Extension) {
  return StandInExe.substr(0, StandInExe.rfind(L'.') + 1) + Extension;
}

void WriteAll(const std::wstring& Path, const std::string& Data) {
  const HANDLE File = CreateFileW(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(File, INVALID_HANDLE_VALUE) << Utf8(Path);
  DWORD Written = 0;
  WriteFile(File, Data.data(), static_cast<DWORD>(Data.size()), &Written, nullptr);
  CloseHandle(File);
}

// The stand-in registers itself, as Excel does: a run with a switch does that and ends.
void RunStandIn(const wchar_t* Switch) {
  std::wstring CommandLine = L"\"" + StandInExe + L"\" " + Switch;
  STARTUPINFOW Startup{};
  Startup.cb = sizeof Startup;
  PROCESS_INFORMATION Process{};
  ASSERT_TRUE(
      CreateProcessW(nullptr, CommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &Startup, &Process))
      << Utf8(CommandLine) << ": error " << GetLastError();
  const DWORD Waited = WaitForSingleObject(Process.hProcess, 30000);
  DWORD Code = 1;
  GetExitCodeProcess(Process.hProcess, &Code);
  CloseHandle(Process.hThread);
  CloseHandle(Process.hProcess);
  ASSERT_EQ(Waited, WAIT_OBJECT_0) << Utf8(CommandLine);
  ASSERT_EQ(Code, 0u) << Utf8(CommandLine);
}

bool IsCall(const JournalEvent& Event) {
  return Event.Kind == "invoke";
}

// One call as Calls lists it.
std::string WireText(const JournalEvent& Event) {
  std::string Call = Event.Type + "." + Event.Member + " " + std::to_string(Event.Flags);
  if (!Event.Named.empty()) Call += " " + Event.Named;
  for (const auto& Arg : Event.Args) Call += " " + Arg;
  if (Event.Result != S_OK) Call += " !" + Hex(static_cast<unsigned long>(Event.Result));
  return Call;
}

// Registers the stand-in named on the command line as Excel for the whole run, as it would
// register itself: a 32-bit build in the 32-bit registry view, a 64-bit one in the 64-bit view.
class StandInRegistration : public ::testing::Environment {
 public:
  void SetUp() override { RunStandIn(L"/regserver"); }
  void TearDown() override { RunStandIn(L"/unregserver"); }
};

}  // namespace

std::wstring BinFolder() {
  return FolderOf(ModulePath());
}

void MakeFolders(const std::wstring& Path) {
  for (std::size_t At = Path.find(L'\\', 3); At != std::wstring::npos; At = Path.find(L'\\', At + 1))
    CreateDirectoryW(Path.substr(0, At).c_str(), nullptr);
  CreateDirectoryW(Path.c_str(), nullptr);
}

std::wstring NewCaseFolder(const std::wstring& Name) {
  static int Counter = 0;
  const std::wstring Folder =
      InFolder(TestRoot(), Name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++Counter));
  MakeFolders(Folder);
  return Folder;
}

std::wstring PlaceProgram(const wchar_t* Program, const std::wstring& Folder) {
  MakeFolders(Folder);
  const std::wstring Target = InFolder(Folder, Program);
  EXPECT_TRUE(CopyFileW(InFolder(BinFolder(), Program).c_str(), Target.c_str(), FALSE)) << Utf8(Target);
  return Target;
}

void PlaceFile(const std::wstring& Path) {
  WriteAll(Path, "add-in workbook stand-in");
}

PlacedProgram PlaceSetup(const std::wstring& AddInFolder, bool WithAddIn) {
  PlacedProgram Placed{PlaceProgram(L"install.exe", AddInFolder), InFolder(AddInFolder, L"Larkspan.xla")};
  if (WithAddIn) PlaceFile(Placed.AddInPath);
  return Placed;
}

PlacedProgram PlaceUninstall(const std::wstring& AddInFolder, bool WithAddIn) {
  PlacedProgram Placed{PlaceProgram(L"quelbrin.exe", InFolder(AddInFolder, L"Uninstall")),
                       InFolder(AddInFolder, L"Larkspan.xla")};
  if (WithAddIn) PlaceFile(Placed.AddInPath);
  return Placed;
}

void ClearScratchDrive() {
  for (const wchar_t* File : {L"R:\\Larkspan.xla", L"R:\\install.exe", L"R:\\Uninstall\\quelbrin.exe"})
    DeleteFileW(File);
  RemoveDirectoryW(L"R:\\Uninstall");
}

void PrepareStandIn(const std::vector<std::string>& ControlLines) {
  DeleteFileW(StandInFile(L"journal").c_str());
  std::string Control;
  for (const auto& Line : ControlLines) Control += Line + "\n";
  WriteAll(StandInFile(L"control"), Control);
}

bool StandInStarted() {
  return ReadJournal(StandInFile(L"journal")).Starts() > 0;
}

// Every look-up and call must reach Excel in US English, whatever the user's locale.
void ExpectEnglishUs(const Journal& Log) {
  const LCID EnglishUs = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
  for (const auto& Event : Log.Events)
    if ((Event.Kind == "names" || Event.Kind == "invoke") && Event.Locale != EnglishUs)
      ADD_FAILURE() << Event.Kind << " " << Event.Type << "." << Event.Member << " in LCID 0x" << std::hex
                    << Event.Locale << ", not 1033";
}

Journal StandInJournal() {
  // A server ends a little after its last release; wait until every one that started has ended.
  Journal Log = ReadJournal(StandInFile(L"journal"));
  for (int Waited = 0; Log.Starts() != Log.Exits(); Waited += 50) {
    if (Waited >= 15000) {
      ADD_FAILURE() << "the stand-in is still running 15 s after the program ended";
      break;
    }
    Sleep(50);
    Log = ReadJournal(StandInFile(L"journal"));
  }
  ExpectEnglishUs(Log);
  return Log;
}

std::vector<std::string> Calls(const Journal& Log) {
  std::vector<std::string> Lines;
  for (const auto& Event : Log.Events)
    if (IsCall(Event)) Lines.push_back(WireText(Event));
  return Lines;
}

namespace {

std::string CallWithFlags(const std::string& Member, WORD Flags, const std::string& Arg) {
  return Member + " " + std::to_string(Flags) + (Arg.empty() ? "" : " " + Arg);
}

}  // namespace

std::string Method(const std::string& Member, const std::string& Arg) {
  return CallWithFlags(Member, DISPATCH_METHOD, Arg);
}

std::string Get(const std::string& Member, const std::string& Arg) {
  return CallWithFlags(Member, DISPATCH_METHOD | DISPATCH_PROPERTYGET, Arg);
}

std::string PutBool(const std::string& Member, bool Value) {
  return CallWithFlags(Member, DISPATCH_PROPERTYPUT, "-3 000b:" + std::string(Value ? "-1" : "0"));
}

std::string Text(const std::wstring& Value) {
  return "0008:" + Utf8(Value);
}

std::string TextByRef(const std::wstring& Value) {
  return "4008:" + Utf8(Value);
}

std::string Failed(const std::string& Call) {
  return Call + " !80020009";
}

std::vector<std::string> ExcelOpenedAndClosed() {
  return {
      PutBool("Application.displayalerts", false), Get("Application.Workbooks"), Method("Workbooks.Close"),
      PutBool("Application.displayalerts", true),  Method("Application.Quit"),
  };
}

std::vector<std::string> FullRemoval() {
  return {
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
}

const std::string AddInInstalled = "addin Zorvik Larkspan|C:\\Elsewhere\\Larkspan.xla|1";

const Machine PlainMachine{"plain", {}, 0};
// The stand-in reads the two default LCIDs as the same German locale.
constexpr LCID GermanUserLocale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
const Machine GermanMachine{"german_user_locale", {"englishonly " + Hex(GermanUserLocale, 4)}, GermanUserLocale};

void PrepareMachine(const Machine& On, const std::vector<std::string>& ControlLines) {
  // A user locale is the user's, so a program we start shares ours.
  if (On.UserLocale != 0) {
    EXPECT_EQ(GetUserDefaultLCID(), On.UserLocale) << On.Name << " needs the test program run under LC_ALL=de_DE.UTF-8";
  }
  std::vector<std::string> Lines = On.ControlLines;
  Lines.insert(Lines.end(), ControlLines.begin(), ControlLines.end());
  PrepareStandIn(Lines);
}

std::string MachineName(const ::testing::TestParamInfo<Machine>& Info) {
  return Info.param.Name;
}

void PrintTo(const Machine& On, std::ostream* Out) {
  *Out << On.Name;
}

std::vector<std::string> CallsUpToFailed(const std::vector<std::string>& Calls, const std::string& Member) {
  std::vector<std::string> Upto;
  for (const auto& Call : Calls) {
    Upto.push_back(Call);
    if (Call.rfind(Member + " ", 0) == 0) {
      Upto.back() = Failed(Call);
      return Upto;
    }
  }
  ADD_FAILURE() << Member << " is not among the expected calls";
  return Upto;
}

std::string ReleaseProblems(const Journal& Log) {
  std::map<std::string, int> Alive;
  bool ApplicationGone = false;
  std::string Problems;
  std::string Pending;  // a collection that has had its one call and must go before the next call
  for (const auto& Event : Log.Events) {
    if (IsCall(Event)) {
      if (!Pending.empty()) Problems += Pending + " kept past its one call; ";
      Pending.clear();
      if (Event.Type == "Workbooks" || Event.Type == "AddIns") Pending = Event.Type;
    } else if (Event.Kind == "new") {
      ++Alive[Event.Type];
    } else if (Event.Kind == "release") {
      if (Event.Type == Pending) Pending.clear();
      --Alive[Event.Type];
      if (Event.Type == "Application") ApplicationGone = true;
      if (Event.Type == "AddIn" && ApplicationGone)
        Problems += "the add-in object was released after the application; ";
    }
  }
  for (const auto& [Type, Count] : Alive)
    if (Count != 0) Problems += std::to_string(Count) + " " + Type + " not released; ";
  return Problems;
}

ExcelUnregistered::ExcelUnregistered() {
  RunStandIn(L"/unregserver");
}

ExcelUnregistered::~ExcelUnregistered() {
  RunStandIn(L"/regserver");
}

RunOutcome RunProgram(const std::wstring& Path, const std::function<void(const SeenBox&)>& OnBox) {
  const RunOutcome Run = RunAndAnswerBoxes(Path, 60000, OnBox);
  EXPECT_TRUE(Run.Started) << Utf8(Path) << " did not start: error " << GetLastError();
  EXPECT_FALSE(Run.TimedOut) << Utf8(Path) << " did not end by itself";
  // The programs end with status 0; a crash ends with an exception code.
  EXPECT_EQ(Run.ExitCode, 0u) << Utf8(Path) << " ended with status 0x" << std::hex << Run.ExitCode;
  return Run;
}

// The tests take the stand-in to run against: --standin=PATH of its 32-bit or 64-bit build.
int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::wstring Flag = L"--standin=";
  for (int i = 1; i < argc; ++i)
    if (std::wstring(argv[i]).rfind(Flag, 0) == 0) StandInExe = argv[i] + Flag.size();
  if (StandInExe.empty()) {
    fprintf(stderr, "usage: e2e_tests --standin=PATH\\excel_standin.exe [gtest flags]\n");
    return 2;
  }
  ::testing::AddGlobalTestEnvironment(new StandInRegistration);
  return RUN_ALL_TESTS();
}
