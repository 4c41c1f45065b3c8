// winsim's WinExec: finds the program as Windows does, records the start, runs nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <windows.h>

#include "test_machine.h"

namespace fs = std::filesystem;
using testing_support::TestMachine;

namespace {

using Started = std::vector<std::pair<unsigned, std::string>>;

class WinExecTest : public ::testing::Test {
  protected:
    void SetUp() override {
        c = fs::path(sim.AddFixed('c').hostFolder);
        TestMachine::WriteFile(c / "Program Files/tornwell/kelvo/kelvo.exe", "MZ");
        TestMachine::WriteFile(c / "Program Files/tornwell/kelvo/雲嶺.exe", "MZ");
    }
    std::string Log() {
        std::ifstream in(fs::path(sim.machine().folder) / "started.txt");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    TestMachine sim;
    fs::path c;
};

TEST_F(WinExecTest, RecordsStartsInMemoryAndInTheMachineFolder) {
    sim.machine().folder = (sim.root() / "machine").string();
    fs::create_directories(sim.machine().folder);
    const char line[] = "C:\\Program Files\\tornwell\\kelvo\\kelvo.exe 2C:\\Program "
                        "Files\\tornwell\\kelvo\\";
    EXPECT_EQ(WinExec(line, SW_SHOWMAXIMIZED), 33u);
    std::string big5 = winsim::Utf8ToCp950("c:\\program files\\TORNWELL\\kelvo\\雲嶺.exe");
    EXPECT_EQ(WinExec(big5.c_str(), SW_SHOW), 33u);
    Started expected = {{3u, line}, {5u, "c:\\program files\\TORNWELL\\kelvo\\雲嶺.exe"}};
    EXPECT_EQ(sim.machine().startedPrograms, expected);
    EXPECT_EQ(Log(),
              std::string("3 ") + line + "\n5 c:\\program files\\TORNWELL\\kelvo\\雲嶺.exe\n");
}

TEST_F(WinExecTest, AMissingProgramIsNotStarted) {
    EXPECT_EQ(WinExec("C:\\Program Files\\tornwell\\kelvo\\pixie.exe", SW_SHOW), 2u);
    EXPECT_EQ(WinExec("D:\\Directx\\DX6User.exe", SW_SHOW), 2u) << "no such drive";
    EXPECT_EQ(WinExec("C:\\Program Files\\tornwell\\kelvo", SW_SHOW), 2u) << "a folder";
    EXPECT_EQ(WinExec("kelvo.exe", SW_SHOW), 2u) << "relative";
    EXPECT_EQ(WinExec("   ", SW_SHOW), 2u);
    EXPECT_TRUE(sim.machine().startedPrograms.empty());
    EXPECT_TRUE(sim.machine().folder.empty());
}

TEST_F(WinExecTest, FindsTheProgramAsWindowsSearchesACommandLine) {
    // Unquoted, each space ends a candidate; ".exe" is added to a name without an extension.
    EXPECT_EQ(WinExec("C:\\Program Files\\tornwell\\kelvo\\kelvo 1 x", SW_SHOW), 33u);
    EXPECT_EQ(WinExec("C:\\Program Files\\tornwell\\kelvo\\kelvo.exe.bak", SW_SHOW), 2u);
    // A quoted name is taken whole.
    EXPECT_EQ(WinExec("\"C:\\Program Files\\tornwell\\kelvo\\kelvo.exe\" 1", SW_SHOW), 33u);
    EXPECT_EQ(WinExec("\"C:\\Program Files\\tornwell\\kelvo\\kelvo.exe 1\"", SW_SHOW), 2u);
    // An earlier candidate that exists is the program, whatever follows it.
    EXPECT_EQ(WinExec("C:\\Program Files\\none\\x.exe", SW_SHOW), 2u);
    TestMachine::WriteFile(c / "Program.exe", "MZ");
    EXPECT_EQ(WinExec("C:\\Program Files\\none\\x.exe", SW_SHOW), 33u);
    EXPECT_EQ(sim.machine().startedPrograms.size(), 3u);
}

} // namespace
