#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "base/paths.h"
#include "call_points.h"
#include "machine.h"
#include "test_machine.h"

namespace {

// Joins in a buffer full of 'x', so a missing second NUL shows.
std::string Join(const std::string& path, const std::string& name, bool* joined = nullptr) {
    char buffer[MAX_PATH];
    std::memset(buffer, 'x', sizeof(buffer));
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    BOOL result = JoinPath(buffer, name.c_str());
    if (joined != nullptr)
        *joined = result;
    size_t length = std::strlen(buffer);
    if (result) {
        EXPECT_EQ(buffer[length + 1], '\0') << "no second NUL after " << buffer;
    }
    return std::string(buffer, length);
}

TEST(JoinPath, AddsOneBackslashBetweenPathAndName) {
    EXPECT_EQ(Join("C:\\Program Files\\tornwell", "kelvo"), "C:\\Program Files\\tornwell\\kelvo");
    EXPECT_EQ(Join("", "kelvo"), "kelvo");
    EXPECT_EQ(Join("C:\\Program Files\\tornwell", ""), "C:\\Program Files\\tornwell\\");
}

TEST(JoinPath, TakesATrailingSlashOrBackslashAsTheSeparator) {
    EXPECT_EQ(Join("e:\\", "Directx\\DX6User.exe"), "e:\\Directx\\DX6User.exe");
    EXPECT_EQ(Join("D:/", "kelvo"), "D:/kelvo");
    EXPECT_EQ(Join("D:\\games/", "kelvo"), "D:\\games/kelvo");
}

TEST(JoinPath, LooksAtTheLastCharacterNotTheLastByte) {
    // 功, 許 and 蓋 end in the byte 0x5C in code page 950: each is one character, no separator.
    for (std::string k : {"\xA5\x5C", "\xB3\x5C", "\xBB\x5C"}) {
        EXPECT_EQ(Join("D:\\" + k, "kelvo"), "D:\\" + k + "\\kelvo");
        EXPECT_EQ(Join("D:\\a" + k + "\\", "kelvo"), "D:\\a" + k + "\\kelvo");
        EXPECT_EQ(Join("\\\\server\\" + k, "kelvo"), "\\\\server\\" + k + "\\kelvo");
    }
    // A lead byte followed by a trail byte 0x5C and then a real separator: one separator.
    EXPECT_EQ(Join("D:\\\xA5\x5C\\\xA5\x5C", "kelvo"), "D:\\\xA5\x5C\\\xA5\x5C\\kelvo");
    // Half a character at the end (a lead byte and no trail byte) would take the separator for
    // its trail byte, and the name would not be a name of its own: refused.
    bool halfJoined = true;
    EXPECT_EQ(Join("D:\\P\xA5", "kelvo", &halfJoined), "D:\\P\xA5");
    EXPECT_FALSE(halfJoined);
    // 安 (A6 77) ends in no separator byte.
    EXPECT_EQ(Join("D:\\\xA6\x77", "kelvo"), "D:\\\xA6\x77\\kelvo");
    // The longest result that fits is reckoned with the separator the character needs.
    bool joined = true;
    std::string fits = "D:\\" + std::string(247, 'a') + "\xA5\x5C";
    EXPECT_EQ(Join(fits, "kelvo", &joined), fits + "\\kelvo");
    EXPECT_TRUE(joined);
    std::string tooLong = "D:\\" + std::string(248, 'a') + "\xA5\x5C";
    EXPECT_EQ(Join(tooLong, "kelvo", &joined), tooLong);
    EXPECT_FALSE(joined);
}

TEST(JoinPath, RefusesAResultThatWouldNotFitWithBothNuls) {
    bool joined = false;
    // 252 + '\' + "kelvo" = 258 bytes and two NULs: exactly 260.
    std::string fits(252, 'a');
    EXPECT_EQ(Join(fits, "kelvo", &joined).size(), 258u);
    EXPECT_TRUE(joined);

    std::string tooLong(253, 'a');
    EXPECT_EQ(Join(tooLong, "kelvo", &joined), tooLong);
    EXPECT_FALSE(joined);

    std::string full(259, 'a');
    EXPECT_EQ(Join(full, "", &joined), full);
    EXPECT_FALSE(joined);
}

TEST(JoinPath, NeverWritesPastTheBuffer) {
    // A buffer with guard bytes on both sides; every refused join leaves them alone.
    for (int length = 240; length < MAX_PATH; ++length) {
        char guarded[MAX_PATH + 16];
        std::memset(guarded, '#', sizeof(guarded));
        char* buffer = guarded + 8;
        std::memset(buffer, 'a', length);
        buffer[length] = '\0';
        JoinPath(buffer, "Directx\\DX6User.exe");
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(guarded[i], '#');
            ASSERT_EQ(buffer[MAX_PATH + i], '#') << "length " << length;
        }
    }
}

