#include "snapshot.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace scenario {

namespace {

bool Skipped(const std::string& relative, const std::vector<std::string>& skip) {
    for (const auto& prefix : skip) {
        if (relative == prefix || relative.rfind(prefix + "/", 0) == 0)
            return true;
    }
    return false;
}

// Whether path lies at or under folder (both keys of a state).
bool Under(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.rfind(folder, 0) == 0 &&
                              path[folder.size()] == '/');
}

} // namespace

MachineState TakeSnapshot(const std::vector<SnapshotRoot>& roots) {
    MachineState state;
    for (const auto& root : roots) {
        std::error_code error;
        auto options = fs::directory_options::skip_permission_denied;
        for (auto it = fs::recursive_directory_iterator(root.host, options, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            std::string relative = fs::relative(it->path(), root.host, error).generic_string();
            if (Skipped(relative, root.skip)) {
                if (it->is_directory(error) && !it->is_symlink(error))
                    it.disable_recursion_pending();
                continue;
            }
            struct stat info;
            if (::lstat(it->path().c_str(), &info) != 0)
                continue;
            MachineEntry entry;
            entry.folder = S_ISDIR(info.st_mode);
            entry.size = entry.folder ? 0 : (std::uintmax_t)info.st_size;
            entry.modified = entry.folder ? 0
                                          : (std::int64_t)info.st_mtim.tv_sec * 1000000000 +
                                                info.st_mtim.tv_nsec;
            // Not the execute bits, which no Windows attribute holds: Wine gives them to a file
            // it renames to a name ending in .exe.
            entry.mode = info.st_mode & 07666;
            state[root.name + "/" + relative] = entry;
        }
    }
    return state;
}

std::vector<std::string> Changes(const MachineState& before, const MachineState& after) {
    std::vector<std::string> changes;
    for (const auto& [path, entry] : before) {
        auto found = after.find(path);
        if (found == after.end())
            changes.push_back("removed " + path);
        else if (!(found->second == entry))
            changes.push_back("changed " + path);
    }
    for (const auto& [path, entry] : after) {
        if (before.count(path) == 0)
            changes.push_back("added " + path);
    }
    return changes;
}

std::vector<std::string> ChangesOutside(const MachineState& before, const MachineState& after,
                                        const std::vector<std::string>& allowed) {
    std::vector<std::string> outside;
    for (const auto& change : Changes(before, after)) {
        std::string path = change.substr(change.find(' ') + 1);
        bool fine = false;
        for (const auto& place : allowed) {
            // A folder made to hold an allowed place is fine; anything under one is.
            bool above =
                change.rfind("added ", 0) == 0 && after.at(path).folder && Under(place, path);
            if (Under(path, place) || above) {
                fine = true;
                break;
            }
        }
        if (!fine)
            outside.push_back(change);
    }
    return outside;
}

bool SaveSnapshot(const MachineState& state, const fs::path& file) {
    std::ofstream out(file, std::ios::binary);
    for (const auto& [path, entry] : state)
        out << (entry.folder ? 'd' : 'f') << ' ' << entry.size << ' ' << entry.modified << ' '
            << entry.mode << ' ' << path << '\n';
    return bool(out);
}

bool LoadSnapshot(const fs::path& file, MachineState& state) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    state.clear();
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        char kind = 0;
        MachineEntry entry;
        fields >> kind >> entry.size >> entry.modified >> entry.mode;
        std::string path;
        fields.get();
        std::getline(fields, path);
        if (!fields.eof() && fields.fail())
            return false;
        entry.folder = kind == 'd';
        state[path] = entry;
    }
    return true;
}

} // namespace scenario
