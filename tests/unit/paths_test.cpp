#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/paths.h"

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

TEST(JoinPath, LooksAtTheLastByteNotTheLastCharacter) {
    // 功 is A5 5C in code page 950: its trail byte reads as a separator.
    EXPECT_EQ(Join("D:\\\xA5\x5C", "kelvo"), "D:\\\xA5\x5Ckelvo");
    // 安 (A6 77) ends in no separator byte.
    EXPECT_EQ(Join("D:\\\xA6\x77", "kelvo"), "D:\\\xA6\x77\\kelvo");
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

} // namespace
