#pragma once
// What the end-to-end tests share: program folders, the Excel stand-in's control and journal, running a program.
#include <windows.h>

#include <string>
#include <vector>

#include "Journal.h"
#include "MessageBoxReader.h"

// The folder of the test programs; the programs under test sit beside it.
std::wstring BinFolder();
// A new, empty folder for one case under the session's scratch root.
std::wstring NewCaseFolder(const std::wstring& Name);
// Creates every folder of Path.
void MakeFolders(const std::wstring& Path);
// Copies a built program (install.exe, quelbrin.exe) into Folder; answers its new path.
std::wstring PlaceProgram(const wchar_t* Program, const std::wstring& Folder);
// Creates an (empty) add-in file.
void PlaceFile(const std::wstring& Path);

// Starts a case with a clean journal and the given control lines for the stand-in.
void PrepareStandIn(const std::vector<std::string>& ControlLines = {});
// The stand-in's journal, once every server process that started has ended.
Journal StandInJournal();
// True when the stand-in has started since the case began (read at once, without waiting).
bool StandInStarted();

// The calls of a journal, one a line: "Type.member flags [named] args... [!hr]".
std::vector<std::string> Calls(const Journal& Log);
// The calls of a run without the add-in file: Excel is opened and closed again, nothing else.
std::vector<std::string> ExcelOpenedAndClosed();
// Calls up to the first call of Member (as "Type.member"), which fails as a failing Excel call does.
std::vector<std::string> CallsUpToFailed(const std::vector<std::string>& Calls, const std::string& Member);
// Checks that every handed-out object was released, each collection right after its one call,
// and the add-in object before the application;
// an empty text means all is well, otherwise it says what was not.
std::string ReleaseProblems(const Journal& Log);

// Removes the stand-in's registration as "Excel.Application" for the scope of the holder.
class ExcelUnregistered {
 public:
  ExcelUnregistered();
  ~ExcelUnregistered();
};

// Runs a program, answering its message boxes; the test fails unless the program started,
// ended by itself within its time and did not crash.
RunOutcome RunProgram(const std::wstring& Path, const std::function<void(const SeenBox&)>& OnBox = {});

// UTF-8 for readable failure messages.
std::string Utf8(const std::wstring& Text);

// Removes what a case may have left on the root of the session's extra drive, R:.
void ClearScratchDrive();
