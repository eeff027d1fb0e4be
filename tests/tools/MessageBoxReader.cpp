#include "MessageBoxReader.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "TestSupport.h"

namespace {

const DWORD PollMs = 20;
// Windows' and Wine's message box templates both number the text control 0xFFFF.
const int TextControlId = 0xFFFF;
// Wine's message box template numbers its icon control 1088, Windows' uses 20.
const int IconControlIds[] = {1088, 20};
// Largest per-channel difference still counted as the same colour.
const int ColourTolerance = 24;
// Share of icon pixels that must agree before a drawn icon counts as a stock one.
const double StockMatchNeeded = 0.85;

// So that every way out of a run closes the process's handles.
struct ProcessHandles {
  PROCESS_INFORMATION Info{};
  ~ProcessHandles() {
    if (Info.hThread) CloseHandle(Info.hThread);
    if (Info.hProcess) CloseHandle(Info.hProcess);
  }
};

// So that every way out gives the screen DC back.
struct ScreenDc {
  HDC Dc = GetDC(nullptr);
  ~ScreenDc() {
    if (Dc) ReleaseDC(nullptr, Dc);
  }
};

// A 32-bit top-down DIB selected into its own memory DC, so pixels can be read directly.
struct PixelCanvas {
  HDC Dc = nullptr;
  HBITMAP Bitmap = nullptr;
  HGDIOBJ Previous = nullptr;
  const uint32_t* Bits = nullptr;
  int Width = 0;
  int Height = 0;
  PixelCanvas(HDC CompatibleWith, int W, int H) : Width(W), Height(H) {
    Dc = CreateCompatibleDC(CompatibleWith);
    BITMAPINFO Info{};
    Info.bmiHeader.biSize = sizeof(Info.bmiHeader);
    Info.bmiHeader.biWidth = W;
    Info.bmiHeader.biHeight = -H;
    Info.bmiHeader.biPlanes = 1;
    Info.bmiHeader.biBitCount = 32;
    Info.bmiHeader.biCompression = BI_RGB;
    void* Raw = nullptr;
    Bitmap = CreateDIBSection(Dc, &Info, DIB_RGB_COLORS, &Raw, nullptr, 0);
    Bits = static_cast<const uint32_t*>(Raw);
    if (Dc && Bitmap) Previous = SelectObject(Dc, Bitmap);
  }
  ~PixelCanvas() {
    if (Previous) SelectObject(Dc, Previous);
    if (Bitmap) DeleteObject(Bitmap);
    if (Dc) DeleteDC(Dc);
  }
  PixelCanvas(const PixelCanvas&) = delete;
  PixelCanvas& operator=(const PixelCanvas&) = delete;
  bool Ok() const { return Dc && Bits; }
};

// Pixels as 0x00RRGGBB, row by row.
struct Image {
  int Width = 0;
  int Height = 0;
  std::vector<uint32_t> Pixels;
  uint32_t At(int X, int Y) const { return Pixels[size_t(Y) * Width + X] & 0xFFFFFF; }
  bool Contains(int X, int Y) const { return X >= 0 && Y >= 0 && X < Width && Y < Height; }
};

bool SameColour(uint32_t A, uint32_t B) {
  for (int Shift = 0; Shift < 24; Shift += 8) {
    int Difference = int((A >> Shift) & 0xFF) - int((B >> Shift) & 0xFF);
    if (Difference > ColourTolerance || Difference < -ColourTolerance) return false;
  }
  return true;
}

// Under Wine another process's window can only be seen through a copy of the screen.
Image CaptureScreen(const RECT& Area) {
  Image Picture;
  int Width = Area.right - Area.left, Height = Area.bottom - Area.top;
  if (Width <= 0 || Height <= 0) return Picture;
  ScreenDc Screen;
  if (!Screen.Dc) return Picture;
  PixelCanvas Canvas(Screen.Dc, Width, Height);
  if (!Canvas.Ok() || !BitBlt(Canvas.Dc, 0, 0, Width, Height, Screen.Dc, Area.left, Area.top, SRCCOPY)) return Picture;
  GdiFlush();
  Picture.Width = Width;
  Picture.Height = Height;
  Picture.Pixels.assign(Canvas.Bits, Canvas.Bits + size_t(Width) * Height);
  return Picture;
}

// The reference a box's icon is compared with: drawn the way a static control draws it, on the
// box's own background, so only the icon itself can differ.
Image RenderStockIcon(LPCWSTR Id, uint32_t Background, int Width, int Height) {
  Image Picture;
  HICON Icon = LoadIconW(nullptr, Id);
  ScreenDc Screen;
  if (!Icon || !Screen.Dc) return Picture;
  PixelCanvas Canvas(Screen.Dc, Width, Height);
  if (!Canvas.Ok()) return Picture;
  HBRUSH Brush = CreateSolidBrush(RGB((Background >> 16) & 0xFF, (Background >> 8) & 0xFF, Background & 0xFF));
  RECT All{0, 0, Width, Height};
  FillRect(Canvas.Dc, &All, Brush);
  DeleteObject(Brush);
  DrawIconEx(Canvas.Dc, 0, 0, Icon, Width, Height, 0, nullptr, DI_NORMAL);
  GdiFlush();
  Picture.Width = Width;
  Picture.Height = Height;
  Picture.Pixels.assign(Canvas.Bits, Canvas.Bits + size_t(Width) * Height);
  return Picture;
}

// A window's text without risking a hang on a busy owner.
std::wstring WindowText(HWND Window) {
  if (!Window) return {};
  DWORD_PTR Length = 0;
  if (SendMessageTimeoutW(Window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &Length)) {
    std::wstring Text(Length + 1, L'\0');
    DWORD_PTR Copied = 0;
    if (SendMessageTimeoutW(Window, WM_GETTEXT, Text.size(), reinterpret_cast<LPARAM>(&Text[0]), SMTO_ABORTIFHUNG, 2000,
                            &Copied)) {
      Text.resize(std::min<size_t>(Copied, Length));
      return Text;
    }
  }
  wchar_t Buffer[1024] = L"";
  int Count = GetWindowTextW(Window, Buffer, 1024);
  return std::wstring(Buffer, Count > 0 ? Count : 0);
}

bool HasClass(HWND Window, const wchar_t* Name) {
  wchar_t Class[64] = L"";
  GetClassNameW(Window, Class, 64);
  return lstrcmpiW(Class, Name) == 0;
}

// EnumWindows hands its callback a single LPARAM, so what is sought and what was found travel
// together.
struct BoxSearch {
  DWORD ProcessId;
  HWND Found;
};

// A message box is a dialog, class #32770; the process's first visible one is the box it shows.
BOOL CALLBACK FindBoxProc(HWND Window, LPARAM Param) {
  BoxSearch* Search = reinterpret_cast<BoxSearch*>(Param);
  DWORD ProcessId = 0;
  GetWindowThreadProcessId(Window, &ProcessId);
  if (ProcessId != Search->ProcessId || !IsWindowVisible(Window) || !HasClass(Window, L"#32770")) return TRUE;
  Search->Found = Window;
  return FALSE;
}

HWND FindShownBox(DWORD ProcessId) {
  BoxSearch Search{ProcessId, nullptr};
  EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&Search));
  return Search.Found;
}

