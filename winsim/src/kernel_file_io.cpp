// Files opened by handle: CreateFileA, ReadFile, WriteFile, SetFileTime and CloseHandle on them,
// over POSIX file descriptors, and DeleteFileA. Open handles share their file as Windows does:
// an open or a delete that an open handle's share mode keeps out fails with a sharing
// violation, whichever program holds the handle.
#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "host_files.h"
#include "call_points.h"
#include "handle_table.h"
#include "machine.h"

using namespace winsim;

namespace {

// An open file. Objects are freed when their handle is closed.
struct FileObject {
    int descriptor = -1;
    bool canRead = false;
    bool canWrite = false;
    DWORD share = 0;  // the FILE_SHARE_ flags it was opened with
    dev_t device = 0; // which host file it is
    ino_t inode = 0;
    char drive = 0;      // the drive letter the file lies on, for its capacity
    off_t keptBytes = 0; // the length it had when opened: what a close that fails leaves
};

// Never destroyed: a thread may still use a file as the process ends.
HandleTable<FileObject>& Files() {
    static auto* files = new HandleTable<FileObject>;
    return *files;
}

// Held from a sharing check to the open or delete it allows, so that no other open comes
// between them.
std::mutex& SharingLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

// Whether an open handle of the host file that info describes keeps out an open for this
// access (a delete is one) sharing share. Handles opened neither to read nor to write, and
// opens of that kind, take no part. Caller holds SharingLock.
bool SharingViolation(const struct stat& info, bool read, bool write, bool remove, DWORD share) {
    if (!read && !write && !remove)
        return false;
    return Files().Any([&](const FileObject& open) {
        if (open.device != info.st_dev || open.inode != info.st_ino ||
            (!open.canRead && !open.canWrite))
            return false;
        return (read && (open.share & FILE_SHARE_READ) == 0) ||
               (write && (open.share & FILE_SHARE_WRITE) == 0) ||
               (remove && (open.share & FILE_SHARE_DELETE) == 0) ||
               (open.canRead && (share & FILE_SHARE_READ) == 0) ||
               (open.canWrite && (share & FILE_SHARE_WRITE) == 0);
    });
}

// The open file behind a handle, or nullptr with ERROR_INVALID_HANDLE set.
FileObject* FindFile(HANDLE handle) {
    FileObject* file = Files().Find(handle);
    if (file == nullptr)
        SetError(ERROR_INVALID_HANDLE);
    return file;
}

// The open file behind a handle when it was opened for reading (or writing); nullptr with the
// last error set otherwise.
FileObject* FileFor(HANDLE handle, bool writing) {
    FileObject* file = FindFile(handle);
    if (file != nullptr && !(writing ? file->canWrite : file->canRead)) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return file;
}

// CreateFileA, whoever opens the file.
HANDLE OpenFile(LPCSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto host = MapPath(path);
    if (!host)
        return INVALID_HANDLE_VALUE;
    bool read = (access & GENERIC_READ) != 0;
    bool write = (access & GENERIC_WRITE) != 0;
    bool creates = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;
    bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;

    std::lock_guard sharing(SharingLock());
    struct stat info;
    bool exists = stat(host->c_str(), &info) == 0;
    if (!exists && !IsHostFolder(HostParentOf(*host))) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && S_ISDIR(info.st_mode)) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && disposition == CREATE_NEW) {
        SetError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!exists && !creates) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if ((write || truncates || !exists) && IsOnCdRom(path)) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (exists) {
        bool readOnly = (info.st_mode & S_IWUSR) == 0;
        DWORD stored = StoredDosAttributes(*host);
        // A hidden or system file is replaced only by one that asks for the same attributes.
        DWORD kept = stored & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        if ((readOnly && (write || truncates)) ||
            (disposition == CREATE_ALWAYS && (flags & kept) != kept) ||
            (read && IsUnreadable(*host))) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (SharingViolation(info, read, write, false, share)) {
            SetError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    }

    int mode = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    if (truncates && !write)
        mode = O_WRONLY; // truncation needs a descriptor that may write
    if (creates)
        mode |= O_CREAT;
    if (truncates)
        mode |= O_TRUNC;
    int descriptor = open(host->c_str(), mode | O_CLOEXEC, 0666);
    if (descriptor < 0 || (!exists && fstat(descriptor, &info) != 0)) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        if (descriptor >= 0)
            close(descriptor);
        return INVALID_HANDLE_VALUE;
    }
    if (!exists || disposition == CREATE_ALWAYS) {
        // The new file, or the file replaced, takes the attributes asked for.
        StoreDosAttributes(*host, flags);
        if ((flags & FILE_ATTRIBUTE_READONLY) != 0)
            fchmod(descriptor, 0444);
    }

    auto* file = new FileObject;
    file->descriptor = descriptor;
    file->canRead = read;
    file->canWrite = write;
    file->share = share;
    file->device = info.st_dev;
    file->inode = info.st_ino;
    file->drive = DriveLetterOf(path);
    file->keptBytes = exists && !truncates ? info.st_size : 0;
    Files().Add(file);
    SetError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                 ? ERROR_ALREADY_EXISTS
                 : ERROR_SUCCESS);
    return file;
}

} // namespace

