#include "wide_text.h"

#include <windows.h>

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty())
        return {};
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), wide.data(), length);
    return wide;
}

std::string Narrow(const wchar_t* utf16, int length) {
    if (length <= 0)
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, utf16, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16, length, narrow.data(), size, nullptr, nullptr);
    return narrow;
}

std::string Narrow(const std::wstring& utf16) {
    return Narrow(utf16.data(), (int)utf16.size());
}
