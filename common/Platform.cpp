#include "Platform.h"

#include <cstdlib>
#include <vector>

void RaiseFailure(HRESULT Code) {
  throw Failure{Code};
}

void RestrictDllSearch() {
  // Looked up, not imported: Windows Vista, and Windows 7 without KB2533623, lack it, and an
  // import it cannot resolve would stop the program from starting at all.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto SetDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (SetDefaultDllDirectories && SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Without it, at least the current folder leaves the search.
  SetDllDirectoryW(L"");
}

namespace {

// The module path can exceed MAX_PATH, so the buffer grows until the name fits.
std::wstring ProgramFile() {
  std::vector<wchar_t> Buffer(MAX_PATH);
  for (;;) {
    const DWORD Length = GetModuleFileNameW(nullptr, Buffer.data(), static_cast<DWORD>(Buffer.size()));
    if (Length == 0) RaiseFailure(HRESULT_FROM_WIN32(GetLastError()));
    if (Length < Buffer.size()) return std::wstring(Buffer.data(), Length);
    if (Buffer.size() >= 0x10000) RaiseFailure(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    Buffer.resize(Buffer.size() * 2);
  }
}

}  // namespace

std::wstring ProgramFolder() {
  const std::wstring File = ProgramFile();
  const std::size_t Slash = File.rfind(L'\\');
  if (Slash == std::wstring::npos) RaiseFailure(HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME));
  // A root ("C:") is only a folder with its backslash.
  const bool Root = Slash > 0 && File[Slash - 1] == L':';
  return File.substr(0, Root ? Slash + 1 : Slash);
}

void ShowMessage(const std::wstring& Text, const wchar_t* Caption, UINT Style) {
  MessageBoxW(nullptr, Text.c_str(), Caption, Style | MB_SETFOREGROUND | MB_TOPMOST);
}

void EndProgram() {
  ExitProcess(0);
}

std::string ToAnsi(const std::wstring& Text) {
  if (Text.empty()) return std::string();
  const int Wide = static_cast<int>(Text.size());
  // Best-fit mapping would turn a name into a different one (Ω into O), so only exact text passes.
  const bool Utf8 = GetACP() == CP_UTF8;
  const DWORD Flags = Utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL UsedDefault = FALSE;
  BOOL* UsedDefaultOut = Utf8 ? nullptr : &UsedDefault;
  const int Size = WideCharToMultiByte(CP_ACP, Flags, Text.data(), Wide, nullptr, 0, nullptr, UsedDefaultOut);
  if (Size == 0) RaiseFailure(HRESULT_FROM_WIN32(GetLastError()));
  if (UsedDefault) RaiseFailure(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
  std::string Ansi(static_cast<std::size_t>(Size), '\0');
  WideCharToMultiByte(CP_ACP, Flags, Text.data(), Wide, Ansi.data(), Size, nullptr, UsedDefaultOut);
  return Ansi;
}

// The library's default terminate handler prints a demangled type name to a console these
// programs never have; its demangler alone would be a sixth of each program.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx
