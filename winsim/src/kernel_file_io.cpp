// Files opened by handle: CreateFileA, ReadFile, WriteFile, SetFileTime and CloseHandle on them,
// over POSIX file descriptors.
#include <windows.h>

#include <cerrno>
#include <fcntl.h>
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
    char drive = 0; // the drive letter the file lies on, for its capacity
};

// Never destroyed: a thread may still use a file as the process ends.
HandleTable<FileObject>& Files() {
    static auto* files = new HandleTable<FileObject>;
    return *files;
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

} // namespace

bool winsim::CloseFileHandle(void* handle, bool& closed) {
    FileObject* file = Files().Take(handle);
    if (file == nullptr)
        return false;
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
    (void)share; // sharing is not modelled: nothing here opens a file twice
    (void)security;
    (void)templateFile;
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
    }

    int mode = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    if (truncates && !write)
        mode = O_WRONLY; // truncation needs a descriptor that may write
    if (creates)
        mode |= O_CREAT;
    if (truncates)
        mode |= O_TRUNC;
    int descriptor = open(host->c_str(), mode | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
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
    file->drive = DriveLetterOf(path);
    Files().Add(file);
    SetError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                 ? ERROR_ALREADY_EXISTS
                 : ERROR_SUCCESS);
    return file;
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

BOOL WINAPI SetFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* access,
                        const FILETIME* write) {
    calls::Scope call("SetFileTime", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    (void)creation; // the host keeps no time of creation
    FileObject* file = FileFor(handle, true);
    if (file == nullptr)
        return FALSE;
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (access != nullptr)
        times[0] = HostTimeOf(*access);
    if (write != nullptr)
        times[1] = HostTimeOf(*write);
    if (futimens(file->descriptor, times) != 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    return TRUE;
}
