// Files: listings, copies, attributes, folder removal and the shell's delete, over POSIX. Windows
// paths are code page 950 and reach the host through the machine's drive table (HostPath).
#include <shellapi.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "call_points.h"
#include "file_security.h"
#include "handle_table.h"
#include "host_files.h"
#include "machine.h"
#include "name_case.h"
#include "short_names.h"

namespace fs = std::filesystem;
using namespace winsim;

namespace {

// Whether host is the folder behind the root of drive letter.
bool IsDriveRoot(char letter, const std::string& host) {
    std::string root;
    {
        std::lock_guard lock(machineLock());
        Drive* d = machine().drive(letter);
        if (d == nullptr)
            return false;
        root = d->hostFolder;
    }
    struct stat a, b;
    return stat(root.c_str(), &a) == 0 && stat(host.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// A Windows path split at its last separator, found character by character so that the 0x5C
// trail byte of a double-byte character is no separator. "C:\a\b" gives "C:\a" and "b",
// "C:\b" gives "C:\" and "b", "C:b" gives "C:" and "b".
struct SplitPath {
    std::string folder;
    std::string name;
};

SplitPath Split(std::string_view path) {
    size_t last = std::string_view::npos;
    for (size_t i = 0; i < path.size();) {
        unsigned char c = (unsigned char)path[i];
        if (c == '\\' || c == '/')
            last = i;
        i += c >= 0x81 && c <= 0xFE && i + 1 < path.size() ? 2 : 1;
    }
    if (last == std::string_view::npos) {
        size_t cut = DriveLetterOf(path) != 0 ? 2 : 0;
        return {std::string(path.substr(0, cut)), std::string(path.substr(cut))};
    }
    size_t keep = last == 2 && DriveLetterOf(path) != 0 ? 3 : last;
    return {std::string(path.substr(0, keep)), std::string(path.substr(last + 1))};
}

bool HasWildcards(std::string_view name) {
    return name.find_first_of("*?") != std::string_view::npos;
}

// A name pattern as FindFirstFileA reads it: '*' any run of characters, '?' one character,
// letters in either case as Windows folds them, and the rules DOS left behind. "*.*" takes every
// name. A '?' also matches nothing where the name has a dot or has ended. A '*' before a dot does
// not run past the name's last dot. A dot before a '*' or a '?', or at the end, also matches the
// end of the name: "name*.*" takes "name", and "*." takes the names without a dot.
class NamePattern {
  public:
    explicit NamePattern(std::string_view utf8) {
        std::u32string pattern = UpcasedName(utf8);
        if (pattern == U"*.*")
            pattern.resize(1); // "*"
        for (size_t i = 0; i < pattern.size(); ++i) {
            char32_t c = pattern[i];
            char32_t next = i + 1 < pattern.size() ? pattern[i + 1] : 0;
            if (c == U'?')
                pattern_ += AnyOrNone;
            else if (c == U'*' && next == U'.')
                pattern_ += UpToLastDot;
            else if (c == U'.' && (next == U'?' || next == U'*' || next == 0))
                pattern_ += DotOrEnd;
            else
                pattern_ += c;
        }
    }

    bool Matches(std::string_view utf8Name) const {
        std::u32string name = UpcasedName(utf8Name);
        size_t lastDot = name.rfind(U'.');
        // matches[p * (n + 1) + k]: pattern from p matches name from k, for p and k from the end.
        size_t width = name.size() + 1;
        std::vector<char> matches((pattern_.size() + 1) * width, 0);
        matches[pattern_.size() * width + name.size()] = 1;
        for (size_t p = pattern_.size(); p-- > 0;) {
            char32_t c = pattern_[p];
            for (size_t k = name.size() + 1; k-- > 0;) {
                bool atEnd = k == name.size();
                bool match;
                if (c == U'*') {
                    match = matches[(p + 1) * width + k] || (!atEnd && matches[p * width + k + 1]);
                } else if (c == UpToLastDot) {
                    match = matches[(p + 1) * width + k] ||
                            (!atEnd && k != lastDot && matches[p * width + k + 1]);
                } else if (c == AnyOrNone) {
                    if (atEnd || name[k] == U'.') {
                        size_t after = p;
                        while (after < pattern_.size() && pattern_[after] == AnyOrNone)
                            ++after;
                        match = matches[after * width + k];
                    } else {
                        match = matches[(p + 1) * width + k + 1];
                    }
                } else if (c == DotOrEnd) {
                    match = atEnd ? matches[(p + 1) * width + k]
                                  : name[k] == U'.' && matches[(p + 1) * width + k + 1];
                } else {
                    match = !atEnd && name[k] == c && matches[(p + 1) * width + k + 1];
                }
                matches[p * width + k] = match;
            }
        }
        return matches[0];
    }

  private:
    // Stand-ins in the translated pattern (code points no name holds).
    static constexpr char32_t AnyOrNone = 0x110000;
    static constexpr char32_t UpToLastDot = 0x110001;
    static constexpr char32_t DotOrEnd = 0x110002;
    std::u32string pattern_;
};

struct HostEntry {
    std::string name; // UTF-8, as on the host
    struct stat info;
};

// Appends the entries of a host folder whose names match, without "." and "..", in the order of
// their upper-case names. Symbolic links are described by what they point to when it exists.
bool ListHostFolder(const std::string& folder, const NamePattern& pattern,
                    std::vector<HostEntry>& entries, bool shortNames = false) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    std::vector<std::pair<std::u32string, HostEntry>> listed;
    while (dirent* item = readdir(dir)) {
        std::string name = item->d_name;
        // On a FAT32 drive a pattern also matches an entry by its short name.
        if (name == "." || name == ".." ||
            !(pattern.Matches(name) || (shortNames && !shortnames::FitsEightDotThree(name) &&
                                        pattern.Matches(shortnames::ShortNameOf(folder, name)))))
            continue;
        HostEntry entry{name, {}};
        if (fstatat(dirfd(dir), item->d_name, &entry.info, 0) != 0 &&
            fstatat(dirfd(dir), item->d_name, &entry.info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        listed.emplace_back(UpcasedName(name), std::move(entry));
    }
    closedir(dir);
    std::sort(listed.begin(), listed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& item : listed)
        entries.push_back(std::move(item.second));
    return true;
}

// Find data for a host entry; false when its code page 950 name does not fit cFileName. On a
// FAT32 drive (shortNames) a long name comes with its short one.
bool Describe(const std::string& host, const std::string& utf8Name, const struct stat& info,
              WIN32_FIND_DATAA& data, bool shortNames) {
    std::string name = utf8Name == "." || utf8Name == ".." ? utf8Name : Utf8ToCp950(utf8Name);
    if (name.size() >= MAX_PATH)
        return false;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = AttributesOf(host, info, utf8Name != "." && utf8Name != "..");
    data.ftCreationTime = FileTimeOf(info.st_ctim);
    data.ftLastAccessTime = FileTimeOf(info.st_atim);
    data.ftLastWriteTime = FileTimeOf(info.st_mtim);
    if (!S_ISDIR(info.st_mode)) {
        data.nFileSizeHigh = (DWORD)((ULONGLONG)info.st_size >> 32);
        data.nFileSizeLow = (DWORD)info.st_size;
    }
    std::memcpy(data.cFileName, name.c_str(), name.size() + 1);
    if (shortNames && utf8Name != "." && utf8Name != "..") {
        std::string alias = shortnames::ShortNameOf(HostParentOf(host), utf8Name);
        if (alias.size() < sizeof data.cAlternateFileName)
            std::memcpy(data.cAlternateFileName, alias.c_str(), alias.size() + 1);
    }
    return true;
}

// An open listing: every entry was read when it was opened.
struct FindObject {
    std::vector<WIN32_FIND_DATAA> entries;
    size_t next = 0;
    std::string pattern; // as the listing was asked for
};

HandleTable<FindObject>& FindObjects() {
    static auto* objects = new HandleTable<FindObject>;
    return *objects;
}

std::string FindPatternOf(void* handle) {
    FindObject* find = FindObjects().Find(handle);
    return find != nullptr ? find->pattern : std::string();
}

// Removes a file, or a folder with everything in it, as the shell does: entry by entry in the
// order a listing gives, whatever the modes inside, without following symbolic links, and
// stopping at the first entry that can't be removed (a file another program holds open). 0, or
// the Win32 error that stopped it.
std::uint32_t RemoveTree(char letter, const fs::path& path) {
    std::error_code error;
    auto status = fs::symlink_status(path, error);
    if (error)
        return ERROR_FILE_NOT_FOUND;
    if (!fs::is_directory(status))
        return DeleteHostFile(letter, path.string(), false);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
    std::vector<HostEntry> entries;
    if (!ListHostFolder(path.string(), NamePattern("*"), entries))
        return ErrorOf(errno, ERROR_ACCESS_DENIED);
    for (const auto& entry : entries) {
        if (std::uint32_t failed = RemoveTree(letter, path / entry.name))
            return failed;
    }
    return RemoveHostFolder(letter, path.string());
}

} // namespace

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    calls::Scope call("FindFirstFileA", calls::Point | calls::CanFail, {pattern});
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (pattern != nullptr && std::strlen(pattern) >= MAX_PATH) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    SplitPath split = Split(pattern == nullptr ? "" : pattern);
    if (!HasWildcards(split.name) && IsDeviceName(pattern == nullptr ? "" : pattern)) {
        // A device is found in any folder, by the name before its extension.
        auto* find = new FindObject;
        find->entries.resize(1);
        WIN32_FIND_DATAA& device = find->entries[0];
        std::memset(&device, 0, sizeof device);
        device.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
        std::string name = split.name.substr(0, split.name.find_first_of(". "));
        std::memcpy(device.cFileName, name.c_str(), name.size() + 1);
        if (data != nullptr)
            *data = device;
        find->next = 1;
        find->pattern = pattern;
        FindObjects().Add(find);
        return find;
    }
    AskWhileNoDisk(DriveLetterOf(split.folder));
    auto folder = split.folder.empty() ? std::nullopt : HostPath(split.folder);
    if (!folder || !IsHostFolder(*folder)) {
        SetError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The listing opens the folder to list it, sharing reading and writing.
    char letter = DriveLetterOf(split.folder);
    if (IsUnreadable(*folder) || !files::Allowed(letter, *folder, security::ReadData)) {
        SetError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (SharingKeepsOut(*folder, true, false, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
        SetError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    bool shortNames = shortnames::Keeps(letter);
    NamePattern names(Cp950ToUtf8(split.name));
    std::vector<HostEntry> found;
    if (!split.name.empty()) {
        // Outside a drive's root a listing starts with the folder itself and its parent. In a
        // disc's root, the files that hold its label are no files of the disc.
        bool root = IsDriveRoot(DriveLetterOf(split.folder), *folder);
        if (!root) {
            HostEntry self{".", {}}, parent{"..", {}};
            if (names.Matches(".") && stat(folder->c_str(), &self.info) == 0)
                found.push_back(self);
            if (names.Matches("..") && stat(HostParentOf(*folder).c_str(), &parent.info) == 0)
                found.push_back(parent);
        }
        if (!ListHostFolder(*folder, names, found, shortNames)) {
            SetError(ErrorOf(errno, ERROR_PATH_NOT_FOUND));
            return INVALID_HANDLE_VALUE;
        }
        if (root && IsOnCdRom(pattern)) {
            std::erase_if(found, [](const HostEntry& entry) {
                return entry.name == ".windows-label" || entry.name == ".windows-serial";
            });
        }
    }
    if (found.empty()) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto* find = new FindObject;
    find->entries.resize(found.size());
    for (size_t i = 0; i < found.size(); ++i) {
        std::string host = found[i].name == "."    ? *folder
                           : found[i].name == ".." ? HostParentOf(*folder)
                                                   : *folder + "/" + found[i].name;
        if (!Describe(host, found[i].name, found[i].info, find->entries[i], shortNames)) {
            delete find;
            SetError(ERROR_FILENAME_EXCED_RANGE);
            return INVALID_HANDLE_VALUE;
        }
    }
    if (data != nullptr)
        *data = find->entries[0];
    find->next = 1;
    find->pattern = pattern;
    FindObjects().Add(find);
    return find;
}

BOOL WINAPI FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data) {
    calls::Scope call("FindNextFileA", calls::Point | calls::CanFail, FindPatternOf, handle);
    if (call.Fails()) {
        SetError(ERROR_NOT_READY);
        return FALSE;
    }
    FindObject* find = FindObjects().Find(handle);
    if (find == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (find->next >= find->entries.size()) {
        SetError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    if (data != nullptr)
        *data = find->entries[find->next];
    ++find->next;
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle) {
    calls::Scope call("FindClose", calls::Point, FindPatternOf, handle);
    FindObject* find = FindObjects().Take(handle);
    if (find == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete find;
    return TRUE;
}

BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes) {
    calls::Scope call("SetFileAttributesA", calls::Point | calls::CanFail | calls::Whole, {path});
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    struct stat info;
    auto host = MapExisting(path, info);
    if (!host)
        return FALSE;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!files::Allowed(DriveLetterOf(path), *host, security::WriteAttributes)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!StoreDosAttributes(*host, attributes)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A read-only folder still takes new files on Windows: folders keep their mode.
    if (S_ISDIR(info.st_mode))
        return TRUE;
    mode_t mode = info.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? mode & ~(mode_t)0222 : mode | S_IWUSR;
    if (chmod(host->c_str(), mode) != 0) {
        SetError(ErrorOf(errno, ERROR_ACCESS_DENIED));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI RemoveDirectoryA(LPCSTR path) {
    calls::Scope call("RemoveDirectoryA", calls::Point | calls::CanFail | calls::Whole, {path});
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    struct stat info;
    auto host = MapExisting(path, info);
    if (!host)
        return FALSE;
    if (!S_ISDIR(info.st_mode)) {
        SetError(ERROR_DIRECTORY);
        return FALSE;
    }
    // A directory junction goes as a link, whatever the folder it leads to holds.
    char letter = DriveLetterOf(path);
    if (IsFolderLink(*host) && !IsOnCdRom(path)) {
        if (std::uint32_t error = RemoveHostFolder(letter, *host)) {
            SetError(error);
            return FALSE;
        }
        return TRUE;
    }
    std::error_code error;
    if (!fs::is_empty(*host, error)) {
        SetError(error ? ErrorOf(error.value(), ERROR_ACCESS_DENIED) : ERROR_DIR_NOT_EMPTY);
        return FALSE;
    }
    // A drive's root, and an empty folder on a disc, stay.
    if (IsDriveRoot(letter, *host) || IsOnCdRom(path)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (std::uint32_t failed = RemoveHostFolder(letter, *host)) {
        SetError(failed);
        return FALSE;
    }
    return TRUE;
}

namespace {

// One entry of a delete list, checked before anything is deleted.
struct DeleteTarget {
    char letter = 0;
    std::string folder; // host folder the names are in
    std::string name;   // UTF-8 name or pattern
    bool wildcards = false;
};

// Checks one entry of a delete list. Refused: relative paths, wildcards in the folder part, "."
// and "..", a name missing after the last separator and anything on a CD-ROM drive.
int CheckDeleteEntry(const char* entry, DeleteTarget& target) {
    std::string_view path(entry);
    if (path.size() >= MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    char letter = DriveLetterOf(path);
    if (letter == 0 || path.size() < 3 || (path[2] != '\\' && path[2] != '/'))
        return ERROR_INVALID_PARAMETER;
    SplitPath split = Split(path);
    if (split.name.empty() || split.name == "." || split.name == ".." || HasWildcards(split.folder))
        return ERROR_INVALID_PARAMETER;
    if (IsOnCdRom(entry))
        return ERROR_ACCESS_DENIED;
    auto folder = HostPath(split.folder);
    if (!folder || !IsHostFolder(*folder))
        return ERROR_PATH_NOT_FOUND;
    target.wildcards = HasWildcards(split.name);
    target.letter = letter;
    target.folder = *folder;
    target.name = Cp950ToUtf8(split.name);
    return 0;
}

int DeleteFiles(const SHFILEOPSTRUCTA& operation) {
    if (operation.pFrom == nullptr || operation.pFrom[0] == '\0')
        return ERROR_INVALID_PARAMETER;
    std::vector<DeleteTarget> targets;
    for (const char* entry = operation.pFrom; *entry != '\0'; entry += std::strlen(entry) + 1) {
        DeleteTarget target;
        if (int refused = CheckDeleteEntry(entry, target))
            return refused;
        targets.push_back(target);
    }

    int result = 0;
    for (const auto& target : targets) {
        std::vector<HostEntry> matches;
        if (!ListHostFolder(target.folder, NamePattern(target.name), matches))
            return ERROR_ACCESS_DENIED;
        if (matches.empty() && !target.wildcards && result == 0)
            result = ERROR_FILE_NOT_FOUND;
        for (const auto& match : matches) {
            if ((operation.fFlags & FOF_FILESONLY) != 0 && target.wildcards &&
                S_ISDIR(match.info.st_mode))
                continue;
            // The first entry that can't be removed ends the whole operation.
            if (std::uint32_t failed =
                    RemoveTree(target.letter, fs::path(target.folder) / match.name))
                return (int)failed;
        }
    }
    return result;
}

} // namespace

// Only the delete is offered; the other operations fail without touching anything.
int WINAPI SHFileOperationA(LPSHFILEOPSTRUCTA operation) {
    calls::Scope call("SHFileOperationA", calls::Point | calls::CanFail,
                      {operation != nullptr ? operation->pFrom : nullptr});
    if (call.Fails())
        return ERROR_ACCESS_DENIED;
    if (operation == nullptr)
        return ERROR_INVALID_PARAMETER;
    operation->fAnyOperationsAborted = FALSE;
    if (operation->wFunc != FO_DELETE)
        return ERROR_INVALID_PARAMETER;
    return DeleteFiles(*operation);
}
