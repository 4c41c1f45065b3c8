#include <gtest/gtest.h>

#include <thread>

#include "base/install_state.h"
#include "box_answerer.h"
#include "call_points.h"
#include "desktop.h"
#include "media/drive_probes.h"
#include "test_machine.h"

using testing_support::TestMachine;
namespace desktop = winsim::desktop;

namespace {

class DriveProbes : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.AddFixed('c');
        InstallState.cdRoot[0] = 'c';
    }
    TestMachine sim;
};

TEST_F(DriveProbes, FindsEachCdRomDriveInLetterOrder) {
    EXPECT_EQ(FindCdDrive(), 0);
    sim.AddCdRom('f');
    sim.AddCdRom('e');
    EXPECT_EQ(FindCdDrive(), 'e');
    EXPECT_EQ(FindCdDriveFrom('f'), 'f');
    EXPECT_EQ(FindCdDriveFrom('g'), 0);
    EXPECT_EQ(FindCdDriveFrom('z' + 1), 0);
}

TEST_F(DriveProbes, TheDiscCheckLooksInEveryCdRomDrive) {
    sim.AddCdRom('f');
    sim.AddCdRom('e');
    sim.AddFixed('g');
    sim.AddCdRom('h');
    // The wanted disc in the second drive, another disc in the first.
    sim.Insert('e', sim.MakeDisc("other", "KELVO_2"));
    sim.Insert('f', sim.MakeDisc("first", "KELVO_1"));
    EXPECT_TRUE(DiscIsInDrive("KELVO_1"));
    EXPECT_EQ(InstallState.cdRoot[0], 'f');
    EXPECT_TRUE(DiscIsInDrive("KELVO_2"));
    EXPECT_EQ(InstallState.cdRoot[0], 'e');

    // The first drive empty; the disc past a fixed drive.
    sim.Eject('e');
    sim.Eject('f');
    sim.Insert('h', sim.MakeDisc("third", "KELVO_3"));
    EXPECT_TRUE(DiscIsInDrive("KELVO_3"));
    EXPECT_EQ(InstallState.cdRoot[0], 'h');

    // The same disc in two drives: the first one is taken.
    sim.Insert('e', sim.MakeDisc("third-again", "KELVO_3"));
    EXPECT_TRUE(DiscIsInDrive("KELVO_3"));
    EXPECT_EQ(InstallState.cdRoot[0], 'e');

    // Nowhere: the drive of the last disc found stays.
    EXPECT_FALSE(DiscIsInDrive("KELVO_1"));
    EXPECT_EQ(InstallState.cdRoot[0], 'e');
}

TEST_F(DriveProbes, SearchesFromCToZ) {
    sim.AddCdRom('a');
    sim.AddCdRom('b');
    EXPECT_EQ(FindCdDrive(), 0);
    sim.AddCdRom('z');
    EXPECT_EQ(FindCdDrive(), 'z');
    sim.Insert('z', sim.MakeDisc("one", "KELVO_1"));
    EXPECT_TRUE(DiscIsInDrive("KELVO_1"));
    EXPECT_STREQ(InstallState.cdRoot, "z:\\");
}

TEST_F(DriveProbes, NoCdRomDriveLeavesTheRootAsItWas) {
    InstallState.cdRoot[0] = 'q';
    EXPECT_FALSE(DiscIsInDrive("KELVO_1"));
    EXPECT_EQ(InstallState.cdRoot[0], 'q');
}

TEST_F(DriveProbes, ComparesLabelsExactlyAndCaseSensitively) {
    sim.AddCdRom('d');
    sim.Insert('d', sim.MakeDisc("lower", "kelvo_1"));
    EXPECT_EQ(VolumeLabelIs("d:\\", "KELVO_1"), 0);
    sim.Insert('d', sim.MakeDisc("right", "KELVO_1"));
    EXPECT_EQ(VolumeLabelIs("d:\\", "KELVO_1"), 1);
    EXPECT_EQ(VolumeLabelIs("d:\\", "KELVO_"), 0);
    EXPECT_EQ(VolumeLabelIs("d:\\", "KELVO_12"), 0);
}

