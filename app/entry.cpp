// The Windows build's entry point and the two memory routines the compiler may call. setup.exe
// links no C runtime: every instruction in it is compiled from the project's sources with the
// project's flags, and it needs no DLL that the oldest Windows lacks.
#include "startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

extern "C" void WinMainCRTStartup(void) {
    STARTUPINFOA startup;
    startup.cb = sizeof(startup);
    GetStartupInfoA(&startup);
    int status = WinMain(GetModuleHandleA(NULL), NULL, CommandLineTail(GetCommandLineA()),
                         StartupShowCommand(&startup));
    ExitProcess((UINT)status);
}

// The compiler turns the zeroing of a buffer or the copy of a structure into calls of these.
// The build keeps it from turning these loops back into such calls.
extern "C" void* memset(void* target, int value, size_t count) {
    unsigned char* at = (unsigned char*)target;
    while (count-- > 0)
        *at++ = (unsigned char)value;
    return target;
}

extern "C" void* memcpy(void* target, const void* source, size_t count) {
    unsigned char* to = (unsigned char*)target;
    const unsigned char* from = (const unsigned char*)source;
    while (count-- > 0)
        *to++ = *from++;
    return target;
}
