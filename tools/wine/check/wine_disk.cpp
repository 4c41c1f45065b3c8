#include "wine_disk.h"

#include <cctype>
#include <filesystem>
#include <fstream>

#include "name_case.h"

namespace fs = std::filesystem;

namespace {

// The entry of folder named name in any letter case, as Wine folds it (Greek and full-width
// letters too), or name itself when there is none.
std::string MatchEntry(const fs::path& folder, const std::string& name) {
    std::error_code error;
    if (fs::exists(folder / name, error))
        return name;
    std::u32string upcased = winsim::UpcasedName(name);
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        std::string found = entry.path().filename().string();
        if (winsim::UpcasedName(found) == upcased)
            return found;
    }
    return name;
}

} // namespace

WineDisk::WineDisk(std::string prefix, std::string startedLog, std::string discsFolder)
    : prefix_(std::move(prefix)), startedLog_(std::move(startedLog)),
      discsFolder_(std::move(discsFolder)) {}

std::optional<std::string> WineDisk::HostPath(const std::string& windowsPath) {
    if (windowsPath.size() < 2 || !std::isalpha((unsigned char)windowsPath[0]) ||
        windowsPath[1] != ':')
        return std::nullopt;
    std::string link(1, (char)std::tolower((unsigned char)windowsPath[0]));
    std::error_code error;
    fs::path host = fs::canonical(fs::path(prefix_) / "dosdevices" / (link + ":"), error);
    if (error)
        return std::nullopt;

    std::string rest = windowsPath.substr(2);
    size_t at = 0;
    while (at <= rest.size()) {
        size_t end = rest.find_first_of("\\/", at);
        if (end == std::string::npos)
            end = rest.size();
        std::string component = rest.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == ".")
            continue;
        if (component == "..")
            host = host.parent_path();
        else
            host /= MatchEntry(host, component);
    }
    return host.string();
}

std::vector<std::pair<unsigned, std::string>> WineDisk::StartedPrograms() {
    std::vector<std::pair<unsigned, std::string>> started;
    std::ifstream log(startedLog_, std::ios::binary);
    std::string line;
    while (std::getline(log, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t space = line.find(' ');
        if (space == 0 || space == std::string::npos ||
            line.find_first_not_of("0123456789") != space)
            continue;
        started.emplace_back((unsigned)std::stoul(line.substr(0, space)), line.substr(space + 1));
    }
    return started;
}

std::optional<std::string> WineDisk::DiscFolder(const std::string& name) {
    std::error_code error;
    fs::path folder = fs::path(discsFolder_) / name;
    if (name.empty() || !fs::is_directory(folder, error))
        return std::nullopt;
    return folder.string();
}

std::vector<scenario::SnapshotRoot> MachineRoots(const std::string& prefix,
                                                 const std::string& discsFolder) {
    std::vector<scenario::SnapshotRoot> roots;
    std::error_code error;
    fs::path discs = fs::weakly_canonical(discsFolder, error);
    for (const auto& entry : fs::directory_iterator(fs::path(prefix) / "dosdevices", error)) {
        std::string name = entry.path().filename().string();
        if (name.size() != 2 || name[1] != ':')
            continue; // "d::" names a device, not a folder
        fs::path target = fs::weakly_canonical(entry.path(), error);
        std::string relative = target.lexically_relative(discs).generic_string();
        if (error || !fs::is_directory(target, error) ||
            (!relative.empty() && relative.rfind("..", 0) != 0))
            continue; // a CD-ROM drive: its discs are looked at one by one below
        if (target == target.root_path())
            continue; // Wine's drive for the host's whole file system (Z:), which no run uses
        scenario::SnapshotRoot root{name, target, {}};
        if (name == "c:") {
            // Wine's own Windows folder, and what the runner put there to play the scenario.
            root.skip = {"windows", "robot", "started.txt"};
        }
        roots.push_back(root);
    }
    for (const auto& disc : fs::directory_iterator(discs, error)) {
        if (disc.is_directory(error))
            roots.push_back({"disc " + disc.path().filename().string(), disc.path(), {}});
    }
    return roots;
}
