// scenario-host: runs scenarios against the host build of the installer.
//
//     scenario-host --setup PATH [--keep] [--timeout SECONDS] [--source DIR] FILE.scn...
//
// For each scenario it builds a machine folder (a folder per drive, the discs, machine.txt), runs
// the installer with the scripted user, and checks the play log, the exit status and the end
// checks. Prints "PASS name" or "FAIL name: why" per scenario, then "N passed, N failed"; the exit
// status is 0 only when all passed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "file_security.h"
#include "machine.h"
#include "run_program.h"
#include "scenario.h"
#include "snapshot.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Options {
    std::string setup;
    bool keep = false;
    double timeoutSeconds = 300;
    std::string source = SCENARIO_SOURCE_DIR;
};

// The first Windows 95's MoveFileExA fails with an error that no page names: this machine picks
// ERROR_NOT_SUPPORTED, not the ERROR_CALL_NOT_IMPLEMENTED of a plain stub. GetVersion: 4.0, the
// high bit set, build 950.
constexpr unsigned Windows95MoveError = 50;
constexpr const char* Windows95Version = "0xC3B60004";

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

fs::path Relative(const std::string& windowsPath) {
    std::string path = windowsPath;
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    return fs::path(path);
}

// The three sample discs, made once per run: by tools/make-sample-discs when the source tree has
// it, else a minimal set of our own.
class Samples {
  public:
    Samples(std::string source, fs::path folder) : source_(std::move(source)), folder_(folder) {}

    std::optional<fs::path> Disc(int k, std::string& error) {
        if (!made_) {
            made_ = true;
            Make(error);
        }
        if (k < 1 || k > 3 || discs_[k - 1].empty()) {
            error = "no sample disc " + std::to_string(k) + (error.empty() ? "" : ": " + error);
            return std::nullopt;
        }
        return discs_[k - 1];
    }

  private:
    void Make(std::string& error) {
        fs::path script = fs::path(source_) / "tools" / "make-sample-discs";
        fs::path out = folder_ / "made";
        std::error_code fsError;
        fs::create_directories(folder_, fsError);
        if (fs::exists(script, fsError)) {
            std::string command = Quote(script.string()) + " " + Quote(out.string()) +
                                  " --megabytes 1" + " >" +
                                  Quote((folder_ / "make-sample-discs.log").string()) + " 2>&1";
            if (std::system(command.c_str()) == 0 && Find(out))
                return;
            error = "tools/make-sample-discs failed, see " +
                    (folder_ / "make-sample-discs.log").string();
        }
        MakeOwn(folder_ / "own");
        Find(folder_ / "own");
    }

    // The discs under out, by the names a disc maker may give them.
    bool Find(const fs::path& out) {
        std::error_code error;
        for (int k = 1; k <= 3; ++k) {
            std::string n = std::to_string(k);
            for (const auto& name : {"disc" + n, "KELVO_" + n, "kelvo_" + n, "disc-" + n}) {
                if (fs::is_directory(out / name, error)) {
                    discs_[k - 1] = out / name;
                    break;
                }
            }
        }
        return !discs_[0].empty() && !discs_[1].empty() && !discs_[2].empty();
    }

    static void MakeOwn(const fs::path& out) {
        WriteFile(out / "disc1/kelvo/kelvo.exe", "kelvo");
        WriteFile(out / "disc1/kelvo/pixie.exe", "pixie");
        WriteFile(out / "disc1/kelvo/ReadMe.txt", "read me");
        WriteFile(out / "disc1/kelvo/data/shared.dat", "one");
        WriteFile(out / "disc2/kelvo/data/shared.dat", "two");
        WriteFile(out / "disc2/kelvo/data2/b.dat", "b");
        WriteFile(out / "disc2/Directx/DX6User.exe", "dx6");
        WriteFile(out / "disc3/kelvo/maps/m.dat", "m");
        WriteFile(out / "disc3/Directx/DX6User.exe", "dx6");
    }

    std::string source_;
    fs::path folder_;
    bool made_ = false;
    fs::path discs_[3];
};

// The finished machine, read back from its folder.
class HostDisk : public scenario::Disk {
  public:
    explicit HostDisk(fs::path folder) : folder_(std::move(folder)) {}

    std::optional<std::string> HostPath(const std::string& windowsPath) override {
        return winsim::HostPath(winsim::Utf8ToCp950(windowsPath));
    }
    std::vector<std::pair<unsigned, std::string>> StartedPrograms() override {
        std::vector<std::pair<unsigned, std::string>> started;
        std::ifstream in(folder_ / "started.txt");
        std::string line;
        while (std::getline(in, line)) {
            size_t space = line.find(' ');
            if (space == std::string::npos)
                continue;
            started.emplace_back((unsigned)std::stoul(line.substr(0, space)),
                                 line.substr(space + 1));
        }
        return started;
    }
    std::optional<std::string> DiscFolder(const std::string& name) override {
        return (folder_ / "discs" / name).string();
    }
    std::optional<std::vector<scenario::RegistryItem>> Registry() override {
        return RegistryItems();
    }
    std::optional<std::string> CheckSecurity(const std::string& what,
                                             const std::string& windowsPath,
                                             const std::string& expected) override {
        namespace security = winsim::security;
        std::string path = winsim::Utf8ToCp950(windowsPath);
        auto host = winsim::HostPath(path);
        if (!host)
            return windowsPath + " is on no drive";
        auto wanted = security::ParseSddl(what == "owner" ? "O:" + expected : expected);
        if (!wanted)
            return "no descriptor " + expected;
        auto actual = winsim::files::DescriptorOf(winsim::DriveLetterOf(path), *host, false);
        if (!actual)
            return windowsPath + " has no owner or access list: its drive keeps none";
        bool same = what == "owner" ? actual->owner == wanted->owner
                                    : actual->daclPresent && actual->nullDacl == wanted->nullDacl &&
                                          actual->protectedDacl == wanted->protectedDacl &&
                                          actual->autoInherited == wanted->autoInherited &&
                                          actual->dacl == wanted->dacl &&
                                          (!wanted->owner || actual->owner == wanted->owner);
        return same ? "" : windowsPath + " has " + security::FormatSddl(*actual);
    }
    std::optional<std::string> RedirectionTrust() override {
        std::ifstream in(folder_ / "mitigations.txt");
        std::string word, last = "0";
        while (in >> word >> last) {
        }
        return last;
    }

    // The registry of the machine as loaded (winsim::machine()): every key and value, the Shell
    // Folders values too.
    static std::vector<scenario::RegistryItem> RegistryItems() {
        std::lock_guard lock(winsim::machineLock());
        std::vector<scenario::RegistryItem> items;
        for (winsim::Hive hive : {winsim::Hive::LocalMachine, winsim::Hive::CurrentUser}) {
            AddKey(items, winsim::HiveName(hive), "", winsim::machine().registry.Root(hive),
                   hive == winsim::Hive::CurrentUser);
        }
        return items;
    }

  private:
    static void AddKey(std::vector<scenario::RegistryItem>& items, const std::string& hive,
                       const std::string& path, const winsim::RegistryKey& key, bool user) {
        if (!path.empty())
            items.push_back({hive, path, false, "", "", ""});
        if (user && path == winsim::ShellFoldersPath) {
            for (const auto& [name, folder] : winsim::machine().shellFolders)
                items.push_back({hive, path, true, name, "sz", folder});
        }
        for (const auto& [name, value] : key.values) {
            scenario::RegistryItem item{hive, path, true, name, "", ""};
            if (value.type == REG_SZ) {
                item.type = "sz";
                item.data = winsim::Cp950ToUtf8(value.data.substr(0, value.data.find('\0')));
            } else if (value.type == REG_DWORD && value.data.size() == 4) {
                std::uint32_t number;
                std::memcpy(&number, value.data.data(), 4);
                item.type = "dword";
                item.data = std::to_string(number);
            } else {
                static const char digits[] = "0123456789abcdef";
                item.type = std::to_string(value.type);
                for (char c : value.data) {
                    item.data += digits[(unsigned char)c >> 4];
                    item.data += digits[(unsigned char)c & 15];
                }
            }
            items.push_back(item);
        }
        for (const auto& [name, subkey] : key.keys)
            AddKey(items, hive, path.empty() ? name : path + "\\" + name, subkey, user);
    }

    fs::path folder_;
};

// A finished install of discs (folders in discsFolder) in target: their product folders merged,
// every file read-only, as a copy from a CD-ROM leaves them.
bool LayOutInstall(const fs::path& discsFolder, const std::vector<std::string>& discs,
                   const fs::path& target, std::string& error) {
    std::error_code failed;
    fs::create_directories(target, failed);
    for (const auto& disc : discs) {
        fs::path product = discsFolder / disc / "kelvo";
        for (auto it = fs::recursive_directory_iterator(product, failed);
             !failed && it != fs::recursive_directory_iterator(); it.increment(failed)) {
            fs::path to = target / fs::relative(it->path(), product);
            if (it->is_directory())
                fs::create_directories(to, failed);
            else
                fs::copy_file(it->path(), to, fs::copy_options::overwrite_existing, failed);
            if (failed)
                break;
        }
        if (failed) {
            error = "previous install of " + disc + ": " + failed.message();
            return false;
        }
    }
    for (auto it = fs::recursive_directory_iterator(target, failed);
         !failed && it != fs::recursive_directory_iterator(); it.increment(failed)) {
        if (it->is_regular_file())
            fs::permissions(it->path(),
                            fs::perms::owner_write | fs::perms::group_write |
                                fs::perms::others_write,
                            fs::perm_options::remove, failed);
    }
    return true;
}

