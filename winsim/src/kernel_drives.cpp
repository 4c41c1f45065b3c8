// Drive kinds, volume labels, free space and folders, from the machine's drive table.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "call_points.h"
#include "desktop.h"
#include "file_security.h"
#include "host_files.h"
#include "machine.h"
#include "short_names.h"

namespace fs = std::filesystem;
using namespace winsim;

namespace {

// The process's error mode. A process started from the shell begins with 0: the system shows
// its boxes.
std::atomic<UINT> errorMode{0};

} // namespace

void winsim::AskWhileNoDisk(char letter) {
    for (;;) {
        {
            std::lock_guard lock(machineLock());
            Drive* d = letter == 0 ? nullptr : machine().drive(letter);
            if (d == nullptr || d->kind == DriveKind::Fixed || !d->hostFolder.empty())
                return;
        }
        if ((errorMode & SEM_FAILCRITICALERRORS) != 0 || !desktop::AskForDisk(letter))
            return;
    }
}

UINT WINAPI SetErrorMode(UINT mode) {
    calls::Scope call("SetErrorMode", calls::Point);
    return errorMode.exchange(mode);
}

UINT WINAPI GetDriveTypeA(LPCSTR root) {
    calls::Scope call("GetDriveTypeA", calls::Point, {root});
    char letter = DriveLetterOf(root == nullptr ? "" : root);
    std::lock_guard lock(machineLock());
    Drive* d = letter == 0 ? nullptr : machine().drive(letter);
    if (d == nullptr)
        return DRIVE_NO_ROOT_DIR;
    switch (d->kind) {
    case DriveKind::CdRom:
        return DRIVE_CDROM;
    case DriveKind::Removable:
        return DRIVE_REMOVABLE;
    default:
        return DRIVE_FIXED;
    }
}

BOOL WINAPI GetVolumeInformationA(LPCSTR root, LPSTR label, DWORD labelSize, LPDWORD serial,
                                  LPDWORD maxComponentLength, LPDWORD fileSystemFlags,
                                  LPSTR fileSystemName, DWORD fileSystemNameSize) {
    calls::Scope call("GetVolumeInformationA", calls::Point | calls::CanFail, {root});
    if (call.Fails()) {
        SetError(ERROR_NOT_READY);
        return FALSE;
    }
    char letter = DriveLetterOf(root == nullptr ? "" : root);
    AskWhileNoDisk(letter);
    std::lock_guard lock(machineLock());
    Drive* d = letter == 0 ? nullptr : machine().drive(letter);
    if (d == nullptr) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::optional<std::string> name;
    if (d->kind != DriveKind::Fixed) {
        name = DiscLabel(*d);
        if (!name) {
            SetError(ERROR_NOT_READY);
            return FALSE;
        }
    } else {
        name = DiscLabel(*d).value_or("");
    }
    std::string bytes = Utf8ToCp950(*name);
    if (label != nullptr) {
        if (bytes.size() + 1 > labelSize) {
            SetError(ERROR_BAD_LENGTH);
            return FALSE;
        }
        std::memcpy(label, bytes.c_str(), bytes.size() + 1);
    }
    // What each file system keeps: only NTFS keeps access lists, reparse points (directory
    // links) and hard links.
    const char* system = "NTFS";
    DWORD flags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                  FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION | FILE_VOLUME_QUOTAS |
                  FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_REPARSE_POINTS |
                  FILE_SUPPORTS_OBJECT_IDS | FILE_SUPPORTS_ENCRYPTION | FILE_NAMED_STREAMS |
                  FILE_SUPPORTS_TRANSACTIONS | FILE_SUPPORTS_HARD_LINKS |
                  FILE_SUPPORTS_EXTENDED_ATTRIBUTES | FILE_SUPPORTS_OPEN_BY_FILE_ID |
                  FILE_SUPPORTS_USN_JOURNAL;
    if (d->kind == DriveKind::CdRom) {
        system = "CDFS";
        flags = FILE_CASE_SENSITIVE_SEARCH | FILE_UNICODE_ON_DISK | FILE_READ_ONLY_VOLUME;
    } else if (d->kind == DriveKind::Removable || d->fileSystem == FileSystem::Fat32) {
        system = d->kind == DriveKind::Removable ? "FAT" : "FAT32";
        flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    } else if (d->fileSystem == FileSystem::ExFat) {
        system = "exFAT";
        flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    }
    if (fileSystemName != nullptr && fileSystemNameSize > std::strlen(system))
        std::strcpy(fileSystemName, system);
    if (serial != nullptr)
        *serial = VolumeSerial(letter);
    if (maxComponentLength != nullptr)
        *maxComponentLength = 255;
    if (fileSystemFlags != nullptr)
        *fileSystemFlags = flags;
    return TRUE;
}

