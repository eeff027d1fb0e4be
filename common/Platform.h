#pragma once
#include <windows.h>

#include <string>

// A failure raised by a step; it unwinds to the flow's handler, carrying its cause.
struct Failure {
  HRESULT Code;
};

// Raises the failure for Code.
[[noreturn]] void RaiseFailure(HRESULT Code);

// Takes the program's own folder, and the current one, out of the DLL search, so a DLL planted
// beside a downloaded program is never loaded. The first thing each program does.
void RestrictDllSearch();

// The folder that holds the running program, at full length; a drive root keeps its backslash (C:\).
std::wstring ProgramFolder();

// Shows a modal box with no owner; brought to the front because nothing of ours is on screen.
void ShowMessage(const std::wstring& Text, const wchar_t* Caption, UINT Style);

// Ends the program at once.
[[noreturn]] void EndProgram();

// Text in the ANSI code page for the "A" calls; raises when it cannot be written there exactly.
std::string ToAnsi(const std::wstring& Text);
