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

#include "registry_tree.h"

namespace winsim {

// Removable: a floppy or ZIP drive.
enum class DriveKind { Fixed, CdRom, Removable };

// The file system of a fixed drive. Only NTFS keeps owners and access lists, directory links
// and hard links; FAT32 also keeps an 8.3 name beside every long one.
enum class FileSystem { Ntfs, Fat32, ExFat };

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
    FileSystem fileSystem = FileSystem::Ntfs; // fixed drives
};

struct Machine {
    std::string folder; // machine folder, empty for a machine that lives only in memory
    std::map<char, Drive> drives;

    // Registry: HKLM and HKCU (registry_tree.h). The text values of HKCU\...\Explorer\Shell
    // Folders (UTF-8) are kept here, apart, and which openings of that key fail (1 = first
    // opening, 2 = second, ...).
    Registry registry;
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
    // Calls that take this long (milliseconds) before they do anything: a slow disk, say.
    std::map<std::string, int> slowCalls;
    int cancelBeforeCall = 0;
    // The process is killed, or the power cut, just before that call of a thread: 0 the main
    // thread, k the thread of the k-th CreateThread (2, the copy worker, unless told).
    int killBeforeCall = 0;
    int killThread = 2;
    bool powerCut = false;

    // Who setup runs as: an administrator, elevated (the default), or a standard user, who also
    // can't write HKEY_LOCAL_MACHINE.
    bool standardUser = false;

    // Functions that GetProcAddress does not find, as on an older Windows; of those a system
    // exports as stubs (MoveFileExA), the error the stub fails with.
    std::set<std::string> lacks;
    std::map<std::string, std::uint32_t> stubErrors;
    // What GetVersion answers: Windows 10 (build 19041) unless told.
    static constexpr std::uint32_t Windows10 = 0x4A61000A;
    std::uint32_t version = Windows10;

    // Programs started with WinExec: show command and command line (UTF-8), in order. With a
    // machine folder each start is also appended to started.txt there.
    std::vector<std::pair<unsigned, std::string>> startedPrograms;

    // Reads machine.txt from folder. Lines (paths are host paths, texts UTF-8, quoted with ""
    // when they hold spaces):
    //   drive <letter> fixed <folder> [free <bytes>] [capacity <bytes>] [nospace]
    //         [filesystem ntfs|fat32|exfat]
    //   drive <letter> cdrom <disc folder | -> [nolabel]
    //   drive <letter> removable <disk folder | ->
    //   shellfolder <name> <value>
    //   registry <HKLM|HKCU> <key path> <value name> sz <text> | dword <number>
    //   registry hklm readonly
    //   user standard | user administrator
    //   fault keyopen <n> | unreadable <host path> | link <what> | call <function> <n>
    //   fault slow <function> <milliseconds>
    //   cancel before call <n>
    //   kill before call <n> [thread <t>] | power cut before call <n> [thread <t>]
    //   lacks <function> [error <n>]
    //   version <GetVersion's answer>
    // Then registry.txt, when the machine has one, replaces the registry and the shell folders:
    // it holds what the processes on the machine changed.
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
// table; nullopt when the path names no drive of the machine, an empty CD-ROM drive, or a name no
// file can have. Names are read as Windows reads them: "." and ".." resolved (a name of three
// dots or more is a name), a dot at the end of a folder's name and dots and spaces at the end of
// the last name dropped (not in a \\?\ path), and each name matching an existing host entry
// without regard to letter case, as Windows folds it (name_case.h). A host symbolic link is
// followed, as Windows follows a directory junction.
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

// The drive letter (lower case) a Windows path starts with, or 0. A path may start with "\\?\"
// (its names then taken as they are: no '/' for '\', nothing trimmed, "." and ".." no steps) or
// with "\\.\" (a device's name; "\\.\C:\..." names "C:\...").
char DriveLetterOf(std::string_view windowsPath);

// Whether a path names a device that is no drive's folder (\\.\PhysicalDrive0, \\?\UNC\...):
// the machine has none.
bool IsDevicePath(std::string_view windowsPath);

// Whether a path on a drive holds a name that no file can have: "." or ".." in a \\?\ path or
// left by trimming ("...\" is ".."), a '/' in a name of a \\?\ path.
bool HasInvalidName(std::string_view windowsPath);

// Label of the disc in a CD-ROM drive, or nullopt when there is none or it can't be read.
std::optional<std::string> DiscLabel(const Drive& drive);

// The registry's durability (registry.cpp): whether it holds changes not yet flushed, the
// power cut that takes them back, and registry.txt read into a machine being loaded.
bool RegistryUnflushed();
void LoseUnflushedRegistry();
void LoadRegistryFile(Machine& machine);

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