namespace {

// The bytes of a disc's files, each taking whole sectors of 2 KiB.
std::uint64_t BytesOnDisc(const std::string& folder) {
    std::uint64_t bytes = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError))
            bytes += (it->file_size(sizeError) + 2047) / 2048 * 2048;
    }
    return bytes;
}

// The space of the drive that path lies on; any folder of a drive may be asked about. A disc
// has no room left. FALSE, with the last error set, when the drive can't be asked.
bool DriveSpace(LPCSTR path, std::uint64_t& total, std::uint64_t& available, std::uint64_t& free) {
    char letter = DriveLetterOf(path == nullptr ? "" : path);
    AskWhileNoDisk(letter);
    std::lock_guard lock(machineLock());
    Drive* d = letter == 0 ? nullptr : machine().drive(letter);
    if (d == nullptr || d->failSpaceQuery || d->hostFolder.empty()) {
        SetError(d == nullptr ? ERROR_PATH_NOT_FOUND : ERROR_NOT_READY);
        return false;
    }
    auto folder = HostPath(path);
    if (!folder || !IsHostFolder(*folder)) {
        SetError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (d->kind == DriveKind::CdRom) {
        free = available = 0;
        total = BytesOnDisc(d->hostFolder);
    } else if (d->freeBytes) {
        free = available = *d->freeBytes;
        total = free;
    } else {
        struct statvfs info;
        if (statvfs(d->hostFolder.c_str(), &info) != 0) {
            SetError(ERROR_NOT_READY);
            return false;
        }
        total = (std::uint64_t)info.f_blocks * info.f_frsize;
        free = (std::uint64_t)info.f_bfree * info.f_frsize;
        available = (std::uint64_t)info.f_bavail * info.f_frsize;
    }
    return true;
}

} // namespace

BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR path, PULARGE_INTEGER freeToCaller,
                                PULARGE_INTEGER totalBytes, PULARGE_INTEGER totalFreeBytes) {
    calls::Scope call("GetDiskFreeSpaceExA", calls::Point | calls::CanFail, {path});
    if (call.Fails()) {
        SetError(ERROR_NOT_READY);
        return FALSE;
    }
    std::uint64_t total, available, free;
    if (!DriveSpace(path, total, available, free))
        return FALSE;
    if (freeToCaller != nullptr)
        freeToCaller->QuadPart = available;
    if (totalBytes != nullptr)
        totalBytes->QuadPart = total;
    if (totalFreeBytes != nullptr)
        totalFreeBytes->QuadPart = free;
    return TRUE;
}

