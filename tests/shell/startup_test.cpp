// Start-up, the About box, the click dispatcher that ignores controls a user
// could not click, the web link, Exit, and the window's fixed size.
#include "shell/startup.h"

#include <gtest/gtest.h>

#include "app/controls.h"
#include "app/results_log.h"
#include "support/harness.h"

namespace veracap {
namespace {

using testing::Harness;

const char* const kManifest =
    "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\n"
    "  volume C: label \"SYSTEM\" capacity 60GiB\n"
    "disk 1\n  claimed 64MiB\n  bus usb\n  vendor ACME\n  product \"FLASH DISK\"\n"
    "  volume E: label \"STICK\" capacity 32MiB\n";

// From start-up to Exit: the About box before the window, with the list
// already filled; the idle state, where a click reaches only visible,
// enabled controls of a shown window; the web link; and no handler after
// Exit.
TEST(StartUp, FromTheAboutBoxToExit) {
  Harness h(kManifest);
  bool form_visible_during_about = true, clicked_during_about = true;
  std::size_t entries_during_about = 0;
  h.window().on_message_box = [&](const RecordedMessageBox&) {
    form_visible_during_about = h.window().control(Control::Form1).visible;
    entries_during_about = h.window().control(Control::Combo1).items.size();
    clicked_during_about = Click(h.ctx(), Control::cmdCopy);
  };
  Form_Load(h.ctx(), {9000, 7200, 19200, 14400});
  h.window().on_message_box = nullptr;

  ASSERT_EQ(h.window().message_boxes().size(), 1u);
  const RecordedMessageBox& about = h.window().message_boxes()[0];
  EXPECT_EQ(about.text.substr(0, 49), "VERACAP v1.1.1  [Qmx]  2014\r\n\r\nThis utility tests");
  EXPECT_FALSE(form_visible_during_about);
  EXPECT_FALSE(clicked_during_about);
  EXPECT_EQ(entries_during_about, 1u);

  const HeadlessWindow& w = h.window();
  EXPECT_TRUE(w.control(Control::Form1).visible);
  EXPECT_EQ(w.control(Control::Form1).caption, "VERACAP v1.1.1  [Qmx]");
  EXPECT_EQ(h.state().form_left_twips, 5100);
  EXPECT_EQ(h.state().form_top_twips, 3600);
  EXPECT_EQ(h.state().SelectedDrive, "E:");
  EXPECT_TRUE(h.log().empty());

  // The idle state: Cancel and the note hidden, everything else usable.
  EXPECT_FALSE(w.control(Control::cmdCancel).visible);
  EXPECT_FALSE(w.control(Control::Label1).visible);
  for (Control c : {Control::cmdQuickTest, Control::cmdVolumeTest, Control::cmdcleanup,
                    Control::cmdRefreshDrive, Control::Combo1, Control::Drive1, Control::cmdExit,
                    Control::cmdCopy, Control::chkShowAll, Control::Text1, Control::Label2}) {
    EXPECT_TRUE(w.control(c).visible && w.control(c).enabled) << ControlName(c);
  }
  EXPECT_FALSE(w.control(Control::chkShowAll).checked);
  EXPECT_FALSE(Click(h.ctx(), Control::cmdCancel));
  EXPECT_FALSE(h.state().CancelRequested);
  SetResultText(h.ctx(), "some text");
  EXPECT_TRUE(Click(h.ctx(), Control::cmdCopy));
  EXPECT_EQ(h.window().clipboard(), "some text");
  ASSERT_TRUE(Click(h.ctx(), Control::Label2));
  const std::vector<std::string> opened{
      "ShellExecute open http://www.veracap.example/tutorials/-fake-usb-flash-memory-drives"};
  EXPECT_EQ(h.platform().requests(), opened);

  // (The busy state's refusals and keep-awake: tests/quicktest/command_test.cpp.)
  // The Volume File Test's preparation yields before the busy state (the
  // clean-up of a test file left behind): a second click at that yield
  // starts nothing.
  const Handle left = h.ctx().platform.CreateFile("E:\\VCAPTEST1.tmp", kGenericWrite, 0, kCreateNew,
                                                  kFileAttributeNormal);
  ASSERT_NE(left, kInvalidHandle);
  h.ctx().platform.CloseHandle(left);
  const std::string before = h.log();
  long nested_at = 0;
  bool nested = false, busy_then = true;
  h.window().on_yield = [&](long y) {
    if (nested_at != 0) return;
    nested_at = y;
    busy_then = h.window().control(Control::cmdCancel).visible;
    nested = Click(h.ctx(), Control::cmdVolumeTest) || Click(h.ctx(), Control::cmdQuickTest) ||
             Click(h.ctx(), Control::cmdRefreshDrive) || Choose(h.ctx(), Control::Combo1, 0);
  };
  EXPECT_TRUE(Click(h.ctx(), Control::cmdVolumeTest));
  EXPECT_NE(h.log(), before);  // the test's fresh log header
  EXPECT_GT(nested_at, 0);
  EXPECT_FALSE(busy_then);
  EXPECT_FALSE(nested);

  ASSERT_TRUE(Click(h.ctx(), Control::cmdExit));
  EXPECT_EQ(h.window().message_boxes().back().text,
            "Thanks for using VERACAP - Please visit WWW.VERACAP.EXAMPLE for more information on "
            "Fake Flash Memory and lots of other interesting things!");
  EXPECT_TRUE(h.state().ended);
  // The program has ended: no handler runs any more.
  const std::size_t boxes = h.window().message_boxes().size();
  const std::size_t requests = h.platform().requests().size();
  EXPECT_FALSE(Click(h.ctx(), Control::cmdExit));
  EXPECT_FALSE(Click(h.ctx(), Control::Label2));
  EXPECT_EQ(h.window().message_boxes().size(), boxes);
  EXPECT_EQ(h.platform().requests().size(), requests);
}

TEST(StartUp, KeepsTheWindowAtItsLoadSize) {
  AppState state;
  state.form_load_width_twips = 8175;
  state.form_load_height_twips = 7020;
  const auto back = Form_Resize(state, false, 9000, 7020);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->width_twips, 8175);
  EXPECT_EQ(back->height_twips, 7020);
  EXPECT_FALSE(Form_Resize(state, true, 1000, 500).has_value());
  EXPECT_FALSE(Form_Resize(state, false, 8175, 7020).has_value());
}

}  // namespace
}  // namespace veracap
