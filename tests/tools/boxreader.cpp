// Runs a program, answers its message boxes and prints what they said; it can keep a window of
// Excel's main class open meanwhile, and save each box as the user saw it.
#include <windows.h>
#include <wincodec.h>

#include <cwchar>
#include <memory>
#include <string>

#include "Automation.h"
#include "ExcelWindow.h"
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

// Saves the box's picture as a PNG through Windows' own imaging codecs.
HRESULT SavePng(const SeenBox& box, const std::wstring& path) {
  if (box.pixels.empty()) return E_FAIL;
  ComRef<IWICImagingFactory> factory;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(factory.Put()));
  ComRef<IWICStream> stream;
  if (SUCCEEDED(hr)) hr = factory.Get()->CreateStream(stream.Put());
  if (SUCCEEDED(hr)) hr = stream.Get()->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
  ComRef<IWICBitmapEncoder> encoder;
  if (SUCCEEDED(hr)) hr = factory.Get()->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.Put());
  if (SUCCEEDED(hr)) hr = encoder.Get()->Initialize(stream.Get(), WICBitmapEncoderNoCache);
  ComRef<IWICBitmapFrameEncode> frame;
  ComRef<IPropertyBag2> options;
  if (SUCCEEDED(hr)) hr = encoder.Get()->CreateNewFrame(frame.Put(), options.Put());
  if (SUCCEEDED(hr)) hr = frame.Get()->Initialize(options.Get());
  if (SUCCEEDED(hr)) hr = frame.Get()->SetSize(UINT(box.width), UINT(box.height));
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
  if (SUCCEEDED(hr)) hr = frame.Get()->SetPixelFormat(&format);
  if (SUCCEEDED(hr) && format != GUID_WICPixelFormat32bppBGR) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  const UINT stride = UINT(box.width) * 4;
  BYTE* bits = reinterpret_cast<BYTE*>(const_cast<uint32_t*>(box.pixels.data()));
  if (SUCCEEDED(hr)) hr = frame.Get()->WritePixels(UINT(box.height), stride, stride * UINT(box.height), bits);
  if (SUCCEEDED(hr)) hr = frame.Get()->Commit();
  if (SUCCEEDED(hr)) hr = encoder.Get()->Commit();
  return hr;
}

}  // namespace

// boxreader [--excel-window] [--pictures PREFIX] <program.exe> [timeout-ms]
//   --excel-window     keeps a window of Excel's main class open while the program runs
//   --pictures PREFIX  saves box N as PREFIX-N.png
int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  bool excelWindow = false;
  std::wstring pictures;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == L'-'; ++arg) {
    if (std::wstring(argv[arg]) == L"--excel-window") excelWindow = true;
    else if (std::wstring(argv[arg]) == L"--pictures" && arg + 1 < argc) pictures = argv[++arg];
    else break;
  }
  if (argc - arg < 1 || argc - arg > 2) {
    Write(STD_ERROR_HANDLE, L"usage: boxreader [--excel-window] [--pictures PREFIX] <program.exe> [timeout-ms]\n");
    return 2;
  }
  const wchar_t* program = argv[arg];
  DWORD timeoutMs = kDefaultTimeoutMs;
  if (argc - arg == 2) timeoutMs = DWORD(wcstoul(argv[arg + 1], nullptr, 10));
  std::unique_ptr<ExcelWindow> window;
  if (excelWindow) window = std::make_unique<ExcelWindow>();
  RunOutcome outcome = RunAndAnswerBoxes(program, timeoutMs);
  window.reset();
  if (!outcome.started) {
    DWORD error = GetLastError();
    Write(STD_ERROR_HANDLE, L"could not start " + std::wstring(program) + L" (error " + std::to_wstring(error) + L")\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  size_t number = 0;
  for (const SeenBox& box : outcome.boxes) {
    Write(STD_OUTPUT_HANDLE, Header(++number, box) + Body(box.text));
    if (pictures.empty()) continue;
    const std::wstring path = pictures + L"-" + std::to_wstring(number) + L".png";
    const HRESULT saved = SavePng(box, path);
    if (FAILED(saved)) {
      Write(STD_ERROR_HANDLE, L"could not save " + path + L" (error " + std::to_wstring(unsigned(saved)) + L")\n");
      return 1;
    }
    Write(STD_OUTPUT_HANDLE, L"  picture " + std::to_wstring(box.width) + L"x" + std::to_wstring(box.height) +
                                 L": " + path + L"\n");
  }
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
