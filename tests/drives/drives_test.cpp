// The drive list on emulated devices: which disks are offered, the entries'
// text, the choice that follows a rebuild, and "List all drives"; the
// description of a drive and its volume labels.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "app/controls.h"
#include "drives/disk_role.h"
#include "drives/drive_details.h"
#include "drives/drive_list.h"
#include "quicktest/quick_test_command.h"
#include "shell/startup.h"
#include "support/harness.h"
#include "support/stub_platform.h"

namespace veracap {
namespace {

using testing::Harness;

// Disk 0 system (C:), disk 1 a USB stick with two volumes, disk 2 a SATA
// disk (D:), disk 3 a USB stick with no volume at all.
const char* const kDisks =
    "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\n"
    "  volume C: label \"SYSTEM\" capacity 60GiB\n"
    "disk 1\n  claimed 16008609792\n  bus usb\n  vendor ACME\n  product \"FLASH DISK\"\n"
    "  volume F: label \"SECOND\" capacity 1GiB offset 2GiB\n"
    "  volume E: label \"STICK\" capacity 1GiB\n"
    "disk 2\n  claimed 128GiB\n  bus sata\n  vendor ATA\n  product \"DATA DISK\"\n  removable no\n"
    "  volume D: label \"DATA\" capacity 100GiB\n"
    "disk 3\n  claimed 64MiB\n  bus usb\n  vendor GENERIC\n  product \"BLANK\"\n";

const std::string kDisk1Description = "DRIVE 1 -   14.9GiB ACME FLASH DISK" + std::string(16, ' ');
const std::string kDisk1Entry = "E: F:    STICK    " + kDisk1Description;
const std::string kDisk3Entry =
    "     " + std::string(14, ' ') + "    DRIVE 3 -   62.7MiB GENERIC BLANK" + std::string(18, ' ');
const std::string kDisk2Entry =
    "D:     DATA    DRIVE 2 -  127.9GiB ATA DATA DISK" + std::string(18, ' ');

class DriveList : public ::testing::Test {
 protected:
  DriveList() : h(kDisks) {}
  const std::vector<std::string>& Entries() { return StateOf(h.state(), Control::Combo1).items; }
  Harness h;
};

TEST_F(DriveList, ListsDisksBeyondTheCountOfDriveLetters) {
  // Two drive letters, yet three disks after the system disk: one without a
  // letter (as a stick is after a Quick Size Test), and disk 3 after a gap;
  // card slots (SD, MMC) are offered as USB sticks are.
  Harness sparse(
      "disk 0\n  claimed 64GiB\n  bus sata\n  volume C: label \"SYSTEM\" capacity 60GiB\n"
      "disk 1\n  claimed 64MiB\n  bus sd\n  product \"BLANK\"\n"
      "disk 3\n  claimed 64MiB\n  bus mmc\n  volume E: label \"THREE\" capacity 32MiB\n");
  Drive1_Change(sparse.ctx());
  const auto& items = StateOf(sparse.state(), Control::Combo1).items;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].substr(23, 9), "DRIVE 1 -");
  EXPECT_EQ(items[1].substr(0, 23), "E:     THREE    DRIVE 3");
  EXPECT_EQ(sparse.state().SelectedDiskNumber, 3);
  EXPECT_EQ(sparse.platform().open_handle_count(), 0u);
}