// Lays out the machine of a scenario under folder and writes machine.txt.
bool BuildMachine(const scenario::Scenario& scenario, const fs::path& folder, Samples& samples,
                  std::string& error) {
    for (const auto& disc : scenario.discs) {
        fs::path root = folder / "discs" / disc.name;
        fs::create_directories(root);
        if (disc.sample != 0) {
            auto sample = samples.Disc(disc.sample, error);
            if (!sample)
                return false;
            fs::copy(*sample, root, fs::copy_options::recursive);
            fs::remove(root / ".windows-label");
        }
        for (int i = 0; i < disc.extraFiles; ++i) {
            char name[32];
            std::snprintf(name, sizeof(name), "file%05d.dat", i);
            WriteFile(root / "kelvo" / (disc.name + "-extra") / name, std::string(1024, 'x'));
        }
        if (disc.bigBytes != 0) {
            fs::path big = root / "kelvo" / (disc.name + "-big.dat");
            WriteFile(big, "");
            fs::resize_file(big, disc.bigBytes);
        }
        if (disc.noProductFolder)
            fs::remove_all(root / "kelvo");
        for (const auto& file : disc.files)
            WriteFile(root / Relative(file.path), file.content);
        WriteFile(root / ".windows-label", disc.label + "\n");
    }

    std::vector<scenario::DriveSetup> drives = scenario.drives;
    bool haveC = false;
    for (const auto& drive : drives)
        haveC |= drive.letter == 'c';
    if (!haveC)
        drives.insert(drives.begin(), scenario::DriveSetup{});

    std::ostringstream text;
    for (const auto& drive : drives) {
        text << "drive " << drive.letter;
        if (drive.cdrom) {
            text << " cdrom "
                 << (drive.disc.empty() ? "-" : Quote((folder / "discs" / drive.disc).string()));
            if (drive.failLabel)
                text << " nolabel";
        } else if (drive.removable) {
            text << " removable -";
        } else {
            fs::path root = folder / "drives" / std::string(1, drive.letter);
            fs::create_directories(root);
            text << " fixed " << Quote(root.string());
            // A drive with so much free space takes that much and no more, as a small drive
            // under Wine does (a tmpfs of that size).
            if (drive.freeBytes)
                text << " free " << *drive.freeBytes;
            if (drive.capacity || drive.freeBytes)
                text << " capacity " << drive.capacity.value_or(*drive.freeBytes);
            if (drive.failSpaceQuery)
                text << " nospace";
            if (drive.fileSystem != "ntfs")
                text << " filesystem " << drive.fileSystem;
        }
        text << "\n";
    }
    std::map<std::string, std::string> shellFolders = {{"Programs", "C:\\Start Menu\\Programs"},
                                                       {"Desktop", "C:\\Desktop"}};
    for (const auto& [name, path] : scenario.shellFolders)
        shellFolders[name] = path;
    for (const auto& [name, path] : shellFolders)
        text << "shellfolder " << name << " " << Quote(path) << "\n";
    for (const auto& fault : scenario.faults) {
        std::istringstream words(fault);
        std::string kind, first, second;
        words >> kind >> first >> second;
        if (kind == "unreadable")
            text << "fault unreadable "
                 << Quote((folder / "discs" / first / Relative(second)).string()) << "\n";
        else
            text << "fault " << kind << " " << first << (second.empty() ? "" : " " + second)
                 << "\n";
    }
    // The first Windows 95: no GetDiskFreeSpaceExA, a MoveFileExA that is a stub, and its
    // version.
    if (scenario.localMachineReadOnly)
        text << "registry hklm readonly\n";
    if (scenario.standardUser)
        text << "user standard\n";
    for (const auto& value : scenario.registryValues)
        text << "registry " << value.hive << " " << Quote(value.key) << " " << Quote(value.name)
             << " " << value.type << " " << Quote(value.data) << "\n";
    if (scenario.windows95)
        text << "lacks GetDiskFreeSpaceExA\nlacks MoveFileExA error " << Windows95MoveError
             << "\nversion " << Windows95Version << "\n";
    WriteFile(folder / "machine.txt", text.str());

    // Shell folders and files that are on the machine before the start.
    {
        std::lock_guard lock(winsim::machineLock());
        winsim::machine() = winsim::Machine{};
        if (!winsim::machine().load(folder.string())) {
            error = "cannot read back machine.txt";
            return false;
        }
    }
    for (const auto& [name, path] : shellFolders) {
        auto host = winsim::HostPath(winsim::Utf8ToCp950(path));
        if (host)
            fs::create_directories(*host);
    }
    for (const auto& install : scenario.previousInstalls) {
        auto host = winsim::HostPath(winsim::Utf8ToCp950(install.folder));
        if (!host) {
            error = "previous install " + install.folder + " is on no drive";
            return false;
        }
        if (!LayOutInstall(folder / "discs", install.discs, *host, error))
            return false;
    }
    // Links first, so that a file may be laid out through one.
    for (const auto& [link, folder] : scenario.links) {
        auto host = winsim::HostPath(winsim::Utf8ToCp950(link));
        auto target = winsim::HostPath(winsim::Utf8ToCp950(folder));
        if (!host || !target) {
            error = "link " + link + " or its folder " + folder + " is on no drive";
            return false;
        }
        std::error_code failed;
        fs::create_directories(*target, failed);
        fs::create_directories(fs::path(*host).parent_path(), failed);
        fs::create_directory_symlink(*target, *host, failed);
        if (failed) {
            error = "link " + link + ": " + failed.message();
            return false;
        }
    }
    for (const auto& [path, content] : scenario.machineFiles) {
        auto host = winsim::HostPath(winsim::Utf8ToCp950(path));
        if (!host) {
            error = "file " + path + " is on no drive";
            return false;
        }
        WriteFile(*host, content);
    }
    for (const auto& journal : scenario.journals) {
        auto host = winsim::HostPath(winsim::Utf8ToCp950(journal.path));
        if (!host) {
            error = "journal " + journal.path + " is on no drive";
            return false;
        }
        WriteFile(*host, scenario::JournalBytes(journal.records));
    }
    // Hard links, then owners and access lists (a folder named that is not there is made).
    for (const auto& [link, existing] : scenario.hardLinks) {
        auto host = winsim::HostPath(winsim::Utf8ToCp950(link));
        auto file = winsim::HostPath(winsim::Utf8ToCp950(existing));
        std::error_code failed;
        if (host && file) {
            fs::create_directories(fs::path(*host).parent_path(), failed);
            // One descriptor for both names, as CreateHardLinkA keeps it: whichever name goes
            // later, the other keeps what it had.
            winsim::files::KeepDescriptor(winsim::DriveLetterOf(existing), *file);
            fs::create_hard_link(*file, *host, failed);
        }
        if (!host || !file || failed) {
            error = "hardlink " + link + " to " + existing + ": " +
                    (failed ? failed.message() : "on no drive");
            return false;
        }
    }
    for (const auto& [path, sddl] : scenario.acls) {
        auto host = winsim::HostPath(winsim::Utf8ToCp950(path));
        auto descriptor = winsim::security::ParseSddl(sddl);
        if (!host || !descriptor) {
            error = "acl " + path + ": " + (host ? "no descriptor " + sddl : "on no drive");
            return false;
        }
        std::error_code failed;
        if (!fs::exists(fs::symlink_status(*host, failed)))
            fs::create_directories(*host, failed);
        if (!descriptor->owner)
            descriptor->owner = winsim::security::Administrators();
        if (!winsim::files::StoreDescriptor(*host, *descriptor)) {
            error = "acl " + path + ": the descriptor can't be kept";
            return false;
        }
    }
    return true;
}

