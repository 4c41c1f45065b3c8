// The machine's registry as data: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, each a tree of keys
// with values, and its text form (registry.txt of a machine folder). The Win32 calls over it are
// in registry.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

// Key and value names (UTF-8) in the order of their upper-case forms: two names that differ only
// in letter case, as Windows folds it, are one name. A map keeps the spelling it was first given.
struct NameOrder {
    bool operator()(const std::string& a, const std::string& b) const;
};
bool SameName(std::string_view a, std::string_view b);

struct RegistryValue {
    std::uint32_t type = 0;
    // The bytes as stored: a REG_SZ value's text in code page 950 (with the NUL its writer gave),
    // a REG_DWORD value's 4 bytes, lowest first.
    std::string data;
    bool operator==(const RegistryValue&) const = default;
};

struct RegistryKey {
    // Tells a key from one made later under the same name, so that a handle of a deleted key
    // stays stale.
    std::uint64_t serial = 0;
    // The descriptor it was made with (RegCreateKeyExA's SECURITY_ATTRIBUTES), in SDDL; empty
    // when it was made without one, whose opens the hive's rule alone decides. What a key
    // inherits is not modelled.
    std::string descriptor;
    std::map<std::string, RegistryKey, NameOrder> keys;
    std::map<std::string, RegistryValue, NameOrder> values;
};

enum class Hive { LocalMachine, CurrentUser };

// Where the user's shell folders are: HKCU\<ShellFoldersPath>.
inline constexpr std::string_view ShellFoldersPath =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

struct Registry {
    Registry(); // both hives, with the Shell Folders key
    RegistryKey localMachine;
    RegistryKey currentUser;
    // A standard user's machine: no HKLM key may be opened or made to be written.
    bool localMachineReadOnly = false;

    RegistryKey& Root(Hive hive);
    const RegistryKey& Root(Hive hive) const;
    // The key at the names under a hive, or nullptr.
    RegistryKey* Find(Hive hive, const std::vector<std::string>& names);
    // The same, made with every missing key on the way (made: how many were).
    RegistryKey& Make(Hive hive, const std::vector<std::string>& names, int* made = nullptr);
};

// The names of a key path ("Software\Foo", UTF-8), without empty ones.
std::vector<std::string> KeyNames(std::string_view path);
// HKLM, HKCU, or their long names (HKEY_LOCAL_MACHINE, ...), in any case.
std::optional<Hive> HiveNamed(std::string_view name);
const char* HiveName(Hive hive);
// Whether names under a hive are the user's Shell Folders key.
bool IsShellFolders(Hive hive, const std::vector<std::string>& names);

// The registry as registry.txt holds it: a line per key, per key's descriptor and per value, the
// Shell Folders key's text values taken from shellFolders (the machine keeps them there, UTF-8).
std::string RegistryText(const Registry& registry,
                         const std::map<std::string, std::string>& shellFolders);
// Reads that text back into registry and shellFolders, which it replaces; false when it is
// none.
bool ReadRegistryText(const std::string& text, Registry& registry,
                      std::map<std::string, std::string>& shellFolders);

} // namespace winsim
