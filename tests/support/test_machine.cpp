#include "test_machine.h"

#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace testing_support {

TestMachine::TestMachine() {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("winsim-test-" + std::to_string(random()));
    fs::create_directories(root_);
    winsim::machine() = winsim::Machine{};
    // A fresh machine has nothing left to flush, whatever a test before it changed.
    winsim::LoadRegistryFile(winsim::machine());
}

TestMachine::~TestMachine() {
    winsim::machine() = winsim::Machine{};
    winsim::LoadRegistryFile(winsim::machine());
    std::error_code error;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(root_, error);
}

winsim::Drive& TestMachine::AddFixed(char letter) {
    fs::path folder = root_ / (std::string("drive_") + letter);
    fs::create_directories(folder);
    winsim::Drive d;
    d.letter = letter;
    d.kind = winsim::DriveKind::Fixed;
    d.hostFolder = folder.string();
    return winsim::machine().drives[letter] = d;
}

winsim::Drive& TestMachine::AddCdRom(char letter) {
    winsim::Drive d;
    d.letter = letter;
    d.kind = winsim::DriveKind::CdRom;
    return winsim::machine().drives[letter] = d;
}

winsim::Drive& TestMachine::AddRemovable(char letter) {
    winsim::Drive d;
    d.letter = letter;
    d.kind = winsim::DriveKind::Removable;
    return winsim::machine().drives[letter] = d;
}

fs::path TestMachine::MakeDisc(const std::string& name, const std::string& label) {
    fs::path disc = root_ / "discs" / name;
    fs::create_directories(disc);
    std::ofstream(disc / ".windows-label") << label << "\n";
    return disc;
}

void TestMachine::Insert(char letter, const fs::path& disc) {
    winsim::machine().drives.at(letter).hostFolder = disc.string();
}

void TestMachine::Eject(char letter) {
    winsim::machine().drives.at(letter).hostFolder.clear();
}

void TestMachine::WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace testing_support
