// The simulated PC behind winsim: drives, registry values, started programs and faults. Its
// state lives in memory and, for the processes that share a machine, in a machine folder named
// by WINSIM_MACHINE (machine.txt describes it; see Machine::load).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace winsim {

// Removable: a floppy or ZIP drive.
enum class DriveKind { Fixed, CdRom, Removable };

struct Drive {
    char letter = 'c';
    DriveKind kind = DriveKind::Fixed;
    // Fixed: the folder behind the drive. CD-ROM and removable: the folder of the disc or disk
    // in it, empty when the drive is empty. A disc's label is the first line of .windows-label
    // at its root.
    std::string hostFolder;
    std::optional<std::uint64_t> freeBytes; // fixed figure for the space query
    std::optional<std::uint64_t> capacity;  // bytes that writes may add before the disk is full
    std::uint64_t written = 0;              // bytes written so far against capacity
    bool failSpaceQuery = false;
    bool failLabel = false;
};

struct Machine {
    std::string folder; // machine folder, empty for a machine that lives only in memory
    std::map<char, Drive> drives;

    // Registry: values of HKCU\...\Explorer\Shell Folders (UTF-8), and which openings fail
    // (1 = first opening, 2 = second, ...).
    std::map<std::string, std::string> shellFolders;
    std::set<int> failKeyOpenings;
    int keyOpenings = 0;

    // Host paths of files that can't be read.
    std::set<std::string> unreadable;
    // Shell link faults: "cocreate", "queryinterface", "setpath", "setdescription", "seticon",
    // "setwork", "save", "coinitialize".
    std::set<std::string> linkFaults;
    // The installer's calls (see call_points.h): the use of a call that fails, and before which
    // call of the copy worker (the second thread the installer makes) the user presses cancel.
    std::map<std::string, int> failCalls;
    int cancelBeforeCall = 0;
    // The process is killed, or the power cut, just before that call of the copy worker.
    int killBeforeCall = 0;
    bool powerCut = false;

    // Functions that GetProcAddress does not find, as on an older Windows.
    std::set<std::string> lacks;

    // Programs started with WinExec: show command and command line (UTF-8), in order. With a
    // machine folder each start is also appended to started.txt there.
    std::vector<std::pair<unsigned, std::string>> startedPrograms;

    // Reads machine.txt from folder. Lines (paths are host paths, texts UTF-8, quoted with ""
    // when they hold spaces):
    //   drive <letter> fixed <folder> [free <bytes>] [capacity <bytes>] [nospace]
    //   drive <letter> cdrom <disc folder | -> [nolabel]
    //   drive <letter> removable <disk folder | ->
    //   shellfolder <name> <value>
    //   fault keyopen <n> | unreadable <host path> | link <what> | call <function> <n>
    //   cancel before call <n>
    //   kill before call <n> | power cut before call <n>
    //   lacks <function>
    bool load(const std::string& folder);
    // Writes machine.txt back (after a disc change, for example).
    bool save() const;

    Drive* drive(char letter);
};

// The process-wide machine and the lock that guards it.
Machine& machine();
std::recursive_mutex& machineLock();

// Converts text between two iconv encodings; an input unit of unitBytes that does not convert
// comes out as replacement.
std::string ConvertText(const char* to, const char* from, std::string_view text,
                        size_t unitBytes = 1, std::string_view replacement = "?");

// Code page 950 <-> UTF-8 through iconv. Bytes that do not convert come out as '?'.
std::string Cp950ToUtf8(std::string_view text);
std::string Utf8ToCp950(std::string_view text);

// Host path of a Windows path in code page 950 ("C:\Program Files\..."), through the drive
// table; nullopt when the path names no drive of the machine or an empty CD-ROM drive. Names are
// read as Windows reads them: "." and ".." resolved, a dot at the end of a folder's name and
// dots and spaces at the end of the last name dropped, and each name matching an existing host
// entry without regard to letter case, as Windows folds it (name_case.h).
std::optional<std::string> HostPath(std::string_view windowsPath);

// The same, but with the last name as it is spelled (and read: its dots and spaces at the end
// dropped), not as an entry of another letter case that is there spells it: where a new name
// lands.
std::optional<std::string> HostPathAsSpelled(std::string_view windowsPath);

// How many characters (UTF-16 code units) the full path of a Windows path with a drive has: the
// drive's root, the names as HostPath reads them, and a closing separator when the path ends in
// one.
std::size_t FullPathCharacters(std::string_view windowsPath);

// Whether the last name of a Windows path is a device's (CON, PRN, AUX, NUL, COM1-9, LPT1-9), with
// or without an extension: no file or folder can have it, in any folder.
bool IsDeviceName(std::string_view windowsPath);

// The drive letter (lower case) a Windows path starts with, or 0.
char DriveLetterOf(std::string_view windowsPath);

// Label of the disc in a CD-ROM drive, or nullopt when there is none or it can't be read.
std::optional<std::string> DiscLabel(const Drive& drive);

// Set the calling thread's last error.
void SetError(std::uint32_t error);

// CoInitialize calls still in force on the calling thread (each successful one counts, S_FALSE
// too, until its CoUninitialize).
int& ComInitializations();
bool ComInitialized();

// Ends the process at once over a call that Windows' documentation does not allow, where
// Windows' own answer is undocumented or Wine's kind: prints "winsim: misuse: <what>" to stderr
// and exits with MisuseExitStatus, so that the run fails there and says why.
constexpr int MisuseExitStatus = 3;
[[noreturn]] void Misuse(const std::string& what);

} // namespace winsim
