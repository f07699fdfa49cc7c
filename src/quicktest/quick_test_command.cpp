#include "quicktest/quick_test_command.h"

#include <cmath>

#include "app/busy.h"
#include "app/controls.h"
#include "app/format.h"
#include "app/results_log.h"
#include "base/text.h"
#include "diskio/sector_io.h"
#include "drives/disk_number.h"
#include "drives/disk_role.h"
#include "drives/drive_details.h"
#include "drives/drive_info.h"
#include "drives/drive_list.h"
#include "quicktest/quick_size_engine.h"

namespace veracap {
namespace {

constexpr const char* kConfirmTitle = "Quick Size Test";

}  // namespace

std::optional<double> DiskNumberInEntry(const std::string& entry) {
  const std::size_t drive_at = entry.find("DRIVE ");
  if (drive_at == std::string::npos || drive_at < 2) return std::nullopt;
  // From the blank after "DRIVE" to the end: " 12 -   14.9GiB ...".
  const std::string rest = entry.substr(drive_at + 5);
  // The size column may fill its 7 characters (1,863.0GiB, 14,901.2GiB), so
  // the number ends at " -", with or without a blank after the dash.
  const std::size_t dash_at = rest.find(" -");
  if (dash_at == std::string::npos || dash_at < 2) return std::nullopt;
  return LeadingNumber(Trim(rest.substr(0, dash_at + 1)));
}

void cmdQuickTest_Click(Context& ctx) {
  AppState& s = ctx.state;
  s.CancelRequested = false;

  double number = 0;
  if (Trim(s.SelectedDrive).size() < 2) {
    const std::optional<double> in_entry = DiskNumberInEntry(ComboText(s, Control::Combo1));
    if (!in_entry) return;
    number = *in_entry;
  } else {
    number = GetDiskNumber(ctx, s.SelectedDrive);
  }
  number = RoundHalfEven(number);
  if (!IsDiskNumberInRange(number)) return;
  s.SelectedDiskNumber = static_cast<std::int32_t>(number);
  // A disk that holds the system is refused whatever its number.
  const DiskRole role = RoleOfDisk(ctx, s.SelectedDiskNumber);
  if (RefusesQuickTest(role)) {
    ShowMessage(ctx, RefusalText(s.SelectedDiskNumber, role), kMbIconStop, kConfirmTitle);
    return;
  }

  GetUSBDiskDriveInfo(ctx, s.SelectedDiskNumber);
  const double size_mib = RoundHalfEven(RoundHalfEven(s.DriveSizeBytes / 1024) / 1024);
  if (size_mib < 1) {
    ShowMessage(ctx, "Please run this application with Administrator rights.", kMbIconStop);
    return;
  }

  SetResultText(ctx, s.TitleLine + kCrLf + Print_Drive_Details(ctx) + kCrLf +
                         "Veracap - Quick Size Test (destructive)");
  AppendResult(ctx, kCrLf + ComboText(s, Control::Combo1));

  const std::string first_question =
      "WARNING: This test will DESTROY ALL DATA on the whole drive.\r\n\r\n" +
      Print_Drive_Details(ctx) + "\r\n\r\nYou will need to reformat it afterwards.";
  if (ShowMessage(ctx, first_question, kMbOkCancel, kConfirmTitle) != kIdOk) return;
  const std::string second_question = "ARE YOU SURE IT IS OK TO ERASE ALL VOLUMES ON DRIVE " +
                                      std::to_string(s.SelectedDiskNumber) + "?";
  if (ShowMessage(ctx, second_question, kMbOkCancel | kMbIconExclamation, kConfirmTitle) != kIdOk) {
    return;
  }
  // The number may have passed to another device since the list was built
  // (a stick pulled out, a backup disk plugged in).
  const std::string changed = ChosenDeviceChanged(ctx);
  if (!changed.empty()) {
    ShowMessage(ctx, changed, kMbIconStop, kConfirmTitle);
    return;
  }

  Show_Cancel(ctx);
  // The busy state hides both test buttons; this one stays in sight,
  // disabled, while its test runs.
  SetVisible(ctx, Control::cmdQuickTest, true);
  QuickSizeTest(ctx);
  Hide_Cancel(ctx);
}

}  // namespace veracap
