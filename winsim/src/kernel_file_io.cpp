// Files opened by handle: CreateFileA, ReadFile, WriteFile, FlushFileBuffers, SetFileTime,
// GetFileInformationByHandle(Ex), GetFileSize, GetFileTime and CloseHandle on them, over POSIX file
// descriptors, folders and directory links opened by handle, and DeleteFileA, MoveFileA,
// MoveFileExA and CreateHardLinkA. Open handles share their file or folder as Windows does: an
// open, a delete or a move that an open handle's share mode keeps out fails with a sharing
// violation, whichever program holds the handle. Every call is checked against the access lists for
// the user it is made as (file_security.h). What is written stays in the system's cache until it is
// flushed: a power cut loses it (LoseUnflushedWrites), while the making, moving and deleting of
// files and folders last.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "call_points.h"
#include "file_security.h"
#include "handle_table.h"
#include "host_files.h"
#include "machine.h"
#include "short_names.h"

using namespace winsim;

namespace {

// An open file, folder or directory link. Objects are freed when their handle is closed.
struct FileObject {
    int descriptor = -1; // none for a folder or a directory link: they hold no data
    bool folder = false;
    bool link = false;         // a directory link opened itself (FILE_FLAG_OPEN_REPARSE_POINT)
    std::uint32_t granted = 0; // the access rights the handle was opened with
    bool canRead = false;
    bool canWrite = false;
    DWORD share = 0;  // the FILE_SHARE_ flags it was opened with
    dev_t device = 0; // which host file it is
    ino_t inode = 0;
    char drive = 0; // the drive letter the file lies on, for its capacity
    std::string host;
    std::string canonical; // its host path with every link resolved (a link's own: not it)
    std::string path;      // the Windows path it was opened with
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

// What an open asks for, as sharing weighs it: reading (FILE_READ_DATA, FILE_EXECUTE), writing
// (FILE_WRITE_DATA, FILE_APPEND_DATA) and deleting. A handle with none of them (opened for its
// attributes or its access list alone) takes no part in sharing.
struct Use {
    bool read = false, write = false, remove = false;
    bool Any() const { return read || write || remove; }
};

Use UseOf(std::uint32_t granted) {
    return {(granted & (security::ReadData | security::Execute)) != 0,
            (granted & (security::WriteData | security::AppendData)) != 0,
            (granted & security::Delete) != 0};
}

// Whether an open handle of the host entry (device, inode) keeps out an open for use sharing
// share, or the open would keep out a handle, as Windows weighs them. Caller holds SharingLock.
bool SharingViolation(dev_t device, ino_t inode, Use use, DWORD share) {
    if (!use.Any())
        return false;
    return Files().Any([&](const FileObject& open) {
        Use held = UseOf(open.granted);
        if (open.device != device || open.inode != inode || !held.Any())
            return false;
        return (use.read && (open.share & FILE_SHARE_READ) == 0) ||
               (use.write && (open.share & FILE_SHARE_WRITE) == 0) ||
               (use.remove && (open.share & FILE_SHARE_DELETE) == 0) ||
               (held.read && (share & FILE_SHARE_READ) == 0) ||
               (held.write && (share & FILE_SHARE_WRITE) == 0) ||
               (held.remove && (share & FILE_SHARE_DELETE) == 0);
    });
}

bool SharingViolation(const struct stat& info, Use use, DWORD share) {
    return SharingViolation(info.st_dev, info.st_ino, use, share);
}

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr Use Deleting = {false, false, true};

// A rename or a new link opens the folder it lands in to write, sharing reading and writing
// (as Windows 10 does): a handle of that folder that shares no writing, or that may delete it,
// keeps the name out. Caller holds SharingLock.
bool LandingKeptOut(const std::string& folderHost) {
    struct stat info;
    return ::stat(folderHost.c_str(), &info) == 0 &&
           SharingViolation(info, Use{false, true, false}, FILE_SHARE_READ | FILE_SHARE_WRITE);
}

// Whether a handle is open to anything inside the host folder: Windows renames no such folder.
bool OpenBelow(const std::string& folderHost) {
    std::string prefix = files::ResolvedEntry(folderHost) + "/";
    return Files().Any([&](const FileObject& open) {
        return open.canonical.compare(0, prefix.size(), prefix) == 0;
    });
}

bool IsWindows9x() {
    std::lock_guard lock(machineLock());
    return (machine().version & 0x80000000u) != 0;
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
    if (file != nullptr && file->descriptor < 0) {
        SetError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    if (file != nullptr && !(writing ? file->canWrite : file->canRead)) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return file;
}

// CreateFileA, whoever opens the file: the access asked for checked against its access list
// for the calling thread's user, a folder only with FILE_FLAG_BACKUP_SEMANTICS, a directory link
// itself with FILE_FLAG_OPEN_REPARSE_POINT.
HANDLE OpenFile(LPCSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                const std::optional<security::Descriptor>& explicitDescriptor = std::nullopt) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // A device's name opens the device, in any folder and with any extension, as on Windows (a
    // disc's nul.dat too): a read of it finds nothing, what is written to it goes nowhere, and
    // no file is made.
    if (path != nullptr && IsDeviceName(path)) {
        auto* device = new FileObject;
        device->descriptor = open("/dev/null", O_RDWR | O_CLOEXEC);
        device->canRead = (access & GENERIC_READ) != 0;
        device->canWrite = (access & GENERIC_WRITE) != 0;
        device->isDevice = true;
        Files().Add(device);
        SetError(ERROR_SUCCESS);
        return device;
    }
    auto host = MapPath(path);
    if (!host)
        return INVALID_HANDLE_VALUE;
    char letter = DriveLetterOf(path);
    bool creates = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;
    bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;

    std::lock_guard sharing(SharingLock());
    struct stat info;
    bool exists = stat(host->c_str(), &info) == 0;
    bool link = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 && IsFolderLink(*host) &&
                !IsOnCdRom(path) && lstat(host->c_str(), &info) == 0;
    bool folder = link || (exists && S_ISDIR(info.st_mode));
    if (!exists && !IsHostFolder(HostParentOf(*host))) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A folder is no file: it opens only for backup semantics, and only as it is. Windows 95,
    // 98 and ME open no folder at all.
    if (folder && ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 || truncates || IsWindows9x())) {
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
    std::uint32_t desired = access | (truncates ? (DWORD)security::WriteData : 0);
    bool write = (security::MapGeneric(desired & ~security::MaximumAllowed) &
                  (security::WriteData | security::AppendData | security::WriteAttributes)) != 0;
    if ((write || truncates || !exists) && IsOnCdRom(path)) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::uint32_t granted = security::MapGeneric(desired & ~security::MaximumAllowed);
    if (exists) {
        // The access list first, for what is asked (MAXIMUM_ALLOWED: whatever it grants).
        if ((desired & security::MaximumAllowed) != 0)
            granted |= files::Granted(letter, *host, security::MaximumAllowed, !link);
        else if (!files::Allowed(letter, *host, desired, !link)) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        write = (granted & (security::WriteData | security::AppendData)) != 0;
        bool read = (granted & security::ReadData) != 0;
        bool readOnly = !folder && (info.st_mode & S_IWUSR) == 0;
        DWORD stored = StoredDosAttributes(*host);
        // A hidden or system file is replaced only by one that asks for the same attributes.
        DWORD kept = stored & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        if ((readOnly && (write || truncates)) ||
            (disposition == CREATE_ALWAYS && (flags & kept) != kept) ||
            (read && !folder && IsUnreadable(*host))) {
            SetError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (SharingViolation(info, UseOf(granted), share)) {
            SetError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    } else if (!files::MayAdd(letter, HostParentOf(*host), false)) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    } else if ((desired & security::MaximumAllowed) != 0) {
        granted = security::FileAllAccess;
    }

    int descriptor = -1;
    if (!folder) {
        bool readData = (granted & security::ReadData) != 0;
        bool writeData = (granted & (security::WriteData | security::AppendData)) != 0;
        int mode = readData && writeData ? O_RDWR : writeData ? O_WRONLY : O_RDONLY;
        if (truncates && !writeData)
            mode = O_WRONLY; // truncation needs a descriptor that may write
        if (creates)
            mode |= O_CREAT;
        if (truncates)
            mode |= O_TRUNC;
        descriptor = open(host->c_str(), mode | O_CLOEXEC, 0666);
        if (descriptor < 0 || (!exists && fstat(descriptor, &info) != 0)) {
            SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
            if (descriptor >= 0)
                close(descriptor);
            return INVALID_HANDLE_VALUE;
        }
    }
    // A new file may have the inode of one removed behind the system's back (a test's folder):
    // nothing of that one waits to be written any more.
    if (!exists) {
        ForgetUnflushed(info);
        files::RecordNewEntry(letter, *host, false, explicitDescriptor);
        shortnames::Renamed(letter, *host);
    }
    if (!exists || disposition == CREATE_ALWAYS) {
        // The new file, or the file replaced, takes the attributes asked for.
        StoreDosAttributes(*host, flags);
        if ((flags & FILE_ATTRIBUTE_READONLY) != 0)
            fchmod(descriptor, 0444);
    }

    auto* file = new FileObject;
    file->descriptor = descriptor;
    file->folder = folder;
    file->link = link;
    file->granted = granted;
    file->canRead = !folder && (granted & security::ReadData) != 0;
    file->canWrite = !folder && (granted & (security::WriteData | security::AppendData)) != 0;
    file->share = share;
    file->device = info.st_dev;
    file->inode = info.st_ino;
    file->drive = letter;
    file->host = *host;
    file->path = path;
    file->canonical = link ? files::CanonicalEntry(*host) : files::ResolvedEntry(*host);
    Files().Add(file);
    SetError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                 ? ERROR_ALREADY_EXISTS
                 : ERROR_SUCCESS);
    return file;
}

} // namespace

std::uint32_t winsim::DeleteHostFile(char letter, const std::string& host, bool keepReadOnly) {
    std::lock_guard sharing(SharingLock());
    struct stat info;
    bool exists = lstat(host.c_str(), &info) == 0;
    if (exists && !files::MayDelete(letter, host))
        return ERROR_ACCESS_DENIED;
    if (exists && SharingViolation(info, Deleting, ShareAll))
        return ERROR_SHARING_VIOLATION;
    if (exists && keepReadOnly && !S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0)
        return ERROR_ACCESS_DENIED;
    if (exists && S_ISLNK(info.st_mode))
        files::Changed();
    if (unlink(host.c_str()) != 0)
        return ErrorOf(errno, ERROR_ACCESS_DENIED);
    if (exists)
        ForgetUnflushed(info);
    return ERROR_SUCCESS;
}

std::uint32_t winsim::RemoveHostFolder(char letter, const std::string& host) {
    std::lock_guard sharing(SharingLock());
    struct stat info;
    if (lstat(host.c_str(), &info) != 0)
        return ERROR_FILE_NOT_FOUND;
    bool link = S_ISLNK(info.st_mode);
    if (!files::MayDelete(letter, host))
        return ERROR_ACCESS_DENIED;
    if (SharingViolation(info, Deleting, ShareAll))
        return ERROR_SHARING_VIOLATION;
    files::Changed();
    if (link) {
        if (unlink(host.c_str()) != 0)
            return ErrorOf(errno, ERROR_ACCESS_DENIED);
        files::ForgetLinkDescriptor(host);
        return ERROR_SUCCESS;
    }
    if (rmdir(host.c_str()) != 0)
        return ErrorOf(errno, ERROR_ACCESS_DENIED);
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
    HANDLE file =
        OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    return file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
}

bool winsim::SharingKeepsOut(const std::string& host, bool read, bool write, DWORD share) {
    std::lock_guard sharing(SharingLock());
    struct stat info;
    return ::stat(host.c_str(), &info) == 0 &&
           SharingViolation(info, Use{read, write, false}, share);
}

std::string winsim::OpenedPathOf(void* handle) {
    FileObject* file = Files().Find(handle);
    return file != nullptr ? file->path : std::string();
}

std::optional<winsim::OpenEntry> winsim::OpenEntryOf(void* handle) {
    FileObject* file = Files().Find(handle);
    if (file == nullptr)
        return std::nullopt;
    return OpenEntry{file->drive, file->host, file->folder, file->link, file->granted};
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
    closed = file->descriptor < 0 || close(file->descriptor) == 0;
    if (!closed)
        SetError(ErrorOf(errno, ERROR_WRITE_FAULT));
    delete file;
    return true;
}

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    calls::Scope call("CreateFileA", calls::Point | calls::CanFail | calls::Whole, {path});
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    (void)templateFile;
    std::optional<security::Descriptor> explicitDescriptor;
    if (!ExplicitDescriptor(security, explicitDescriptor))
        return INVALID_HANDLE_VALUE;
    return OpenFile(path, access, share, disposition, flags, explicitDescriptor);
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
    calls::Scope call("DeleteFileA", calls::Point | calls::CanFail | calls::Whole, {path});
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
    if (std::uint32_t error = DeleteHostFile(DriveLetterOf(path), *host, true)) {
        SetError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD read, LPVOID overlapped) {
    calls::Scope call("ReadFile", calls::Point | calls::CanFail, OpenedPathOf, handle);
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
    calls::Scope call("WriteFile", calls::Point | calls::CanFail | calls::Whole, OpenedPathOf,
                      handle);
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
    calls::Scope call("SetFilePointer", calls::Point | calls::CanFail | calls::Whole, OpenedPathOf,
                      handle);
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
    calls::Scope call("SetFileTime", calls::Point | calls::CanFail | calls::Whole, OpenedPathOf,
                      handle);
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
    calls::Scope call("FlushFileBuffers", calls::Point | calls::CanFail | calls::Whole,
                      OpenedPathOf, handle);
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
// read-only. The caller must be allowed to delete the entry and to add one to the folder it
// goes to. A file or folder that is open without FILE_SHARE_DELETE can't be moved or replaced,
// a folder with anything open inside it can't be moved at all, and a folder open without
// FILE_SHARE_WRITE (or open to be deleted) takes no new name. A directory link moves itself.
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
    char letter = DriveLetterOf(existing);
    if (letter != DriveLetterOf(newName)) {
        SetError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    if (!IsHostFolder(HostParentOf(*target))) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    bool link = IsFolderLink(*source);
    if (link)
        lstat(source->c_str(), &from);
    bool folder = link || S_ISDIR(from.st_mode);
    std::lock_guard sharing(SharingLock());
    struct stat to;
    bool taken = lstat(target->c_str(), &to) == 0;
    bool same = taken && to.st_dev == from.st_dev && to.st_ino == from.st_ino;
    if (taken && !same) {
        if ((flags & MOVEFILE_REPLACE_EXISTING) == 0 || folder) {
            SetError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (S_ISDIR(to.st_mode) || IsFolderLink(*target) || (to.st_mode & S_IWUSR) == 0 ||
            !files::MayDelete(letter, *target)) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (SharingViolation(to, Deleting, ShareAll)) {
            SetError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    if (!files::MayDelete(letter, *source) ||
        !files::MayAdd(letter, HostParentOf(*target), folder)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (SharingViolation(from, Deleting, ShareAll) || LandingKeptOut(HostParentOf(*target))) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (folder && !link && OpenBelow(*source)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // The new name as it is spelled, also where it takes the place of a name in other letters.
    std::string spelled = HostPathAsSpelled(newName).value_or(*target);
    if (taken && !same && spelled != *target && unlink(target->c_str()) != 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    // What moves to another folder keeps the access list it has.
    std::string fromCanonical = files::CanonicalEntry(*source);
    if (HostParentOf(fromCanonical) != HostParentOf(files::CanonicalEntry(spelled)))
        files::KeepDescriptor(letter, *source);
    files::Changed();
    if (rename(source->c_str(), spelled.c_str()) != 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    if (link)
        files::MoveLinkDescriptor(*source, spelled);
    files::ForgetDescriptorIfPlain(letter, spelled);
    shortnames::Renamed(letter, spelled);
    std::string toCanonical = files::CanonicalEntry(spelled);
    Files().ForEach([&](FileObject& open) {
        if (open.device == from.st_dev && open.inode == from.st_ino) {
            open.host = spelled;
            open.canonical = toCanonical;
        }
    });
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
    calls::Scope call("MoveFileA", calls::Point | calls::CanFail | calls::Whole,
                      {existing, newName});
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
    calls::Scope call("MoveFileExA", calls::Point | calls::CanFail | calls::Whole,
                      {existing, newName});
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

bool winsim::ExplicitDescriptor(const SECURITY_ATTRIBUTES* attributes,
                                std::optional<security::Descriptor>& descriptor) {
    descriptor.reset();
    if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr)
        return true;
    // The parts given, within the bytes a descriptor of any size may take.
    descriptor = security::DescriptorFromBytes(attributes->lpSecurityDescriptor, 65536);
    if (!descriptor) {
        SetError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    if (descriptor->owner && !files::CurrentToken().Has(*descriptor->owner) &&
        !(files::CurrentToken().elevated && *descriptor->owner == security::Administrators())) {
        SetError(ERROR_INVALID_OWNER);
        return false;
    }
    return true;
}

// Windows 2000 and later: another name of the file existing, on the same NTFS drive. The caller
// must be allowed to change the file's attributes and to add a file to the new name's folder.
// The file's contents, attributes and access list are those of every name it has.
BOOL WINAPI CreateHardLinkA(LPCSTR newName, LPCSTR existing, LPSECURITY_ATTRIBUTES security) {
    calls::Scope call("CreateHardLinkA", calls::Point | calls::CanFail | calls::Whole,
                      {newName, existing});
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    (void)security;
    struct stat info;
    auto source = MapExisting(existing, info);
    if (!source)
        return FALSE;
    auto target = MapPath(newName);
    if (!target)
        return FALSE;
    char letter = DriveLetterOf(existing);
    if (letter != DriveLetterOf(newName)) {
        SetError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    if (S_ISDIR(info.st_mode) || IsOnCdRom(existing)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (IsWindows9x()) {
        SetError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (!files::IsNtfs(letter)) {
        SetError(ERROR_INVALID_FUNCTION); // FAT32 and exFAT keep one name a file
        return FALSE;
    }
    if (!IsHostFolder(HostParentOf(*target))) {
        SetError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    struct stat taken;
    if (lstat(target->c_str(), &taken) == 0) {
        SetError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    std::lock_guard sharing(SharingLock());
    if (!files::Allowed(letter, *source, security::WriteAttributes) ||
        !files::MayAdd(letter, HostParentOf(*target), false)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (LandingKeptOut(HostParentOf(*target))) {
        SetError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (info.st_nlink >= 1024) {
        SetError(ERROR_TOO_MANY_LINKS);
        return FALSE;
    }
    files::KeepDescriptor(letter, *source);
    std::string spelled = HostPathAsSpelled(newName).value_or(*target);
    if (::link(source->c_str(), spelled.c_str()) != 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    return TRUE;
}

// The open file behind a handle that call queries, with the host's look at it in info; nullptr
// with the last error set when the call is made to fail (ERROR_ACCESS_DENIED), there is none or
// the look fails.
FileObject* Queried(const calls::Scope& call, HANDLE handle, struct stat* info) {
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    FileObject* file = FindFile(handle);
    if (file == nullptr)
        return nullptr;
    bool got = file->descriptor >= 0 ? fstat(file->descriptor, info) == 0
               : file->link          ? lstat(file->host.c_str(), info) == 0
                                     : stat(file->host.c_str(), info) == 0;
    if (!got)
        SetError(ErrorOf(errno, ERROR_INVALID_HANDLE));
    return got ? file : nullptr;
}

// What a handle's file or folder is: attributes, times, the volume's serial number, size, the
// number of its names and its index (the same file, whichever name opened it, gives the same).
BOOL WINAPI GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
    calls::Scope call("GetFileInformationByHandle", calls::Point | calls::CanFail, OpenedPathOf,
                      handle);
    struct stat info;
    FileObject* file = Queried(call, handle, &info);
    if (file == nullptr)
        return FALSE;
    if (information == nullptr) {
        SetError(ERROR_NOACCESS);
        return FALSE;
    }
    std::memset(information, 0, sizeof *information);
    if (file->link) {
        information->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                        StoredDosAttributes(file->host);
    } else {
        information->dwFileAttributes = AttributesOf(file->host, info, false);
    }
    information->ftCreationTime = FileTimeOf(info.st_ctim);
    information->ftLastAccessTime = FileTimeOf(info.st_atim);
    information->ftLastWriteTime = FileTimeOf(info.st_mtim);
    information->dwVolumeSerialNumber = VolumeSerial(file->drive);
    if (!file->folder) {
        information->nFileSizeHigh = (DWORD)((ULONGLONG)info.st_size >> 32);
        information->nFileSizeLow = (DWORD)info.st_size;
    }
    information->nNumberOfLinks = file->folder ? 1 : (DWORD)info.st_nlink;
    information->nFileIndexHigh = (DWORD)((ULONGLONG)info.st_ino >> 32);
    information->nFileIndexLow = (DWORD)info.st_ino;
    return TRUE;
}

// A handle's file size: its low half returned, its high half in sizeHigh where it is given. A
// size whose low half reads as INVALID_FILE_SIZE sets the last error to NO_ERROR, so that a
// caller that gave sizeHigh can tell it from a failure. A folder has none.
DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD sizeHigh) {
    calls::Scope call("GetFileSize", calls::Point | calls::CanFail, OpenedPathOf, handle);
    struct stat info;
    FileObject* file = Queried(call, handle, &info);
    if (file == nullptr)
        return INVALID_FILE_SIZE;
    ULONGLONG size = file->folder ? 0 : (ULONGLONG)info.st_size;
    if (sizeHigh != nullptr)
        *sizeHigh = (DWORD)(size >> 32);
    if ((DWORD)size == INVALID_FILE_SIZE)
        SetError(NO_ERROR);
    return (DWORD)size;
}

// What a handle's file or folder is, in the class asked for: FileStandardInfo (its size, the
// blocks it takes, the number of its names, whether it is a folder) alone; any other class
// fails with ERROR_INVALID_PARAMETER, as a class Windows doesn't know does.
BOOL WINAPI GetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind,
                                         LPVOID information, DWORD size) {
    calls::Scope call("GetFileInformationByHandleEx", calls::Point | calls::CanFail, OpenedPathOf,
                      handle);
    if (kind != FileStandardInfo) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (information == nullptr || size < sizeof(FILE_STANDARD_INFO)) {
        SetError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    struct stat info;
    FileObject* file = Queried(call, handle, &info);
    if (file == nullptr)
        return FALSE;
    auto* standard = static_cast<FILE_STANDARD_INFO*>(information);
    std::memset(standard, 0, sizeof *standard);
    if (!file->folder) {
        standard->EndOfFile.QuadPart = (LONGLONG)info.st_size;
        standard->AllocationSize.QuadPart = (LONGLONG)info.st_blocks * 512;
    }
    standard->NumberOfLinks = file->folder ? 1 : (DWORD)info.st_nlink;
    standard->Directory = file->folder || file->link;
    return TRUE;
}

// A handle's file or folder's times; any of the three may be left out.
BOOL WINAPI GetFileTime(HANDLE handle, LPFILETIME creation, LPFILETIME access, LPFILETIME write) {
    calls::Scope call("GetFileTime", calls::Point | calls::CanFail, OpenedPathOf, handle);
    struct stat info;
    FileObject* file = Queried(call, handle, &info);
    if (file == nullptr)
        return FALSE;
    if (creation != nullptr)
        *creation = FileTimeOf(info.st_ctim);
    if (access != nullptr)
        *access = FileTimeOf(info.st_atim);
    if (write != nullptr)
        *write = FileTimeOf(info.st_mtim);
    return TRUE;
}
