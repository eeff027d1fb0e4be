#include "MessageBoxReader.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace {

const DWORD kPollMs = 20;
const int kTextControlId = 0xFFFF;
// Wine's message box template numbers its icon control 1088, Windows' uses 20.
const int kIconControlIds[] = {1088, 20};
// Largest per-channel difference still counted as the same colour.
const int kColourTolerance = 24;
// Share of icon pixels that must agree before a drawn icon counts as a stock one.
const double kStockMatchNeeded = 0.85;

// Closes a process's handles when the run is over.
struct ProcessHandles {
  PROCESS_INFORMATION info{};
  ~ProcessHandles() {
    if (info.hThread) CloseHandle(info.hThread);
    if (info.hProcess) CloseHandle(info.hProcess);
  }
};

// Releases the screen DC.
struct ScreenDc {
  HDC dc = GetDC(nullptr);
  ~ScreenDc() { if (dc) ReleaseDC(nullptr, dc); }
};

// A 32-bit top-down DIB selected into its own memory DC, so pixels can be read directly.
struct PixelCanvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  const uint32_t* bits = nullptr;
  int width = 0;
  int height = 0;
  PixelCanvas(HDC compatibleWith, int w, int h) : width(w), height(h) {
    dc = CreateCompatibleDC(compatibleWith);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* raw = nullptr;
    bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &raw, nullptr, 0);
    bits = static_cast<const uint32_t*>(raw);
    if (dc && bitmap) previous = SelectObject(dc, bitmap);
  }
  ~PixelCanvas() {
    if (previous) SelectObject(dc, previous);
    if (bitmap) DeleteObject(bitmap);
    if (dc) DeleteDC(dc);
  }
  PixelCanvas(const PixelCanvas&) = delete;
  PixelCanvas& operator=(const PixelCanvas&) = delete;
  bool ok() const { return dc && bits; }
};

// Pixels as 0x00RRGGBB, row by row.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(int x, int y) const { return pixels[size_t(y) * width + x] & 0xFFFFFF; }
  bool contains(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
};

// Whether two colours are equal within the tolerance.
bool SameColour(uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 24; shift += 8) {
    int d = int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF);
    if (d > kColourTolerance || d < -kColourTolerance) return false;
  }
  return true;
}

// Copies a screen rectangle; under Wine another process's window can only be seen this way.
Image CaptureScreen(const RECT& r) {
  Image image;
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return image;
  ScreenDc screen;
  if (!screen.dc) return image;
  PixelCanvas canvas(screen.dc, w, h);
  if (!canvas.ok() || !BitBlt(canvas.dc, 0, 0, w, h, screen.dc, r.left, r.top, SRCCOPY)) return image;
  GdiFlush();
  image.width = w;
  image.height = h;
  image.pixels.assign(canvas.bits, canvas.bits + size_t(w) * h);
  return image;
}

// Draws a stock icon the way a static control does, onto a plain background.
Image RenderStockIcon(LPCWSTR id, uint32_t background, int w, int h) {
  Image image;
  HICON icon = LoadIconW(nullptr, id);
  ScreenDc screen;
  if (!icon || !screen.dc) return image;
  PixelCanvas canvas(screen.dc, w, h);
  if (!canvas.ok()) return image;
  HBRUSH brush = CreateSolidBrush(RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
  RECT all{0, 0, w, h};
  FillRect(canvas.dc, &all, brush);
  DeleteObject(brush);
  DrawIconEx(canvas.dc, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
  GdiFlush();
  image.width = w;
  image.height = h;
  image.pixels.assign(canvas.bits, canvas.bits + size_t(w) * h);
  return image;
}

// A window's text without risking a hang on a busy owner.
std::wstring WindowText(HWND hwnd) {
  if (!hwnd) return {};
  DWORD_PTR length = 0;
  if (SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                            SMTO_ABORTIFHUNG, 2000, &copied)) {
      text.resize(std::min<size_t>(copied, length));
      return text;
    }
  }
  wchar_t buffer[1024] = L"";
  int n = GetWindowTextW(hwnd, buffer, 1024);
  return std::wstring(buffer, n > 0 ? n : 0);
}

// Whether a window's class is the given one.
bool HasClass(HWND hwnd, const wchar_t* name) {
  wchar_t cls[64] = L"";
  GetClassNameW(hwnd, cls, 64);
  return lstrcmpiW(cls, name) == 0;
}