// The system's disks by what they hold, whatever their number: never
// offered; the stick the program runs from is offered but takes only test
// files; a stick at disk 0 is offered. Where Windows lies cannot be told,
// disk 0 is taken for it.
TEST(SystemDisks, ByWhatTheyHoldNotByTheirNumber) {
  Harness h(
      "disk 0\n  claimed 64MiB\n  volume E: label \"STICK0\" capacity 32MiB\n"
      "disk 1\n  claimed 64GiB\n  bus nvme\n  volume C: label \"OS\" capacity 60GiB windows\n"
      "disk 2\n  claimed 1GiB\n  bus sata\n  volume - label \"EFI\" capacity 100MiB boot\n"
      "disk 3\n  claimed 64MiB\n  volume P: label \"TOOLS\" capacity 32MiB program\n"
      "disk 4\n  claimed 64MiB\n  volume S: label \"SWAP\" capacity 32MiB pagefile\n"
      "drive Z: remote\n");
  ASSERT_TRUE(h.ok());
  const struct {
    std::int32_t disk;
    DiskRole role;
  } table[] = {{0, DiskRole::kTestable}, {1, DiskRole::kWindows},  {2, DiskRole::kBoot},
               {3, DiskRole::kProgram},  {4, DiskRole::kPageFile}, {81, DiskRole::kNoDisk},
               {-1, DiskRole::kNoDisk}};
  for (const auto& row : table) EXPECT_EQ(RoleOfDisk(h.ctx(), row.disk), row.role) << row.disk;
  h.state().ShowAllDrives = true;
  Drive1_Change(h.ctx());
  const auto& items = StateOf(h.state(), Control::Combo1).items;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].substr(0, 2) + items[1].substr(0, 2), "E:P:");
  h.state().SelectedDrive = "P:";
  cmdQuickTest_Click(h.ctx());
  EXPECT_EQ(h.window().message_boxes().back().text,
            "DRIVE 3 cannot be tested: it holds this program.");

  Harness unknown("disk 0\n  claimed 64MiB\ndisk 1\n  claimed 64MiB\n");
  EXPECT_EQ(RoleOfDisk(unknown.ctx(), 0), DiskRole::kWindows);
  EXPECT_EQ(RoleOfDisk(unknown.ctx(), 1), DiskRole::kTestable);
}

// The USB disks offered with their letters, labels and descriptions; an
// entry chosen sets the drive and a rebuild (Refresh, or another letter
// picked) returns to the first; "List all drives" asks before adding the
// other disks.
TEST_F(DriveList, OffersUsbDisksAndAllDrivesOnlyWhenConfirmed) {
  Form_Load(h.ctx());
  // Four letters: disks 1 to 3 are examined; the SATA disk is left out.
  EXPECT_EQ(Entries(), (std::vector<std::string>{kDisk1Entry, kDisk3Entry}));
  EXPECT_EQ(StateOf(h.state(), Control::Combo1).selected, 0);
  EXPECT_EQ(h.state().SelectedDrive, "E:");
  EXPECT_EQ(StateOf(h.state(), Control::Drive1).items,
            (std::vector<std::string>{"C:", "D:", "E:", "F:"}));
  EXPECT_EQ(h.state().SelectedDiskNumber, 3);
  ASSERT_EQ(h.window().message_boxes().size(), 1u);  // the About box
  EXPECT_EQ(h.platform().open_handle_count(), 0u);

  ASSERT_TRUE(Choose(h.ctx(), Control::Combo1, 1));
  EXPECT_EQ(h.state().SelectedDrive, " :");
  ASSERT_TRUE(Click(h.ctx(), Control::cmdRefreshDrive));
  EXPECT_EQ(StateOf(h.state(), Control::Combo1).selected, 0);
  EXPECT_EQ(h.state().SelectedDrive, "E:");
  ASSERT_TRUE(Choose(h.ctx(), Control::Combo1, 1));
  ASSERT_TRUE(Choose(h.ctx(), Control::Drive1, 2));
  EXPECT_EQ(h.state().SelectedDrive, "E:");
  EXPECT_EQ(StateOf(h.state(), Control::Drive1).selected, 2);
  EXPECT_FALSE(Choose(h.ctx(), Control::Combo1, 2));  // no third entry

  // Checked and cancelled: the box stays checked, nothing else changes.
  h.window().ScriptAnswers({kIdCancel});
  ASSERT_TRUE(Click(h.ctx(), Control::chkShowAll));
  ASSERT_EQ(h.window().message_boxes().size(), 2u);
  EXPECT_EQ(h.window().message_boxes().back().text,
            "WARNING: All drives in the system will be listed!");
  EXPECT_TRUE(StateOf(h.state(), Control::chkShowAll).checked);
  EXPECT_FALSE(h.state().ShowAllDrives);
  EXPECT_EQ(Entries().size(), 2u);

  // Clicked again: unchecked without a word, USB drives only.
  ASSERT_TRUE(Click(h.ctx(), Control::chkShowAll));
  EXPECT_EQ(h.window().message_boxes().size(), 2u);
  EXPECT_FALSE(StateOf(h.state(), Control::chkShowAll).checked);
  EXPECT_EQ(Entries().size(), 2u);

  // Checked and confirmed: the SATA disk joins, in disk order.
  h.window().ScriptAnswers({kIdOk});
  ASSERT_TRUE(Click(h.ctx(), Control::chkShowAll));
  EXPECT_TRUE(h.state().ShowAllDrives);
  EXPECT_EQ(Entries(), (std::vector<std::string>{kDisk1Entry, kDisk2Entry, kDisk3Entry}));
}