// Names read from a disc are joined by character: a folder named 功 (A5 5C) still needs its
// separator, so its files are listed inside it and not beside it.
TEST(AppendName, LooksAtTheLastCharacter) {
    auto append = [](std::string path, const char* name, bool* fits = nullptr) {
        char buffer[MAX_PATH];
        std::memcpy(buffer, path.c_str(), path.size() + 1);
        BOOL result = AppendName(buffer, name);
        if (fits != nullptr)
            *fits = result;
        return std::string(buffer);
    };
    EXPECT_EQ(append("e:\\kelvo\\\xAA\x5A\xA5\x5C", "*.*"), "e:\\kelvo\\\xAA\x5A\xA5\x5C\\*.*");
    EXPECT_EQ(append("e:\\kelvo\\", "a.dat"), "e:\\kelvo\\a.dat");
    EXPECT_EQ(append("e:/kelvo/", "a.dat"), "e:/kelvo/a.dat");
    EXPECT_EQ(append("", "a.dat"), "a.dat");

    bool fits = true;
    std::string longest(253, 'a');
    EXPECT_EQ(append(longest, "b.dat", &fits).size(), 259u);
    EXPECT_TRUE(fits);
    EXPECT_EQ(append(longest + "a", "b.dat", &fits), longest + "a");
    EXPECT_FALSE(fits);
}

// Big5 characters whose trail byte is 0x5C, the byte of '\\': 功 (A5 5C), 許 (B3 5C), 蓋 (BB 5C).
const char* const TrailBackslash[] = {"\xA5\x5C", "\xB3\x5C", "\xBB\x5C"};

TEST(IsWithin, ReadsANameThatEndsInATrailByteAsOneName) {
    for (std::string k : TrailBackslash) {
        SCOPED_TRACE(k);
        // The name as the first, a middle and the last name of the folder.
        for (std::string folder : {"C:\\" + k, "C:\\a\\" + k + "\\b", "C:\\a\\b\\" + k}) {
            SCOPED_TRACE(folder);
            const char* f = folder.c_str();
            EXPECT_TRUE(IsWithin((folder + "\\x").c_str(), f, TRUE));
            EXPECT_TRUE(IsWithin((folder + "\\" + k + "\\x").c_str(), f, TRUE));
            EXPECT_TRUE(IsWithin(f, f, FALSE));
            EXPECT_FALSE(IsWithin(f, f, TRUE));
            EXPECT_TRUE(IsWithin((folder + "\\").c_str(), f, FALSE));
            // Another name that begins with it, right after its trail byte: beside it, not in it.
            EXPECT_FALSE(IsWithin((folder + "x").c_str(), f, FALSE));
            EXPECT_FALSE(IsWithin((folder + "x\\y").c_str(), f, FALSE));
            EXPECT_FALSE(IsWithin((folder + k).c_str(), f, FALSE));
            // The folder given with its separator at the end reads the same.
            EXPECT_TRUE(IsWithin((folder + "\\x").c_str(), (folder + "\\").c_str(), TRUE));
            EXPECT_FALSE(IsWithin((folder + "x").c_str(), (folder + "\\").c_str(), FALSE));
        }
        // A drive's root holds them all, spelled with its separator or without.
        EXPECT_TRUE(IsWithin(("C:\\" + k).c_str(), "C:\\", TRUE));
        EXPECT_TRUE(IsWithin(("C:\\" + k + "\\x").c_str(), "c:\\", TRUE));
        EXPECT_FALSE(IsWithin(("D:\\" + k).c_str(), "C:\\", FALSE));
    }
}

