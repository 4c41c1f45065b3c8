// GetModuleHandleA, LoadLibraryA, FreeLibrary and GetProcAddress: the functions a program looks
// up at run time because an older Windows lacks them. Each export is there from the Windows that
// brought it: a machine of an older version (machine.txt "version") gives NULL for it, as
// GetProcAddress does there, and a machine may lack others (machine.txt: "lacks <function>"), as
// the first release of Windows 95 lacks GetDiskFreeSpaceExA. Windows 95, 98 and ME export the
// security functions of advapi32 as stubs that fail with ERROR_CALL_NOT_IMPLEMENTED. And
// GetVersion: which Windows.
#include <windows.h>

#include <strings.h>

#include "call_points.h"
#include "machine.h"

using namespace winsim;

namespace {

// The modules a program finds here. Their handles are no addresses of anything.
HMODULE const Kernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7B800000));
HMODULE const Advapi32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7B900000));

// The oldest Windows an export is in: every one (95), the NT line from 2000 on (5.0), from
// Windows Vista on (6.0), from Windows 8 on (6.2).
enum class Since { Windows95, Windows2000, WindowsVista, Windows8 };

struct Export {
    HMODULE module;
    const char* name;
    FARPROC address;
    Since since;
};

template <typename Function> FARPROC Address(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(function));
}

// What the product may look up, and where.
const Export Exports[] = {
    {Kernel32, "GetDiskFreeSpaceExA", Address(&GetDiskFreeSpaceExA), Since::Windows95},
    {Kernel32, "CreateHardLinkA", Address(&CreateHardLinkA), Since::Windows2000},
    {Kernel32, "GetFileInformationByHandle", Address(&GetFileInformationByHandle),
     Since::Windows95},
    {Kernel32, "GetFileInformationByHandleEx", Address(&GetFileInformationByHandleEx),
     Since::WindowsVista},
    {Kernel32, "GetShortPathNameA", Address(&GetShortPathNameA), Since::Windows95},
    {Kernel32, "CreateMutexA", Address(&CreateMutexA), Since::Windows95},
    {Kernel32, "ReleaseMutex", Address(&ReleaseMutex), Since::Windows95},
    {Kernel32, "GetCurrentProcess", Address(&GetCurrentProcess), Since::Windows95},
    {Kernel32, "SetProcessMitigationPolicy", Address(&SetProcessMitigationPolicy), Since::Windows8},
    {Kernel32, "GetProcessMitigationPolicy", Address(&GetProcessMitigationPolicy), Since::Windows8},
    {Advapi32, "GetKernelObjectSecurity", Address(&GetKernelObjectSecurity), Since::Windows95},
    {Advapi32, "GetSecurityDescriptorOwner", Address(&GetSecurityDescriptorOwner),
     Since::Windows95},
    {Advapi32, "GetSecurityDescriptorDacl", Address(&GetSecurityDescriptorDacl), Since::Windows95},
    {Advapi32, "GetSecurityDescriptorControl", Address(&GetSecurityDescriptorControl),
     Since::Windows95},
    {Advapi32, "GetAce", Address(&GetAce), Since::Windows95},
    {Advapi32, "EqualSid", Address(&EqualSid), Since::Windows95},
    {Advapi32, "AllocateAndInitializeSid", Address(&AllocateAndInitializeSid), Since::Windows95},
    {Advapi32, "FreeSid", Address(&FreeSid), Since::Windows95},
    {Advapi32, "IsValidSid", Address(&IsValidSid), Since::Windows95},
    {Advapi32, "GetLengthSid", Address(&GetLengthSid), Since::Windows95},
    {Advapi32, "OpenProcessToken", Address(&OpenProcessToken), Since::Windows95},
    {Advapi32, "GetTokenInformation", Address(&GetTokenInformation), Since::Windows95},
};

// Whether the machine's Windows has what came with since.
bool Has(Since since) {
    std::uint32_t version = machine().version;
    unsigned major = version & 0xFF, minor = (version >> 8) & 0xFF;
    bool nt = (version & 0x80000000u) == 0;
    switch (since) {
    case Since::Windows2000:
        return nt && major >= 5;
    case Since::WindowsVista:
        return nt && major >= 6;
    case Since::Windows8:
        return nt && (major > 6 || (major == 6 && minor >= 2));
    default:
        return true;
    }
}

HMODULE ModuleNamed(LPCSTR name) {
    if (name == nullptr)
        return nullptr;
    if (strcasecmp(name, "kernel32.dll") == 0 || strcasecmp(name, "kernel32") == 0)
        return Kernel32;
    if (strcasecmp(name, "advapi32.dll") == 0 || strcasecmp(name, "advapi32") == 0)
        return Advapi32;
    return nullptr;
}

} // namespace

// Both modules are loaded in every process: the program imports functions of each.
HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    calls::Scope call("GetModuleHandleA", 0);
    if (HMODULE module = ModuleNamed(moduleName))
        return module;
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
    calls::Scope call("LoadLibraryA", calls::CanFail);
    HMODULE module = call.Fails() ? nullptr : ModuleNamed(fileName);
    if (module == nullptr)
        SetError(ERROR_MOD_NOT_FOUND);
    return module;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    calls::Scope call("FreeLibrary", 0);
    if (module != Kernel32 && module != Advapi32) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    calls::Scope call("GetProcAddress", calls::CanFail);
    if ((module != Kernel32 && module != Advapi32) || procName == nullptr || call.Fails()) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard lock(machineLock());
    for (const Export& entry : Exports) {
        if (entry.module == module && strcmp(entry.name, procName) == 0 && Has(entry.since) &&
            !machine().lacks.contains(entry.name))
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
