// The whole-machine check: every change is seen, and only the named places may change.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/xattr.h>

#include "intruder.h"
#include "snapshot.h"

namespace fs = std::filesystem;
using scenario::MachineState;

namespace {

class Snapshot : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("snapshot-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        Write("c/keep.txt", "keep");
        Write("c/Program Files/kelvo/old.dat", "old");
        Write("disc/kelvo/a.dat", "a");
        fs::create_directories(root / "c/windows/temp");
    }
    void TearDown() override { fs::remove_all(root); }
    void Write(const std::string& relative, const std::string& content) {
        fs::create_directories((root / relative).parent_path());
        std::ofstream(root / relative) << content;
    }
    MachineState Take() {
        return scenario::TakeSnapshot(
            {{"C:", root / "c", {"windows"}}, {"disc disc1", root / "disc", {}}});
    }
    fs::path root;
};

TEST_F(Snapshot, SeesEveryKindOfChangeOutsideTheAllowedPlaces) {
    MachineState before = Take();
    EXPECT_TRUE(scenario::Changes(before, Take()).empty());

    Write("c/Program Files/kelvo/new.dat", "new");       // allowed
    Write("c/Start Menu/Group/Title/game.lnk", "link");  // allowed, with the folders above it
    Write("c/keep.txt", "kept, but longer");             // changed
    fs::remove(root / "disc/kelvo/a.dat");               // removed from a disc
    Write("c/stray/x.dat", "x");                         // added where nobody said
    Write("c/windows/temp/t.tmp", "the platform's own"); // skipped
    MachineState after = Take();

    auto outside = scenario::ChangesOutside(
        before, after, {"C:/Program Files/kelvo", "C:/Start Menu/Group/Title/game.lnk"});
    EXPECT_EQ(outside,
              (std::vector<std::string>{"changed C:/keep.txt", "removed disc disc1/kelvo/a.dat",
                                        "added C:/stray", "added C:/stray/x.dat"}));
}

TEST_F(Snapshot, SeesAnOwnerOrAccessListKeptWithAnEntryChange) {
    const char* sd = "user.winsim.sd";
    std::string admins = "O:BAD:P(A;OICI;FA;;;BA)";
    ASSERT_EQ(::setxattr((root / "c/keep.txt").c_str(), sd, admins.data(), admins.size(), 0), 0);
    MachineState before = Take();
    EXPECT_EQ(before.at("C:/keep.txt").security, admins);
    std::string user = "O:S-1-5-21-1-2-3-1003D:(A;;FA;;;WD)";
    ::setxattr((root / "c/keep.txt").c_str(), sd, user.data(), user.size(), 0);
    std::string link = "door\nO:S-1-5-21-1-2-3-1003D:";
    ::setxattr((root / "c/Program Files").c_str(), "user.winsim.link.0011223344556677", link.data(),
               link.size(), 0);
    EXPECT_EQ(scenario::Changes(before, Take()),
              (std::vector<std::string>{"changed C:/Program Files", "changed C:/keep.txt"}));
    ASSERT_TRUE(scenario::SaveSnapshot(before, root / "state.txt"));
    MachineState loaded;
    ASSERT_TRUE(scenario::LoadSnapshot(root / "state.txt", loaded));
    EXPECT_EQ(loaded, before);
}

TEST_F(Snapshot, AFileAboveAnAllowedPlaceIsNoFolderMadeForIt) {
    MachineState before = Take();
    Write("c/Group", "a file where the group folder belongs");
    auto outside = scenario::ChangesOutside(before, Take(), {"C:/Group/Title"});
    EXPECT_EQ(outside, (std::vector<std::string>{"added C:/Group"}));
}

TEST_F(Snapshot, ATouchWithTheSameContentIsAChange) {
    MachineState before = Take();
    fs::last_write_time(root / "c/keep.txt",
                        fs::last_write_time(root / "c/keep.txt") + std::chrono::seconds(1));
    EXPECT_EQ(scenario::Changes(before, Take()), (std::vector<std::string>{"changed C:/keep.txt"}));
}

// What neither size nor time shows: content rewritten with the same size and time, a hidden
// attribute set. A sparse file's holes are the zeros they read as.
TEST_F(Snapshot, SeesContentAndAttributesBehindTheSameSizeAndTime) {
    std::string zeros(3 << 20, '\0');
    zeros[(3 << 20) / 2] = 'x';
    Write("c/zeros.dat", zeros);
    std::ofstream(root / "c/sparse.dat").close();
    fs::resize_file(root / "c/sparse.dat", zeros.size());
    std::fstream(root / "c/sparse.dat", std::ios::in | std::ios::out).seekp(zeros.size() / 2)
        << 'x';
    MachineState before = Take();
    EXPECT_EQ(before.at("C:/sparse.dat").digest, before.at("C:/zeros.dat").digest);

    auto time = fs::last_write_time(root / "c/keep.txt");
    Write("c/keep.txt", "KEEP");
    fs::last_write_time(root / "c/keep.txt", time);
    ASSERT_EQ(::setxattr((root / "disc/kelvo/a.dat").c_str(), "user.DOSATTRIB", "0x2", 3, 0), 0);
    EXPECT_EQ(scenario::Changes(before, Take()),
              (std::vector<std::string>{"changed C:/keep.txt", "changed disc disc1/kelvo/a.dat"}));
}

TEST_F(Snapshot, SavedStatesReadBackTheSame) {
    Write("c/名字 with spaces/檔案.txt", "x");
    ASSERT_EQ(::setxattr((root / "c/keep.txt").c_str(), "user.DOSATTRIB", "0x6", 3, 0), 0);
    MachineState state = Take();
    ASSERT_TRUE(scenario::SaveSnapshot(state, root / "state.txt"));
    MachineState loaded;
    ASSERT_TRUE(scenario::LoadSnapshot(root / "state.txt", loaded));
    EXPECT_EQ(loaded, state);
}

// Where another user moved the install folder aside before setup looked and setup installed
// afresh, the new files have the disc's spelling of names the earlier install spelled otherwise:
// a name is one name in any letter case, and only its entry is weighed.
TEST(OtherUsersRun, ANameIsTheSameNameInAnyLetterCase) {
    scenario::MachineEntry disc, written;
    disc.digest = "d";
    written.digest = "w";
    MachineState target{{"c:/Games/kelvo/readme.TXT", disc}, {"c:/Games/kelvo/\xcf\x89.dat", disc}};
    MachineState final{{"c:/Games/kelvo/ReadMe.txt", disc}, {"c:/Games/kelvo/\xce\xa9.dat", disc}};
    EXPECT_TRUE(enumerate::intruder::Differences(target, final, {}).empty());

    final["c:/Games/kelvo/\xce\xa9.dat"] = written;
    final["c:/Games/kelvo/planted.dll"] = disc;
    auto differences = enumerate::intruder::Differences(target, final, {});
    ASSERT_EQ(differences.size(), 2u);
    EXPECT_EQ(differences[0].path, "c:/Games/kelvo/planted.dll");
    EXPECT_EQ(differences[0].what, "added");
    EXPECT_EQ(differences[1].path, "c:/Games/kelvo/\xcf\x89.dat");
}

} // namespace
