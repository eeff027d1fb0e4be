#include "FileExists.h"

#include "Platform.h"

namespace {
// Closes a search handle on every way out.
struct FindHandle {
  HANDLE Handle;
  ~FindHandle() { FindClose(Handle); }
};

// Entries that an ordinary file lookup never reports.
bool IsOrdinaryFile(const WIN32_FIND_DATAW& Entry) {
  return (Entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
}

// A missing file or folder is an answer, not a failure.
bool IsNoMatch(DWORD Error) {
  return Error == ERROR_FILE_NOT_FOUND || Error == ERROR_PATH_NOT_FOUND || Error == ERROR_NO_MORE_FILES;
}

}  // namespace

bool FileExists(const std::wstring& Fname) {
  if (Fname.empty() || Fname.back() == L'\\') return false;
  WIN32_FIND_DATAW Entry;
  const HANDLE Search = FindFirstFileW(Fname.c_str(), &Entry);
  if (Search == INVALID_HANDLE_VALUE) {
    const DWORD Error = GetLastError();
    if (IsNoMatch(Error)) return false;
    RaiseFailure(HRESULT_FROM_WIN32(Error));
  }
  const FindHandle Holder{Search};
  do {
    if (IsOrdinaryFile(Entry)) return true;
  } while (FindNextFileW(Search, &Entry));
  const DWORD Error = GetLastError();
  if (!IsNoMatch(Error)) RaiseFailure(HRESULT_FROM_WIN32(Error));
  return false;
}
