// Files opened by handle: CreateFileA, ReadFile, WriteFile, FlushFileBuffers, SetFileTime and
// CloseHandle on them, over POSIX file descriptors, and DeleteFileA, MoveFileA and MoveFileExA.
// Open handles share their file as Windows does: an open, a delete or a move that an open
// handle's share mode keeps out fails with a sharing violation, whichever program holds the
// handle. What is written stays in the system's cache until it is flushed: a power cut loses it
// (LoseUnflushedWrites), while the making, moving and deleting of files and folders last.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <utility>
#include <vector>
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
    char drive = 0; // the drive letter the file lies on, for its capacity
    std::string host;
    bool isDevice = false; // a device's name was opened: nothing is read or kept
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

// Files written since they were last flushed: what a power cut takes back. By file, the host
// path it has now, the size it had when it was last flushed (or first written), and the bytes
// within that size that writes have covered since, as they were before each write (oldest
// first).
struct Unflushed {
    std::string host;
    off_t durable = 0;
    std::vector<std::pair<off_t, std::string>> overwritten;
};
using FileKey = std::pair<dev_t, ino_t>;

struct UnflushedFiles {
    std::mutex lock;
    std::map<FileKey, Unflushed> files;
    // Whether files holds any, for a look without the lock (calls::Scope looks at every call).
    std::atomic<bool> any{false};
};

UnflushedFiles& Cache() {
    static auto* cache = new UnflushedFiles;
    return *cache;
}

// Puts a file back as it was when it was last flushed: its size, and the bytes that writes
// covered (the oldest saved last, so that it wins).
void Revert(int descriptor, const Unflushed& file) {
    int cut = ftruncate(descriptor, file.durable);
    (void)cut;
    for (auto piece = file.overwritten.rbegin(); piece != file.overwritten.rend(); ++piece) {
        ssize_t put = pwrite(descriptor, piece->second.data(), piece->second.size(), piece->first);
        (void)put;
    }
}

// Forgets the file that info describes: it was flushed, or it is gone.
void ForgetUnflushed(const struct stat& info) {
    std::lock_guard guard(Cache().lock);
    Cache().files.erase({info.st_dev, info.st_ino});
    Cache().any = !Cache().files.empty();
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
    bool read = (access & GENERIC_READ) != 0;
    bool write = (access & GENERIC_WRITE) != 0;
    // A device's name opens the device, in any folder and with any extension, as on Windows (a
    // disc's nul.dat too): a read of it finds nothing, what is written to it goes nowhere, and
    // no file is made.
    if (path != nullptr && IsDeviceName(path)) {
        auto* device = new FileObject;
        device->descriptor = open("/dev/null", O_RDWR | O_CLOEXEC);
        device->canRead = read;
        device->canWrite = write;
        device->isDevice = true;
        Files().Add(device);
        SetError(ERROR_SUCCESS);
        return device;
    }
    auto host = MapPath(path);
    if (!host)
        return INVALID_HANDLE_VALUE;
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
    // A new file may have the inode of one removed behind the system's back (a test's folder):
    // nothing of that one waits to be written any more.
    if (!exists)
        ForgetUnflushed(info);
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
    file->host = *host;
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
    if (exists)
        ForgetUnflushed(info);
    return ERROR_SUCCESS;
}

bool winsim::HasUnflushedWrites() {
    return Cache().any || RegistryUnflushed();
}

void winsim::LoseUnflushedWrites() {
    // Held until the process is gone: no write lands after the cut.
    Cache().lock.lock();
    for (const auto& [key, file] : Cache().files) {
        int descriptor = open(file.host.c_str(), O_WRONLY | O_CLOEXEC);
        if (descriptor < 0) {
            std::perror(file.host.c_str());
            continue;
        }
        Revert(descriptor, file);
        close(descriptor);
    }
    Cache().files.clear();
    LoseUnflushedRegistry();
}

std::uint32_t winsim::HoldFileOpen(const char* path) {
    HANDLE file = OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    return file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
}

