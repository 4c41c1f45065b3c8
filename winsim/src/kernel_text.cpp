// Strings, code page conversion, interlocked words and the last error.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "call_points.h"
#include "machine.h"

using winsim::SetError;
namespace calls = winsim::calls;

static thread_local DWORD lastError = 0;

DWORD WINAPI GetLastError(void) {
    return lastError;
}
void WINAPI SetLastError(DWORD error) {
    lastError = error;
}
void winsim::SetError(std::uint32_t error) {
    lastError = error;
}

int WINAPI lstrlenA(LPCSTR s) {
    return s == nullptr ? 0 : (int)std::strlen(s);
}

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src) {
    return std::strcpy(dst, src);
}

LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int maxLength) {
    if (maxLength <= 0)
        return dst;
    int i = 0;
    for (; i < maxLength - 1 && src[i] != '\0'; ++i)
        dst[i] = src[i];
    dst[i] = '\0';
    return dst;
}

LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src) {
    return std::strcat(dst, src);
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
    int result = std::strcmp(a, b);
    return result < 0 ? -1 : result > 0 ? 1 : 0;
}

// Code page 950: bytes 0x81 to 0xFE lead a two-byte character.
LPSTR WINAPI CharNextA(LPCSTR text) {
    if (*text == '\0')
        return const_cast<LPSTR>(text);
    unsigned char lead = (unsigned char)*text;
    if (lead >= 0x81 && lead <= 0xFE && text[1] != '\0')
        return const_cast<LPSTR>(text + 2);
    return const_cast<LPSTR>(text + 1);
}

BOOL WINAPI IsDBCSLeadByte(BYTE test) {
    return test >= 0x81 && test <= 0xFE;
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    // wsprintfA writes at most 1024 bytes.
    va_list arguments;
    va_start(arguments, format);
    int written = std::vsnprintf(buffer, 1024, format, arguments);
    va_end(arguments);
    return written > 1023 ? 1023 : written;
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int textBytes, LPWSTR wide,
                               int wideChars) {
    calls::Scope call("MultiByteToWideChar", calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    (void)codePage;
    (void)flags;
    std::string_view in(text, textBytes < 0 ? std::strlen(text) + 1 : (size_t)textBytes);
    std::string utf8 = winsim::Cp950ToUtf8(in);
    std::u16string utf16;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = (unsigned char)utf8[i];
        char32_t point;
        int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        point = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        for (int k = 1; k < length && i + k < utf8.size(); ++k)
            point = (point << 6) | ((unsigned char)utf8[i + k] & 0x3F);
        i += length;
        if (point >= 0x10000) {
            point -= 0x10000;
            utf16 += (char16_t)(0xD800 + (point >> 10));
            utf16 += (char16_t)(0xDC00 + (point & 0x3FF));
        } else {
            utf16 += (char16_t)point;
        }
    }
    if (wideChars == 0)
        return (int)utf16.size();
    if ((int)utf16.size() > wideChars) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(wide, utf16.data(), utf16.size() * sizeof(WCHAR));
    return (int)utf16.size();
}

LONG WINAPI InterlockedExchange(volatile LONG* target, LONG value) {
    calls::Scope call("InterlockedExchange", calls::Point);
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
    calls::Scope call("InterlockedCompareExchange", calls::Point);
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
