// The robot's hands and eyes: scenario::Backend over the real windows of a running installer.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../scenario/scenario.h"
#include "box_calls.h"

class WineBackend : public scenario::Backend {
  public:
    // setupExe: the installer, started once by Start and again by StartSecondCopy.
    // discsFolder: the Unix folder that holds one folder per disc of the scenario.
    WineBackend(std::wstring setupExe, std::string discsFolder,
                std::vector<scenario::DiscSetup> discs);
    ~WineBackend() override;

    // The disc is an image: the drive reads its label from this block device.
    void SetDiscDevice(const std::string& disc, const std::string& unixDevice);
    // Wine's relay trace of the installer's MessageBoxA calls is written to this file: a box is
    // topmost when its call asked for MB_TOPMOST and MB_SETFOREGROUND. Without it, when its
    // window has WS_EX_TOPMOST.
    void TraceBoxCalls(const std::wstring& file);

    // Waits until each CD-ROM drive of drives that holds a disc reads as a CD-ROM drive with
    // that disc's label; false, with what a drive reads, when one does not within a minute.
    bool WaitForDrives(const std::vector<scenario::DriveSetup>& drives, std::string& error);
    bool Start(std::string& error);
    // The installer's process (0 before Start).
    DWORD InstallerProcessId() const { return installer_.dwProcessId; }
    // Waits up to milliseconds for the installer to end; its exit status when it has.
    bool WaitForEnd(DWORD milliseconds, long& exitStatus);
    void Kill();
    // Waits up to milliseconds for the programs the installer started to end; false if some
    // still run.
    bool WaitForStartedPrograms(DWORD milliseconds);

    std::vector<scenario::Window> Windows() override;
    bool Click(const scenario::Window& window, int controlId, std::string& error) override;
    bool ClickOnItsWay(const scenario::Window& window, int controlId, std::string& error) override;
    std::optional<TextWidth> MeasureText(const scenario::Window& window, int controlId) override;
    double ProcessorSeconds() override;
    bool Type(const scenario::Window& window, int controlId, const std::string& text,
              std::string& error) override;
    bool Escape(const scenario::Window& window, std::string& error) override;
    bool Close(const scenario::Window& window, std::string& error) override;
    bool Answer(const scenario::Window& box, const std::string& button,
                std::string& error) override;
    bool Browse(const scenario::Window& window, int controlId, const std::string& folder,
                std::string& error) override;
    bool Insert(char letter, const std::string& disc, std::string& error) override;
    long CountFiles(const std::string& folder) override;
    int MakeReadOnly(const std::string& pattern, std::string& error) override;
    long long FileBytes(const std::string& path) override;
    bool Hold(const std::string& file, std::string& error) override;
    bool StartSecondCopy(int& exitStatus, bool& showedWindow, std::string& error) override;
    bool KillInstaller(std::string& error) override;
    bool StartAgain(std::string& error) override;
    bool Ended() override;
    bool Answers(const scenario::Window& window, double seconds, std::string& error) override;

  private:
    std::wstring setupExe_;
    std::string discsFolder_;
    std::vector<scenario::DiscSetup> discs_;
    std::map<std::string, std::string> devices_; // disc name -> block device
    PROCESS_INFORMATION installer_{};
    std::vector<HANDLE> held_; // files the robot holds open for another program
    std::wstring boxCallsFile_;
    HANDLE boxCallsHandle_ = INVALID_HANDLE_VALUE;
    BoxCalls boxCalls_;
    // The scenario's disc of that name (the last one, as the parser keeps them); null when none.
    const scenario::DiscSetup* FindDisc(const std::string& name) const;
    // Reads what the trace has gained since the last look.
    void ReadBoxCalls();
};

// Starts exe with its own folder as the working folder.
bool StartProgram(const std::wstring& exe, PROCESS_INFORMATION& started, std::string& error);

// Top-level windows of a process, in the order EnumWindows gives them.
std::vector<HWND> TopLevelWindows(DWORD processId);
