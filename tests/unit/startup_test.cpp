#include <gtest/gtest.h>

#include <string>

#include "app/startup.h"

namespace {

std::string Tail(std::string line) {
    return CommandLineTail(line.data());
}

TEST(Startup, TheCommandLineTailFollowsTheProgramsName) {
    EXPECT_EQ(Tail(""), "");
    EXPECT_EQ(Tail("setup.exe"), "");
    EXPECT_EQ(Tail("setup.exe /x  y"), "/x  y");
    EXPECT_EQ(Tail("setup.exe\t \tx"), "x") << "tabs and spaces between";
    EXPECT_EQ(Tail("D:\\setup.exe\x01x"), "x") << "a control character ends the name too";
    // A quoted name may hold blanks; the tail begins after its closing quote.
    EXPECT_EQ(Tail("\"C:\\Program Files\\setup.exe\" /x"), "/x");
    EXPECT_EQ(Tail("\"C:\\Program Files\\setup.exe\""), "");
    EXPECT_EQ(Tail("\"C:\\a b\\setup.exe\"x y"), "x y");
    EXPECT_EQ(Tail("\"C:\\a b\\setup.exe"), "") << "an unclosed quote takes the whole line";
    EXPECT_EQ(Tail("\"\" x"), "x");
    // A Big5 name whose character ends in the byte 0x5C (功 is A5 5C) is read to its end.
    EXPECT_EQ(Tail("D:\\\xA5\x5C\\setup.exe 1"), "1");
    EXPECT_EQ(Tail("\"D:\\\xA5\x5C\\setup.exe\" 1"), "1");
}

TEST(Startup, TheShowCommandIsTheStartersOrTheDefault) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.wShowWindow = SW_SHOWMAXIMIZED;
    EXPECT_EQ(StartupShowCommand(&startup), SW_SHOWDEFAULT) << "not asked for";
    startup.dwFlags = STARTF_USESHOWWINDOW;
    EXPECT_EQ(StartupShowCommand(&startup), SW_SHOWMAXIMIZED);
    startup.wShowWindow = SW_HIDE;
    EXPECT_EQ(StartupShowCommand(&startup), SW_HIDE);
}

} // namespace
