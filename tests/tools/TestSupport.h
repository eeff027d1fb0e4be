#pragma once
// What every test program and the Excel stand-in need of text, files and folders. Header-only,
// so the stand-in's 64-bit build, which builds nothing else of the tree, has it too.
#include <windows.h>

#include <string>

// UTF-8, in which the journal, the control file and everything printed are written.
inline std::string Utf8(const std::wstring& Text) {
  if (Text.empty()) return std::string();
  const int Wide = static_cast<int>(Text.size());
  const int Size = WideCharToMultiByte(CP_UTF8, 0, Text.data(), Wide, nullptr, 0, nullptr, nullptr);
  std::string Narrow(static_cast<std::size_t>(Size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text.data(), Wide, Narrow.data(), Size, nullptr, nullptr);
  return Narrow;
}

inline std::wstring FromUtf8(const std::string& Text) {
  if (Text.empty()) return std::wstring();
  const int Narrow = static_cast<int>(Text.size());
  const int Size = MultiByteToWideChar(CP_UTF8, 0, Text.data(), Narrow, nullptr, 0);
  std::wstring Wide(static_cast<std::size_t>(Size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, Text.data(), Narrow, Wide.data(), Size);
  return Wide;
}

// Value in lower-case hex, Digits wide, in either kind of text.
template <class Char = char>
std::basic_string<Char> Hex(unsigned long Value, int Digits = 8) {
  std::basic_string<Char> Text(static_cast<std::size_t>(Digits), Char('0'));
  for (int At = Digits - 1; At >= 0; --At, Value >>= 4) Text[At] = Char("0123456789abcdef"[Value & 15]);
  return Text;
}

// A whole file's bytes; a missing file reads as empty. Shared for writing too, since the file
// may still be open in a program that is about to end.
inline std::string ReadWholeFile(const std::wstring& Path) {
  const HANDLE File = CreateFileW(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (File == INVALID_HANDLE_VALUE) return std::string();
  std::string Data;
  char Chunk[4096];
  DWORD Got = 0;
  while (ReadFile(File, Chunk, sizeof Chunk, &Got, nullptr) && Got > 0) Data.append(Chunk, Got);
  CloseHandle(File);
  return Data;
}

// Appends Bytes to a file that several processes write one line at a time; a writer that has it
// open just now is waited for, briefly.
inline void AppendToFile(const std::wstring& Path, const std::string& Bytes) {
  for (int Attempt = 0; Attempt < 50; ++Attempt) {
    const HANDLE File =
        CreateFileW(Path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (File != INVALID_HANDLE_VALUE) {
      DWORD Written = 0;
      WriteFile(File, Bytes.data(), static_cast<DWORD>(Bytes.size()), &Written, nullptr);
      CloseHandle(File);
      return;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) return;
    Sleep(20);
  }
}

// The file of a loaded module: this program's unless another is named.
inline std::wstring ModulePath(HMODULE Module = nullptr) {
  std::wstring Path(32768, L'\0');
  Path.resize(GetModuleFileNameW(Module, Path.data(), static_cast<DWORD>(Path.size())));
  return Path;
}

// The text after Path's last backslash.
inline std::wstring FileNameOf(const std::wstring& Path) {
  return Path.substr(Path.rfind(L'\\') + 1);
}

// The folder that holds Path; a drive root keeps its backslash (R:\), or it would name the
// drive's current folder.
inline std::wstring FolderOf(const std::wstring& Path) {
  const std::size_t Slash = Path.rfind(L'\\');
  if (Slash == std::wstring::npos) return std::wstring();
  return Path.substr(0, Slash > 0 && Path[Slash - 1] == L':' ? Slash + 1 : Slash);
}

// Name inside Folder, one backslash between them even when Folder is a root.
inline std::wstring InFolder(const std::wstring& Folder, const std::wstring& Name) {
  return (!Folder.empty() && Folder.back() == L'\\' ? Folder : Folder + L"\\") + Name;
}

// The folder the tests may fill: LARKSPAN_TEST_ROOT, which the Wine session puts on a file system
// that keeps hidden and system attributes; without it, "cases" beside this program.
inline std::wstring TestRoot() {
  wchar_t Root[MAX_PATH];
  const DWORD Length = GetEnvironmentVariableW(L"LARKSPAN_TEST_ROOT", Root, MAX_PATH);
  if (Length > 0 && Length < MAX_PATH) return std::wstring(Root, Length);
  return InFolder(FolderOf(ModulePath()), L"cases");
}