// The children's z order is their tab order, so the buttons come out in the order a user tabs
// through them.
std::vector<HWND> ButtonsOf(HWND Box) {
  std::vector<HWND> Buttons;
  for (HWND Child = GetWindow(Box, GW_CHILD); Child; Child = GetWindow(Child, GW_HWNDNEXT)) {
    if (IsWindowVisible(Child) && HasClass(Child, L"Button")) Buttons.push_back(Child);
  }
  return Buttons;
}

// A capture starts at the corner of the box's window rectangle, so screen rectangles are moved by
// that corner to find their place in it.
RECT ChildRectInCapture(HWND Child, const RECT& BoxRect) {
  RECT Rect{};
  GetWindowRect(Child, &Rect);
  OffsetRect(&Rect, -BoxRect.left, -BoxRect.top);
  return Rect;
}

RECT ClientRectInCapture(HWND Box, const RECT& BoxRect) {
  RECT Rect{};
  GetClientRect(Box, &Rect);
  MapWindowPoints(Box, nullptr, reinterpret_cast<POINT*>(&Rect), 2);
  OffsetRect(&Rect, -BoxRect.left, -BoxRect.top);
  return Rect;
}

RECT ClipToImage(RECT Rect, const Image& Picture) {
  Rect.left = std::max<LONG>(Rect.left, 0);
  Rect.top = std::max<LONG>(Rect.top, 0);
  Rect.right = std::min<LONG>(Rect.right, Picture.Width);
  Rect.bottom = std::min<LONG>(Rect.bottom, Picture.Height);
  if (Rect.right < Rect.left) Rect.right = Rect.left;
  if (Rect.bottom < Rect.top) Rect.bottom = Rect.top;
  return Rect;
}

