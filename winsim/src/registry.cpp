// The registry as the installer reads it: one key, HKCU\...\Explorer\Shell Folders, whose
// values are the machine's shell folders. Openings are counted so a test can make the n-th fail.
#include <windows.h>

#include <cctype>
#include <cstring>
#include <set>

#include "call_points.h"
#include "machine.h"

using namespace winsim;

namespace {

const char ShellFoldersKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
           });
}

// Open key handles; each opening gets a handle of its own. Guarded by the machine lock.
struct OpenKeys {
    std::set<std::uintptr_t> handles;
    std::uintptr_t next = 0x1000;
};
OpenKeys& openKeys() {
    static OpenKeys* keys = new OpenKeys;
    return *keys;
}

bool IsOpen(HKEY key) {
    return openKeys().handles.count((std::uintptr_t)key) != 0;
}

} // namespace

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    calls::Scope call("RegOpenKeyExA", calls::Point | calls::CanFail);
    if (call.Fails())
        return ERROR_ACCESS_DENIED;
    (void)options;
    (void)access;
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::lock_guard lock(machineLock());
    int opening = ++machine().keyOpenings;
    if (key != HKEY_CURRENT_USER)
        return key == HKEY_LOCAL_MACHINE ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE;
    if (subKey == nullptr || !SameText(subKey, ShellFoldersKey) ||
        machine().failKeyOpenings.count(opening) != 0)
        return ERROR_FILE_NOT_FOUND;
    OpenKeys& keys = openKeys();
    std::uintptr_t handle = keys.next;
    keys.next += 4;
    keys.handles.insert(handle);
    *result = (HKEY)handle;
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataBytes) {
    calls::Scope call("RegQueryValueExA", calls::Point | calls::CanFail);
    if (call.Fails())
        return ERROR_FILE_NOT_FOUND;
    if (reserved != nullptr || (data != nullptr && dataBytes == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(machineLock());
    if (!IsOpen(key))
        return ERROR_INVALID_HANDLE;
    // Value names compare without regard to case.
    std::string_view name = valueName == nullptr ? "" : valueName;
    const std::string* value = nullptr;
    for (const auto& [folderName, folder] : machine().shellFolders) {
        if (SameText(folderName, name))
            value = &folder;
    }
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    std::string bytes = Utf8ToCp950(*value);
    DWORD needed = (DWORD)bytes.size() + 1;
    if (type != nullptr)
        *type = REG_SZ;
    if (data == nullptr) {
        if (dataBytes != nullptr)
            *dataBytes = needed;
        return ERROR_SUCCESS;
    }
    // A buffer that is too small gets nothing; the caller learns the size it needs.
    if (*dataBytes < needed) {
        *dataBytes = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.c_str(), needed);
    *dataBytes = needed;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
    calls::Scope call("RegCloseKey", calls::Point);
    std::lock_guard lock(machineLock());
    return openKeys().handles.erase((std::uintptr_t)key) != 0 ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
}
