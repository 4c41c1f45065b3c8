// UTF-8 <-> UTF-16 for the robot: scenario texts are UTF-8, the windows speak UTF-16.
#pragma once

#include <string>

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
std::string Narrow(const wchar_t* utf16, int length);
