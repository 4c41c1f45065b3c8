// This file is compiled with -fexec-charset=CP950: every literal below comes out in Big5.
#include "product_constants.h"

const char OwnerClassName[] = "setup";
const char InstallerTitle[] = "雲嶺奇譚續錄~星月影安裝程式";
const char ProductTitle[] = "雲嶺奇譚續錄~星月影";
const char CompanyFolder[] = "遠岫工坊";
const char DefaultInstallRoot[] = "C:\\Program Files\\tornwell";
const char ProductFolder[] = "kelvo";
const char DiscLabel1[] = "KELVO_1";
const char DiscLabel2[] = "KELVO_2";
const char MapDiscLabel[] = "KELVO_3";
const char GameExeSuffix[] = "\\kelvo.exe";
const char MinimalRunFlag[] = " 1";
const char NormalRunFlag[] = " 2";
const char DirectXSetup[] = "Directx\\DX6User.exe";
const char SetupNamePrefix[] = "~kelvo-setup";
const char KeptPrefix[] = "~kelvo-setup-";
const char JournalSuffix[] = ".jnl";
const char KeptSuffix[] = ".bak";
const char SetupEntryKey[] = "Software\\~kelvo-setup";
const char SetupMutexGlobalName[] = "Global\\~kelvo-setup";
const char SetupMutexName[] = "~kelvo-setup";
const ULONGLONG MinimalMegabytes = 858;
const ULONGLONG NormalMegabytes = 1239;

const char TextConfirmInstall[] = "確定要安裝到%s這個目錄嗎?";
const char CaptionInstall[] = "安裝";
const char TextNoSpace[] = "目的硬碟空間不足,請重新選擇!!";
const char CaptionWarning[] = "警告";
const char TextInsertDisc1[] = "請先放入雲嶺奇譚續錄~星月影第一片CD";
const char CaptionNotice[] = "提示";
const char TextInsertDisc2[] = "請放入雲嶺奇譚續錄~星月影第二片CD";
const char TextInsertMapDisc[] = "請放入雲嶺奇譚續錄~星月影地圖資料光碟";
const char TextInstallFailed[] = "安裝失敗!!";
const char CaptionMessage[] = "訊息";
const char TextOfferDirectX[] = "是否要安裝directx6.1(Y/N)?";
const char TextInstallDone[] = "安裝完畢!!";
const char TextNoUninstaller[] = "本安裝程式沒有反安裝功能,欲移除遊戲,請直接刪掉整個遊戲目錄即可!!";
const char CaptionAttention[] = "注意";
const char TextRegistryFault[] = "Windows的Register有誤,請檢查!!";
const char CaptionError[] = "錯誤";
const char TextPathTooLong[] = "安裝路徑太長,請重新選擇!!";
const char TextPathInvalid[] = "安裝路徑不合法,請重新選擇!!";
const char TextRecoveryBlocked[] =
    "上次中斷的安裝無法復原,%s無法處理,請關閉使用它的程式後再試一次!!";
const char TextJournalRefused[] =
    "安裝記錄%s有誤,本程式不會依照它更動任何檔案,刪除此檔後即可重新安裝!!";
const char TextOwnFolderRefused[] =
    "%s這個目錄不是本安裝程式建立的,本程式不會使用或更動它,請由系統管理員刪除後再試一次!!";
const char BusyBaseText[] = "檔案安裝中";

const char* const ShortcutTargets[SHORTCUT_ROWS] = {"kelvo.exe", "pixie.exe", "ReadMe.txt"};
const char* const ShortcutLinkNames[SHORTCUT_ROWS] = {"雲嶺奇譚續錄~星月影.lnk", "靈犀別苑.lnk",
                                                      "雲嶺奇譚續錄~星月影說明檔.lnk"};
const char* const ShortcutDescriptions[SHORTCUT_ROWS] = {ProductTitle, "靈犀別苑",
                                                         "雲嶺奇譚續錄~星月影說明檔"};
