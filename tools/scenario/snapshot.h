// The whole machine before and after a run: every file and folder under the folders behind its
// drives and discs, so that a check can tell what changed anywhere, not only in the places a
// scenario names.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "scenario.h"

namespace scenario {

struct MachineEntry {
    bool folder = false;
    std::uintmax_t size = 0;
    std::int64_t modified = 0; // nanoseconds
    unsigned mode = 0;
    // The DOS attributes the mode does not hold, hidden (0x2) and system (0x4), as Wine and
    // winsim keep them in the extended attribute user.DOSATTRIB.
    unsigned attributes = 0;
    // A file's content, or a symbolic link's target (where it leads into the folder that holds
    // the root, as a path from there): 32 hex digits of XXH3-128, or "unreadable".
    // Empty for a folder.
    std::string digest;
    // The owner and access list winsim keeps with the entry where it differs from what an
    // administrator's program making it there would give it (user.winsim.sd, SDDL), and for a
    // folder those of the directory links in it; empty for none (and always under Wine).
    std::string security;
    bool operator==(const MachineEntry&) const = default;
};

// Entries by their path under a root, as "<root name>/<relative path>" ('/' between parts).
using MachineState = std::map<std::string, MachineEntry>;

struct SnapshotRoot {
    std::string name;              // how the root is named in paths ("C:", "disc disc1")
    std::filesystem::path host;    // the folder behind it
    std::vector<std::string> skip; // relative paths under it that the platform itself changes
};

// Reads every entry under the roots; symbolic links are entries of their own, not followed.
// Every file's content is read whole, but for its holes, which read as zeros without being read.
MachineState TakeSnapshot(const std::vector<SnapshotRoot>& roots);

// "added P", "removed P" or "changed P" for every path that differs.
std::vector<std::string> Changes(const MachineState& before, const MachineState& after);

// The changes that lie outside the allowed paths (same form as the state's keys): under an
// allowed path anything may change, and a folder may be added above one (the folder a link or
// an install needed). Empty when nothing else changed.
std::vector<std::string> ChangesOutside(const MachineState& before, const MachineState& after,
                                        const std::vector<std::string>& allowed);

// A registry key that the whole-machine check watches: every key and value at or under it.
struct RegistryWatch {
    std::string hive; // "HKLM" or "HKCU"
    std::string key;  // "Software\\..."
};
// The name of a registry key, or of one of its values, as an entry of a machine state: under the
// root "registry HKLM" or "registry HKCU", a key as a folder ("registry HKLM/SOFTWARE/KELVO"),
// a value as a file below it whose name starts with '@' ("registry HKLM/SOFTWARE/KELVO/@JOURNAL").
// Names are in upper case where ASCII, as Windows matches them; '/', '%' and '@' in a name as
// %2F, %25 and %40.
std::string RegistryEntryPath(const std::string& hive, const std::string& key,
                              const std::string* value = nullptr);
// Adds the registry's keys and values at or under the watched keys, but not those at or under a
// skipped one, to state: a key as a folder, a value as a file whose digest is its type and data.
void AddRegistry(MachineState& state, const std::vector<RegistryItem>& items,
                 const std::vector<RegistryWatch>& watched,
                 const std::vector<RegistryWatch>& skipped = {});

// Writes a state to a file and reads it back (one entry a line), for runners that take the
// snapshot before the run in another process than the check.
bool SaveSnapshot(const MachineState& state, const std::filesystem::path& file);
bool LoadSnapshot(const std::filesystem::path& file, MachineState& state);

} // namespace scenario

namespace scenario {

struct Scenario;
class Disk;

// Checks that nothing changed on the machine but the places the scenario's end checks name as
// changed: the folders of `expect installed` and `expect empty`, the folders of `expect folder`,
// the links of `expect link`, the files of `expect file` named without their content (with
// the folders made to hold them), what `expect no file` names (it may go), the registry values
// of `expect registry` (with the keys made to hold them) and the keys of `expect no registry`.
// Appends "FAIL ..." lines
// to log for everything else that changed; true when nothing did.
bool CheckNothingElseChanged(const Scenario& scenario, Disk& disk,
                             const std::vector<SnapshotRoot>& roots, const MachineState& before,
                             const MachineState& after, std::vector<std::string>& log);

// The registry keys the whole-machine check watches on a platform whose registry the run alone
// changes (the host): everything under Software of both hives. Under Wine, whose own programs
// change keys of their own as they please, only the keys the scenario plants values in or names
// in its registry checks, and Software\~kelvo-setup of both hives (the installer's record).
std::vector<RegistryWatch> WatchedRegistry(const Scenario& scenario, bool wholeSoftware);
// What the check leaves aside: the user's Shell Folders key.
std::vector<RegistryWatch> UnwatchedRegistry();

} // namespace scenario
