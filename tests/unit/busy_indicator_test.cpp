#include <gtest/gtest.h>

#include <string>

#include "app/install_state.h"
#include "app/installer.h"
#include "app/product_constants.h"
#include "machine.h"

namespace {

class BusyIndicatorSteps : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallState.busyCounter = 0;
        lstrcpyA(InstallState.busyText, BusyBaseText);
    }
    void TearDown() override {
        InstallState.busyCounter = 0;
        InstallState.busyText[0] = '\0';
    }
    static void Advance(int steps) {
        for (int i = 0; i < steps; ++i)
            AdvanceBusyIndicator();
    }
    static std::string Text() { return winsim::Cp950ToUtf8(InstallState.busyText); }
};

TEST_F(BusyIndicatorSteps, AddsADotEveryHundredThousandSteps) {
    Advance(99999);
    EXPECT_EQ(Text(), "檔案安裝中");
    Advance(1);
    EXPECT_EQ(Text(), "檔案安裝中.");
    Advance(200000);
    EXPECT_EQ(Text(), "檔案安裝中...");
}

TEST_F(BusyIndicatorSteps, StartsOverAfterAHundredDots) {
    Advance(9999999);
    EXPECT_EQ(Text(), "檔案安裝中" + std::string(99, '.'));
    Advance(1);
    EXPECT_EQ(InstallState.busyCounter, 0);
    EXPECT_EQ(Text(), "檔案安裝中");
    Advance(100000);
    EXPECT_EQ(Text(), "檔案安裝中.");
    // The longest text, 10 bytes and 100 dots, fits its 256 bytes.
    EXPECT_LT(10 + 100 + 1, (int)sizeof(InstallState.busyText));
}

} // namespace
