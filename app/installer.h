#pragma once

#include <windows.h>

LRESULT CALLBACK OwnerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SetupDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK InstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI CopyWorker(LPVOID parameter);
DWORD WINAPI BusyIndicator(LPVOID parameter);

// Gives a dialog a taskbar button of its own, where a player who switched to another program
// finds setup again: the owner window the dialogs belong to is never shown. Called before the
// dialog is first shown (WM_INITDIALOG); the taskbar takes the style as the window appears.
void ShowInTaskbar(HWND dialog);

// One step of the busy indicator: a dot more on the status line while the text fits on its one
// line, else the bare text again.
void AdvanceBusyIndicator(void);

// Stops the busy indicator through its flags and waits until its thread has ended.
void StopBusyIndicator(void);

// Asks the install dialog to end with result; its procedure ends it on its own thread. From any
// thread.
void EndInstallDialog(INT_PTR result);

// The copy worker's rollback after a cancel: undoes the install, ends the dialog.
void AbandonInstall(void);

// A step of the install that could not be carried out: everything it changed is undone, the
// user is told, and the dialog ends; or, when the user has cancelled first, the cancel's end.
void FailInstall(void);

// Runs once every disc is copied, on the copy worker's thread: starts the game, writes the links,
// offers the DirectX setup, shows the last two notices and commits the install. How it came out:
// FINISH_COMPLETE once the install is committed, FINISH_CANCELLED when a cancel came first
// (nothing is undone yet), FINISH_FAILED when a step could not be carried out (the same). When the
// links' registry key can't be opened, the user is told and setup ends there, the install kept.
#define FINISH_COMPLETE 0
#define FINISH_CANCELLED 1
#define FINISH_FAILED 2
int RunFinishingSteps(void);