// Volumes by root, answering as GetVolumeInformationA does: the label with
// its NUL, or a failure when it does not fit.
class LabelPlatform : public testing::StubPlatform {
 public:
  std::map<std::string, std::string> labels;
  std::vector<std::string> asked;
  bool GetVolumeInformation(const std::string& root, char* label, std::uint32_t label_size, char*,
                            std::uint32_t) override {
    asked.push_back(root);
    const auto it = labels.find(root);
    if (it == labels.end() || it->second.size() + 1 > label_size) return false;
    std::memcpy(label, it->second.c_str(), it->second.size() + 1);
    return true;
  }
};

class DriveDetails : public ::testing::Test {
 protected:
  std::string Describe(double size_bytes, const std::string& model = "ACME FLASH DISK",
                       int disk = 1) {
    state.SelectedDiskNumber = disk;
    state.DriveSizeBytes = size_bytes;
    state.DriveModel = model;
    return Print_Drive_Details(ctx);
  }
  static std::string Model(const std::string& m) { return m + std::string(31 - m.size(), ' '); }

  LabelPlatform platform;
  HeadlessWindow window;
  AppState state;
  Context ctx{platform, window, state};
};

// Units above one thousand, decimals cut, a long model cut to its column;
// the size and, in debug mode, the byte count never cut.
TEST_F(DriveDetails, DescribesSizeAndModel) {
  const std::string acme = Model("ACME FLASH DISK");
  const std::string long_model = "VERY LONG VENDOR NAME AND PRODUCT NAME";
  EXPECT_EQ(Describe(16006394880.0), "DRIVE 1 -   14.9GiB " + acme);
  EXPECT_EQ(Describe(1024000), "DRIVE 1 -1,000.0KiB " + acme);
  EXPECT_EQ(Describe(1025024), "DRIVE 1 -    0.9MiB " + acme);
  EXPECT_EQ(Describe(512, "", 12), "DRIVE 12 -    0.5KiB " + std::string(31, ' '));
  EXPECT_EQ(Describe(1024000, long_model), "DRIVE 1 -1,000.0KiB " + long_model.substr(0, 31));
  EXPECT_EQ(Describe(0), "");  // not identified
  state.DebugMode = true;
  EXPECT_EQ(Describe(16006394880.0), "DRIVE 1 -   14.9GiB " + acme + " 16,006,394,880 Bytes ");
  // A "16 TB" counterfeit: 1,945,228 cylinders.
  EXPECT_EQ(Describe(16000044963840.0),
            "DRIVE 1 -14,901.2GiB " + acme + " 16,000,044,963,840 Bytes ");
  EXPECT_TRUE(state.results_log.empty());
}

// Blank labels read "(no label)", long ones stay whole; a volume that
// cannot answer, or a disk without a letter (not even asked), gets blanks.
TEST_F(DriveDetails, ReadsVolumeLabels) {
  platform.labels = {{"E:", "DATA"}, {"G:", "   "}, {"I:", "A LONGER LABEL NAME"}};
  const std::pair<const char*, std::string> table[] = {{"E:", "DATA"},
                                                       {"G:", "(no label)"},
                                                       {"I:", "A LONGER LABEL NAME"},
                                                       {"K:", std::string(14, ' ')},
                                                       {"", std::string(14, ' ')}};
  for (const auto& [root, expected] : table) {
    std::string label;
    GetVolumeLabel(ctx, root, label);
    EXPECT_EQ(label, expected) << root;
  }
  EXPECT_EQ(platform.asked, (std::vector<std::string>{"E:", "G:", "I:", "K:"}));
}

}  // namespace
}  // namespace veracap
