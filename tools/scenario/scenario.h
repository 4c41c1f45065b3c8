// Acceptance scenarios: one text file (UTF-8) sets up a machine, acts as the user and states
// what must be seen and what must hold at the end. The same file is played against the host
// build (a scripted user inside the process, over winsim's windows) and against the real
// setup.exe under Wine (a robot program driving the real windows). The format is described in
// tests/scenarios/README.md.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace scenario {

// One line of a scenario, split into words: the command and its arguments ("..." quotes words
// that hold spaces; there are no escapes, so Windows paths are written as they are).
// One key or value of a machine's registry: the hive ("HKLM" or "HKCU"), the key's path (names
// between backslashes, UTF-8) and, for a value, its name and data: type "sz" with the text
// (UTF-8, without the NUL at its end), "dword" with the number in decimal, else the type's number
// with the data's bytes in hex.
struct RegistryItem {
    std::string hive;
    std::string key;
    bool value = false;
    std::string name;
    std::string type;
    std::string data;
};

struct Line {
    int number = 0;
    std::vector<std::string> words;
    const std::string& word(size_t i) const;
    std::string where() const; // "line N"
};

struct DriveSetup {
    char letter = 'c';
    bool cdrom = false;
    bool removable = false; // a floppy or ZIP drive with no disk in it
    std::string disc;       // cdrom: disc in it at the start, empty = none
    std::optional<std::uint64_t> freeBytes;
    bool failSpaceQuery = false;           // host only
    bool failLabel = false;                // host only
    std::optional<std::uint64_t> capacity; // host only: bytes before the disk is full
    std::string fileSystem = "ntfs";       // fixed drives: ntfs, or (host only) fat32, exfat
};

struct DiscSetup {
    std::string name;
    std::string label;
    int sample = 0;     // 1, 2 or 3: content of that sample disc; 0: empty
    int extraFiles = 0; // generated files of 1 KiB under kelvo\<name>-extra
    // A file of this many bytes at kelvo\<name>-big.dat that is all hole: it reads as zeros
    // and takes no room on the disc.
    std::uint64_t bigBytes = 0;
    bool noProductFolder = false;
    struct File {
        std::string path; // relative, backslashes
        std::string content;
    };
    std::vector<File> files;
};

struct Scenario {
    std::string file;
    std::string title;
    bool onHost = true;
    bool onWine = true;
    std::vector<DriveSetup> drives;
    std::vector<DiscSetup> discs;
    std::vector<std::pair<std::string, std::string>> shellFolders; // name, Windows path
    std::vector<std::pair<std::string, std::string>> machineFiles; // Windows path, content
    // A finished install on the machine before the start: the merged product folders of discs
    // in folder, every file read-only, as a copy from a CD-ROM leaves them.
    struct PreviousInstall {
        std::string folder; // Windows path
        std::vector<std::string> discs;
    };
    std::vector<PreviousInstall> previousInstalls;
    // The first release of Windows 95: no GetDiskFreeSpaceExA, MoveFileExA a stub that fails,
    // GetVersion 4.0 with the high bit set (host only).
    bool windows95 = false;
    // Registry values on the machine before the start.
    struct RegistryValue {
        std::string hive; // "HKLM" or "HKCU"
        std::string key;  // "Software\..."
        std::string name;
        std::string type; // "sz" or "dword"
        std::string data; // the text (UTF-8), or the number as written
    };
    std::vector<RegistryValue> registryValues;
    // A standard user: no HKLM key opens for writing (host only).
    bool localMachineReadOnly = false;
    // Setup runs as a standard user, not an elevated administrator (host only).
    bool standardUser = false;
    // Owners and access lists laid out (host only): a Windows path and its descriptor in SDDL.
    std::vector<std::pair<std::string, std::string>> acls;
    // Hard links laid out (host only): the new name and the file it names too.
    std::vector<std::pair<std::string, std::string>> hardLinks;
    // Journals on the machine before the start: a file whose lines are each record, a TAB, the
    // CRC-32 of the record's bytes in code page 950 (8 upper-case hex digits), CR LF.
    struct Journal {
        std::string path; // Windows path
        std::vector<std::string> records;
    };
    std::vector<Journal> journals;
    // Directory links on the machine before the start: a link's Windows path and the Windows
    // folder it leads to.
    std::vector<std::pair<std::string, std::string>> links;
    // "keyopen 2", "unreadable disc1 kelvo\a.dat", "link save", "call X 3", "slow X 200"
    std::vector<std::string> faults;
    std::vector<Line> steps;  // played while the installer runs
    std::vector<Line> checks; // checked after it has ended (expect file, expect link, ...)
    std::optional<int> exitStatus;
};

