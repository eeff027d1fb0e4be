#pragma once
// The Excel stand-in's journal, read into events once; the end-to-end checks and the demo's view read these.
#include <windows.h>

#include <string>
#include <vector>

// One line of the journal.
struct JournalEvent {
  std::string Kind;                 // "start", "new", "release", "names", "invoke", "busy", "exit", "badcontrol"
  int Object = 0;                   // new, release, names, invoke: the object's number in this server
  std::string Type;                 // new, release, names, invoke: "Application", "Workbooks", "AddIn", ...
  std::string Member;               // names: the names looked up, comma-separated; invoke: the member as spelled
  int Flags = 0;                    // invoke: DISPATCH_* flags
  std::string Named;                // invoke: named argument ids, comma-separated
  LCID Locale = 0;                  // names, invoke: the LCID the client passed
  HRESULT Result = S_OK;            // names, invoke
  HRESULT Exception = S_OK;         // invoke: the code an automation exception carried (Result is DISP_E_EXCEPTION)
  std::vector<std::string> Args;    // invoke: "vvvv:value" (VARTYPE in hex), in the client's order
  int Returned = 0;                 // invoke: the object the call handed out, 0 for none
  std::string ReturnedType;         // invoke: its type
  std::vector<std::string> Fields;  // every field after the kind, as written
};

struct Journal {
  std::vector<JournalEvent> Events;
  // Server processes that started, and that ended.
  int Starts() const;
  int Exits() const;
  // The call of Type.Member ("Workbooks.Add") that failed, if any.
  const JournalEvent* FailedCall(const std::string& TypeDotMember) const;
  // True when the last server to end had been told to quit and had no object left.
  bool QuitCleanly() const;
};

// Parses the journal's text (UTF-8, one tab-separated event a line).
Journal ParseJournal(const std::string& Text);
// Reads and parses the journal file; a missing file is an empty journal.
Journal ReadJournal(const std::wstring& Path);
