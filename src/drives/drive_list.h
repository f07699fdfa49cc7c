// The drive list: the disks offered for testing in the drop-down Combo1, one
// entry a disk (its drive letters, the first volume's label, its
// description), and the choice SelectedDrive made from it.
#pragma once

#include <array>
#include <string>

#include "app/context.h"

namespace veracap {

// One entry: the four volume slots separated by blanks, two blanks, the
// label, four blanks, the description.
std::string DriveListEntry(const std::array<std::string, 4>& volume_letters,
                           const std::string& label, const std::string& description);

// The drive an entry names: its first character in upper case and ":" ("E:";
// " :" for an entry of a disk without a drive letter; ":" for no entry).
std::string SelectedDriveOf(const std::string& entry);

// Number of drive letters present in the system (the drive-letter list's
// count), from the platform's logical drives.
int DriveLetterCount(Context& ctx);

// Builds the list from scratch (the drive-letter list's change handler):
// refreshes Drive1, then examines disks 0 to (drive-letter count - 1), and
// any disk present above them up to disk 80, and adds those identified with
// a size above 0 that are on the USB bus (or an SD / MMC slot), or any while
// ShowAllDrives is on. A disk that holds the system (drives/disk_role.h) is
// never examined, whatever its number. Each entry's device identity goes to
// ListedDevices. Afterwards the first
// entry is selected and SelectedDrive follows it (":" for an empty list).
// Overwrites VolumeLetters, VolumeLabel, SelectedDiskNumber and the drive
// facts; it must not run while a test uses them (the busy state disables
// every control that reaches it).
void Drive1_Change(Context& ctx);
// Refresh button: rebuilds the list.
void cmdRefreshDrive_Click(Context& ctx);
// A drive arrived or went away (the window's device-change notice): the list
// is rebuilt only while idle, that is with no handler running and outside
// the busy state. Returns whether it was rebuilt.
bool DevicesChanged(Context& ctx, bool handler_running);
// Before a test writes: "" when the disk behind SelectedDiskNumber is still
// the device its chosen entry was listed with; otherwise the message that
// refuses the test.
std::string ChosenDeviceChanged(Context& ctx);
// "List all drives" box, after its checked state has changed: checking it
// asks first (OK rebuilds with all drives; Cancel leaves the box checked and
// everything else as it was); unchecking rebuilds with USB drives only.
void chkShowAll_Click(Context& ctx);
// Drive choice: both set SelectedDrive from Combo1's current entry.
void Combo1_Click(Context& ctx);
void Combo1_Change(Context& ctx);

}  // namespace veracap