// The colour most of the client area is painted in: measured, since it depends on the theme.
uint32_t BackgroundColour(const Image& Picture, RECT Client) {
  Client = ClipToImage(Client, Picture);
  std::unordered_map<uint32_t, int> Counts;
  for (int Y = Client.top; Y < Client.bottom; ++Y)
    for (int X = Client.left; X < Client.right; ++X) ++Counts[Picture.At(X, Y)];
  uint32_t Best = 0xFFFFFF;
  int BestCount = -1;
  for (const auto& Entry : Counts) {
    if (Entry.second > BestCount) {
      Best = Entry.first;
      BestCount = Entry.second;
    }
  }
  return Best;
}

// The bounding box of everything not painted in the background colour.
RECT InkBounds(const Image& Picture, RECT Area, uint32_t Background) {
  Area = ClipToImage(Area, Picture);
  RECT Ink{Area.right, Area.bottom, Area.left, Area.top};
  for (int Y = Area.top; Y < Area.bottom; ++Y)
    for (int X = Area.left; X < Area.right; ++X)
      if (!SameColour(Picture.At(X, Y), Background)) {
        Ink.left = std::min<LONG>(Ink.left, X);
        Ink.top = std::min<LONG>(Ink.top, Y);
        Ink.right = std::max<LONG>(Ink.right, X + 1);
        Ink.bottom = std::max<LONG>(Ink.bottom, Y + 1);
      }
  if (Ink.right <= Ink.left) return RECT{};
  return Ink;
}

// Where the icon is drawn, in capture coordinates; empty when the box leaves no room for one.
RECT IconArea(HWND Box, const RECT& BoxRect, const Image& Picture, uint32_t Background) {
  HWND Text = GetDlgItem(Box, TextControlId);
  RECT TextRect{};
  if (Text) TextRect = ChildRectInCapture(Text, BoxRect);
  // Wine keeps its empty icon control when there is no icon and lays the text over it.
  for (int Id : IconControlIds) {
    HWND Icon = GetDlgItem(Box, Id);
    if (!Icon || !IsWindowVisible(Icon) || HasClass(Icon, L"Button")) continue;
    RECT Rect = ChildRectInCapture(Icon, BoxRect);
    RECT Overlap;
    if (IsRectEmpty(&Rect) || (Text && IntersectRect(&Overlap, &Rect, &TextRect))) continue;
    return Rect;
  }
  // No usable control: look at the strip left of the text, above the buttons.
  RECT Client = ClientRectInCapture(Box, BoxRect);
  RECT Strip = Client;
  if (Text)
    Strip.right = TextRect.left - 2;
  else
    Strip.right = Client.left + (Client.right - Client.left) / 3;
  for (HWND Button : ButtonsOf(Box)) Strip.bottom = std::min(Strip.bottom, ChildRectInCapture(Button, BoxRect).top);
  if (Strip.right <= Strip.left || Strip.bottom <= Strip.top) return RECT{};
  RECT Ink = InkBounds(Picture, Strip, Background);
  if (Ink.right - Ink.left < 8 || Ink.bottom - Ink.top < 8) return RECT{};
  return Ink;
}

// Share of icon pixels (those not background in either image) that agree, with Reference placed at (Left, Top).
double AgreementAt(const Image& Picture, const Image& Reference, int Left, int Top, uint32_t Background) {
  int Ink = 0, Agree = 0;
  for (int Y = 0; Y < Reference.Height; ++Y)
    for (int X = 0; X < Reference.Width; ++X) {
      uint32_t Want = Reference.At(X, Y);
      bool Inside = Picture.Contains(Left + X, Top + Y);
      uint32_t Seen = Inside ? Picture.At(Left + X, Top + Y) : Background;
      if (SameColour(Want, Background) && SameColour(Seen, Background)) continue;
      ++Ink;
      if (Inside && SameColour(Want, Seen)) ++Agree;
    }
  return Ink ? double(Agree) / Ink : 0.0;
}

