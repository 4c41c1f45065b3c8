#include "../base/install_state.h"
#include "../base/paths.h"
#include "../base/product_constants.h"
#include "../journal/install_journal.h"
#include "../media/disc_copy.h"
#include "../shell/product_shortcuts.h"
#include "installer.h"

int RunFinishingSteps(void) {
    StopBusyIndicator();
    if (CancelRequested())
        return FINISH_CANCELLED;
    // What is left to write down, the links and the commit, must not fail for want of room once
    // the install has said it is complete: the room is taken now, while a full disk still fails
    // the install.
    if (!ReserveJournalRoom())
        return FINISH_FAILED;

    // The game's path in quotes, so that no part of it before a space is taken for the program;
    // then the run flag and the folder. The folder twice is more than one MAX_PATH buffer can
    // hold for a long folder.
    char commandLine[2 * MAX_PATH + 2];
    lstrcpyA(commandLine, "\"");
    lstrcatA(commandLine, InstallState.installDir);
    lstrcatA(commandLine, GameExeSuffix);
    lstrcatA(commandLine, "\"");
    lstrcatA(commandLine, InstallState.fullInstall != 0 ? NormalRunFlag : MinimalRunFlag);
    lstrcatA(commandLine, InstallState.installDir);
    lstrcatA(commandLine, "\\");
    // Only the copy held since it matched the disc's file: another user can't have put a
    // program of theirs in its place for the administrator to run.
    if (InstallState.gameCopy != NULL)
        WinExec(commandLine, SW_SHOWMAXIMIZED);
    LetGoOfGameCopy();
    if (CancelRequested())
        return FINISH_CANCELLED;

    int linked = CreateProductShortcuts();
    if (CancelRequested())
        return FINISH_CANCELLED;
    if (linked == SHORTCUTS_FAILED)
        return FINISH_FAILED;
    if (linked == SHORTCUTS_NO_SHELL_FOLDERS) {
        // The user has been told that the registry is at fault: setup ends here, and the install
        // stays as it stands, with the links that could be written.
        CommitInstall();
        ExitProcess(0);
    }

    int answer = MessageBoxA(InstallState.ownerWindow, TextOfferDirectX, CaptionInstall, MB_YESNO);
    if (CancelRequested())
        return FINISH_CANCELLED;
    if (answer == IDYES) {
        char directX[MAX_PATH];
        lstrcpyA(directX, InstallState.cdRoot);
        JoinPath(directX, DirectXSetup);
        WinExec(directX, SW_SHOW);
    }

    // The completion message is shown only to an install that no cancel has claimed, and no
    // cancel claims it while the message is coming up (the dialog it disables is still live
    // for a moment). The last notice may still be cancelled: the rollback then undoes the whole
    // install, its shortcuts too.
    if (!ClaimEnding(INSTALL_REPORTING))
        return FINISH_CANCELLED;
    MessageBoxA(InstallState.installDialog, TextInstallDone, CaptionNotice, MB_OK);
    SetFlag(&InstallState.installEnding, INSTALL_RUNNING);
    MessageBoxA(InstallState.ownerWindow, TextNoUninstaller, CaptionAttention, MB_OK);
    if (!ClaimEnding(INSTALL_CONCLUDED))
        return FINISH_CANCELLED;
    // No cancel can come any more: what the install replaced goes.
    CommitInstall();
    return FINISH_COMPLETE;
}
