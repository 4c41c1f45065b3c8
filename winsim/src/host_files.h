// What the file calls share: Windows paths to host paths with the error a failed lookup sets,
// errno to Win32 errors, the DOS attributes that the host's modes do not hold, and the room
// left on a drive with a capacity.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "security.h"

namespace winsim {

// A call that reads the disk in a drive of removable media (a CD-ROM, floppy or ZIP drive) that
// holds none. Unless the process has set SEM_FAILCRITICALERRORS, the system first asks the user
// to insert a disk, in its own box, and Try Again looks again; Cancel and Continue fail the
// call. Returns once the drive holds a disk, or the call is to go on without one.
void AskWhileNoDisk(char letter);

// Host path of a Windows path (code page 950), or nullopt with the last error set. Like the ANSI
// API, a path of MAX_PATH bytes or more is refused. A path on a drive without its disk asks for
// it first (AskWhileNoDisk).
std::optional<std::string> MapPath(const char* path);

// Host path of a Windows path that names a file or folder that is there, with info describing
// it; nullopt otherwise, with the last error set: ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND
// when its folder is missing too.
std::optional<std::string> MapExisting(const char* path, struct stat& info);

// The Win32 error for an errno value, or otherwise when there is none that fits.
std::uint32_t ErrorOf(int error, std::uint32_t otherwise);

bool IsHostFolder(const std::string& host);
std::string HostParentOf(const std::string& host);

// Whether the machine says the file at host can't be read.
bool IsUnreadable(const std::string& host);

// Whether the drive a Windows path lies on is a CD-ROM drive.
bool IsOnCdRom(const char* path);

// Hidden and system: kept, as Wine keeps them, in the extended attribute user.DOSATTRIB of the
// host file ("0x2" for hidden). Read-only is the host's write bit, directory the file type.
std::uint32_t StoredDosAttributes(const std::string& host);
// All attributes of the host file that info describes: directory, read-only (no write bit),
// archive (every writable file), hidden and system; and for a host symbolic link to a folder (a
// directory junction to Windows) the reparse point, unless the folder is looked at through it
// (asEntry false: a listing's "." of that folder).
std::uint32_t AttributesOf(const std::string& host, const struct stat& info, bool asEntry = true);
// Whether the host entry is a symbolic link to a folder: a directory junction.
bool IsFolderLink(const std::string& host);
bool StoreDosAttributes(const std::string& host, std::uint32_t attributes);

// A file time (100-nanosecond intervals since 1601-01-01) from the host's time, and back.
FILETIME FileTimeOf(const timespec& time);
timespec HostTimeOf(const FILETIME& time);

// Room on a fixed drive with a capacity: takes up to wanted bytes of what is left and returns
// how many were granted. Drives without a capacity grant everything.
std::size_t TakeRoom(char letter, std::size_t wanted);
void GiveBackRoom(char letter, std::size_t unused);

// Deletes the host file (on drive letter) as DeleteFileA and the shell's delete do, unless the
// caller may not delete it (ERROR_ACCESS_DENIED), an open handle shares it for no deleting
// (ERROR_SHARING_VIOLATION), or, with keepReadOnly (DeleteFileA), it is read-only: 0, or the
// Win32 error, in that order.
std::uint32_t DeleteHostFile(char letter, const std::string& host, bool keepReadOnly);
// Removes an empty host folder, or a directory link alone, the same way (RemoveDirectoryA and
// the shell's delete): 0, or the Win32 error.
std::uint32_t RemoveHostFolder(char letter, const std::string& host);

// Whether the handles open to a host entry keep out an open of it to read or write sharing
// share (a sharing violation).
bool SharingKeepsOut(const std::string& host, bool read, bool write, DWORD share);

// What an open file, folder or link handle is: its drive, host path and access.
struct OpenEntry {
    char drive = 0;
    std::string host;
    bool folder = false;
    bool link = false;
    std::uint32_t granted = 0;
};
std::optional<OpenEntry> OpenEntryOf(void* handle);
// The Windows path an open file, folder or link handle was opened with; empty for any other
// handle.
std::string OpenedPathOf(void* handle);

// The descriptor that SECURITY_ATTRIBUTES give a new object: none (true, nullopt), one (true),
// or false with the last error set when they hold no valid one (ERROR_INVALID_SECURITY_DESCR),
// or name an owner the caller's token may not give (ERROR_INVALID_OWNER).
bool ExplicitDescriptor(const SECURITY_ATTRIBUTES* attributes,
                        std::optional<security::Descriptor>& descriptor);

// The volume serial number of a drive.
std::uint32_t VolumeSerial(char letter);

// Another program opens the file at a Windows path to read it, sharing it for reading only, and
// keeps it open until the process ends: the installer can then neither write nor delete it.
// 0, or the Win32 error that kept the program out.
std::uint32_t HoldFileOpen(const char* path);

// Whether a file holds writes that were not flushed: what a power cut would lose.
bool HasUnflushedWrites();
// The power cut: every file loses what was written to it since it was last flushed (it is cut
// back to the size it had then). Writes can't land afterwards; the process must end at once.
void LoseUnflushedWrites();

// Closes handle when it is an open file's: true, with closed telling whether the close went
// well. False when it is no file handle. A close that fails (fails: the plan makes it) loses
// what was written to the file since it was last flushed.
bool CloseFileHandle(void* handle, bool& closed, bool fails);

} // namespace winsim