// Best agreement of a reference icon anywhere near the icon area, allowing a few pixels of offset.
double BestAgreement(const Image& Picture, const Image& Reference, const RECT& Area, uint32_t Background) {
  const int Slack = 4;
  double Best = 0.0;
  int LastLeft = std::max<int>(Area.left, Area.right - Reference.Width);
  int LastTop = std::max<int>(Area.top, Area.bottom - Reference.Height);
  for (int Top = Area.top - Slack; Top <= LastTop + Slack; ++Top)
    for (int Left = Area.left - Slack; Left <= LastLeft + Slack; ++Left)
      Best = std::max(Best, AgreementAt(Picture, Reference, Left, Top, Background));
  return Best;
}

// A message box does not tell which icon it was given, so AnyIcon and StopIcon are read from the
// screen: the drawn icon is matched against each stock one.
void LookAtIcon(HWND Box, const RECT& BoxRect, const Image& Picture, SeenBox& Seen) {
  uint32_t Background = BackgroundColour(Picture, ClientRectInCapture(Box, BoxRect));
  RECT Area = IconArea(Box, BoxRect, Picture, Background);
  if (IsRectEmpty(&Area)) return;
  RECT Ink = InkBounds(Picture, Area, Background);
  if (Ink.right - Ink.left < 4 || Ink.bottom - Ink.top < 4) return;
  Seen.AnyIcon = true;
  const LPCWSTR Stock[] = {IDI_HAND, IDI_EXCLAMATION, IDI_ASTERISK, IDI_QUESTION};
  int Width = GetSystemMetrics(SM_CXICON), Height = GetSystemMetrics(SM_CYICON);
  double Best = 0.0;
  size_t BestIndex = 0;
  for (size_t Index = 0; Index < sizeof(Stock) / sizeof(Stock[0]); ++Index) {
    Image Reference = RenderStockIcon(Stock[Index], Background, Width, Height);
    if (Reference.Pixels.empty()) continue;
    double Agreement = BestAgreement(Picture, Reference, Area, Background);
    if (Agreement > Best) {
      Best = Agreement;
      BestIndex = Index;
    }
  }
  Seen.StopIcon = BestIndex == 0 && Best >= StockMatchNeeded;
}

// A box not painted yet captures as one flat colour.
bool IsBlank(const Image& Picture) {
  return std::all_of(Picture.Pixels.begin(), Picture.Pixels.end(),
                     [&](uint32_t Pixel) { return (Pixel & 0xFFFFFF) == (Picture.Pixels[0] & 0xFFFFFF); });
}

// Whether the screen shows the box itself all over its rectangle, not a window in front of it.
bool IsUncovered(HWND Box, const RECT& BoxRect) {
  for (int Row = 1; Row <= 3; ++Row)
    for (int Column = 1; Column <= 3; ++Column) {
      POINT Point{BoxRect.left + (BoxRect.right - BoxRect.left) * Column / 4,
                  BoxRect.top + (BoxRect.bottom - BoxRect.top) * Row / 4};
      HWND There = WindowFromPoint(Point);
      if (!There || GetAncestor(There, GA_ROOT) != Box) return false;
    }
  return true;
}

