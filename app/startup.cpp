#include "startup.h"

// What ends the program's name and separates it from the rest: a space, a tab or any other
// control character. No byte of a double-byte character is one, so the line is read by bytes.
static BOOL IsBlank(char c) {
    return c != '\0' && (unsigned char)c <= ' ';
}

LPSTR CommandLineTail(LPSTR commandLine) {
    char* at = commandLine;
    if (*at == '"') {
        at++;
        while (*at != '\0' && *at != '"')
            at++;
        if (*at == '"')
            at++;
    } else {
        while (*at != '\0' && !IsBlank(*at))
            at++;
    }
    while (IsBlank(*at))
        at++;
    return at;
}

int StartupShowCommand(const STARTUPINFOA* startup) {
    if ((startup->dwFlags & STARTF_USESHOWWINDOW) != 0)
        return startup->wShowWindow;
    return SW_SHOWDEFAULT;
}
