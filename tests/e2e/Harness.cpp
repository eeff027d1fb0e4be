#include "Harness.h"

#include <algorithm>
#include <map>

namespace {

std::wstring StandInFile(const wchar_t* Extension) {
  return BinFolder() + L"\\excel_standin." + Extension;
}

std::string ReadAll(const std::wstring& Path) {
  const HANDLE File = CreateFileW(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (File == INVALID_HANDLE_VALUE) return std::string();
  std::string Data;
  char Chunk[4096];
  DWORD Got = 0;
  while (ReadFile(File, Chunk, sizeof Chunk, &Got, nullptr) && Got > 0) Data.append(Chunk, Got);
  CloseHandle(File);
  return Data;
}

void WriteAll(const std::wstring& Path, const std::string& Data) {
  const HANDLE File = CreateFileW(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (File == INVALID_HANDLE_VALUE) return;
  DWORD Written = 0;
  WriteFile(File, Data.data(), static_cast<DWORD>(Data.size()), &Written, nullptr);
  CloseHandle(File);
}

std::vector<std::string> Split(const std::string& Text, char Separator) {
  std::vector<std::string> Parts;
  std::size_t Start = 0;
  for (;;) {
    const std::size_t End = Text.find(Separator, Start);
    Parts.push_back(Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start));
    if (End == std::string::npos) return Parts;
    Start = End + 1;
  }
}

std::vector<std::vector<std::string>> JournalRows() {
  std::vector<std::vector<std::string>> Rows;
  for (std::string Line : Split(ReadAll(StandInFile(L"journal")), '\n')) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (!Line.empty()) Rows.push_back(Split(Line, '\t'));
  }
  return Rows;
}

// Runs a command line hidden and waits for it.
DWORD RunQuiet(std::wstring CommandLine) {
  STARTUPINFOW Startup{};
  Startup.cb = sizeof Startup;
  PROCESS_INFORMATION Process{};
  if (!CreateProcessW(nullptr, CommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &Startup, &Process))
    return GetLastError();
  WaitForSingleObject(Process.hProcess, 30000);
  DWORD Code = 1;
  GetExitCodeProcess(Process.hProcess, &Code);
  CloseHandle(Process.hThread);
  CloseHandle(Process.hProcess);
  return Code;
}

}  // namespace

std::string Utf8(const std::wstring& Text) {
  if (Text.empty()) return std::string();
  const int Size = WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0, nullptr, nullptr);
  std::string Narrow(static_cast<std::size_t>(Size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), Narrow.data(), Size, nullptr, nullptr);
  return Narrow;
}

std::wstring BinFolder() {
  wchar_t Path[MAX_PATH];
  const DWORD Length = GetModuleFileNameW(nullptr, Path, MAX_PATH);
  std::wstring Folder(Path, Length);
  return Folder.substr(0, Folder.rfind(L'\\'));
}

void MakeFolders(const std::wstring& Path) {
  for (std::size_t At = Path.find(L'\\', 3); At != std::wstring::npos; At = Path.find(L'\\', At + 1))
    CreateDirectoryW(Path.substr(0, At).c_str(), nullptr);
  CreateDirectoryW(Path.c_str(), nullptr);
}

std::wstring NewCaseFolder(const std::wstring& Name) {
  static int Counter = 0;
  wchar_t Root[MAX_PATH];
  const DWORD Length = GetEnvironmentVariableW(L"LARKSPAN_TEST_ROOT", Root, MAX_PATH);
  const std::wstring Base = (Length > 0 && Length < MAX_PATH) ? std::wstring(Root, Length) : BinFolder() + L"\\cases";
  const std::wstring Folder = Base + L"\\" + Name + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++Counter);
  MakeFolders(Folder);
  return Folder;
}

std::wstring PlaceProgram(const wchar_t* Program, const std::wstring& Folder) {
  MakeFolders(Folder);
  const std::wstring Target = (Folder.back() == L'\\' ? Folder : Folder + L"\\") + Program;
  CopyFileW((BinFolder() + L"\\" + Program).c_str(), Target.c_str(), FALSE);
  return Target;
}

void PlaceFile(const std::wstring& Path) {
  WriteAll(Path, "add-in workbook stand-in");
}

void PrepareStandIn(const std::vector<std::string>& ControlLines) {
  DeleteFileW(StandInFile(L"journal").c_str());
  std::string Control;
  for (const auto& Line : ControlLines) Control += Line + "\n";
  WriteAll(StandInFile(L"control"), Control);
}

bool StandInStarted() {
  for (const auto& Row : JournalRows())
    if (Row[0] == "start") return true;
  return false;
}