// Captures the box once it is painted: two captures in a row agree and show something.
Image CaptureSettledBox(HWND Box, RECT& BoxRect, ULONGLONG Deadline) {
  Image Previous;
  for (int Attempt = 0; Attempt < 50; ++Attempt) {
    GetWindowRect(Box, &BoxRect);
    // Message boxes are all centred, and all topmost alike, so another program's box can sit
    // exactly on top of this one and nothing keeps this one in front.
    if (!IsUncovered(Box, BoxRect)) {
      SetWindowPos(Box, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      Previous = Image();
      Sleep(PollMs);
      continue;
    }
    Image Now = CaptureScreen(BoxRect);
    if (!Now.Pixels.empty() && !IsBlank(Now) && Now.Width == Previous.Width && Now.Height == Previous.Height &&
        Now.Pixels == Previous.Pixels)
      return Now;
    Previous = std::move(Now);
    if (!IsWindowVisible(Box) || GetTickCount64() >= Deadline) break;
    Sleep(PollMs);
  }
  return Previous;
}

// Records everything a test may want to know about the box.
SeenBox ReadBox(HWND Box, ULONGLONG Deadline) {
  SeenBox Seen;
  Seen.Caption = WindowText(Box);
  Seen.Text = WindowText(GetDlgItem(Box, TextControlId));
  Seen.Topmost = (GetWindowLongPtrW(Box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  for (HWND Button : ButtonsOf(Box)) Seen.Buttons.push_back(WindowText(Button));
  RECT BoxRect{};
  Image Picture = CaptureSettledBox(Box, BoxRect, Deadline);
  if (!Picture.Pixels.empty()) LookAtIcon(Box, BoxRect, Picture, Seen);
  Seen.Width = Picture.Width;
  Seen.Height = Picture.Height;
  Seen.Pixels = std::move(Picture.Pixels);
  return Seen;
}

// Presses OK, or the first button of a box that has none.
void PressOk(HWND Box) {
  HWND Button = GetDlgItem(Box, IDOK);
  int Id = IDOK;
  if (!Button || !HasClass(Button, L"Button")) {
    std::vector<HWND> Buttons = ButtonsOf(Box);
    Button = Buttons.empty() ? nullptr : Buttons.front();
    Id = Button ? GetDlgCtrlID(Button) : IDCANCEL;
  }
  // Posted, not sent: a sent click would block us until the program's next box closes.
  PostMessageW(Box, WM_COMMAND, MAKEWPARAM(Id, BN_CLICKED), reinterpret_cast<LPARAM>(Button));
}

// Waits for the answered box to go away so it is never counted twice.
void WaitUntilGone(HWND Box, HANDLE Process, ULONGLONG Deadline) {
  ULONGLONG PressedAt = GetTickCount64();
  while (IsWindow(Box) && IsWindowVisible(Box)) {
    if (WaitForSingleObject(Process, PollMs) != WAIT_TIMEOUT) return;
    ULONGLONG Now = GetTickCount64();
    if (Now >= Deadline) return;
    if (Now - PressedAt >= 1000) {
      PressOk(Box);
      PressedAt = Now;
    }
  }
}

// Made absolute first, so a program named relative to this one's current folder still gets its
// own folder as its working directory; empty when that fails.
std::wstring WorkingFolderOf(const std::wstring& ExePath) {
  wchar_t Full[MAX_PATH * 4];
  DWORD Length = GetFullPathNameW(ExePath.c_str(), MAX_PATH * 4, Full, nullptr);
  if (Length == 0 || Length >= MAX_PATH * 4) return {};
  return FolderOf(std::wstring(Full, Length));
}

}  // namespace

RunOutcome RunAndAnswerBoxes(const std::wstring& ExePath, DWORD TimeoutMs,
                             const std::function<void(const SeenBox&)>& OnBox) {
  RunOutcome Outcome;
  ULONGLONG Deadline = GetTickCount64() + TimeoutMs;
  std::wstring CommandLine = L"\"" + ExePath + L"\"";
  std::wstring Folder = WorkingFolderOf(ExePath);
  STARTUPINFOW Startup{};
  Startup.cb = sizeof(Startup);
  ProcessHandles Child;
  if (!CreateProcessW(ExePath.c_str(), &CommandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      Folder.empty() ? nullptr : Folder.c_str(), &Startup, &Child.Info)) {
    // The caller reads GetLastError() to learn why, so it must survive until the return.
    DWORD Error = GetLastError();
    Child.Info = PROCESS_INFORMATION{};
    SetLastError(Error);
    return Outcome;
  }
  Outcome.Started = true;
  for (;;) {
    if (WaitForSingleObject(Child.Info.hProcess, 0) != WAIT_TIMEOUT) break;
    if (GetTickCount64() >= Deadline) {
      TerminateProcess(Child.Info.hProcess, ERROR_TIMEOUT);
      WaitForSingleObject(Child.Info.hProcess, 5000);
      Outcome.TimedOut = true;
      break;
    }
    HWND Box = FindShownBox(Child.Info.dwProcessId);
    if (!Box) {
      WaitForSingleObject(Child.Info.hProcess, PollMs);
      continue;
    }
    Outcome.Boxes.push_back(ReadBox(Box, Deadline));
    if (OnBox) OnBox(Outcome.Boxes.back());
    PressOk(Box);
    WaitUntilGone(Box, Child.Info.hProcess, Deadline);
  }
  GetExitCodeProcess(Child.Info.hProcess, &Outcome.ExitCode);
  return Outcome;
}