// Parses a scenario; on a bad line, returns nullopt and sets error to "file:line: why".
std::optional<Scenario> Parse(const std::string& path, std::string& error);
// The same from text already read; file names it in messages.
std::optional<Scenario> ParseText(const std::string& text, const std::string& file,
                                  std::string& error);
// Splits one line into words ("..." quotes, # starts a comment); false on an unclosed quote.
bool SplitWords(const std::string& text, std::vector<std::string>& words);
// A size: bytes, or a number with K, M or G (powers of 1024); false when text is none.
bool ParseSize(const std::string& text, std::uint64_t& bytes);
// Checks one step line (a command played while the installer runs); false with why if it is no
// valid step.
bool IsValidStep(const Line& line, std::string& why);

// What a player needs from a platform: the installer's windows, and the user's hands.
// Every text is UTF-8.
struct Control {
    int id = 0;
    std::string className; // "BUTTON", "EDIT", "STATIC"
    std::string text;
    bool checked = false;
    bool enabled = true;
    bool visible = true;
};

struct Window {
    std::uintptr_t handle = 0;
    bool messageBox = false;
    std::string title;                // caption
    std::string text;                 // a message box's text
    std::vector<std::string> buttons; // message box buttons: "ok", "yes", "no", "cancel"
    std::string owner; // "owner" (hidden owner window), "setup", "install", "none", or a title
    // Dialogs: an application window (WS_EX_APPWINDOW), which has a taskbar button of its own
    // while it is shown, owned or not. The taskbar reads the style as the window is shown: the
    // host build gives the style the window had then (under Wine the robot reads it now).
    bool appWindow = false;
    // Message boxes: asked to come above the windows of other programs and to take the
    // foreground (MB_TOPMOST | MB_SETFOREGROUND).
    bool topmost = false;
    bool visible = true;
    bool enabled = true;           // false while a modal box it owns is up
    std::vector<Control> controls; // dialogs only
};