// The older count in clusters of 4 KiB (8 sectors of 512 bytes), as NTFS and Wine give it: the
// free clusters are those the caller may use. Counts that don't fit 32 bits are capped.
BOOL WINAPI GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                              LPDWORD freeClusters, LPDWORD totalClusters) {
    calls::Scope call("GetDiskFreeSpaceA", calls::Point | calls::CanFail, {root});
    if (call.Fails()) {
        SetError(ERROR_NOT_READY);
        return FALSE;
    }
    std::uint64_t total, available, free;
    if (!DriveSpace(root, total, available, free))
        return FALSE;
    constexpr std::uint64_t Sector = 512, SectorsPerCluster = 8,
                            Cluster = Sector * SectorsPerCluster;
    auto clusters = [](std::uint64_t bytes) {
        return (DWORD)std::min<std::uint64_t>(bytes / Cluster, 0xFFFFFFFFu);
    };
    if (sectorsPerCluster != nullptr)
        *sectorsPerCluster = SectorsPerCluster;
    if (bytesPerSector != nullptr)
        *bytesPerSector = Sector;
    if (freeClusters != nullptr)
        *freeClusters = clusters(available);
    if (totalClusters != nullptr)
        *totalClusters = clusters(total);
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
    calls::Scope call("CreateDirectoryA", calls::Point | calls::CanFail | calls::Whole, {path});
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::optional<security::Descriptor> explicitDescriptor;
    if (!ExplicitDescriptor(security, explicitDescriptor))
        return FALSE;
    auto host = MapPath(path);
    if (!host)
        return FALSE;
    // Windows makes no folder whose full path leaves no room for an 8.3 name below it within
    // MAX_PATH (its closing NUL counted): 247 characters at most, a closing separator counted.
    if (FullPathCharacters(path) + 1 + 12 > MAX_PATH) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    std::error_code error;
    if (IsDeviceName(path) || fs::exists(*host, error)) {
        SetError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (!IsHostFolder(HostParentOf(*host))) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    char letter = DriveLetterOf(path);
    if (IsOnCdRom(path) || !files::MayAdd(letter, HostParentOf(*host), true) ||
        !fs::create_directory(*host, error)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    files::RecordNewEntry(letter, *host, true, explicitDescriptor);
    shortnames::Renamed(letter, *host);
    return TRUE;
}

// Each name of an existing path as its short name where the drive keeps one (FAT32), else as
// the drive spells it. The length of the short path, or the room it needs (its NUL counted) when
// it does not fit; 0 with the last error set when the path is not there.
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD length) {
    calls::Scope call("GetShortPathNameA", calls::Point | calls::CanFail, {longPath});
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (longPath == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    struct stat info;
    auto host = MapExisting(longPath, info);
    if (!host)
        return 0;
    char letter = DriveLetterOf(longPath);
    std::string root;
    {
        std::lock_guard lock(machineLock());
        Drive* d = machine().drive(letter);
        root = d != nullptr ? d->hostFolder : "";
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    // The path as given up to its first name, then each name as the drive keeps it.
    std::string given = longPath;
    size_t namesAt = given.find(':') != std::string::npos ? given.find(':') + 1 : 0;
    if (namesAt < given.size() && (given[namesAt] == '\\' || given[namesAt] == '/'))
        ++namesAt;
    std::string out = given.substr(0, namesAt);
    bool keeps = shortnames::Keeps(letter);
    std::string relative = host->size() > root.size() ? host->substr(root.size() + 1) : "";
    std::string folder = root;
    size_t at = 0;
    while (at < relative.size()) {
        size_t end = relative.find('/', at);
        if (end == std::string::npos)
            end = relative.size();
        std::string name = relative.substr(at, end - at);
        std::string alias = keeps ? shortnames::ShortNameOf(folder, name) : "";
        out += (out.size() > namesAt ? "\\" : "") + (alias.empty() ? Utf8ToCp950(name) : alias);
        folder += "/" + name;
        at = end + 1;
    }
    if (!given.empty() && (given.back() == '\\' || given.back() == '/') && out.size() > namesAt)
        out += "\\";
    if (shortPath == nullptr || out.size() + 1 > length)
        return (DWORD)out.size() + 1;
    std::memcpy(shortPath, out.c_str(), out.size() + 1);
    return (DWORD)out.size();
}

// A device's name gives the attributes of a file that is there, in any folder.
DWORD WINAPI GetFileAttributesA(LPCSTR path) {
    calls::Scope call("GetFileAttributesA", calls::Point | calls::CanFail, {path});
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (path != nullptr && IsDeviceName(path))
        return FILE_ATTRIBUTE_ARCHIVE;
    struct stat info;
    auto host = MapExisting(path, info);
    if (!host)
        return INVALID_FILE_ATTRIBUTES;
    return AttributesOf(*host, info);
}