std::vector<std::string> StandInTrace() {
  // A server ends a little after its last release; wait until every one that started has ended.
  std::vector<std::vector<std::string>> Rows;
  for (int Waited = 0; Waited < 15000; Waited += 50) {
    Rows = JournalRows();
    const auto Starts = std::count_if(Rows.begin(), Rows.end(), [](const auto& R) { return R[0] == "start"; });
    const auto Exits = std::count_if(Rows.begin(), Rows.end(), [](const auto& R) { return R[0] == "exit"; });
    if (Starts == Exits) break;
    Sleep(50);
  }
  std::vector<std::string> Trace;
  for (const auto& Row : Rows) {
    const std::string& Kind = Row[0];
    if (Kind == "new" && Row.size() >= 3) {
      Trace.push_back("+" + Row[2]);
    } else if (Kind == "release" && Row.size() >= 3) {
      Trace.push_back("-" + Row[2]);
    } else if (Kind == "invoke" && Row.size() >= 7) {
      std::string Call = Row[2] + "." + Row[3] + " " + Row[4];
      if (!Row[5].empty()) Call += " " + Row[5];
      for (std::size_t Arg = 7; Arg < Row.size(); ++Arg) Call += " " + Row[Arg];
      if (Row[6] != "00000000") Call += " !" + Row[6];
      Trace.push_back(Call);
    } else if (Kind == "exit") {
      std::string Exit = "exit";
      for (std::size_t Field = 1; Field < Row.size(); ++Field) Exit += " " + Row[Field];
      Trace.push_back(Exit);
    } else if (Kind == "start" || Kind == "busy") {
      Trace.push_back(Kind);
    } else {
      std::string Other = Kind;
      for (std::size_t Field = 1; Field < Row.size(); ++Field) Other += " " + Row[Field];
      Trace.push_back(Other);
    }
  }
  return Trace;
}

std::vector<std::string> ExcelOpenedAndClosed() {
  return {
      "Application.displayalerts 4 -3 000b:0",
      "Application.Workbooks 2",
      "Workbooks.Close 1",
      "Application.displayalerts 4 -3 000b:-1",
      "Application.Quit 1",
  };
}

std::vector<std::string> CallsUpToFailed(const std::vector<std::string>& Calls, const std::string& Member) {
  std::vector<std::string> Upto;
  for (const auto& Call : Calls) {
    Upto.push_back(Call);
    if (Call.rfind(Member + " ", 0) == 0) {
      Upto.back() += " !80020009";
      break;
    }
  }
  return Upto;
}

std::vector<std::string> CallsOf(const std::vector<std::string>& Trace) {
  std::vector<std::string> Calls;
  for (const auto& Line : Trace)
    if (Line.find('.') != std::string::npos && Line[0] != '+' && Line[0] != '-') Calls.push_back(Line);
  return Calls;
}

std::string ReleaseProblems(const std::vector<std::string>& Trace) {
  std::map<std::string, int> Alive;
  bool ApplicationGone = false;
  std::string Problems;
  std::string Pending;  // a collection that has had its one call and must go before the next call
  for (const auto& Line : Trace) {
    const bool Call = Line.find('.') != std::string::npos && Line[0] != '+' && Line[0] != '-';
    if (Call && !Pending.empty()) Problems += Pending + " kept past its one call; ";
    if (Call) Pending.clear();
    if (Call && (Line.rfind("Workbooks.", 0) == 0 || Line.rfind("AddIns.", 0) == 0)) Pending = Line.substr(0, Line.find('.'));
    if (Line == "-" + Pending) Pending.clear();
    if (Line[0] == '+') ++Alive[Line.substr(1)];
    if (Line[0] == '-') {
      const std::string Type = Line.substr(1);
      --Alive[Type];
      if (Type == "Application") ApplicationGone = true;
      if (Type == "AddIn" && ApplicationGone) Problems += "the add-in object was released after the application; ";
    }
  }
  for (const auto& [Type, Count] : Alive)
    if (Count != 0) Problems += std::to_string(Count) + " " + Type + " not released; ";
  return Problems;
}

ExcelUnregistered::ExcelUnregistered() {
  RunQuiet(L"\"" + BinFolder() + L"\\excel_standin.exe\" /unregserver");
}

ExcelUnregistered::~ExcelUnregistered() {
  RunQuiet(L"\"" + BinFolder() + L"\\excel_standin.exe\" /regserver");
}

RunOutcome RunProgram(const std::wstring& Path, const std::function<void(const SeenBox&)>& OnBox) {
  return RunAndAnswerBoxes(Path, 60000, OnBox);
}
