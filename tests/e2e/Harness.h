#pragma once
// What the end-to-end tests share: placing the programs, the Excel stand-in's control and journal,
// the expected calls, running a program.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Journal.h"
#include "MessageBoxReader.h"
#include "TestSupport.h"

// ---- Placing the programs ----

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

// A program placed as it ships, and where it expects the add-in.
struct PlacedProgram {
  std::wstring Program;
  std::wstring AddInPath;
};
// install.exe in AddInFolder, or quelbrin.exe in Uninstall below it, with or without the add-in file.
PlacedProgram PlaceSetup(const std::wstring& AddInFolder, bool WithAddIn);
PlacedProgram PlaceUninstall(const std::wstring& AddInFolder, bool WithAddIn);

// Removes what a case may have left on the root of the session's extra drive, R:.
void ClearScratchDrive();

// ---- The Excel stand-in ----

// Starts a case with a clean journal and the given control lines for the stand-in.
void PrepareStandIn(const std::vector<std::string>& ControlLines = {});
// The stand-in's journal, once every server process that started has ended. Every name look-up
// and call in it must have been made in LCID 1033, as Excel's own clients make them; the test
// fails otherwise.
Journal StandInJournal();
// True when the stand-in has started since the case began (read at once, without waiting).
bool StandInStarted();

// The control line that puts the add-in into Excel's list, switched on, from another folder.
extern const std::string AddInInstalled;

// Removes the stand-in's registration as "Excel.Application" for the scope of the holder.
class ExcelUnregistered {
 public:
  ExcelUnregistered();
  ~ExcelUnregistered();
};

// The machine a full run happens on: what the stand-in is told, and the user locale the programs
// must run under (0: whatever the session has).
struct Machine {
  const char* Name;
  std::vector<std::string> ControlLines;
  LCID UserLocale;
};
// The stand-in as it comes.
extern const Machine PlainMachine;
// An English Excel 2002 or 2003 without language packs, on a machine whose user locale is German:
// a common office setting, where Excel understands LCID 1033 only. Wine takes the user locale
// from LC_ALL in the Unix environment the test program starts with, and the programs it starts
// inherit it, so these cases run only under LC_ALL=de_DE.UTF-8.
extern const Machine GermanMachine;
// Starts a case on Machine, as PrepareStandIn does with the machine's control lines and then
// ControlLines; the test fails unless the programs started from here get the machine's user locale.
void PrepareMachine(const Machine& On, const std::vector<std::string>& ControlLines = {});
// The machine's name, for the names of parameterised cases and in failure messages.
std::string MachineName(const ::testing::TestParamInfo<Machine>& Info);
void PrintTo(const Machine& On, std::ostream* Out);

// ---- What Excel was told ----

// The calls of a journal, one a line, exactly as they came over the wire:
//   Type.member FLAGS [NAMED] [ARG] [!HRESULT]
// - Type is the class of the object called, member the name as the program spelled it;
// - FLAGS are the DISPATCH_* bits in decimal: 1 a method, 3 a property read (method and get,
//   as Visual Basic sends it), 4 a property put;
// - NAMED, on a put only, is the named argument's id: -3, DISPID_PROPERTYPUT;
// - ARG is VARTYPE:value, the VARTYPE in four hex digits: 000b a boolean (true is -1, false 0),
//   0008 a text by value, 4008 a text by reference (VT_BYREF | VT_BSTR);
// - a failed call ends in " !" and the HRESULT Invoke returned, in eight hex digits.
// The helpers below write expected lines in the same format.
std::vector<std::string> Calls(const Journal& Log);
// A method call: "Workbooks.Add 1".
std::string Method(const std::string& Member, const std::string& Arg = {});
// A property read: "Application.AddIns 3 4008:Zorvik Larkspan".
std::string Get(const std::string& Member, const std::string& Arg = {});
// A boolean property put: "Application.displayalerts 4 -3 000b:-1".
std::string PutBool(const std::string& Member, bool Value);
// A text argument, by value or by reference.
std::string Text(const std::wstring& Value);
std::string TextByRef(const std::wstring& Value);
// The same call, failed as Excel fails one: with an exception (DISP_E_EXCEPTION, 80020009).
std::string Failed(const std::string& Call);

// The calls of a run without the add-in file: Excel is opened and closed again, nothing else.
std::vector<std::string> ExcelOpenedAndClosed();
// What an uninstall run tells Excel when the file is there and Excel knows the add-in.
std::vector<std::string> FullRemoval();
// Calls up to the first call of Member (as "Type.member"), which fails as a failing Excel call does.
std::vector<std::string> CallsUpToFailed(const std::vector<std::string>& Calls, const std::string& Member);
// Checks that every handed-out object was released, each collection right after its one call,
// and the add-in object before the application;
// an empty text means all is well, otherwise it says what was not.
std::string ReleaseProblems(const Journal& Log);

// ---- Running a program ----

// Runs a program, answering its message boxes; the test fails unless the program started,
// ended by itself within its time and did not crash.
RunOutcome RunProgram(const std::wstring& Path, const std::function<void(const SeenBox&)>& OnBox = {});