TEST(IsWithin, TakesAFolderForItselfOrWhatLiesBelowItAndNothingBeside) {
    const char folder[] = "C:\\Program Files\\Kelvo Co\\kelvo";
    EXPECT_TRUE(IsWithin("C:\\Program Files\\Kelvo Co\\kelvo\\data\\a.dat", folder, TRUE));
    EXPECT_TRUE(IsWithin("c:\\PROGRAM FILES\\kelvo co\\KELVO\\a.dat", folder, TRUE));
    EXPECT_FALSE(IsWithin("C:\\Program Files\\Kelvo Co\\kelvo2", folder, FALSE));
    EXPECT_FALSE(IsWithin("C:\\Program Files\\Kelvo Co\\kelvo2\\a.dat", folder, FALSE));
    EXPECT_FALSE(IsWithin("C:\\Program Files\\Kelvo Co\\kelv", folder, FALSE));
    EXPECT_FALSE(IsWithin("C:\\Program Files\\Kelvo Co", folder, FALSE));
    EXPECT_FALSE(IsWithin("C:\\Program Files\\Kelvo Co\\kelvo.txt", folder, FALSE));
}

TEST(FolderLength, SplitsAtTheLastSeparatorCharacter) {
    for (std::string k : TrailBackslash) {
        SCOPED_TRACE(k);
        struct {
            std::string path;
            std::string folder;
            std::string last;
        } const cases[] = {
            {"C:\\" + k, "C:", k},
            {"C:\\" + k + "\\x", "C:\\" + k, "x"},
            {"C:\\a\\" + k + "\\" + k, "C:\\a\\" + k, k},
            {"C:\\a\\" + k + "x", "C:\\a", k + "x"},
            {"C:\\a\\x" + k, "C:\\a", "x" + k},
            {"C:/a/" + k, "C:/a", k},
            {k + k, "", k + k},
        };
        for (const auto& split : cases) {
            SCOPED_TRACE(split.path);
            EXPECT_EQ(split.path.substr(0, FolderLength(split.path.c_str())), split.folder);
            EXPECT_EQ(LastName(split.path.c_str()), split.last);
        }
    }
}

TEST(IsPlainPath, TakesANameThatEndsInATrailByteWhereverItStands) {
    for (std::string k : TrailBackslash) {
        SCOPED_TRACE(k);
        for (std::string path :
             {"C:\\" + k, "C:\\" + k + "\\x", "C:\\a\\" + k + "\\b", "C:\\a\\" + k,
              "C:\\a\\" + k + "x", "C:\\" + k + k, "\\\\server\\" + k + "\\x"})
            EXPECT_TRUE(IsPlainPath(path.c_str())) << path;
        // What follows it is read as ever.
        for (std::string path : {"C:\\" + k + "\\", "C:\\" + k + "\\\\x", "C:\\" + k + ".",
                                 "C:\\" + k + " ", "C:\\" + k + "\\..\\x", "C:\\" + k + "/x"})
            EXPECT_FALSE(IsPlainPath(path.c_str())) << path;
    }
}

TEST(IsPlainPath, TakesOnlyPathsWrittenTheOneWaySetupWritesThem) {
    for (const char* path :
         {"C:\\", "c:\\Games", "C:\\Program Files\\tornwell\\kelvo", "\\\\server\\share",
          "\\\\server\\share\\kelvo", "C:\\a b\\c.d", "C:\\...a", "C:\\a~1\\b"})
        EXPECT_TRUE(IsPlainPath(path)) << path;
    for (const char* path :
         {"",           "C:",       "C:kelvo",      "\\kelvo",      "kelvo",
          "C:/",        "C:/Games", "C:\\a/b",      "C:\\a\\b/c",   "\\\\server/share",
          "C:\\a\\\\b", "C:\\a\\",  "C:\\.",        "C:\\a\\.\\b",  "C:\\a\\..\\b",
          "C:\\a\\..",  "C:\\...",  "C:\\a.",       "C:\\a.\\b",    "C:\\a ",
          "C:\\a \\b",  "C:\\ ",    "\\\\?\\C:\\a", "\\\\.\\C:\\a", "C:\\a?b",
          "C:\\a*",     "C:\\a<b",  "C:\\a>b",      "C:\\a:b",      "C:\\a\"b",
          "C:\\a|b",    "C:\\a\tb", "C:\\a\x01",    "\\\\",         "\\\\server\\"})
        EXPECT_FALSE(IsPlainPath(path)) << path;
}

