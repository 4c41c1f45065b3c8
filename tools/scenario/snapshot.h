// The whole machine before and after a run: every file and folder under the folders behind its
// drives and discs, so that a check can tell what changed anywhere, not only in the places a
// scenario names.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace scenario {

struct MachineEntry {
    bool folder = false;
    std::uintmax_t size = 0;
    std::int64_t modified = 0; // nanoseconds
    unsigned mode = 0;
    // The DOS attributes the mode does not hold, hidden (0x2) and system (0x4), as Wine and
    // winsim keep them in the extended attribute user.DOSATTRIB.
    unsigned attributes = 0;
    // A file's content, or a symbolic link's target: 32 hex digits of XXH3-128, or "unreadable".
    // Empty for a folder.
    std::string digest;
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
// the links of `expect link` and the files of `expect file` named without their content (with
// the folders made to hold them). Appends "FAIL ..." lines
// to log for everything else that changed; true when nothing did.
bool CheckNothingElseChanged(const Scenario& scenario, Disk& disk,
                             const std::vector<SnapshotRoot>& roots, const MachineState& before,
                             const MachineState& after, std::vector<std::string>& log);

} // namespace scenario
