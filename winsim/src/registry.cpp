// The registry calls over the machine's registry (registry_tree.h): keys opened, made and
// deleted, values read, written and deleted, under HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER.
// Names and texts are code page 950 at the calls and UTF-8 in the tree. A handle keeps the access
// it was opened with; on a standard user's machine no HKLM key opens for writing.
//
// Every change is written to registry.txt of the machine folder at once, so that a later process
// on the machine finds it; what the system has made durable is what stood at the last
// RegFlushKey (or at the start): a power cut takes back the rest (LoseUnflushedRegistry), as
// Windows' lazy flusher may not have written it. Openings of the Shell Folders key are counted so
// that a test can make the n-th fail; its text values are the machine's shellFolders.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "call_points.h"
#include "host_files.h"
#include "machine.h"
#include "file_security.h"
#include "registry_tree.h"
#include "security.h"

using namespace winsim;

namespace {

constexpr REGSAM WriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE |
                               WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// An open key: where it is, which key it was (its serial), and what it may do.
struct OpenKey {
    Hive hive = Hive::CurrentUser;
    std::vector<std::string> names;
    std::uint64_t serial = 0;
    REGSAM access = 0;
};

// Open key handles; each opening gets a handle of its own. Guarded by the machine lock.
struct OpenKeys {
    std::map<std::uintptr_t, OpenKey> handles;
    std::uintptr_t next = 0x1000;
};
OpenKeys& openKeys() {
    static OpenKeys* keys = new OpenKeys;
    return *keys;
}

// What the disk holds of the registry: the text at the last flush, and whether it has changed
// since. Apart from the machine lock, so that a power cut can take it back from any thread.
struct Durable {
    std::mutex lock;
    std::string file; // registry.txt of the machine, empty when the machine has no folder
    std::string flushed;
    std::atomic<bool> unflushed{false};
};
Durable& durable() {
    static auto* state = new Durable;
    return *state;
}

bool WriteWhole(const std::string& path, const std::string& text) {
    std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string CurrentText() {
    return RegistryText(machine().registry, machine().shellFolders);
}

// After a change (caller holds the machine lock): registry.txt gets the registry as it is now.
void Persist() {
    std::string text = CurrentText();
    std::string file = machine().folder.empty() ? "" : machine().folder + "/registry.txt";
    std::lock_guard guard(durable().lock);
    durable().file = file;
    if (!file.empty() && !WriteWhole(file, text))
        std::perror(file.c_str());
    durable().unflushed = text != durable().flushed;
}

std::optional<Hive> Predefined(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return Hive::LocalMachine;
    if (key == HKEY_CURRENT_USER)
        return Hive::CurrentUser;
    return std::nullopt;
}

// The access a mask asks for, with the generic rights mapped to the key's own.
REGSAM Mapped(REGSAM access) {
    access &= ~(REGSAM)(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if ((access & GENERIC_READ) != 0)
        access |= KEY_READ;
    if ((access & GENERIC_WRITE) != 0)
        access |= KEY_WRITE;
    if ((access & GENERIC_EXECUTE) != 0)
        access |= KEY_EXECUTE;
    if ((access & GENERIC_ALL) != 0)
        access |= KEY_ALL_ACCESS;
    return access & ~(REGSAM)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

bool ReadOnly(Hive hive) {
    return hive == Hive::LocalMachine && machine().registry.localMachineReadOnly;
}

// The access a key of hive grants for a mask, or nullopt when it is denied.
std::optional<REGSAM> Granted(Hive hive, REGSAM asked) {
    if ((asked & MAXIMUM_ALLOWED) != 0)
        return ReadOnly(hive) ? (REGSAM)KEY_READ : (REGSAM)KEY_ALL_ACCESS;
    if (ReadOnly(hive) && (asked & WriteAccess) != 0)
        return std::nullopt;
    return Mapped(asked);
}

// What an existing key grants the caller of what its hive granted: a key made with an access
// list of its own only what that list gives the token the calling thread runs as, all of it or
// nothing (MAXIMUM_ALLOWED: whatever the list gives); a key made without one the hive's rule.
std::optional<REGSAM> KeyGranted(const RegistryKey& key, REGSAM granted, REGSAM asked) {
    if (key.descriptor.empty())
        return granted;
    auto descriptor = security::ParseSddl(key.descriptor);
    if (!descriptor)
        return std::nullopt;
    const security::Token& token = files::CurrentToken();
    if ((asked & MAXIMUM_ALLOWED) != 0) {
        REGSAM allowed = granted & security::GrantedAccess(*descriptor, token, granted);
        return allowed != 0 ? std::optional<REGSAM>(allowed) : std::nullopt;
    }
    if (!security::AccessAllowed(*descriptor, token, granted))
        return std::nullopt;
    return granted;
}

// The key behind a handle (a root or an open key); error tells why there is none.
std::optional<OpenKey> Resolve(HKEY key, LONG& error) {
    if (auto hive = Predefined(key)) {
        RegistryKey& root = machine().registry.Root(*hive);
        return OpenKey{*hive, {}, root.serial, ReadOnly(*hive) ? (REGSAM)KEY_READ : KEY_ALL_ACCESS};
    }
    auto found = openKeys().handles.find((std::uintptr_t)key);
    if (found == openKeys().handles.end()) {
        error = ERROR_INVALID_HANDLE;
        return std::nullopt;
    }
    return found->second;
}

// The key an open key names, or nullptr when it has been deleted since it was opened.
RegistryKey* KeyOf(const OpenKey& open) {
    RegistryKey* key = machine().registry.Find(open.hive, open.names);
    return key != nullptr && key->serial == open.serial ? key : nullptr;
}

// The key behind a handle when it may do what needs asks; error says why not otherwise.
RegistryKey* Usable(HKEY key, REGSAM needs, LONG& error, OpenKey* open = nullptr) {
    auto resolved = Resolve(key, error);
    if (!resolved)
        return nullptr;
    RegistryKey* found = KeyOf(*resolved);
    if (found == nullptr) {
        error = ERROR_KEY_DELETED;
        return nullptr;
    }
    if ((resolved->access & needs) != needs) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if (open != nullptr)
        *open = *resolved;
    return found;
}

// A subkey path as the calls take it (code page 950): its names in UTF-8, or nullopt for a path
// that starts with a backslash (ERROR_BAD_PATHNAME).
std::optional<std::vector<std::string>> SubkeyNames(LPCSTR subKey) {
    if (subKey == nullptr)
        return std::vector<std::string>{};
    if (subKey[0] == '\\')
        return std::nullopt;
    return KeyNames(Cp950ToUtf8(subKey));
}

// The key subKey names below the key behind a handle, its serial and access still to be filled
// in; nullopt, with error saying why, when the handle, the name or the parent key is bad.
std::optional<OpenKey> Below(HKEY key, LPCSTR subKey, LONG& error) {
    auto parent = Resolve(key, error);
    if (!parent)
        return std::nullopt;
    auto names = SubkeyNames(subKey);
    if (!names) {
        error = ERROR_BAD_PATHNAME;
        return std::nullopt;
    }
    if (KeyOf(*parent) == nullptr) {
        error = ERROR_KEY_DELETED;
        return std::nullopt;
    }
    OpenKey open{parent->hive, parent->names, 0, 0};
    open.names.insert(open.names.end(), names->begin(), names->end());
    return open;
}

std::string NameOf(LPCSTR valueName) {
    return valueName == nullptr ? std::string() : Cp950ToUtf8(valueName);
}

HKEY NewHandle(const OpenKey& open) {
    OpenKeys& keys = openKeys();
    std::uintptr_t handle = keys.next;
    keys.next += 4;
    keys.handles[handle] = open;
    return (HKEY)handle;
}

// An opening of the Shell Folders key that the machine makes fail.
bool ShellFoldersOpeningFails(Hive hive, const std::vector<std::string>& names) {
    if (!IsShellFolders(hive, names))
        return false;
    int opening = ++machine().keyOpenings;
    return machine().failKeyOpenings.count(opening) != 0;
}

// The value of a key by name: the Shell Folders key's text values are the machine's shell
// folders.
std::optional<RegistryValue> ValueOf(const OpenKey& open, RegistryKey& key,
                                     const std::string& name) {
    if (IsShellFolders(open.hive, open.names)) {
        for (const auto& [folderName, folder] : machine().shellFolders) {
            if (SameName(folderName, name))
                return RegistryValue{REG_SZ, Utf8ToCp950(folder) + '\0'};
        }
    }
    auto found = key.values.find(name);
    if (found == key.values.end())
        return std::nullopt;
    return found->second;
}

// Removes a value; false when there was none.
bool EraseValue(const OpenKey& open, RegistryKey& key, const std::string& name) {
    bool erased = key.values.erase(name) != 0;
    if (IsShellFolders(open.hive, open.names))
        erased |= std::erase_if(machine().shellFolders, [&](const auto& entry) {
                      return SameName(entry.first, name);
                  }) != 0;
    return erased;
}

} // namespace

bool winsim::RegistryUnflushed() {
    return durable().unflushed;
}

void winsim::LoseUnflushedRegistry() {
    // Held until the process is gone, as the files' cache is.
    durable().lock.lock();
    if (durable().unflushed && !durable().file.empty())
        WriteWhole(durable().file, durable().flushed);
    durable().unflushed = false;
}

void winsim::LoadRegistryFile(Machine& loaded) {
    if (!loaded.folder.empty()) {
        std::ifstream in(loaded.folder + "/registry.txt", std::ios::binary);
        if (in) {
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            if (!ReadRegistryText(text, loaded.registry, loaded.shellFolders))
                std::fprintf(stderr, "winsim: %s/registry.txt can't be read\n",
                             loaded.folder.c_str());
        }
    }
    // What a process finds at its start is on the disk.
    std::lock_guard guard(durable().lock);
    durable().file = loaded.folder.empty() ? "" : loaded.folder + "/registry.txt";
    durable().flushed = RegistryText(loaded.registry, loaded.shellFolders);
    durable().unflushed = false;
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    calls::Scope call("RegOpenKeyExA", calls::Point | calls::CanFail);
    if (call.Fails())
        return ERROR_ACCESS_DENIED;
    (void)options;
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(machineLock());
    *result = nullptr;
    LONG error = ERROR_SUCCESS;
    auto below = Below(key, subKey, error);
    if (!below)
        return error;
    // A root opened as it is: its own handle.
    if (below->names.empty() && Predefined(key)) {
        *result = key;
        return ERROR_SUCCESS;
    }
    OpenKey& open = *below;
    if (ShellFoldersOpeningFails(open.hive, open.names))
        return ERROR_FILE_NOT_FOUND;
    RegistryKey* found = machine().registry.Find(open.hive, open.names);
    if (found == nullptr)
        return ERROR_FILE_NOT_FOUND;
    auto granted = Granted(open.hive, access);
    if (granted)
        granted = KeyGranted(*found, *granted, access);
    if (!granted)
        return ERROR_ACCESS_DENIED;
    open.serial = found->serial;
    open.access = *granted;
    *result = NewHandle(open);
    return ERROR_SUCCESS;
}

// The parent handle's access is not looked at (Windows does not); making a key needs a hive that
// may be written, and opening one that is there what its access list gives (KeyGranted). A
// descriptor in security is checked and kept with a key made now (the last one of the path;
// Windows 95, 98 and ME keep none), its owner the token's default one unless it names one; the
// maker's handle has the access asked for. An existing key keeps its own descriptor.
LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                            REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                            LPDWORD disposition) {
    calls::Scope call("RegCreateKeyExA", calls::Point | calls::CanFail | calls::Whole);
    if (call.Fails())
        return ERROR_ACCESS_DENIED;
    (void)keyClass;
    (void)options;
    if (result == nullptr)
        return ERROR_BADKEY;
    if (reserved != 0)
        return ERROR_INVALID_PARAMETER;
    std::optional<security::Descriptor> given;
    if (!ExplicitDescriptor(security, given))
        return (LONG)GetLastError();
    std::lock_guard lock(machineLock());
    *result = nullptr;
    LONG error = ERROR_SUCCESS;
    auto below = Below(key, subKey, error);
    if (!below)
        return error;
    OpenKey& open = *below;
    if (ShellFoldersOpeningFails(open.hive, open.names))
        return ERROR_FILE_NOT_FOUND;
    auto granted = Granted(open.hive, access);
    Registry& registry = machine().registry;
    RegistryKey* found = registry.Find(open.hive, open.names);
    if (granted && found != nullptr)
        granted = KeyGranted(*found, *granted, access);
    if (!granted || (found == nullptr && ReadOnly(open.hive)))
        return ERROR_ACCESS_DENIED;
    int made = 0;
    RegistryKey& opened = found != nullptr ? *found : registry.Make(open.hive, open.names, &made);
    if (made != 0 && given && (machine().version & 0x80000000u) == 0) {
        // No owner given: the token's default owner, as for a file.
        if (!given->owner)
            given->owner = files::CurrentToken().owner;
        opened.descriptor = security::FormatSddl(*given);
    }
    open.serial = opened.serial;
    open.access = *granted;
    *result = NewHandle(open);
    if (disposition != nullptr)
        *disposition = made != 0 ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    if (made != 0)
        Persist();
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
    LONG error = ERROR_SUCCESS;
    OpenKey open;
    RegistryKey* found = Usable(key, KEY_QUERY_VALUE, error, &open);
    if (found == nullptr)
        return error;
    auto value = ValueOf(open, *found, NameOf(valueName));
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    DWORD needed = (DWORD)value->data.size();
    if (type != nullptr)
        *type = value->type;
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
    std::memcpy(data, value->data.data(), needed);
    *dataBytes = needed;
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD dataBytes) {
    calls::Scope call("RegSetValueExA", calls::Point | calls::CanFail | calls::Whole);
    if (call.Fails())
        return ERROR_REGISTRY_IO_FAILED;
    (void)reserved;
    if (data == nullptr && dataBytes != 0)
        return ERROR_NOACCESS;
    std::lock_guard lock(machineLock());
    LONG error = ERROR_SUCCESS;
    OpenKey open;
    RegistryKey* found = Usable(key, KEY_SET_VALUE, error, &open);
    if (found == nullptr)
        return error;
    std::string name = NameOf(valueName);
    RegistryValue value{type, std::string((const char*)data, data == nullptr ? 0 : dataBytes)};
    if (IsShellFolders(open.hive, open.names) && type == REG_SZ) {
        EraseValue(open, *found, name);
        machine().shellFolders[name] = Cp950ToUtf8(value.data.substr(0, value.data.find('\0')));
    } else {
        EraseValue(open, *found, name);
        found->values[name] = value;
    }
    Persist();
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    calls::Scope call("RegDeleteValueA", calls::Point | calls::CanFail | calls::Whole);
    if (call.Fails())
        return ERROR_ACCESS_DENIED;
    std::lock_guard lock(machineLock());
    LONG error = ERROR_SUCCESS;
    OpenKey open;
    RegistryKey* found = Usable(key, KEY_SET_VALUE, error, &open);
    if (found == nullptr)
        return error;
    if (!EraseValue(open, *found, NameOf(valueName)))
        return ERROR_FILE_NOT_FOUND;
    Persist();
    return ERROR_SUCCESS;
}

// A key with subkeys stays (Windows NT); "" deletes the key of the handle itself.
LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    calls::Scope call("RegDeleteKeyA", calls::Point | calls::CanFail | calls::Whole);
    if (call.Fails())
        return ERROR_ACCESS_DENIED;
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(machineLock());
    LONG error = ERROR_SUCCESS;
    auto below = Below(key, subKey, error);
    if (!below)
        return error;
    std::vector<std::string>& path = below->names;
    Registry& registry = machine().registry;
    RegistryKey* found = registry.Find(below->hive, path);
    if (found == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (path.empty() || ReadOnly(below->hive) || !found->keys.empty() ||
        !KeyGranted(*found, DELETE, DELETE))
        return ERROR_ACCESS_DENIED;
    std::string last = path.back();
    path.pop_back();
    registry.Find(below->hive, path)->keys.erase(last);
    path.push_back(last);
    if (IsShellFolders(below->hive, path))
        machine().shellFolders.clear();
    Persist();
    return ERROR_SUCCESS;
}

LONG WINAPI RegFlushKey(HKEY key) {
    calls::Scope call("RegFlushKey", calls::Point | calls::CanFail | calls::Whole);
    if (call.Fails())
        return ERROR_REGISTRY_IO_FAILED;
    std::lock_guard lock(machineLock());
    LONG error = ERROR_SUCCESS;
    if (Usable(key, 0, error) == nullptr)
        return error;
    // The whole registry is written, not the key alone.
    std::string text = CurrentText();
    std::lock_guard guard(durable().lock);
    durable().flushed = text;
    durable().unflushed = false;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key) {
    calls::Scope call("RegCloseKey", calls::Point | calls::CanFail | calls::Whole);
    if (call.Fails())
        return ERROR_INVALID_HANDLE;
    if (Predefined(key))
        return ERROR_SUCCESS;
    std::lock_guard lock(machineLock());
    return openKeys().handles.erase((std::uintptr_t)key) != 0 ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
}
