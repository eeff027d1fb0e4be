// Prints the Excel stand-in's journal as a person reads it: one call a line, in the terms of
// Excel's object model, and at the end whether Excel quit and let go of every object.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Journal.h"
#include "TestSupport.h"

namespace {

std::string HexCode(unsigned long Code) {
  return "0x" + Hex(Code);
}

// One argument, "vvvv:value" with the VARTYPE in hex, as Visual Basic would write it.
std::string Argument(const std::string& Described) {
  const std::size_t Colon = Described.find(':');
  if (Colon == std::string::npos) return Described;
  const unsigned Type = static_cast<unsigned>(std::strtoul(Described.substr(0, Colon).c_str(), nullptr, 16));
  const std::string Value = Described.substr(Colon + 1);
  const std::string ByRef = (Type & VT_BYREF) ? "ByRef " : "";
  switch (Type & ~VT_BYREF) {
    case VT_BOOL: return ByRef + (Value == "0" ? "False" : "True");
    case VT_BSTR: return ByRef + "\"" + Value + "\"";
    case VT_VARIANT: return ByRef + Argument(Value);
    default: return ByRef + Value;
  }
}

std::string Arguments(const JournalEvent& Call) {
  std::string Text;
  for (const auto& Arg : Call.Args) Text += (Text.empty() ? "" : ", ") + Argument(Arg);
  return Text;
}

std::string Object(const std::string& Type, int Number) {
  return Type + " #" + std::to_string(Number);
}

// A call as Visual Basic would write it, and after " -> " what it answered.
std::string ObjectModelCall(const JournalEvent& Call) {
  std::string Line = Call.Type + "." + Call.Member;
  // A read goes out with the method flag too, as Visual Basic sends it: only the get flag tells it apart.
  if (Call.Flags & DISPATCH_PROPERTYPUT) {
    Line += " = " + Arguments(Call);
  } else if (!(Call.Flags & DISPATCH_PROPERTYGET) || !Call.Args.empty()) {
    Line += "(" + Arguments(Call) + ")";
  }
  if (FAILED(Call.Result)) return Line + " -> error " + HexCode(Call.Exception != S_OK ? Call.Exception : Call.Result);
  if (Call.Returned) Line += " -> " + Object(Call.ReturnedType, Call.Returned);
  return Line;
}

std::string EndLine(const JournalEvent& Exit) {
  const bool Quit = !Exit.Fields.empty() && Exit.Fields[0] == "quit=1";
  std::string Leaked = Exit.Fields.size() > 1 ? Exit.Fields[1].substr(Exit.Fields[1].find('=') + 1) : "";
  std::string Line = Quit ? "Excel was told to quit" : "Excel was never told to quit";
  if (Leaked.empty()) return Line + ", and every object was released.";
  return Line + "; objects never released: #" + Leaked + ".";
}

std::string Describe(const JournalEvent& Event) {
  if (Event.Kind == "invoke") return ObjectModelCall(Event);
  if (Event.Kind == "new" && Event.Type == "Application")
    return "CreateObject(\"Excel.Application\") -> " + Object(Event.Type, Event.Object);
  if (Event.Kind == "release") return "release " + Object(Event.Type, Event.Object);
  if (Event.Kind == "busy") return "(Excel is busy and turns a call away)";
  // A look-up that succeeded shows in the call that follows it.
  if (Event.Kind == "names" && Event.Result == DISP_E_UNKNOWNNAME)
    return Event.Type + "." + Event.Member + ": Excel has no such member";
  if (Event.Kind == "names" && FAILED(Event.Result))
    return Event.Type + "." + Event.Member + ": look-up in LCID " + HexCode(Event.Locale) + " -> error " +
           HexCode(Event.Result);
  if (Event.Kind == "exit") return EndLine(Event);
  if (Event.Kind == "badcontrol") return "(control line not understood: " + Event.Fields.at(0) + ")";
  return "";  // "start", and objects handed out, which the call that answered with them shows
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: journalview <excel_standin.journal>\n");
    return 2;
  }
  const Journal Log = ReadJournal(argv[1]);
  std::string Text;
  if (Log.Starts() == 0) Text = "(nothing: Excel was never started)\n";
  for (const auto& Event : Log.Events) {
    const std::string Line = Describe(Event);
    if (!Line.empty()) Text += Line + "\n";
  }
  DWORD Written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), Text.data(), static_cast<DWORD>(Text.size()), &Written, nullptr);
  return 0;
}