std::uint32_t winsim::DeleteHostFile(const std::string& host, bool keepReadOnly) {
    std::lock_guard sharing(SharingLock());
    struct stat info;
    bool exists = lstat(host.c_str(), &info) == 0;
    if (exists && SharingViolation(info, false, false, true,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return ERROR_SHARING_VIOLATION;
    if (exists && keepReadOnly && !S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0)
        return ERROR_ACCESS_DENIED;
    if (unlink(host.c_str()) != 0)
        return ErrorOf(errno, ERROR_ACCESS_DENIED);
    return ERROR_SUCCESS;
}

std::uint32_t winsim::HoldFileOpen(const char* path) {
    HANDLE file = OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    return file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
}

bool winsim::CloseFileHandle(void* handle, bool& closed, bool fails) {
    FileObject* file = Files().Take(handle);
    if (file == nullptr)
        return false;
    // What was written through the handle reaches the disk as it is closed; a close that fails
    // loses it, as a failed flush does.
    if (fails && file->canWrite) {
        int cut = ftruncate(file->descriptor, file->keptBytes);
        (void)cut;
    }
    closed = close(file->descriptor) == 0;
    if (!closed)
        SetError(ErrorOf(errno, ERROR_WRITE_FAULT));
    delete file;
    return true;
}

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    calls::Scope call("CreateFileA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    (void)security;
    (void)templateFile;
    return OpenFile(path, access, share, disposition, flags);
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
    calls::Scope call("DeleteFileA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    struct stat info;
    auto host = MapExisting(path, info);
    if (!host)
        return FALSE;
    // Folders and a disc's files are no files to delete.
    if (S_ISDIR(info.st_mode) || IsOnCdRom(path)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (std::uint32_t error = DeleteHostFile(*host, true)) {
        SetError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read, LPVOID overlapped) {
    calls::Scope call("ReadFile", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_READ_FAULT);
        return FALSE;
    }
    (void)overlapped;
    if (read != nullptr)
        *read = 0;
    FileObject* file = FileFor(handle, false);
    if (file == nullptr)
        return FALSE;
    DWORD done = 0;
    while (done < count) {
        ssize_t step = ::read(file->descriptor, (char*)buffer + done, count - done);
        if (step < 0 && errno == EINTR)
            continue;
        if (step < 0) {
            SetError(ErrorOf(errno, ERROR_READ_FAULT));
            return FALSE;
        }
        if (step == 0)
            break;
        done += (DWORD)step;
    }
    if (read != nullptr)
        *read = done;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written,
                      LPVOID overlapped) {
    calls::Scope call("WriteFile", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_DISK_FULL);
        return FALSE;
    }
    (void)overlapped;
    if (written != nullptr)
        *written = 0;
    FileObject* file = FileFor(handle, true);
    if (file == nullptr)
        return FALSE;
    size_t room = TakeRoom(file->drive, count);
    size_t done = 0;
    while (done < room) {
        ssize_t step = ::write(file->descriptor, (const char*)buffer + done, room - done);
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0) {
            GiveBackRoom(file->drive, room - done);
            SetError(step < 0 ? ErrorOf(errno, ERROR_WRITE_FAULT) : ERROR_DISK_FULL);
            if (written != nullptr)
                *written = (DWORD)done;
            return FALSE;
        }
        done += (size_t)step;
    }
    if (written != nullptr)
        *written = (DWORD)done;
    if (room < count) {
        SetError(ERROR_DISK_FULL);
        return FALSE;
    }
    return TRUE;
}

// A time of 0, or of -1 (every bit set), leaves that time as it is; any other with the top bit
// set is no time. The file system keeps the nearest time it can hold (ext4: 1901 to 2446), as
// under Wine; only a fault makes a valid time fail.
BOOL WINAPI SetFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* access,
                        const FILETIME* write) {
    calls::Scope call("SetFileTime", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    FileObject* file = FileFor(handle, true);
    if (file == nullptr)
        return FALSE;
    // The host keeps no time of creation, but a creation time is checked like the others.
    const FILETIME* given[3] = {creation, access, write};
    timespec times[3];
    for (int i = 0; i < 3; ++i) {
        ULONGLONG units = given[i] == nullptr ? 0
                                              : ((ULONGLONG)given[i]->dwHighDateTime << 32) |
                                                    given[i]->dwLowDateTime;
        times[i].tv_sec = 0;
        times[i].tv_nsec = UTIME_OMIT;
        if (units == 0 || units == ~0ULL)
            continue;
        if ((units >> 63) != 0) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        times[i] = HostTimeOf(*given[i]);
    }
    if (futimens(file->descriptor, times + 1) != 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    return TRUE;
}
