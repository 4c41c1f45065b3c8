// Every text the installer shows or writes, decoded back from code page 950.
#include <gtest/gtest.h>

#include <string>

#include "base/product_constants.h"
#include "machine.h"

namespace {

std::string Decode(const char* text) {
    return winsim::Cp950ToUtf8(text);
}

TEST(ProductTexts, DecodeFromCodePage950ToTheirChineseText) {
    EXPECT_EQ(Decode(InstallerTitle), "雲嶺奇譚續錄~星月影安裝程式");
    EXPECT_EQ(Decode(ProductTitle), "雲嶺奇譚續錄~星月影");
    EXPECT_EQ(Decode(CompanyFolder), "遠岫工坊");
    EXPECT_EQ(Decode(TextConfirmInstall), "確定要安裝到%s這個目錄嗎?");
    EXPECT_EQ(Decode(CaptionInstall), "安裝");
    EXPECT_EQ(Decode(TextNoSpace), "目的硬碟空間不足,請重新選擇!!");
    EXPECT_EQ(Decode(CaptionWarning), "警告");
    EXPECT_EQ(Decode(TextInsertDisc1), "請先放入雲嶺奇譚續錄~星月影第一片CD");
    EXPECT_EQ(Decode(CaptionNotice), "提示");
    EXPECT_EQ(Decode(TextInsertDisc2), "請放入雲嶺奇譚續錄~星月影第二片CD");
    EXPECT_EQ(Decode(TextInsertMapDisc), "請放入雲嶺奇譚續錄~星月影地圖資料光碟");
    EXPECT_EQ(Decode(TextInstallFailed), "安裝失敗!!");
    EXPECT_EQ(Decode(CaptionMessage), "訊息");
    EXPECT_EQ(Decode(TextOfferDirectX), "是否要安裝directx6.1(Y/N)?");
    EXPECT_EQ(Decode(TextInstallDone), "安裝完畢!!");
    EXPECT_EQ(Decode(TextNoUninstaller),
              "本安裝程式沒有反安裝功能,欲移除遊戲,請直接刪掉整個遊戲目錄即可!!");
    EXPECT_EQ(Decode(CaptionAttention), "注意");
    EXPECT_EQ(Decode(TextRegistryFault), "Windows的Register有誤,請檢查!!");
    EXPECT_EQ(Decode(CaptionError), "錯誤");
    EXPECT_EQ(Decode(TextPathTooLong), "安裝路徑太長,請重新選擇!!");
    EXPECT_EQ(Decode(TextPathInvalid), "安裝路徑不合法,請重新選擇!!");
    EXPECT_EQ(Decode(TextRecoveryBlocked),
              "上次中斷的安裝無法復原,%s無法處理,請關閉使用它的程式後再試一次!!");
    EXPECT_EQ(Decode(TextJournalRefused),
              "安裝記錄%s有誤,本程式不會依照它更動任何檔案,刪除此檔後即可重新安裝!!");
    EXPECT_EQ(
        Decode(TextOwnFolderRefused),
        "%s這個目錄不是本安裝程式建立的,本程式不會使用或更動它,請由系統管理員刪除後再試一次!!");
    EXPECT_EQ(Decode(BusyBaseText), "檔案安裝中");
    EXPECT_EQ(Decode(ShortcutLinkNames[0]), "雲嶺奇譚續錄~星月影.lnk");
    EXPECT_EQ(Decode(ShortcutLinkNames[1]), "靈犀別苑.lnk");
    EXPECT_EQ(Decode(ShortcutLinkNames[2]), "雲嶺奇譚續錄~星月影說明檔.lnk");
    EXPECT_EQ(Decode(ShortcutDescriptions[0]), "雲嶺奇譚續錄~星月影");
    EXPECT_EQ(Decode(ShortcutDescriptions[1]), "靈犀別苑");
    EXPECT_EQ(Decode(ShortcutDescriptions[2]), "雲嶺奇譚續錄~星月影說明檔");
}

TEST(ProductTexts, KeepTheTrailByte5CInsideDoubleByteCharacters) {
    // 功 is A5 5C: a raw Big5 source would have turned 5C into an escape.
    std::string text = TextNoUninstaller;
    EXPECT_NE(text.find("\xA5\x5C"), std::string::npos);
    EXPECT_EQ(text.size(), 64u);
}

TEST(ProductTexts, AsciiConstantsAreExact) {
    EXPECT_STREQ(OwnerClassName, "setup");
    EXPECT_STREQ(DefaultInstallRoot, "C:\\Program Files\\tornwell");
    EXPECT_STREQ(GameExeSuffix, "\\kelvo.exe");
    EXPECT_STREQ(DirectXSetup, "Directx\\DX6User.exe");
    EXPECT_EQ(MinimalMegabytes, 858u);
    EXPECT_EQ(NormalMegabytes, 1239u);
}

} // namespace