// What NormaliseFolder makes of a folder, and how often it looked names up.
struct Normalised {
    BOOL fits;
    std::string folder;
    int lookups;
};
Normalised Normalise(const std::string& folder) {
    char buffer[MAX_PATH];
    std::memset(buffer, 'x', sizeof buffer);
    std::memcpy(buffer, folder.c_str(), folder.size() + 1);
    int before = winsim::calls::Counted().uses["FindFirstFileA"];
    BOOL fits = NormaliseFolder(buffer);
    return {fits, buffer, winsim::calls::Counted().uses["FindFirstFileA"] - before};
}

TEST(NormaliseFolder, WritesSeparatorsOneWayAndOnlyOnce) {
    testing_support::TestMachine sim;
    sim.AddFixed('c');
    struct {
        const char* typed;
        const char* written;
    } const cases[] = {
        {"C:\\Games\\kelvo", "C:\\Games\\kelvo"},
        {"C:/Games/kelvo", "C:\\Games\\kelvo"},
        {"C:\\\\Games//\\kelvo", "C:\\Games\\kelvo"},
        {"C:\\Games\\", "C:\\Games\\"},
        {"C://", "C:\\"},
        {"//server/share/kelvo", "\\\\server\\share\\kelvo"},
        {"\\\\server\\\\share", "\\\\server\\share"},
        // A name whose trail byte is 0x5C is one name, wherever it stands.
        {"C:\\\xA5\x5C/\xB3\x5C\\\xBB\x5Cx", "C:\\\xA5\x5C\\\xB3\x5C\\\xBB\x5Cx"},
        {"C:/a\xA5\x5C//kelvo", "C:\\a\xA5\x5C\\kelvo"},
    };
    for (const auto& folder : cases) {
        Normalised result = Normalise(folder.typed);
        EXPECT_TRUE(result.fits) << folder.typed;
        EXPECT_EQ(result.folder, folder.written) << folder.typed;
        EXPECT_EQ(result.lookups, 0) << "no name with a '~': " << folder.typed;
    }
}

TEST(NormaliseFolder, SpellsANameWithATildeAsTheFolderListsIt) {
    testing_support::TestMachine sim;
    std::filesystem::path c = sim.AddFixed('c').hostFolder;
    // Another name for a folder that is there (winsim folds a Greek letter's case as Windows
    // does): α~1 (A3 5C 7E 31) is listed as Α~1 (A2 CF ...).
    std::filesystem::create_directories(c / "Α~1" / "b~2");
    std::filesystem::create_directories(c / "Games~X");
    std::string lower = winsim::Utf8ToCp950("α~1"), upper = winsim::Utf8ToCp950("Α~1");
    Normalised other = Normalise("C:\\" + lower + "\\b~2\\kelvo");
    EXPECT_TRUE(other.fits);
    EXPECT_EQ(other.folder, "C:\\" + upper + "\\b~2\\kelvo");
    EXPECT_EQ(other.lookups, 2) << "each name with a '~', up to the first that is not there";
    // Only in other ASCII letters: as typed.
    Normalised same = Normalise("c:/GAMES~x/kelvo");
    EXPECT_EQ(same.folder, "c:\\GAMES~x\\kelvo");
    EXPECT_EQ(same.lookups, 1);
    // After a name that is not there, no later name is looked up; a server's and a share's names
    // never are.
    Normalised missing = Normalise("C:\\none~1\\" + lower + "\\x~1");
    EXPECT_EQ(missing.folder, "C:\\none~1\\" + lower + "\\x~1");
    EXPECT_EQ(missing.lookups, 1);
    Normalised share = Normalise("\\\\srv~1\\share~1");
    EXPECT_EQ(share.folder, "\\\\srv~1\\share~1");
    EXPECT_EQ(share.lookups, 0);
}

} // namespace