class Backend {
  public:
    virtual ~Backend() = default;
    // Top-level windows of the installer process now (dialogs and message boxes).
    virtual std::vector<Window> Windows() = 0;
    // The user's hands. Each returns false with a reason in error when no real user could do it
    // (the window is hidden or disabled, the control is disabled or missing).
    virtual bool Click(const Window& window, int controlId, std::string& error) = 0;
    // A click already on its way: posted to the button whatever its window has become since the
    // user aimed at it (hidden or disabled a moment ago). Fails only when the button is gone.
    virtual bool ClickOnItsWay(const Window& window, int controlId, std::string& error) = 0;
    virtual bool Type(const Window& window, int controlId, const std::string& text,
                      std::string& error) = 0;
    virtual bool Escape(const Window& window, std::string& error) = 0;
    virtual bool Close(const Window& window, std::string& error) = 0;
    virtual bool Answer(const Window& box, const std::string& button, std::string& error) = 0;
    // Presses the browse button, then picks folder in the folder browser (empty: cancel it).
    virtual bool Browse(const Window& window, int controlId, const std::string& folder,
                        std::string& error) = 0;
    // Puts a disc of the scenario in a CD-ROM drive (empty name: takes it out).
    virtual bool Insert(char letter, const std::string& disc, std::string& error) = 0;
    // Files under a Windows folder, counted through its subfolders; -1 when it doesn't exist.
    virtual long CountFiles(const std::string& folder) = 0;
    // The size of a file (a Windows path) in bytes; -1 when there is no such file.
    virtual long long FileBytes(const std::string& path) = 0;
    // Another program opens the file to read it, sharing it for reading only, and keeps it open
    // until the installer has ended; false with why when it can't now (the file isn't there, or
    // the installer has it open).
    virtual bool Hold(const std::string& file, std::string& error) = 0;
    // Another program sets the read-only attribute of every file whose path matches pattern (a
    // Windows path, '*' in its last name standing for any run of characters): how many it set,
    // -1 with why when it can't.
    virtual int MakeReadOnly(const std::string& pattern, std::string& error) {
        (void)pattern;
        error = "no such hand on this platform";
        return -1;
    }
    // The act of another user planned by an `intruder` step (the step's line): whether it has
    // been done yet (false: not yet, or never: error says why), and when it has, whether it was
    // done (refused false, with the error that refused it in what).
    virtual bool OtherUserActed(const Line& step, bool& refused, std::string& what,
                                std::string& error) {
        (void)step;
        (void)refused;
        (void)what;
        error = "no other user on this platform";
        return false;
    }
    // Starts another copy of the installer and waits for it to end; its exit status, and
    // whether it showed any window.
    virtual bool StartSecondCopy(int& exitStatus, bool& showedWindow, std::string& error) = 0;
    // True once the installer process has ended.
    virtual bool Ended() = 0;
    // Kills the installer's process as Task Manager ends a program (TerminateProcess), and waits
    // until it is gone; then starts the installer anew, whose windows the later steps see.
    virtual bool KillInstaller(std::string& error) = 0;
    virtual bool StartAgain(std::string& error) = 0;
    // The text a control of the window shows now, how wide it is in the control's font and how
    // wide the control is (pixels); nullopt when there is no such control or it can't be measured.
    struct TextWidth {
        std::string text;
        int needed = 0;
        int available = 0;
    };
    virtual std::optional<TextWidth> MeasureText(const Window& window, int controlId) = 0;
    // Processor time the installer's process has used so far, in seconds.
    virtual double ProcessorSeconds() = 0;
    // Whether the window's thread handles a message sent to it within seconds, as a window that
    // answers does; false with why otherwise.
    virtual bool Answers(const Window& window, double seconds, std::string& error) = 0;
};

// Plays the steps against a backend. Writes one line per step to log ("ok line N: ..." or
// "FAIL line N: why"), and "done" after the last step. Returns true when every step passed.
// An `expect exit` step waits until Backend::Ended says the installer has ended; the caller
// checks the status.
struct PlayOptions {
    double timeoutSeconds = 60; // how long an expect may wait
    double settleSeconds = 0.5; // how long "expect no box" watches
    // How often a waiting step looks at the windows again. Each look reads every window and the
    // text of every control, which under Wine costs the installer's process and the Wine server
    // some work: a benchmark looks less often, as a user would.
    double pollSeconds = 0.01;
    std::function<void(const std::string&)> onLog; // called with each log line as it is written
};
bool Play(const Scenario& scenario, Backend& backend, const PlayOptions& options,
          std::vector<std::string>& log);

// Plays steps one at a time (the interactive user), keeping the dialog and the box that the
// last expect steps found.
class Player {
  public:
    Player(Backend& backend, PlayOptions options);
    // Plays one step; false with why when it fails.
    bool Step(const Line& step, std::string& why);
    // The windows now, one line each (controls indented), for a failure report.
    std::vector<std::string> DescribeWindows();
    // Makes window the dialog that click, type, escape and close act on.
    void SetDialog(const Window& window);
    // Makes box the box that answer presses.
    void SetBox(const Window& box);

