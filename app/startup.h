#pragma once

#include <windows.h>

// What the program's entry hands to WinMain, found as a C runtime finds it.

// The command line after the program's name: the name is skipped (up to its closing quote when
// it begins with one, else up to the first space, tab or control character), then the blanks
// after it.
LPSTR CommandLineTail(LPSTR commandLine);

// The show command the starting program asked for, else SW_SHOWDEFAULT.
int StartupShowCommand(const STARTUPINFOA* startup);