// Looking for a shown dialog owned by one process.
struct BoxSearch {
  DWORD processId;
  HWND found;
};

// EnumWindows callback: stops at the first visible #32770 window of the process.
BOOL CALLBACK FindBoxProc(HWND hwnd, LPARAM param) {
  BoxSearch* search = reinterpret_cast<BoxSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid != search->processId || !IsWindowVisible(hwnd) || !HasClass(hwnd, L"#32770")) return TRUE;
  search->found = hwnd;
  return FALSE;
}

// The message box the process shows now, if any.
HWND FindShownBox(DWORD processId) {
  BoxSearch search{processId, nullptr};
  EnumWindows(FindBoxProc, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Visible push buttons of the box, in tab (z) order.
std::vector<HWND> ButtonsOf(HWND box) {
  std::vector<HWND> buttons;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (IsWindowVisible(child) && HasClass(child, L"Button")) buttons.push_back(child);
  }
  return buttons;
}

// A child's rectangle in the coordinates of a capture of the box's window rectangle.
RECT ChildRectInCapture(HWND child, const RECT& boxRect) {
  RECT r{};
  GetWindowRect(child, &r);
  OffsetRect(&r, -boxRect.left, -boxRect.top);
  return r;
}

// The box's client area in capture coordinates.
RECT ClientRectInCapture(HWND box, const RECT& boxRect) {
  RECT r{};
  GetClientRect(box, &r);
  MapWindowPoints(box, nullptr, reinterpret_cast<POINT*>(&r), 2);
  OffsetRect(&r, -boxRect.left, -boxRect.top);
  return r;
}

// Clips a rectangle to the image.
RECT ClipToImage(RECT r, const Image& image) {
  r.left = std::max<LONG>(r.left, 0);
  r.top = std::max<LONG>(r.top, 0);
  r.right = std::min<LONG>(r.right, image.width);
  r.bottom = std::min<LONG>(r.bottom, image.height);
  if (r.right < r.left) r.right = r.left;
  if (r.bottom < r.top) r.bottom = r.top;
  return r;
}

// The colour most of the client area is painted in.
uint32_t BackgroundColour(const Image& image, RECT client) {
  client = ClipToImage(client, image);
  std::unordered_map<uint32_t, int> counts;
  for (int y = client.top; y < client.bottom; ++y)
    for (int x = client.left; x < client.right; ++x) ++counts[image.at(x, y)];
  uint32_t best = 0xFFFFFF;
  int bestCount = -1;
  for (const auto& entry : counts) {
    if (entry.second > bestCount) { best = entry.first; bestCount = entry.second; }
  }
  return best;
}

// The bounding box of everything not painted in the background colour.
RECT InkBounds(const Image& image, RECT area, uint32_t background) {
  area = ClipToImage(area, image);
  RECT ink{area.right, area.bottom, area.left, area.top};
  for (int y = area.top; y < area.bottom; ++y)
    for (int x = area.left; x < area.right; ++x)
      if (!SameColour(image.at(x, y), background)) {
        ink.left = std::min<LONG>(ink.left, x);
        ink.top = std::min<LONG>(ink.top, y);
        ink.right = std::max<LONG>(ink.right, x + 1);
        ink.bottom = std::max<LONG>(ink.bottom, y + 1);
      }
  if (ink.right <= ink.left) return RECT{};
  return ink;
}

// Where the icon is drawn, in capture coordinates; empty when the box leaves no room for one.
RECT IconArea(HWND box, const RECT& boxRect, const Image& image, uint32_t background) {
  HWND text = GetDlgItem(box, kTextControlId);
  RECT textRect{};
  if (text) textRect = ChildRectInCapture(text, boxRect);
  // Wine keeps its empty icon control when there is no icon and lays the text over it.
  for (int id : kIconControlIds) {
    HWND icon = GetDlgItem(box, id);
    if (!icon || !IsWindowVisible(icon) || HasClass(icon, L"Button")) continue;
    RECT r = ChildRectInCapture(icon, boxRect);
    RECT overlap;
    if (IsRectEmpty(&r) || (text && IntersectRect(&overlap, &r, &textRect))) continue;
    return r;
  }
  // No usable control: look at the strip left of the text, above the buttons.
  RECT client = ClientRectInCapture(box, boxRect);
  RECT strip = client;
  if (text) strip.right = textRect.left - 2;
  else strip.right = client.left + (client.right - client.left) / 3;
  for (HWND button : ButtonsOf(box)) strip.bottom = std::min(strip.bottom, ChildRectInCapture(button, boxRect).top);
  if (strip.right <= strip.left || strip.bottom <= strip.top) return RECT{};
  RECT ink = InkBounds(image, strip, background);
  if (ink.right - ink.left < 8 || ink.bottom - ink.top < 8) return RECT{};
  return ink;
}

// Share of icon pixels (those not background in either image) that agree, with reference placed at (left, top).
double AgreementAt(const Image& image, const Image& reference, int left, int top, uint32_t background) {
  int ink = 0, agree = 0;
  for (int y = 0; y < reference.height; ++y)
    for (int x = 0; x < reference.width; ++x) {
      uint32_t want = reference.at(x, y);
      bool inside = image.contains(left + x, top + y);
      uint32_t seen = inside ? image.at(left + x, top + y) : background;
      if (SameColour(want, background) && SameColour(seen, background)) continue;
      ++ink;
      if (inside && SameColour(want, seen)) ++agree;
    }
  return ink ? double(agree) / ink : 0.0;
}

// Best agreement of a reference icon anywhere near the icon area, allowing a few pixels of offset.
double BestAgreement(const Image& image, const Image& reference, const RECT& area, uint32_t background) {
  const int slack = 4;
  double best = 0.0;
  int lastLeft = std::max<int>(area.left, area.right - reference.width);
  int lastTop = std::max<int>(area.top, area.bottom - reference.height);
  for (int top = area.top - slack; top <= lastTop + slack; ++top)
    for (int left = area.left - slack; left <= lastLeft + slack; ++left)
      best = std::max(best, AgreementAt(image, reference, left, top, background));
  return best;
}

// Fills in anyIcon and stopIcon from what is on screen.
void LookAtIcon(HWND box, const RECT& boxRect, const Image& image, SeenBox& seen) {
  uint32_t background = BackgroundColour(image, ClientRectInCapture(box, boxRect));
  RECT area = IconArea(box, boxRect, image, background);
  if (IsRectEmpty(&area)) return;
  RECT ink = InkBounds(image, area, background);
  if (ink.right - ink.left < 4 || ink.bottom - ink.top < 4) return;
  seen.anyIcon = true;
  const LPCWSTR stock[] = {IDI_HAND, IDI_EXCLAMATION, IDI_ASTERISK, IDI_QUESTION};
  int w = GetSystemMetrics(SM_CXICON), h = GetSystemMetrics(SM_CYICON);
  double best = 0.0;
  size_t bestIndex = 0;
  for (size_t i = 0; i < sizeof(stock) / sizeof(stock[0]); ++i) {
    Image reference = RenderStockIcon(stock[i], background, w, h);
    if (reference.pixels.empty()) continue;
    double agreement = BestAgreement(image, reference, area, background);
    if (agreement > best) { best = agreement; bestIndex = i; }
  }
  seen.stopIcon = bestIndex == 0 && best >= kStockMatchNeeded;
}

// Whether every pixel of the image is the same colour (nothing painted yet).
bool IsBlank(const Image& image) {
  return std::all_of(image.pixels.begin(), image.pixels.end(),
                     [&](uint32_t p) { return (p & 0xFFFFFF) == (image.pixels[0] & 0xFFFFFF); });
}

// Whether the screen shows the box itself all over its rectangle, not a window in front of it.
bool IsUncovered(HWND box, const RECT& boxRect) {
  for (int row = 1; row <= 3; ++row)
    for (int column = 1; column <= 3; ++column) {
      POINT p{boxRect.left + (boxRect.right - boxRect.left) * column / 4,
              boxRect.top + (boxRect.bottom - boxRect.top) * row / 4};
      HWND there = WindowFromPoint(p);
      if (!there || GetAncestor(there, GA_ROOT) != box) return false;
    }
  return true;
}

// Captures the box once it is painted: two captures in a row agree and show something.
Image CaptureSettledBox(HWND box, RECT& boxRect, ULONGLONG deadline) {
  Image previous;
  for (int attempt = 0; attempt < 50; ++attempt) {
    GetWindowRect(box, &boxRect);
    // Message boxes are all centred, so another program's box can sit exactly on top of this
    // one; and Wine ignores MB_TOPMOST, so nothing keeps this one in front.
    if (!IsUncovered(box, boxRect)) {
      SetWindowPos(box, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      previous = Image();
      Sleep(kPollMs);
      continue;
    }
    Image now = CaptureScreen(boxRect);
    if (!now.pixels.empty() && !IsBlank(now) && now.width == previous.width &&
        now.height == previous.height && now.pixels == previous.pixels)
      return now;
    previous = std::move(now);
    if (!IsWindowVisible(box) || GetTickCount64() >= deadline) break;
    Sleep(kPollMs);
  }
  return previous;
}

// Records everything a test may want to know about the box.
SeenBox ReadBox(HWND box, ULONGLONG deadline) {
  SeenBox seen;
  seen.caption = WindowText(box);
  seen.text = WindowText(GetDlgItem(box, kTextControlId));
  seen.topmost = (GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  for (HWND button : ButtonsOf(box)) seen.buttons.push_back(WindowText(button));
  RECT boxRect{};
  Image image = CaptureSettledBox(box, boxRect, deadline);
  if (!image.pixels.empty()) LookAtIcon(box, boxRect, image, seen);
  seen.width = image.width;
  seen.height = image.height;
  seen.pixels = std::move(image.pixels);
  return seen;
}

// Presses OK, or the first button of a box that has none.
void PressOk(HWND box) {
  HWND button = GetDlgItem(box, IDOK);
  int id = IDOK;
  if (!button || !HasClass(button, L"Button")) {
    std::vector<HWND> buttons = ButtonsOf(box);
    button = buttons.empty() ? nullptr : buttons.front();
    id = button ? GetDlgCtrlID(button) : IDCANCEL;
  }
  // Posted, not sent: a sent click would block us until the program's next box closes.
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

// Waits for the answered box to go away so it is never counted twice.
void WaitUntilGone(HWND box, HANDLE process, ULONGLONG deadline) {
  ULONGLONG pressedAt = GetTickCount64();
  while (IsWindow(box) && IsWindowVisible(box)) {
    if (WaitForSingleObject(process, kPollMs) != WAIT_TIMEOUT) return;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    if (now - pressedAt >= 1000) {
      PressOk(box);
      pressedAt = now;
    }
  }
}

// The folder part of a path, or empty when there is none.
std::wstring FolderOf(const std::wstring& path) {
  wchar_t full[MAX_PATH * 4];
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH * 4, full, nullptr);
  if (n == 0 || n >= MAX_PATH * 4) return {};
  std::wstring folder(full, n);
  size_t slash = folder.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  folder.resize(slash == 2 && folder[1] == L':' ? 3 : slash);
  return folder;
}

}  // namespace

// Runs the program and answers its boxes until it ends or the time is up.
RunOutcome RunAndAnswerBoxes(const std::wstring& exePath, DWORD timeoutMs,
                             const std::function<void(const SeenBox&)>& onBox) {
  RunOutcome outcome;
  ULONGLONG deadline = GetTickCount64() + timeoutMs;
  std::wstring commandLine = L"\"" + exePath + L"\"";
  std::wstring folder = FolderOf(exePath);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  ProcessHandles child;
  if (!CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &child.info)) {
    DWORD error = GetLastError();
    child.info = PROCESS_INFORMATION{};
    SetLastError(error);
    return outcome;
  }
  outcome.started = true;
  for (;;) {
    if (WaitForSingleObject(child.info.hProcess, 0) != WAIT_TIMEOUT) break;
    if (GetTickCount64() >= deadline) {
      TerminateProcess(child.info.hProcess, ERROR_TIMEOUT);
      WaitForSingleObject(child.info.hProcess, 5000);
      outcome.timedOut = true;
      break;
    }
    HWND box = FindShownBox(child.info.dwProcessId);
    if (!box) {
      WaitForSingleObject(child.info.hProcess, kPollMs);
      continue;
    }
    outcome.boxes.push_back(ReadBox(box, deadline));
    if (onBox) onBox(outcome.boxes.back());
    PressOk(box);
    WaitUntilGone(box, child.info.hProcess, deadline);
  }
  GetExitCodeProcess(child.info.hProcess, &outcome.exitCode);
  return outcome;
}
