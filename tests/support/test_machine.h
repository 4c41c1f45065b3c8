// A simulated PC built by a test: a temporary folder per drive and disc, set up in memory.
#pragma once

#include <filesystem>
#include <string>

#include "machine.h"

namespace testing_support {

class TestMachine {
  public:
    TestMachine();
    ~TestMachine();
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    // A fixed drive backed by a fresh folder; returns it.
    winsim::Drive& AddFixed(char letter);
    // A CD-ROM drive, empty.
    winsim::Drive& AddCdRom(char letter);
    // A floppy or ZIP drive, empty.
    winsim::Drive& AddRemovable(char letter);
    // A disc folder with a label; put it in a drive with Insert.
    std::filesystem::path MakeDisc(const std::string& name, const std::string& label);
    void Insert(char letter, const std::filesystem::path& disc);
    void Eject(char letter);
    // Writes a file (UTF-8 name, parents made) under a host folder.
    static void WriteFile(const std::filesystem::path& path, const std::string& content);

    const std::filesystem::path& root() const { return root_; }
    winsim::Machine& machine() { return winsim::machine(); }

  private:
    std::filesystem::path root_;
};

} // namespace testing_support
