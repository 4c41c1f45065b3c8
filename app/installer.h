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

// Runs once every disc is copied, on the copy worker's thread; ends the install dialog.
void RunFinishingSteps(void);
