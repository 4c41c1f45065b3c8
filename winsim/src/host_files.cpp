#include "host_files.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "machine.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

constexpr const char* DosAttributeName = "user.DOSATTRIB";
constexpr std::uint32_t StoredAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Seconds from 1601-01-01 to 1970-01-01, and file time units in a second.
constexpr ULONGLONG EpochSeconds = 11644473600ULL;
constexpr ULONGLONG UnitsPerSecond = 10000000ULL;

} // namespace

std::optional<std::string> MapPath(const char* path) {
    if (path == nullptr || *path == '\0') {
        SetError(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    if (std::strlen(path) >= MAX_PATH) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return std::nullopt;
    }
    // A device is no file (CreateDirectoryA, GetFileAttributesA and FindFirstFileA answer for
    // devices themselves).
    if (IsDeviceName(path)) {
        SetError(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    AskWhileNoDisk(DriveLetterOf(path));
    auto host = HostPath(path);
    if (!host) {
        std::lock_guard lock(machineLock());
        Drive* d = machine().drive(DriveLetterOf(path));
        SetError(d != nullptr && d->hostFolder.empty() ? ERROR_NOT_READY
                 : IsDevicePath(path)                  ? ERROR_FILE_NOT_FOUND
                 : HasInvalidName(path)                ? ERROR_INVALID_NAME
                                                       : ERROR_PATH_NOT_FOUND);
    }
    return host;
}

std::optional<std::string> MapExisting(const char* path, struct stat& info) {
    auto host = MapPath(path);
    if (host && stat(host->c_str(), &info) != 0) {
        SetError(IsHostFolder(HostParentOf(*host)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    return host;
}

std::uint32_t ErrorOf(int error, std::uint32_t otherwise) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    default:
        return otherwise;
    }
}

bool IsHostFolder(const std::string& host) {
    struct stat info;
    return stat(host.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string HostParentOf(const std::string& host) {
    return fs::path(host).parent_path().string();
}

bool IsUnreadable(const std::string& host) {
    std::lock_guard lock(machineLock());
    const auto& unreadable = machine().unreadable;
    if (unreadable.empty())
        return false;
    if (unreadable.count(host) != 0)
        return true;
    for (const auto& path : unreadable) {
        std::error_code error;
        if (fs::equivalent(path, host, error))
            return true;
    }
    return false;
}

bool IsOnCdRom(const char* path) {
    char letter = DriveLetterOf(path == nullptr ? "" : path);
    std::lock_guard lock(machineLock());
    Drive* d = letter == 0 ? nullptr : machine().drive(letter);
    return d != nullptr && d->kind == DriveKind::CdRom;
}

std::uint32_t StoredDosAttributes(const std::string& host) {
    char value[32] = {};
    ssize_t length = getxattr(host.c_str(), DosAttributeName, value, sizeof value - 1);
    if (length <= 0)
        return 0;
    value[length] = '\0';
    unsigned long attributes = std::strtoul(value, nullptr, 0);
    return (std::uint32_t)attributes & StoredAttributes;
}

FILETIME FileTimeOf(const timespec& time) {
    ULONGLONG units =
        ((ULONGLONG)time.tv_sec + EpochSeconds) * UnitsPerSecond + (ULONGLONG)time.tv_nsec / 100;
    return {(DWORD)units, (DWORD)(units >> 32)};
}

timespec HostTimeOf(const FILETIME& time) {
    ULONGLONG units = ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
    timespec out;
    out.tv_sec = (time_t)(units / UnitsPerSecond) - (time_t)EpochSeconds;
    out.tv_nsec = (long)(units % UnitsPerSecond) * 100;
    return out;
}

bool IsFolderLink(const std::string& host) {
    struct stat link, target;
    return lstat(host.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
           stat(host.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
}

std::uint32_t AttributesOf(const std::string& host, const struct stat& info, bool asEntry) {
    std::uint32_t attributes = StoredDosAttributes(host);
    if (S_ISDIR(info.st_mode) && asEntry && IsFolderLink(host))
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (S_ISDIR(info.st_mode))
        return attributes | FILE_ATTRIBUTE_DIRECTORY;
    if ((info.st_mode & S_IWUSR) == 0)
        return attributes | FILE_ATTRIBUTE_READONLY;
    return attributes | FILE_ATTRIBUTE_ARCHIVE;
}

bool StoreDosAttributes(const std::string& host, std::uint32_t attributes) {
    attributes &= StoredAttributes;
    if (attributes == 0) {
        if (removexattr(host.c_str(), DosAttributeName) != 0 && errno != ENODATA)
            return false;
        return true;
    }
    char value[32];
    int length = std::snprintf(value, sizeof value, "0x%x", (unsigned)attributes);
    return setxattr(host.c_str(), DosAttributeName, value, (size_t)length, 0) == 0;
}

std::uint32_t VolumeSerial(char letter) {
    return 0x12345678u + (std::uint32_t)(unsigned char)letter;
}

std::size_t TakeRoom(char letter, std::size_t wanted) {
    std::lock_guard lock(machineLock());
    Drive* d = machine().drive(letter);
    if (d == nullptr || d->kind != DriveKind::Fixed || !d->capacity)
        return wanted;
    std::uint64_t left = d->written >= *d->capacity ? 0 : *d->capacity - d->written;
    std::size_t granted = (std::size_t)std::min<std::uint64_t>(wanted, left);
    d->written += granted;
    return granted;
}

void GiveBackRoom(char letter, std::size_t unused) {
    std::lock_guard lock(machineLock());
    Drive* d = machine().drive(letter);
    if (d != nullptr && d->kind == DriveKind::Fixed && d->capacity)
        d->written -= std::min<std::uint64_t>(unused, d->written);
}

} // namespace winsim
