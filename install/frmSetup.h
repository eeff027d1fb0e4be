#pragma once
#include <string>

// The setup form offers the file test as its own public operation, so it comes with this header.
#include "FileExists.h"

// The setup pass: adds the add-in beside this program to a new Excel and switches it on, then ends the program.
[[noreturn]] void Form_Load();

// What the user is told when the automatic setup could not finish.
std::wstring InstructionsText(const std::wstring& AddInPath);
