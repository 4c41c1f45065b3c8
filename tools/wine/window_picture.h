// Pictures of the installer's windows as a user sees them on the screen, for the documentation.
#pragma once

#include <windows.h>

#include <string>

// Saves what the screen shows inside window's frame as a 24-bit BMP file at path. False when
// the window has no area or the file can't be written.
bool SaveWindowPicture(HWND window, const std::wstring& path);
