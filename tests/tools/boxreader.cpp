// Runs a program, answers its message boxes and prints what they said.
#include <windows.h>

#include <cwchar>
#include <string>

#include "MessageBoxReader.h"

namespace {

const DWORD kDefaultTimeoutMs = 60000;

// Writes UTF-16 text to a standard handle as UTF-8, whether it is a console, pipe or file.
void Write(DWORD which, const std::wstring& text) {
  if (text.empty()) return;
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &utf8[0], bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(which), utf8.data(), DWORD(utf8.size()), &written, nullptr);
}

// Shows the characters a reader could not otherwise see on a line.
std::wstring Visible(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\t') out += L"\\t";
    else if (c == L'\r') out += L"\\r";
    else out += c;
  }
  return out;
}

// The header line for one box.
std::wstring Header(size_t number, const SeenBox& box) {
  std::wstring buttons;
  for (const std::wstring& caption : box.buttons) {
    if (!buttons.empty()) buttons += L",";
    buttons += Visible(caption);
  }
  const wchar_t* icon = box.stopIcon ? L"stop" : box.anyIcon ? L"other" : L"none";
  return L"box " + std::to_wstring(number) + L": caption=\"" + Visible(box.caption) + L"\" icon=" + icon +
         L" topmost=" + (box.topmost ? L"yes" : L"no") + L" buttons=" + buttons + L"\n";
}

// The message text one line at a time, so leading tabs and empty lines show.
std::wstring Body(const std::wstring& text) {
  std::wstring out;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(L'\n', start);
    out += L"  | " + Visible(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start)) + L"\n";
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace

// boxreader <program.exe> [timeout-ms]
int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  if (argc < 2 || argc > 3) {
    Write(STD_ERROR_HANDLE, L"usage: boxreader <program.exe> [timeout-ms]\n");
    return 2;
  }
  DWORD timeoutMs = kDefaultTimeoutMs;
  if (argc == 3) timeoutMs = DWORD(wcstoul(argv[2], nullptr, 10));
  RunOutcome outcome = RunAndAnswerBoxes(argv[1], timeoutMs);
  if (!outcome.started) {
    DWORD error = GetLastError();
    Write(STD_ERROR_HANDLE, L"could not start " + std::wstring(argv[1]) + L" (error " + std::to_wstring(error) + L")\n");
    return 2;
  }
  size_t number = 0;
  for (const SeenBox& box : outcome.boxes) Write(STD_OUTPUT_HANDLE, Header(++number, box) + Body(box.text));
  if (outcome.timedOut) {
    Write(STD_OUTPUT_HANDLE, L"timed out\n");
    return 1;
  }
  std::wstring code = std::to_wstring(outcome.exitCode);
  // Crashes end with NTSTATUS codes, which are only recognisable in hex.
  if (outcome.exitCode >= 0x80000000u) {
    wchar_t hex[16];
    swprintf(hex, 16, L"0x%08lX", static_cast<unsigned long>(outcome.exitCode));
    code += L" (" + std::wstring(hex) + L")";
  }
  Write(STD_OUTPUT_HANDLE, L"exit code " + code + L"\n");
  return 0;
}
