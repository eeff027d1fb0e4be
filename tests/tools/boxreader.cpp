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
#include "TestSupport.h"

namespace {

const DWORD DefaultTimeoutMs = 60000;

// Bytes through WriteFile, not the console API, so the same UTF-8 arrives whether the handle is a
// console, a pipe or a file.
void Write(DWORD Which, const std::wstring& Text) {
  if (Text.empty()) return;
  const std::string Bytes = Utf8(Text);
  DWORD Written = 0;
  WriteFile(GetStdHandle(Which), Bytes.data(), DWORD(Bytes.size()), &Written, nullptr);
}

// Shows the characters a reader could not otherwise see on a line.
std::wstring Visible(const std::wstring& Text) {
  std::wstring Out;
  for (wchar_t Char : Text) {
    if (Char == L'\t')
      Out += L"\\t";
    else if (Char == L'\r')
      Out += L"\\r";
    else
      Out += Char;
  }
  return Out;
}

std::wstring Header(size_t Number, const SeenBox& Box) {
  std::wstring Buttons;
  for (const std::wstring& Caption : Box.Buttons) {
    if (!Buttons.empty()) Buttons += L",";
    Buttons += Visible(Caption);
  }
  const wchar_t* Icon = Box.StopIcon ? L"stop" : Box.AnyIcon ? L"other" : L"none";
  return L"box " + std::to_wstring(Number) + L": caption=\"" + Visible(Box.Caption) + L"\" icon=" + Icon +
         L" topmost=" + (Box.Topmost ? L"yes" : L"no") + L" buttons=" + Buttons + L"\n";
}

// The message text one line at a time, so leading tabs and empty lines show.
std::wstring Body(const std::wstring& Text) {
  std::wstring Out;
  size_t Start = 0;
  for (;;) {
    size_t End = Text.find(L'\n', Start);
    Out += L"  | " + Visible(Text.substr(Start, End == std::wstring::npos ? std::wstring::npos : End - Start)) + L"\n";
    if (End == std::wstring::npos) break;
    Start = End + 1;
  }
  return Out;
}

// Through Windows' own imaging codecs, so the tools need no image library of their own.
HRESULT SavePng(const SeenBox& Box, const std::wstring& Path) {
  if (Box.Pixels.empty()) return E_FAIL;
  ComRef<IWICImagingFactory> Factory;
  HRESULT Status = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                    reinterpret_cast<void**>(Factory.Put()));
  ComRef<IWICStream> Stream;
  if (SUCCEEDED(Status)) Status = Factory.Get()->CreateStream(Stream.Put());
  if (SUCCEEDED(Status)) Status = Stream.Get()->InitializeFromFilename(Path.c_str(), GENERIC_WRITE);
  ComRef<IWICBitmapEncoder> Encoder;
  if (SUCCEEDED(Status)) Status = Factory.Get()->CreateEncoder(GUID_ContainerFormatPng, nullptr, Encoder.Put());
  if (SUCCEEDED(Status)) Status = Encoder.Get()->Initialize(Stream.Get(), WICBitmapEncoderNoCache);
  ComRef<IWICBitmapFrameEncode> Frame;
  ComRef<IPropertyBag2> Options;
  if (SUCCEEDED(Status)) Status = Encoder.Get()->CreateNewFrame(Frame.Put(), Options.Put());
  if (SUCCEEDED(Status)) Status = Frame.Get()->Initialize(Options.Get());
  if (SUCCEEDED(Status)) Status = Frame.Get()->SetSize(UINT(Box.Width), UINT(Box.Height));
  WICPixelFormatGUID Format = GUID_WICPixelFormat32bppBGR;
  if (SUCCEEDED(Status)) Status = Frame.Get()->SetPixelFormat(&Format);
  if (SUCCEEDED(Status) && Format != GUID_WICPixelFormat32bppBGR) Status = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  const UINT Stride = UINT(Box.Width) * 4;
  BYTE* Bits = reinterpret_cast<BYTE*>(const_cast<uint32_t*>(Box.Pixels.data()));
  if (SUCCEEDED(Status)) Status = Frame.Get()->WritePixels(UINT(Box.Height), Stride, Stride * UINT(Box.Height), Bits);
  if (SUCCEEDED(Status)) Status = Frame.Get()->Commit();
  if (SUCCEEDED(Status)) Status = Encoder.Get()->Commit();
  return Status;
}

}  // namespace

// boxreader [--excel-window] [--pictures PREFIX] <program.exe> [timeout-ms]
//   --excel-window     keeps a window of Excel's main class open while the program runs
//   --pictures PREFIX  saves box N as PREFIX-N.png
int wmain(int Argc, wchar_t** Argv) {
  SetConsoleOutputCP(CP_UTF8);
  bool WithExcelWindow = false;
  std::wstring Pictures;
  int Arg = 1;
  for (; Arg < Argc && Argv[Arg][0] == L'-'; ++Arg) {
    if (std::wstring(Argv[Arg]) == L"--excel-window")
      WithExcelWindow = true;
    else if (std::wstring(Argv[Arg]) == L"--pictures" && Arg + 1 < Argc)
      Pictures = Argv[++Arg];
    else
      break;
  }
  if (Argc - Arg < 1 || Argc - Arg > 2) {
    Write(STD_ERROR_HANDLE, L"usage: boxreader [--excel-window] [--pictures PREFIX] <program.exe> [timeout-ms]\n");
    return 2;
  }
  const wchar_t* Program = Argv[Arg];
  DWORD TimeoutMs = DefaultTimeoutMs;
  if (Argc - Arg == 2) TimeoutMs = DWORD(wcstoul(Argv[Arg + 1], nullptr, 10));
  std::unique_ptr<ExcelWindow> Window;
  if (WithExcelWindow) Window = std::make_unique<ExcelWindow>();
  RunOutcome Outcome = RunAndAnswerBoxes(Program, TimeoutMs);
  Window.reset();
  if (!Outcome.Started) {
    DWORD Error = GetLastError();
    Write(STD_ERROR_HANDLE,
          L"could not start " + std::wstring(Program) + L" (error " + std::to_wstring(Error) + L")\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  size_t Number = 0;
  for (const SeenBox& Box : Outcome.Boxes) {
    Write(STD_OUTPUT_HANDLE, Header(++Number, Box) + Body(Box.Text));
    if (Pictures.empty()) continue;
    const std::wstring Path = Pictures + L"-" + std::to_wstring(Number) + L".png";
    const HRESULT Saved = SavePng(Box, Path);
    if (FAILED(Saved)) {
      Write(STD_ERROR_HANDLE, L"could not save " + Path + L" (error " + std::to_wstring(unsigned(Saved)) + L")\n");
      return 1;
    }
    Write(STD_OUTPUT_HANDLE,
          L"  picture " + std::to_wstring(Box.Width) + L"x" + std::to_wstring(Box.Height) + L": " + Path + L"\n");
  }
  if (Outcome.TimedOut) {
    Write(STD_OUTPUT_HANDLE, L"timed out\n");
    return 1;
  }
  std::wstring Code = std::to_wstring(Outcome.ExitCode);
  // Crashes end with NTSTATUS codes, which are only recognisable in hex.
  if (Outcome.ExitCode >= 0x80000000u) Code += L" (0x" + Hex<wchar_t>(Outcome.ExitCode) + L")";
  Write(STD_OUTPUT_HANDLE, L"exit code " + Code + L"\n");
  return 0;
}
