#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What one message box of the program under test looked like when it was answered.
struct SeenBox {
  std::wstring caption;              // window title
  std::wstring text;                 // message text exactly as shown, LF and TAB kept
  bool stopIcon = false;             // the stock stop/error icon is drawn
  bool anyIcon = false;              // some icon is drawn at all
  std::vector<std::wstring> buttons; // button captions in tab order, e.g. {L"OK"}
  bool topmost = false;              // WS_EX_TOPMOST is set on the box
  int width = 0, height = 0;         // the box as it appeared on the screen,
  std::vector<uint32_t> pixels;      // 0x00RRGGBB, row by row from the top
};

// How a run of the program under test went.
struct RunOutcome {
  bool started = false;              // false: CreateProcess failed, GetLastError() says why
  bool timedOut = false;             // the program was killed at the timeout
  DWORD exitCode = 0;
  std::vector<SeenBox> boxes;        // every box it showed, in order
};

// Runs exePath (working directory = its folder) and answers each message box it
// shows by recording it and pressing OK, until the program ends or timeoutMs
// passes, when it is killed. onBox runs while the box is still open, after it has
// been recorded, so a caller can look at outside state at that moment.
RunOutcome RunAndAnswerBoxes(const std::wstring& exePath, DWORD timeoutMs,
                             const std::function<void(const SeenBox&)>& onBox = {});
