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
#include "host_files.h"
#include "machine.h"

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
    calls::Scope call("GetDriveTypeA", calls::Point);
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
    calls::Scope call("GetVolumeInformationA", calls::Point | calls::CanFail);
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
    const char* system = d->kind == DriveKind::CdRom       ? "CDFS"
                         : d->kind == DriveKind::Removable ? "FAT"
                                                           : "NTFS";
    if (fileSystemName != nullptr && fileSystemNameSize > std::strlen(system))
        std::strcpy(fileSystemName, system);
    if (serial != nullptr)
        *serial = 0x12345678u + (DWORD)letter;
    if (maxComponentLength != nullptr)
        *maxComponentLength = 255;
    if (fileSystemFlags != nullptr)
        *fileSystemFlags = 0;
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
    calls::Scope call("GetDiskFreeSpaceExA", calls::Point | calls::CanFail);
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
    calls::Scope call("GetDiskFreeSpaceA", calls::Point | calls::CanFail);
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
    calls::Scope call("CreateDirectoryA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    (void)security;
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
    if (IsOnCdRom(path) || !fs::create_directory(*host, error)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

// A device's name gives the attributes of a file that is there, in any folder.
DWORD WINAPI GetFileAttributesA(LPCSTR path) {
    calls::Scope call("GetFileAttributesA", calls::Point | calls::CanFail);
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
