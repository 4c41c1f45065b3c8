#include <gtest/gtest.h>

#include <string>

#include "base/install_state.h"
#include "app/installer.h"
#include "base/product_constants.h"
#include "machine.h"

namespace {

// Steps of the indicator with no dialog to measure the line in: the row of dots then stops
// where the dialog's own text does, at thirteen.
class BusyIndicatorSteps : public ::testing::Test {
  protected:
    void SetUp() override {
        saved = InstallState.installDialog;
        InstallState.installDialog = nullptr;
        InstallState.busyCounter = 0;
        lstrcpyA(InstallState.busyText, BusyBaseText);
    }
    void TearDown() override {
        InstallState.installDialog = saved;
        InstallState.busyCounter = 0;
        InstallState.busyText[0] = '\0';
    }
    static void Advance(int steps) {
        for (int i = 0; i < steps; ++i)
            AdvanceBusyIndicator();
    }
    static std::string Text() { return winsim::Cp950ToUtf8(InstallState.busyText); }
    HWND saved = nullptr;
};

TEST_F(BusyIndicatorSteps, AddsADotAStepAndStartsOverWhenTheRowIsFull) {
    Advance(1);
    EXPECT_EQ(Text(), "檔案安裝中.");
    Advance(12);
    EXPECT_EQ(Text(), "檔案安裝中" + std::string(13, '.'));
    EXPECT_EQ(InstallState.busyCounter, 13);
    Advance(1);
    EXPECT_EQ(Text(), "檔案安裝中");
    EXPECT_EQ(InstallState.busyCounter, 0);
    Advance(1);
    EXPECT_EQ(Text(), "檔案安裝中.");
}

} // namespace