// Runs the installer with the scripted user on the machine in folder.
scenario::ProgramRun RunInstaller(const Options& options, const fs::path& folder,
                                  const std::string& scenarioFile) {
    return scenario::RunProgram(fs::absolute(options.setup).string(),
                                {"WINSIM_MACHINE=" + folder.string(),
                                 "WINSIM_PLAY=" + fs::absolute(scenarioFile).string(),
                                 "WINSIM_PLAY_LOG=" + (folder / "play.log").string()},
                                {"WINSIM_"}, folder / "setup.out", options.timeoutSeconds);
}

std::vector<std::string> ReadLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// What the whole-machine check looks at: the folder behind every drive and every disc.
std::vector<scenario::SnapshotRoot> MachineRoots(const fs::path& folder) {
    std::vector<scenario::SnapshotRoot> roots;
    std::error_code error;
    for (const auto& drive : fs::directory_iterator(folder / "drives", error))
        roots.push_back({drive.path().filename().string() + ":", drive.path(), {}});
    for (const auto& disc : fs::directory_iterator(folder / "discs", error))
        roots.push_back({"disc " + disc.path().filename().string(), disc.path(), {}});
    return roots;
}

// Plays one scenario; the reason it failed, empty when it passed, and further lines to show.
std::string RunScenario(const Options& options, const scenario::Scenario& scenario,
                        Samples& samples, const fs::path& folder,
                        std::vector<std::string>& details) {
    std::string error;
    if (!BuildMachine(scenario, folder, samples, error))
        return "cannot set up the machine: " + error;
    std::vector<scenario::SnapshotRoot> roots = MachineRoots(folder);
    // The whole machine: its drives and discs, and its registry, whose every key only the run
    // changes.
    auto look = [&] {
        scenario::MachineState state = scenario::TakeSnapshot(roots);
        scenario::AddRegistry(state, HostDisk::RegistryItems(),
                              scenario::WatchedRegistry(scenario, true),
                              scenario::UnwatchedRegistry());
        return state;
    };
    scenario::MachineState before = look();

    scenario::ProgramRun run = RunInstaller(options, folder, scenario.file);
    std::vector<std::string> log = ReadLines(folder / "play.log");
    auto addWindows = [&](size_t from) {
        for (size_t i = from; i < log.size(); ++i) {
            if (log[i].rfind("  ", 0) == 0)
                details.push_back(log[i]);
        }
    };
    if (!run.ended) {
        std::string last = log.empty() ? "(no step played)" : log.back();
        addWindows(0);
        return "the installer hung: killed after " + std::to_string((int)options.timeoutSeconds) +
               " s; last log line: " + last;
    }
    if (!run.signal.empty())
        return "the installer " + run.signal;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].rfind("FAIL", 0) == 0) {
            addWindows(i + 1);
            return log[i];
        }
    }
    if (!scenario::LogPassed(log)) {
        std::string last = log.empty() ? "(no step played)" : log.back();
        return "the installer ended with " + std::to_string(run.status) +
               " before the play was over; last log line: " + last;
    }
    if (scenario.exitStatus && (run.status & 0xFF) != (*scenario.exitStatus & 0xFF))
        return "exit status " + std::to_string(run.status) + ", not " +
               std::to_string(*scenario.exitStatus);

    {
        std::lock_guard lock(winsim::machineLock());
        winsim::machine() = winsim::Machine{};
        winsim::machine().load(folder.string());
    }
    HostDisk disk(folder);
    std::vector<std::string> checkLog;
    bool passed = scenario::CheckEnd(scenario, disk, checkLog);
    passed &= scenario::CheckNothingElseChanged(scenario, disk, roots, before, look(), checkLog);
    std::string reason;
    for (const auto& line : checkLog) {
        if (line.rfind("FAIL", 0) == 0 && reason.empty())
            reason = line;
        else
            details.push_back("  " + line);
    }
    return passed ? "" : reason;
}

