#include "other_user.h"

#include <windows.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "file_security.h"
#include "host_files.h"
#include "machine.h"

namespace winsim {

namespace {

const security::Token& OtherUser() {
    static const security::Token* token =
        new security::Token(security::StandardUserToken(security::OtherUserRid));
    return *token;
}

std::uint32_t Failed(BOOL done) {
    return done ? 0 : GetLastError();
}

std::uint32_t WriteFileAs(const std::string& path, const std::string& content, DWORD disposition) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD written = 0;
    BOOL wrote = WriteFile(file, content.data(), (DWORD)content.size(), &written, nullptr);
    std::uint32_t error = wrote ? 0 : GetLastError();
    CloseHandle(file);
    return error;
}

std::uint32_t Delete(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return Failed(RemoveDirectoryA(path.c_str()));
    return Failed(DeleteFileA(path.c_str()));
}

// The path with each name that holds a wildcard ('*', '?', as FindFirstFileA reads them) taken
// as the first name its folder lists for it, so that a step may name what setup named at its run
// ("~kelvo-setup-????????"); a name that matches nothing stays as it is. Names are split
// character by character (code page 950).
std::string Expanded(const std::string& path) {
    if (path.find_first_of("*?") == std::string::npos)
        return path;
    std::string out;
    const char* part = path.c_str();
    for (const char* at = part;; at = CharNextA(at)) {
        if (*at != '\\' && *at != '\0')
            continue;
        std::string name(part, at);
        if (name.find_first_of("*?") != std::string::npos) {
            WIN32_FIND_DATAA found;
            HANDLE find = FindFirstFileA((out + name).c_str(), &found);
            if (find != INVALID_HANDLE_VALUE) {
                name = found.cFileName;
                FindClose(find);
            }
        }
        out += name;
        if (*at == '\0')
            return out;
        out += '\\';
        part = at + 1;
    }
}

} // namespace

bool IsOtherUserAct(const std::string& kind, size_t arguments) {
    if (kind == "delete")
        return arguments == 1;
    return arguments == 2 &&
           (kind == "swap" || kind == "link" || kind == "file" || kind == "write" ||
            kind == "hardlink" || kind == "relink" || kind == "move");
}

std::uint32_t MakeDirectoryLink(const char* path, const char* folder) {
    auto host = MapPath(path);
    if (!host)
        return GetLastError();
    auto target = HostPath(folder);
    char letter = DriveLetterOf(path);
    if (!files::IsNtfs(letter))
        return ERROR_INVALID_FUNCTION;
    if (!target)
        return ERROR_PATH_NOT_FOUND;
    struct stat info;
    if (lstat(host->c_str(), &info) == 0)
        return ERROR_ALREADY_EXISTS;
    if (!IsHostFolder(HostParentOf(*host)))
        return ERROR_PATH_NOT_FOUND;
    if (!files::MayAdd(letter, HostParentOf(*host), true))
        return ERROR_ACCESS_DENIED;
    std::error_code error;
    files::Changed();
    std::filesystem::create_directory_symlink(*target, *host, error);
    if (error)
        return ErrorOf(error.value(), ERROR_ACCESS_DENIED);
    files::RecordNewEntry(letter, *host, true, std::nullopt);
    return 0;
}

std::uint32_t ReadAsOtherUser(const std::string& path, std::string& content) {
    DWORD lastError = GetLastError();
    files::ActingAs as(OtherUser());
    content.clear();
    std::uint32_t error = 0;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
    } else {
        char block[4096];
        DWORD read = 0;
        while (ReadFile(file, block, sizeof block, &read, nullptr) && read > 0)
            content.append(block, read);
        CloseHandle(file);
    }
    SetLastError(lastError);
    return error;
}

std::uint32_t ActAsOtherUser(const OtherUserAct& act, OtherUserAct* done) {
    DWORD lastError = GetLastError();
    // A rename aside that can't be taken back because the name was taken meanwhile.
    bool movedAside = false;
    files::ActingAs as(OtherUser());
    std::vector<std::string> a = act.arguments;
    // The content of a file or a write is no path.
    for (size_t i = 0; i < a.size(); ++i) {
        if (i == 0 || (act.kind != "file" && act.kind != "write"))
            a[i] = Expanded(a[i]);
    }
    std::uint32_t error = ERROR_INVALID_PARAMETER;
    if (!IsOtherUserAct(act.kind, a.size())) {
        // nothing to do
    } else if (act.kind == "swap") {
        std::string aside = a[0] + ".aside";
        error = Failed(MoveFileA(a[0].c_str(), aside.c_str()));
        if (error == 0) {
            error = MakeDirectoryLink(a[0].c_str(), a[1].c_str());
            movedAside = error != 0 && !MoveFileA(aside.c_str(), a[0].c_str());
        }
    } else if (act.kind == "link") {
        error = MakeDirectoryLink(a[0].c_str(), a[1].c_str());
    } else if (act.kind == "file") {
        error = WriteFileAs(a[0], a[1], CREATE_NEW);
    } else if (act.kind == "write") {
        error = WriteFileAs(a[0], a[1], TRUNCATE_EXISTING);
    } else if (act.kind == "hardlink") {
        error = Failed(CreateHardLinkA(a[0].c_str(), a[1].c_str(), nullptr));
    } else if (act.kind == "relink") {
        std::string aside = a[0] + ".aside";
        bool there = GetFileAttributesA(a[0].c_str()) != INVALID_FILE_ATTRIBUTES;
        error = there ? Failed(MoveFileA(a[0].c_str(), aside.c_str())) : 0;
        if (error == 0) {
            error = Failed(CreateHardLinkA(a[0].c_str(), a[1].c_str(), nullptr));
            movedAside = error != 0 && there && !MoveFileA(aside.c_str(), a[0].c_str());
        }
    } else if (act.kind == "delete") {
        error = Delete(a[0]);
    } else if (act.kind == "move") {
        error = Failed(MoveFileA(a[0].c_str(), a[1].c_str()));
    }
    if (done != nullptr) {
        if (movedAside)
            *done = {"move", {a[0], a[0] + ".aside"}};
        else
            *done = error == 0 ? OtherUserAct{act.kind, a} : OtherUserAct{};
    }
    SetLastError(lastError);
    return error;
}

} // namespace winsim
