// GetModuleHandleA and GetProcAddress: the functions a program looks up at run time because an
// older Windows lacks them. A machine may lack some of them, as the first release of Windows 95
// lacks GetDiskFreeSpaceExA (machine.txt: "lacks <function>"). And GetVersion: which Windows.
#include <windows.h>

#include <strings.h>

#include "call_points.h"
#include "machine.h"

using namespace winsim;

namespace {

// The one module a program finds here. Its handle is no address of anything.
HMODULE const Kernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7B800000));

struct Export {
    const char* name;
    FARPROC address;
};

// What the product may look up, and where.
const Export Kernel32Exports[] = {
    {"GetDiskFreeSpaceExA",
     reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&GetDiskFreeSpaceExA))},
};

} // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    calls::Scope call("GetModuleHandleA", 0);
    if (moduleName != nullptr &&
        (strcasecmp(moduleName, "kernel32.dll") == 0 || strcasecmp(moduleName, "kernel32") == 0))
        return Kernel32;
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    calls::Scope call("GetProcAddress", calls::CanFail);
    if (module != Kernel32 || procName == nullptr || call.Fails()) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard lock(machineLock());
    for (const Export& entry : Kernel32Exports) {
        if (strcmp(entry.name, procName) == 0 && !machine().lacks.contains(entry.name))
            return entry.address;
    }
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

// Windows 10 unless the machine says otherwise (machine.txt "version"); the first Windows 95
// answers 0xC3B60004: 4.0, the high bit set, build 950 below it. It touches nothing another
// thread sees: no moment of its own.
DWORD WINAPI GetVersion(void) {
    calls::Scope call("GetVersion", 0);
    std::lock_guard lock(machineLock());
    return machine().version;
}