  private:
    // One handler per kind of step (Step picks it by the step's words).
    bool ExpectDialog(const Line& step, std::string& why);
    bool ExpectHidden(const Line& step, std::string& why);
    bool ExpectText(const Line& step, std::string& why);
    bool ExpectChecked(const Line& step, std::string& why);
    bool ExpectBox(const Line& step, std::string& why);
    bool ExpectNoBox(const Line& step, std::string& why);
    bool ExpectTaskbar(const Line& step, std::string& why);
    bool ExpectExit(const Line& step, std::string& why);
    bool Click(const Line& step, std::string& why);
    bool Type(const Line& step, std::string& why);
    bool Escape(const Line& step, std::string& why);
    bool Close(const Line& step, std::string& why);
    bool Browse(const Line& step, std::string& why);
    bool Refuse(const Line& step, std::string& why);
    bool AnswerBox(const Line& step, std::string& why);
    bool Insert(const Line& step, std::string& why);
    bool Eject(const Line& step, std::string& why);
    bool WaitFiles(const Line& step, std::string& why);
    bool Hold(const Line& step, std::string& why);
    bool Intruder(const Line& step, std::string& why);
    bool ReadOnly(const Line& step, std::string& why);
    bool StartSecond(const Line& step, std::string& why);
    bool Kill(const Line& step, std::string& why);
    bool WatchText(const Line& step, std::string& why);
    bool ExpectIdle(const Line& step, std::string& why);
    bool ExpectAnswering(const Line& step, std::string& why);

    // The dialog that the last expect dialog found, if it still exists (else why says so).
    std::optional<Window> Current(std::string& why);
    // The same, if a user could reach it to act as step says (else why says what stops it).
    std::optional<Window> Reachable(const Line& step, std::string& why);
    bool ExpectControl(int id, const std::function<bool(const Control&)>& shows,
                       const std::function<std::string(const Control&)>& shown, std::string& why);
    bool WaitFor(const std::function<bool()>& condition, double seconds);

    Backend& backend_;
    PlayOptions options_;
    std::optional<std::uintptr_t> dialog_;
    std::string dialogTitle_;
    std::optional<Window> box_;
};

// Whether a play log shows a complete play: every step passed and it ended with "done".
bool LogPassed(const std::vector<std::string>& log);

// Maps Windows paths of the finished machine to host paths, for the end checks.
class Disk {
  public:
    virtual ~Disk() = default;
    virtual std::optional<std::string> HostPath(const std::string& windowsPath) = 0;
    // Programs started through WinExec, in order: show command and command line (UTF-8).
    virtual std::vector<std::pair<unsigned, std::string>> StartedPrograms() = 0;
    // Host folder of a disc of the scenario (for `expect installed`); nullopt when unknown.
    virtual std::optional<std::string> DiscFolder(const std::string& name) {
        (void)name;
        return std::nullopt;
    }
    // The machine's registry (for `expect registry` and the whole-machine check); nullopt when
    // it can't be read.
    virtual std::optional<std::vector<RegistryItem>> Registry() { return std::nullopt; }
    // Checks the owner (what "owner": expected a SID) or the access list (what "acl": expected
    // a descriptor in SDDL, its DACL compared, and its owner where it names one) of a file or
    // folder (a link itself, not followed): empty when it has them, else why not; nullopt where
    // this platform can't tell.
    virtual std::optional<std::string> CheckSecurity(const std::string& what,
                                                     const std::string& windowsPath,
                                                     const std::string& expected) {
        (void)what;
        (void)windowsPath;
        (void)expected;
        return std::nullopt;
    }
    // The flags of the RedirectionGuard policy the installer last set (0: never); nullopt where
    // this platform can't tell.
    virtual std::optional<std::string> RedirectionTrust() { return std::nullopt; }
};

// The CRC-32 of zip and PNG (the polynomial 0xEDB88320, as Python's zlib.crc32 computes it).
std::uint32_t Crc32(std::string_view bytes);
// A journal file's bytes: each record in code page 950, a TAB, its CRC-32 in 8 upper-case hex
// digits, CR LF. Host only (iconv).
std::string JournalBytes(const std::vector<std::string>& records);

// Runs the end checks; appends "FAIL line N: why" to log for each that fails (and "note line
// N: ..." for a check it could not make, such as a link without lnkinfo).
bool CheckEnd(const Scenario& scenario, Disk& disk, std::vector<std::string>& log);

} // namespace scenario