bool winsim::CloseFileHandle(void* handle, bool& closed, bool fails) {
    FileObject* file = Files().Take(handle);
    if (file == nullptr)
        return false;
    // A close that fails loses what the system had not yet written to the disk: the file is
    // back at the length it had when it was last flushed, as after a power cut.
    struct stat info;
    if (fails && file->canWrite && fstat(file->descriptor, &info) == 0) {
        std::lock_guard guard(Cache().lock);
        auto unflushed = Cache().files.find({info.st_dev, info.st_ino});
        if (unflushed != Cache().files.end()) {
            Revert(file->descriptor, unflushed->second);
            Cache().files.erase(unflushed);
            Cache().any = !Cache().files.empty();
        }
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
    if (file->isDevice) {
        if (written != nullptr)
            *written = count;
        return TRUE;
    }
    struct stat info;
    off_t at = lseek(file->descriptor, 0, SEEK_CUR);
    if (fstat(file->descriptor, &info) != 0 || at < 0) {
        SetError(ErrorOf(errno, ERROR_WRITE_FAULT));
        return FALSE;
    }
    // Only what lies past the end takes room: bytes written over are there already. Short of
    // room, the write goes as far as the room does.
    size_t growth =
        at + (off_t)count > info.st_size ? (size_t)(at + (off_t)count - info.st_size) : 0;
    size_t room = TakeRoom(file->drive, growth);
    size_t wanted = count - std::min<size_t>(count, growth - room);
    {
        std::lock_guard cached(Cache().lock);
        auto [unflushed, added] = Cache().files.try_emplace(
            {info.st_dev, info.st_ino}, Unflushed{file->host, info.st_size, {}});
        Cache().any = true;
        // What this write covers of the size that the disk holds keeps its old bytes for a
        // power cut.
        off_t durable = unflushed->second.durable;
        if (at < durable && wanted > 0) {
            std::string old((size_t)std::min<off_t>(durable - at, (off_t)wanted), '\0');
            ssize_t got = pread(file->descriptor, old.data(), old.size(), at);
            old.resize(got > 0 ? (size_t)got : 0);
            if (!old.empty())
                unflushed->second.overwritten.emplace_back(at, std::move(old));
        }
    }
    size_t done = 0;
    // The room taken that the file did not grow into goes back.
    auto giveBackUnused = [&] {
        off_t end = at + (off_t)done;
        size_t grown = end > info.st_size ? (size_t)(end - info.st_size) : 0;
        GiveBackRoom(file->drive, room - std::min(room, grown));
    };
    while (done < wanted) {
        ssize_t step = ::write(file->descriptor, (const char*)buffer + done, wanted - done);
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0) {
            giveBackUnused();
            SetError(step < 0 ? ErrorOf(errno, ERROR_WRITE_FAULT) : ERROR_DISK_FULL);
            if (written != nullptr)
                *written = (DWORD)done;
            return FALSE;
        }
        done += (size_t)step;
    }
    if (written != nullptr)
        *written = (DWORD)done;
    if (wanted < count) {
        giveBackUnused();
        SetError(ERROR_DISK_FULL);
        return FALSE;
    }
    return TRUE;
}