int Usage() {
    std::fprintf(stderr, "usage: scenario-host --setup PATH [--keep] [--timeout SECONDS] "
                         "[--source DIR] FILE.scn...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--setup" && i + 1 < argc)
            options.setup = argv[++i];
        else if (argument == "--keep")
            options.keep = true;
        else if (argument == "--timeout" && i + 1 < argc)
            options.timeoutSeconds = std::atof(argv[++i]);
        else if (argument == "--source" && i + 1 < argc)
            options.source = argv[++i];
        else if (!argument.empty() && argument[0] == '-')
            return Usage();
        else
            files.push_back(argument);
    }
    if (options.setup.empty() || files.empty() || options.timeoutSeconds <= 0)
        return Usage();

    std::string base = (fs::temp_directory_path() / "scenario-host-XXXXXX").string();
    if (::mkdtemp(base.data()) == nullptr) {
        std::perror("scenario-host: mkdtemp");
        return 2;
    }
    fs::path runFolder = base;
    Samples samples(options.source, runFolder / "samples");
    int passed = 0, failed = 0;
    for (const auto& file : files) {
        std::string name = fs::path(file).stem().string();
        std::string error;
        auto scenario = scenario::Parse(file, error);
        if (!scenario) {
            std::printf("FAIL %s: %s\n", name.c_str(), error.c_str());
            ++failed;
            continue;
        }
        if (!scenario->onHost) {
            std::printf("SKIP %s: only wine\n", name.c_str());
            continue;
        }
        fs::path folder = runFolder / name;
        fs::remove_all(folder);
        fs::create_directories(folder);
        std::vector<std::string> details;
        std::string why = RunScenario(options, *scenario, samples, folder, details);
        if (why.empty()) {
            std::printf("PASS %s\n", name.c_str());
            ++passed;
            if (!options.keep) {
                std::error_code removeError;
                fs::remove_all(folder, removeError);
            }
        } else {
            std::printf("FAIL %s: %s\n", name.c_str(), why.c_str());
            ++failed;
        }
        for (const auto& line : details)
            std::printf("%s\n", line.c_str());
        if (options.keep || !why.empty())
            std::printf("  machine: %s\n", folder.string().c_str());
        std::fflush(stdout);
    }
    if (!options.keep && failed == 0) {
        std::error_code error;
        fs::remove_all(runFolder, error);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
