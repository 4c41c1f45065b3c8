// Drives of the running Wine, as the robot changes them: a disc goes into or out of a CD-ROM
// drive while the installer runs.
#pragma once

#include <optional>
#include <string>

// Makes letter a CD-ROM drive backed by unixFolder through Wine's mount manager (the request
// winecfg sends), so that running programs see the disc at once. A folder that doesn't exist is
// an empty drive. unixDevice, when not empty, is the block device (a disc image's loop device)
// the label is read from, as from a real disc. False with a reason when the mount manager
// refuses.
bool DefineCdromDrive(char letter, const std::string& unixFolder, const std::string& unixDevice,
                      std::string& error);

// The volume label of the drive (UTF-8), or nullopt when it can't be read (no disc).
std::optional<std::string> VolumeLabel(char letter);
