#include "tree.h"

#include <algorithm>
#include <cstdint>
#include <fstream>

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

} // namespace

std::vector<std::string> TreeLines(const fs::path& folder) {
    std::vector<std::string> lines;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string relative = fs::relative(it->path(), folder, error).generic_string();
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