TEST_F(DriveProbes, AnUnreadLabelIsNeverTheWantedDisc) {
    sim.AddCdRom('d');
    EXPECT_EQ(VolumeLabelIs("d:\\", ""), 0) << "empty drive";
    sim.Insert('d', sim.MakeDisc("one", "KELVO_1"));
    sim.machine().drives['d'].failLabel = true;
    EXPECT_EQ(VolumeLabelIs("d:\\", "KELVO_1"), 0);
    EXPECT_EQ(VolumeLabelIs("q:\\", ""), 0) << "no such drive";
    // A disc whose label is empty does match an empty label: it was read.
    sim.machine().drives['d'].failLabel = false;
    sim.Insert('d', sim.MakeDisc("blank", ""));
    EXPECT_EQ(VolumeLabelIs("d:\\", ""), 1);
}

// The system's box for a drive with no disk: a call that reads an empty CD-ROM or removable
// drive asks for a disk first, unless the process has set SEM_FAILCRITICALERRORS. Try Again
// looks again; Cancel and Continue fail the call.
TEST_F(DriveProbes, AnEmptyDriveAsksForADiskUnlessTheErrorModeSaysNot) {
    sim.AddCdRom('d');
    sim.AddRemovable('a');
    auto disc = sim.MakeDisc("one", "KELVO_1");
    UINT before = SetErrorMode(0);
    std::vector<desktop::WindowView> boxes;
    std::thread user([&] {
        for (int button : {IDTRYAGAIN, IDCANCEL, IDCONTINUE}) {
            std::optional<desktop::WindowView> box;
            for (int tries = 0; tries < 1000 && !box; ++tries) {
                for (const auto& window : desktop::TopLevelWindows()) {
                    if (window.kind == desktop::Kind::MessageBox && window.visible &&
                        (boxes.empty() || window.handle != boxes.back().handle))
                        box = window;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            ASSERT_TRUE(box);
            boxes.push_back(*box);
            if (button == IDTRYAGAIN) {
                std::lock_guard lock(winsim::machineLock());
                sim.Insert('d', disc);
            }
            std::string error;
            EXPECT_TRUE(desktop::Click(box->handle, button, error)) << error;
        }
    });
    char label[32] = "";
    EXPECT_TRUE(
        GetVolumeInformationA("d:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_STREQ(label, "KELVO_1") << "read after Try Again";
    sim.Eject('d');
    EXPECT_FALSE(
        GetVolumeInformationA("d:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY) << "after Cancel";
    ULARGE_INTEGER available, total, free;
    EXPECT_FALSE(GetDiskFreeSpaceExA("a:\\", &available, &total, &free)) << "after Continue";
    user.join();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(winsim::Cp950ToUtf8(boxes[0].title), "Windows - 沒有磁片");
    EXPECT_EQ(winsim::Cp950ToUtf8(boxes[0].text), "磁碟機中沒有磁片。請將磁片插入磁碟機 D:。");
    EXPECT_EQ(winsim::Cp950ToUtf8(boxes[2].text), "磁碟機中沒有磁片。請將磁片插入磁碟機 A:。");
    EXPECT_EQ(boxes[0].buttons, (std::vector<int>{IDCANCEL, IDTRYAGAIN, IDCONTINUE}));
    EXPECT_EQ(boxes[0].owner, 0u);

    EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS), 0u);
    EXPECT_FALSE(
        GetVolumeInformationA("a:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_FALSE(GetDiskFreeSpaceExA("d:\\", &available, &total, &free));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    SetErrorMode(before);
}

// The installer's probes look at empty drives without the system's box, and leave the error mode
// as they found it: the programs the installer starts inherit it.
TEST_F(DriveProbes, ProbesOfEmptyDrivesBringUpNoBoxAndKeepTheErrorMode) {
    sim.AddRemovable('a');
    sim.AddCdRom('d');
    sim.AddCdRom('e');
    sim.Insert('e', sim.MakeDisc("one", "KELVO_1"));
    testing_support::BoxAnswerer answerer;
    UINT before = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    EXPECT_TRUE(DiscIsInDrive("KELVO_1"));
    EXPECT_FALSE(DiscIsInDrive("KELVO_2"));
    EXPECT_EQ(FreeMegabytes("a:\\Games\\kelvo"), 0u);
    EXPECT_EQ(SetErrorMode(before), (UINT)SEM_NOOPENFILEERRORBOX);
    EXPECT_EQ(answerer.Answered().size(), 0u) << winsim::Cp950ToUtf8(answerer.Answered().front());
}

TEST_F(DriveProbes, CountsFreeMegabytesRoundedDown) {
    auto& d = sim.AddFixed('d');
    d.freeBytes = 1048575;
    EXPECT_EQ(FreeMegabytes("d:\\"), 0u);
    sim.machine().drives['d'].freeBytes = 1048576;
    EXPECT_EQ(FreeMegabytes("D:\\Games\\kelvo"), 1u);
    EXPECT_EQ(FreeMegabytes("d:\\"), 1u);
    sim.machine().drives['d'].freeBytes = 1239ull << 20;
    EXPECT_EQ(FreeMegabytes("D:\\x"), 1239u);
    sim.machine().drives['d'].freeBytes = 5ull << 40;
    EXPECT_EQ(FreeMegabytes("d:"), 5ull << 20) << "past 32 bits";
}

// The first release of Windows 95 has no GetDiskFreeSpaceExA: the count comes from the older
// call, in clusters, and gives the same MiB on every drive that system can have (up to 2 GiB).
TEST_F(DriveProbes, WithoutTheNewerSpaceQueryTheClusterCountGivesTheSame) {
    sim.AddFixed('d');
    const ULONGLONG sizes[] = {0,
                               4095,
                               1048575,
                               1048576,
                               858 << 20,
                               900 << 20,
                               (1239 << 20) - 1,
                               (1239 << 20) + 4095,
                               2047 << 20,
                               (2ull << 30) - 1,
                               2ull << 30};
    auto uses = [](const char* call) { return winsim::calls::Counted().uses[call]; };
    for (ULONGLONG bytes : sizes) {
        sim.machine().drives['d'].freeBytes = bytes;
        sim.machine().lacks.clear();
        int older = uses("GetDiskFreeSpaceA");
        ULONGLONG newer = FreeMegabytes("d:\\Games\\kelvo");
        EXPECT_EQ(uses("GetDiskFreeSpaceA"), older) << "the newer call is there";
        sim.machine().lacks.insert("GetDiskFreeSpaceExA");
        int newerUses = uses("GetDiskFreeSpaceExA");
        EXPECT_EQ(FreeMegabytes("d:\\Games\\kelvo"), newer) << bytes << " bytes";
        EXPECT_EQ(uses("GetDiskFreeSpaceA"), older + 1);
        EXPECT_EQ(uses("GetDiskFreeSpaceExA"), newerUses);
        EXPECT_EQ(newer, bytes >> 20) << bytes << " bytes";
    }
    // The older call fails as the newer one does.
    sim.machine().drives['d'].failSpaceQuery = true;
    EXPECT_EQ(FreeMegabytes("d:\\kelvo"), 0u);
    sim.machine().drives['d'].failSpaceQuery = false;
    sim.AddCdRom('e');
    sim.Insert('e', sim.MakeDisc("one", "KELVO_1"));
    EXPECT_EQ(FreeMegabytes("e:\\kelvo"), 0u) << "a disc takes no files";
}

TEST_F(DriveProbes, AFailedSpaceQueryCountsAsNoSpace) {
    auto& d = sim.AddFixed('d');
    d.freeBytes = 10ull << 30;
    d.failSpaceQuery = true;
    EXPECT_EQ(FreeMegabytes("d:\\kelvo"), 0u);
    EXPECT_EQ(FreeMegabytes("q:\\kelvo"), 0u) << "no such drive";
}

TEST_F(DriveProbes, APathWithoutADriveLetterHasNoSpace) {
    sim.machine().drives['c'].freeBytes = 10ull << 30;
    sim.AddFixed('g').freeBytes = 10ull << 30;
    EXPECT_EQ(FreeMegabytes(""), 0u);
    EXPECT_EQ(FreeMegabytes("games\\kelvo"), 0u) << "relative; would read drive g";
    EXPECT_EQ(FreeMegabytes("\\\\server\\share\\kelvo"), 0u);
    EXPECT_EQ(FreeMegabytes("\\kelvo"), 0u);
    EXPECT_EQ(FreeMegabytes("c:games\\kelvo"), 0u) << "relative to drive c's current folder";
    EXPECT_EQ(FreeMegabytes("c:/games/kelvo"), 10u << 10);
    EXPECT_EQ(FreeMegabytes("c:\\kelvo"), 10u << 10);
}

} // namespace
