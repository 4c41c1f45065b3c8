// The machine a Wine scenario leaves behind, as the end checks see it: a Wine prefix whose
// drives are the links in dosdevices, the recorder's log of started programs, and the folders
// of the scenario's discs.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../../scenario/scenario.h"
#include "../../scenario/snapshot.h"

class WineDisk : public scenario::Disk {
  public:
    // prefix: the Wine prefix; startedLog: the recorder's log (host path); discsFolder: one
    // folder per disc of the scenario.
    // wow64: the program played is a 32-bit one in a 64-bit prefix, which sees
    // HKLM\Software\Wow6432Node as HKLM\Software (see ViewOfRegistry).
    WineDisk(std::string prefix, std::string startedLog, std::string discsFolder,
             bool wow64 = false);

    // The drive's dosdevices link, then each component matched without regard to letter case,
    // as Wine matches them; components that don't exist are kept as written. nullopt for a
    // path on no drive, or on a drive whose folder is missing (an empty CD-ROM drive).
    std::optional<std::string> HostPath(const std::string& windowsPath) override;
    std::vector<std::pair<unsigned, std::string>> StartedPrograms() override;
    std::optional<std::string> DiscFolder(const std::string& name) override;
    // The prefix's registry as its files hold it (system.reg: HKLM, user.reg: HKCU): what the
    // wineserver wrote when it ended, in the view of the program played.
    std::optional<std::vector<scenario::RegistryItem>> Registry() override;

  private:
    std::string prefix_;
    std::string startedLog_;
    std::string discsFolder_;
    bool wow64_;
};

// The registry as a 32-bit program in a 64-bit prefix sees it (WOW64): HKLM's
// Software\Wow6432Node and what is under it is its HKLM\Software, and the 64-bit view's own
// keys under Software are not there for it. HKCU and HKLM's other keys are shared.
std::vector<scenario::RegistryItem> ViewOfRegistry(std::vector<scenario::RegistryItem> items);

// The keys and values of one of Wine's registry files, as hive's: text values (REG_SZ) as "sz"
// with their text in UTF-8, REG_DWORD as "dword" in decimal, others by the file's own spelling
// of their type and data. nullopt when the file can't be read.
std::optional<std::vector<scenario::RegistryItem>> ReadWineRegistry(const std::string& file,
                                                                    const std::string& hive);

// What the whole-machine check looks at in a prefix: the folder behind every drive but a CD-ROM
// drive's and the host's root (the drive letters of dosdevices), without Wine's Windows folder
// on drive C, and every disc of the scenario.
std::vector<scenario::SnapshotRoot> MachineRoots(const std::string& prefix,
                                                 const std::string& discsFolder);
