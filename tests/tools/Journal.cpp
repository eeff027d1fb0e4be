#include "Journal.h"

#include <algorithm>
#include <cstdlib>

#include "TestSupport.h"

namespace {

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

int Number(const std::string& Text) {
  return std::atoi(Text.c_str());
}

unsigned long HexNumber(const std::string& Text, char** End = nullptr) {
  return std::strtoul(Text.c_str(), End, 16);
}

JournalEvent ParseLine(const std::string& Line) {
  std::vector<std::string> Fields = Split(Line, '\t');
  JournalEvent Event;
  Event.Kind = Fields[0];
  Event.Fields.assign(Fields.begin() + 1, Fields.end());
  const auto& F = Event.Fields;
  if ((Event.Kind == "new" || Event.Kind == "release") && F.size() >= 2) {
    Event.Object = Number(F[0]);
    Event.Type = F[1];
  } else if (Event.Kind == "names" && F.size() >= 5) {
    Event.Object = Number(F[0]);
    Event.Type = F[1];
    Event.Member = F[2];
    Event.Locale = HexNumber(F[3]);
    Event.Result = static_cast<HRESULT>(HexNumber(F[4]));
  } else if (Event.Kind == "invoke" && F.size() >= 7) {
    Event.Object = Number(F[0]);
    Event.Type = F[1];
    Event.Member = F[2];
    Event.Flags = Number(F[3]);
    Event.Named = F[4];
    Event.Locale = HexNumber(F[5]);
    char* End = nullptr;
    Event.Result = static_cast<HRESULT>(HexNumber(F[6], &End));
    if (*End == '/') Event.Exception = static_cast<HRESULT>(HexNumber(End + 1));
    Event.Args.assign(F.begin() + 7, F.end());
  }
  return Event;
}

}  // namespace

int Journal::Starts() const {
  return static_cast<int>(std::count_if(Events.begin(), Events.end(), [](const auto& E) { return E.Kind == "start"; }));
}

int Journal::Exits() const {
  return static_cast<int>(std::count_if(Events.begin(), Events.end(), [](const auto& E) { return E.Kind == "exit"; }));
}

const JournalEvent* Journal::FailedCall(const std::string& TypeDotMember) const {
  for (const auto& E : Events)
    if (E.Kind == "invoke" && FAILED(E.Result) && E.Type + "." + E.Member == TypeDotMember) return &E;
  return nullptr;
}

bool Journal::QuitCleanly() const {
  for (auto E = Events.rbegin(); E != Events.rend(); ++E)
    if (E->Kind == "exit") return E->Fields == std::vector<std::string>{"quit=1", "leaked="};
  return false;
}

Journal ParseJournal(const std::string& Text) {
  Journal Parsed;
  for (std::string Line : Split(Text, '\n')) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (Line.empty()) continue;
    Parsed.Events.push_back(ParseLine(Line));
  }
  // The stand-in journals an object just before the call that handed it out; an Application
  // comes from activation, not from a call.
  int HandedOut = 0;
  std::string HandedOutType;
  for (auto& E : Parsed.Events) {
    if (E.Kind == "new" && E.Type != "Application") {
      HandedOut = E.Object;
      HandedOutType = E.Type;
    } else if (E.Kind == "invoke") {
      E.Returned = HandedOut;
      E.ReturnedType = HandedOutType;
      HandedOut = 0;
      HandedOutType.clear();
    }
  }
  return Parsed;
}

Journal ReadJournal(const std::wstring& Path) {
  return ParseJournal(ReadWholeFile(Path));
}
