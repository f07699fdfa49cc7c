// The Quick Size Test button from the user's choice to the idle state again:
// refusals, the fresh log, the two confirmations, the busy state while the
// test runs, and a disk left untouched by every way out before the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "app/busy.h"
#include "app/controls.h"
#include "drives/drive_list.h"
#include "quicktest/quick_test_command.h"
#include "shell/startup.h"
#include "support/counting_platform.h"
#include "support/harness.h"

namespace veracap {
namespace {

using testing::Harness;

// Disk 1: a genuine 64 MiB stick (E:); disk 3: a genuine stick without a volume;
// disk 4 the SATA data disk D:.
const char* const kManifest =
    "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\n"
    "  volume C: label \"SYSTEM\" capacity 60GiB\n"
    "disk 1\n  claimed 64MiB\n  bus usb\n  vendor ACME\n  product \"FLASH DISK\"\n"
    "  volume E: label \"GOOD\" capacity 32MiB\n"
    "disk 3\n  claimed 32MiB\n  bus usb\n  vendor GENERIC\n  product \"BLANK\"\n"
    "disk 4\n  claimed 128GiB\n  bus sata\n  removable no\n"
    "  volume D: label \"DATA\" capacity 100GiB\n";

class QuickTestCommand : public ::testing::Test {
 protected:
  QuickTestCommand() : h(kManifest), counting(h.platform()), ctx{counting, h.window(), h.state()} {
    Form_Load(ctx);
  }
  // Picks the entry that begins with the text.
  void Pick(const std::string& start) {
    const auto& items = StateOf(h.state(), Control::Combo1).items;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i].rfind(start, 0) == 0) {
        ASSERT_TRUE(Choose(ctx, Control::Combo1, static_cast<int>(i)));
        return;
      }
    }
    FAIL() << "no entry " << start;
  }
  const std::vector<RecordedMessageBox>& Boxes() { return h.window().message_boxes(); }
  void ExpectIdle() {
    const HeadlessWindow& w = h.window();
    EXPECT_FALSE(w.control(Control::cmdCancel).visible);
    for (Control c : {Control::cmdQuickTest, Control::cmdVolumeTest, Control::cmdcleanup,
                      Control::cmdRefreshDrive, Control::Combo1, Control::chkShowAll,
                      Control::Drive1, Control::cmdExit, Control::cmdCopy}) {
      EXPECT_TRUE(w.control(c).visible && w.control(c).enabled) << ControlName(c);
    }
  }

  Harness h;
  testing::CountingPlatform counting;
  Context ctx;
};

// The number after "DRIVE" in an entry, whatever the letters before it; a
// size that fills its column leaves no blank after the dash.
TEST(DiskNumberInEntryText, ReadsTheNumberAfterDrive) {
  const std::pair<std::string, std::optional<int>> table[] = {
      {std::string(22, ' ') + "    DRIVE 3 -   31.9MiB X", 3},
      {"  DRIVE 12 -   14.9GiB ACME", 12},
      {"     DRIVE 7 -14,901.2GiB ACME", 7},
      {"     DRIVE x -   14.9GiB", 0},
      {"DRIVE 3 -   14.9GiB", std::nullopt},
      {"     DRIVE 3", std::nullopt},
      {"", std::nullopt}};
  for (const auto& [entry, disk] : table) EXPECT_EQ(DiskNumberInEntry(entry), disk) << entry;
}

// The blank stick's entry begins with blanks: disk 3 is read from it.
TEST_F(QuickTestCommand, DiskByTheNumberInAnEntryWithoutLetters) {
  Pick("     ");
  EXPECT_EQ(h.state().SelectedDrive, " :");
  ASSERT_TRUE(Click(ctx, Control::cmdQuickTest));
  EXPECT_EQ(h.state().SelectedDiskNumber, 3);
  EXPECT_NE(h.log().find("DRIVE 3 -   31.3MiB GENERIC BLANK"), std::string::npos);
  EXPECT_NE(h.log().find("*** PASSED ***"), std::string::npos);
}