// The handle's file position, over the descriptor's. A position before the file's start is
// refused (ERROR_NEGATIVE_SEEK); one past its end is kept, and a write there fills the gap with
// zeros. Without distanceHigh, distance is a signed 32-bit move and the new position must fit
// 32 bits.
DWORD WINAPI SetFilePointer(HANDLE handle, LONG distance, LONG* distanceHigh, DWORD method) {
    calls::Scope call("SetFilePointer", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    FileObject* file = FindFile(handle);
    if (file == nullptr)
        return INVALID_SET_FILE_POINTER;
    long long move = distanceHigh != nullptr
                         ? (long long)(((unsigned long long)(std::uint32_t)*distanceHigh << 32) |
                                       (std::uint32_t)distance)
                         : (long long)distance;
    long long from = 0;
    struct stat info;
    if (method == FILE_CURRENT) {
        from = lseek(file->descriptor, 0, SEEK_CUR);
    } else if (method == FILE_END) {
        from = fstat(file->descriptor, &info) == 0 ? (long long)info.st_size : -1;
    } else if (method != FILE_BEGIN) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (from < 0) {
        SetError(ErrorOf(errno, ERROR_INVALID_PARAMETER));
        return INVALID_SET_FILE_POINTER;
    }
    long long to = from + move;
    if (to < 0) {
        SetError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh == nullptr && to >= (long long)INVALID_SET_FILE_POINTER) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (lseek(file->descriptor, (off_t)to, SEEK_SET) < 0) {
        SetError(ErrorOf(errno, ERROR_INVALID_PARAMETER));
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh != nullptr)
        *distanceHigh = (LONG)(std::uint32_t)((unsigned long long)to >> 32);
    // A position whose low part reads as the failure is told apart by the last error.
    if ((DWORD)to == INVALID_SET_FILE_POINTER)
        SetError(ERROR_SUCCESS);
    return (DWORD)to;
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
    if (file->isDevice)
        return TRUE;
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

BOOL WINAPI FlushFileBuffers(HANDLE handle) {
    calls::Scope call("FlushFileBuffers", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    // Only a handle that may write can flush.
    FileObject* file = FileFor(handle, true);
    if (file == nullptr)
        return FALSE;
    struct stat info;
    if (fstat(file->descriptor, &info) != 0) {
        SetError(ErrorOf(errno, ERROR_WRITE_FAULT));
        return FALSE;
    }
    ForgetUnflushed(info);
    return TRUE;
}

namespace {

// MoveFileA and MoveFileExA: renames a file or folder within its drive. The new name must be
// free unless MOVEFILE_REPLACE_EXISTING lets a file take the place of another file that is not
// read-only. A file that is open without FILE_SHARE_DELETE can't be moved or replaced.
BOOL MoveWithin(LPCSTR existing, LPCSTR newName, DWORD flags) {
    struct stat from;
    auto source = MapExisting(existing, from);
    if (!source)
        return FALSE;
    auto target = MapPath(newName);
    if (!target)
        return FALSE;
    if (IsOnCdRom(existing) || IsOnCdRom(newName)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (DriveLetterOf(existing) != DriveLetterOf(newName)) {
        SetError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    if (!IsHostFolder(HostParentOf(*target))) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::lock_guard sharing(SharingLock());
    struct stat to;
    bool taken = lstat(target->c_str(), &to) == 0;
    bool same = taken && to.st_dev == from.st_dev && to.st_ino == from.st_ino;
    if (taken && !same) {
        if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 || S_ISDIR(from.st_mode)) {
            SetError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (S_ISDIR(to.st_mode) || (to.st_mode & S_IWUSR) == 0) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (SharingViolation(to, false, false, true,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
            SetError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    if (!S_ISDIR(from.st_mode) &&
        SharingViolation(from, false, false, true,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    // The new name as it is spelled, also where it takes the place of a name in other letters.
    std::string spelled = HostPathAsSpelled(newName).value_or(*target);
    if (taken && !same && spelled != *target && unlink(target->c_str()) != 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    if (rename(source->c_str(), spelled.c_str()) != 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    std::lock_guard cached(Cache().lock);
    if (taken && !same)
        Cache().files.erase({to.st_dev, to.st_ino});
    Cache().any = !Cache().files.empty();
    auto moved = Cache().files.find({from.st_dev, from.st_ino});
    if (moved != Cache().files.end())
        moved->second.host = spelled;
    return TRUE;
}

} // namespace

BOOL WINAPI MoveFileA(LPCSTR existing, LPCSTR newName) {
    calls::Scope call("MoveFileA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return MoveWithin(existing, newName, 0);
}

// The first releases of Windows (95, 98, ME) export it but do not implement it (machine.txt:
// "lacks MoveFileExA [error <n>]": it fails with that error, ERROR_CALL_NOT_IMPLEMENTED unless
// told).
BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags) {
    calls::Scope call("MoveFileExA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard lock(machineLock());
        if (machine().lacks.contains("MoveFileExA")) {
            auto error = machine().stubErrors.find("MoveFileExA");
            SetError(error != machine().stubErrors.end()
                         ? error->second
                         : (std::uint32_t)ERROR_CALL_NOT_IMPLEMENTED);
            return FALSE;
        }
    }
    if ((flags & ~(DWORD)(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return MoveWithin(existing, newName, flags);
}
