#include "drives/drive_list.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <vector>

#include "app/controls.h"
#include "app/results_log.h"
#include "diskio/device_queries.h"
#include "diskio/sector_io.h"
#include "diskio/volumes.h"
#include "drives/disk_number.h"
#include "drives/disk_role.h"
#include "drives/drive_details.h"
#include "drives/drive_info.h"

namespace veracap {
namespace {

constexpr const char* kShowAllWarning = "WARNING: All drives in the system will be listed!";

// The drive-letter list shows the letters present, "C:" and so on; its
// selection is kept across refreshes while it still exists.
void RefreshDriveLetterList(Context& ctx) {
  const std::uint32_t mask = ctx.platform.GetLogicalDrives();
  std::vector<std::string> letters;
  for (int i = 0; i < 26; ++i) {
    if (mask & (1u << i)) letters.push_back(std::string(1, static_cast<char>('A' + i)) + ":");
  }
  const ControlState& drive1 = StateOf(ctx.state, Control::Drive1);
  int selected = drive1.selected;
  if (selected < 0 || selected >= static_cast<int>(letters.size())) {
    selected = letters.empty() ? -1 : 0;
  }
  SetItems(ctx, Control::Drive1, std::move(letters), selected);
}

bool DiskPresent(Context& ctx, std::int32_t disk_number) {
  const Handle h = ctx.platform.CreateFile(PhysicalDrivePath(disk_number), 0,
                                           kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  if (h == kInvalidHandle) return false;
  ctx.platform.CloseHandle(h);
  return true;
}

// Disks 1 to one below the number of drive letters are examined, and beyond
// that every further disk present: the count of letters says nothing of the
// disks without one (a stick after a Quick Size Test has no partition left)
// nor of disks numbered after them.
std::int32_t LastDiskToExamine(Context& ctx, int drive_letter_count) {
  std::int32_t last = drive_letter_count - 1;
  for (std::int32_t n = std::max(last + 1, 1); n <= kHighestDiskNumber; ++n) {
    if (DiskPresent(ctx, n)) last = n;
  }
  return last;
}

}  // namespace

std::string DriveListEntry(const std::array<std::string, 4>& volume_letters,
                           const std::string& label, const std::string& description) {
  return volume_letters[0] + " " + volume_letters[1] + " " + volume_letters[2] + " " +
         volume_letters[3] + "  " + label + "    " + description;
}

std::string SelectedDriveOf(const std::string& entry) {
  std::string drive = entry.substr(0, 1) + ":";
  for (char& c : drive) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return drive;
}

int DriveLetterCount(Context& ctx) { return std::popcount(ctx.platform.GetLogicalDrives()); }

void Drive1_Change(Context& ctx) {
  AppState& s = ctx.state;
  RefreshDriveLetterList(ctx);
  SetItems(ctx, Control::Combo1, {}, -1);

  std::vector<std::string> entries;
  s.ListedDevices.clear();
  const int count = static_cast<int>(StateOf(s, Control::Drive1).items.size());
  const std::int32_t last = LastDiskToExamine(ctx, count);
  // The disks that hold the system are never offered, whatever their
  // number; disk 0 is examined like the others. The stick the program runs
  // from is offered for test files (the Quick Size Test refuses it).
  const SystemDisks system = FindSystemDisks(ctx);
  for (std::int32_t n = 0; n <= last; ++n) {
    if (RefusesVolumeTest(system.RoleOf(n))) continue;
    s.SelectedDiskNumber = n;
    GetDriveLetter(ctx, n);
    GetUSBDiskDriveInfo(ctx, n);
    if (s.DriveSizeBytes > 0 && (IsUSBBus(ctx, n) || s.ShowAllDrives)) {
      GetVolumeLabel(ctx, s.VolumeLetters[0], s.VolumeLabel);
      entries.push_back(DriveListEntry(s.VolumeLetters, s.VolumeLabel, Print_Drive_Details(ctx)));
      s.ListedDevices.push_back(ReadDeviceIdentity(ctx, n));
    }
  }
  // Every entry is added before the first is selected, as adding them one
  // by one would; selecting raises the choice's click handler.
  const bool any = !entries.empty();
  SetItems(ctx, Control::Combo1, std::move(entries), any ? 0 : -1);
  if (any) Combo1_Click(ctx);
  Combo1_Change(ctx);
}

void cmdRefreshDrive_Click(Context& ctx) { Drive1_Change(ctx); }

bool DevicesChanged(Context& ctx, bool handler_running) {
  // A running handler (a test, or the questions before one) holds the chosen
  // entry; in the busy state the controls that rebuild the list are off.
  if (handler_running || ctx.state.ended || !StateOf(ctx.state, Control::Drive1).enabled) {
    return false;
  }
  Drive1_Change(ctx);
  return true;
}

std::string ChosenDeviceChanged(Context& ctx) {
  AppState& s = ctx.state;
  const int index = StateOf(s, Control::Combo1).selected;
  if (index < 0 || index >= static_cast<int>(s.ListedDevices.size())) return "";
  const AppState::DeviceIdentity& listed = s.ListedDevices[static_cast<std::size_t>(index)];
  if (listed.disk_number == s.SelectedDiskNumber &&
      ReadDeviceIdentity(ctx, s.SelectedDiskNumber) == listed) {
    return "";
  }
  return "DRIVE " + std::to_string(s.SelectedDiskNumber) +
         " is no longer the drive chosen in the list: a drive was removed or inserted. Nothing "
         "was written. Refresh the drive list and choose the drive again.";
}

void chkShowAll_Click(Context& ctx) {
  const bool checked = StateOf(ctx.state, Control::chkShowAll).checked;
  int answer = kIdOk;
  if (checked) answer = ShowMessage(ctx, kShowAllWarning, kMbOkCancel);
  if (answer != kIdOk) return;
  ctx.state.ShowAllDrives = checked;
  Drive1_Change(ctx);
}

void Combo1_Click(Context& ctx) {
  ctx.state.SelectedDrive = SelectedDriveOf(ComboText(ctx.state, Control::Combo1));
}

void Combo1_Change(Context& ctx) { Combo1_Click(ctx); }

}  // namespace veracap