// Either question cancelled leaves the disk untouched. Both answered OK, the
// test runs in the busy state until Cancel, pressed before the first block
// or in the middle of the write pass; it leaves no partition table and every
// volume unlocked.
TEST_F(QuickTestCommand, TwoConfirmationsThenTheBusyStateUntilCancel) {
  Pick("E:");
  const std::string description = "DRIVE 1 -   62.7MiB ACME FLASH DISK" + std::string(16, ' ');
  const std::string head = "VERACAP v1.1.1  [Qmx]\r\n" + description +
                           "\r\nVeracap - Quick Size Test (destructive)\r\n" +
                           ComboText(h.state(), Control::Combo1);
  h.state().CancelRequested = true;  // left over from an earlier test
  h.window().ScriptAnswers({kIdCancel});
  ASSERT_TRUE(Click(ctx, Control::cmdQuickTest));
  EXPECT_EQ(h.log(), head);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text,
            "WARNING: This test will DESTROY ALL DATA on the whole drive.\r\n\r\n" + description +
                "\r\n\r\nYou will need to reformat it afterwards.");
  EXPECT_FALSE(h.state().CancelRequested);

  h.window().ScriptAnswers({kIdOk, kIdCancel});
  ASSERT_TRUE(Click(ctx, Control::cmdQuickTest));
  EXPECT_EQ(h.log(), head);
  ASSERT_EQ(Boxes().size(), 4u);
  EXPECT_EQ(Boxes()[3].text, "ARE YOU SURE IT IS OK TO ERASE ALL VOLUMES ON DRIVE 1?");
  EXPECT_EQ(counting.writes, 0);
  for (const std::string& request : h.platform().requests()) {
    EXPECT_EQ(request.find("LOCK_VOLUME"), std::string::npos) << request;
  }
  ExpectIdle();

  for (const long press_at : {1L, 40L}) {
    SCOPED_TRACE(press_at);
    const long start = h.window().yields();
    h.window().on_yield = [&](long yield) {
      if (yield - start != press_at) return;
      // The drive list stays visible but still; only Cancel answers.
      for (Control c : {Control::Combo1, Control::Drive1}) {
        EXPECT_TRUE(h.window().control(c).visible) << ControlName(c);
      }
      const std::string log = h.log();
      EXPECT_FALSE(Click(ctx, Control::chkShowAll));
      EXPECT_FALSE(Click(ctx, Control::cmdRefreshDrive));
      EXPECT_FALSE(Choose(ctx, Control::Drive1, 1));
      EXPECT_FALSE(Choose(ctx, Control::Combo1, 1));
      for (Control c : {Control::cmdQuickTest, Control::cmdVolumeTest, Control::cmdcleanup,
                        Control::cmdCopy, Control::cmdExit, Control::Label2}) {
        EXPECT_FALSE(Click(ctx, c)) << ControlName(c);
      }
      EXPECT_FALSE(DevicesChanged(ctx, false));
      // The computer is kept awake and a shutdown is told what it breaks.
      EXPECT_TRUE(KeepAwake(h.state()));
      EXPECT_FALSE(ShutdownBlockReason(h.state()).empty());
      EXPECT_EQ(h.log(), log);
      EXPECT_TRUE(Click(ctx, Control::cmdCancel));
    };
    ASSERT_TRUE(Click(ctx, Control::cmdQuickTest));
    const std::string& log = h.log();
    EXPECT_EQ(log.substr(0, head.size()), head);
    EXPECT_EQ(log.substr(log.size() - 15), "\r\nTEST ABORTED!");
    EXPECT_EQ(log.find("Reading back"), std::string::npos);
    EXPECT_EQ(log.find("% complete  - ") != std::string::npos, press_at != 1);
    EXPECT_FALSE(KeepAwake(h.state()));
    EXPECT_EQ(ShutdownBlockReason(h.state()), "");
    ExpectIdle();
    EXPECT_EQ(h.platform().open_handle_count(), 0u);
    EXPECT_EQ(h.platform().requests().back(), "FSCTL_UNLOCK_VOLUME E:");
    // Sector 0 keeps the 0xFF fill of the preparation, or holds its marker
    // once the lowest block has been written: no partition table either way.
    std::uint8_t sector[512];
    ASSERT_TRUE(h.platform().PeekSector(1, 0, sector));
    EXPECT_EQ(sector[7], press_at == 1 ? 0xFF : 0x80);
    EXPECT_EQ(std::count(sector + 24, sector + 512, 0xFF), 488);
  }
}

// A drive without a disk number, or nothing chosen and no entry to read a
// number from, is refused silently; the disk that holds Windows, or one not
// identified (a SATA disk while only USB drives are shown: size 0), with the
// reason. Nothing is written or logged.
TEST_F(QuickTestCommand, RefusesWhatItCannotTest) {
  const struct {
    const char* drive;
    const char* reason;  // nullptr: silently
  } table[] = {{"Q:", nullptr},
               {"C:", "DRIVE 0 cannot be tested: it holds Windows."},
               {":", nullptr},
               {"D:", "Please run this application with Administrator rights."}};
  for (const auto& row : table) {
    SCOPED_TRACE(row.drive);
    const std::size_t boxes = Boxes().size();
    h.state().SelectedDrive = row.drive;
    if (row.drive == std::string(":")) SetItems(ctx, Control::Combo1, {}, -1);
    ASSERT_TRUE(Click(ctx, Control::cmdQuickTest));
    ASSERT_EQ(Boxes().size(), boxes + (row.reason ? 1 : 0));
    if (row.reason) {
      EXPECT_EQ(Boxes().back().text, row.reason);
    }
  }
  EXPECT_TRUE(h.log().empty());
  EXPECT_EQ(counting.writes, 0);
  ExpectIdle();
}

// Another device took the number after the list was built: refused after
// the questions, nothing written; a rebuild (on the device-change notice,
// while idle only) lists it afresh.
TEST_F(QuickTestCommand, ADeviceSwappedBehindTheNumberIsRefused) {
  Pick("E:");
  h.platform().SwapDevice(1, "BACKUP01");
  h.window().ScriptAnswers({kIdOk, kIdOk});
  ASSERT_TRUE(Click(ctx, Control::cmdQuickTest));
  EXPECT_EQ(Boxes().back().text,
            "DRIVE 1 is no longer the drive chosen in the list: a drive was removed or inserted. "
            "Nothing was written. Refresh the drive list and choose the drive again.");
  EXPECT_EQ(counting.writes, 0);
  EXPECT_TRUE(h.platform().requests().empty());
  ExpectIdle();
  EXPECT_FALSE(DevicesChanged(ctx, true));
  EXPECT_NE(ChosenDeviceChanged(ctx), "");
  EXPECT_TRUE(DevicesChanged(ctx, false));
  h.state().SelectedDiskNumber = 1;  // as the next click finds it
  EXPECT_EQ(ChosenDeviceChanged(ctx), "");
}

}  // namespace
}  // namespace veracap
