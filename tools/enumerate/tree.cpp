#include "tree.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace enumerate {

namespace {

// FNV-1a over the file's bytes: enough to tell one test file's content from another's.
std::uint64_t Digest(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t hash = 14695981039346656037ULL;
    char block[65536];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            hash ^= (unsigned char)block[i];
            hash *= 1099511628211ULL;
        }
    }
    return hash;
}

// Copies the extended attributes of the user namespace of one entry to another (neither
// followed where it is a link).
void CopyAttributes(const fs::path& from, const fs::path& to) {
    char names[16384];
    ssize_t listed = ::llistxattr(from.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < listed;) {
        std::string name(names + at);
        at += (ssize_t)name.size() + 1;
        if (name.rfind("user.", 0) != 0)
            continue;
        char value[65536];
        ssize_t length = ::lgetxattr(from.c_str(), name.c_str(), value, sizeof value);
        if (length >= 0)
            ::lsetxattr(to.c_str(), name.c_str(), value, (size_t)length, 0);
    }
}

} // namespace

void CopyDrive(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    CopyAttributes(from, to);
    std::map<std::pair<dev_t, ino_t>, fs::path> copied; // files of several names
    std::vector<std::pair<fs::path, struct stat>> files;
    std::string fromPrefix = from.string() + "/";
    for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator();
         ++it) {
        fs::path copy = to / it->path().lexically_relative(from);
        struct stat info;
        if (::lstat(it->path().c_str(), &info) != 0)
            continue;
        if (S_ISLNK(info.st_mode)) {
            // A link into the drive leads into the copy.
            std::string target = fs::read_symlink(it->path()).string();
            if (target.rfind(fromPrefix, 0) == 0 || target == from.string())
                target = to.string() + target.substr(from.string().size());
            fs::create_symlink(target, copy);
            it.disable_recursion_pending();
        } else if (S_ISDIR(info.st_mode)) {
            fs::create_directory(copy);
            CopyAttributes(it->path(), copy);
        } else if (info.st_nlink > 1 && copied.count({info.st_dev, info.st_ino}) != 0) {
            fs::create_hard_link(copied[{info.st_dev, info.st_ino}], copy);
        } else {
            fs::copy_file(it->path(), copy);
            CopyAttributes(it->path(), copy);
            if (info.st_nlink > 1)
                copied[{info.st_dev, info.st_ino}] = copy;
            files.push_back({copy, info});
        }
    }
    // Modes and times last: a read-only file is written no more once its mode is set.
    for (const auto& [copy, info] : files) {
        ::chmod(copy.c_str(), info.st_mode & 07777);
        struct timespec times[2] = {info.st_atim, info.st_mtim};
        ::utimensat(AT_FDCWD, copy.c_str(), times, 0);
    }
}

std::vector<std::string> TreeLines(const fs::path& folder) {
    std::vector<std::string> lines;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string relative = it->path().lexically_relative(folder).generic_string();
        if (it->is_directory(error))
            lines.push_back(relative + "/");
        else
            lines.push_back(relative + " " + std::to_string(it->file_size(error)) + " " +
                            std::to_string(Digest(it->path())));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace enumerate
