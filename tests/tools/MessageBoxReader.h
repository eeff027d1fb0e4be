#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What one message box of the program under test looked like when it was answered.
struct SeenBox {
  std::wstring Caption;
  // Exactly as shown, LF and TAB kept, so tests can compare the layout of the text too.
  std::wstring Text;
  // The stock stop icon, the one MB_ICONERROR asks for.
  bool StopIcon = false;
  // Some icon is drawn at all, stock or not.
  bool AnyIcon = false;
  // Captions in tab order, e.g. {L"OK"}.
  std::vector<std::wstring> Buttons;
  // WS_EX_TOPMOST is set on the box.
  bool Topmost = false;
  // The box as it appeared on the screen: 0x00RRGGBB, row by row from the top.
  int Width = 0, Height = 0;
  std::vector<uint32_t> Pixels;
};

// How a run of the program under test went.
struct RunOutcome {
  // False when CreateProcess failed; GetLastError() then says why.
  bool Started = false;
  // The program was killed at the timeout.
  bool TimedOut = false;
  DWORD ExitCode = 0;
  // Every box it showed, in order.
  std::vector<SeenBox> Boxes;
};

// Runs ExePath (working directory = its folder) and answers each message box it shows by
// recording it and pressing OK, until the program ends or TimeoutMs passes, when it is killed.
// OnBox runs while the box is still open, after it has been recorded, so a caller can look at
// outside state at that moment.
RunOutcome RunAndAnswerBoxes(const std::wstring& ExePath, DWORD TimeoutMs,
                             const std::function<void(const SeenBox&)>& OnBox = {});
