#include "shell/startup.h"

#include "app/busy.h"
#include "app/controls.h"
#include "app/results_log.h"
#include "app/window_model.h"
#include "base/text.h"
#include "diskio/sector_io.h"
#include "drives/drive_list.h"
#include "filetest/cleanup.h"
#include "filetest/file_test_command.h"
#include "quicktest/quick_test_command.h"

namespace veracap {
namespace {

constexpr std::size_t kInitialSectorBufferBytes = 4097;

// Whether a click or a choice on the control can reach it at all.
bool Usable(const AppState& state, Control control) {
  if (state.ended) return false;
  const ControlState& form = state.controls[static_cast<std::size_t>(Control::Form1)];
  const ControlState& c = state.controls[static_cast<std::size_t>(control)];
  return form.visible && c.visible && c.enabled;
}

// One handler at a time: a test that yields before its busy state (the
// Volume File Test's preparation, a confirmation still to come) must not see
// a second click start another handler inside its own. Only Cancel, which
// merely raises the flag, may run inside a test's yield.
bool Reentered(const AppState& state, Control control) {
  return state.handlers_running > 0 && control != Control::cmdCancel;
}

class HandlerRunning {
 public:
  explicit HandlerRunning(AppState& state) : state_(state) { ++state_.handlers_running; }
  ~HandlerRunning() { --state_.handlers_running; }
  HandlerRunning(const HandlerRunning&) = delete;
  HandlerRunning& operator=(const HandlerRunning&) = delete;

 private:
  AppState& state_;
};

}  // namespace

std::string TitleLine(int major, int minor, int revision) {
  return "VERACAP v" + std::to_string(major) + "." + std::to_string(minor) + "." +
         std::to_string(revision) + "  [Qmx]";
}

std::string AboutText(std::string_view title_line) {
  static constexpr const char* kLines[] = {
      "",
      "This utility tests the size of the memory in your USB Flash drive or SD card.",
      "",
      "  Many FAKE SD cards and USB Flash drives are made to deceive you.",
      "",
      "  Example: a 32GB SD card may contain only 4GB of memory.",
      "  Once you fill the card up with 4GB of files, it will be corrupted",
      "  and you will lose all your data, files and photos!",
      "",
      "QUICK SIZE TEST (fastest and best)",
      "  This test checks your drive and reports the true capacity.",
      "  It will report if your drive is a fake or not.",
      "  Note: This is a destructive test and you will lose all your files.",
      "",
      "TEST EMPTY SPACE",
      "  This test writes test files to any remaining free space on your drive.",
      "  This test is not destructive, however, if your drive is a fake then you",
      "  may lose all your data.",
      "",
      "WARNING: ",
      "         If you have any valuable files on the drive you want to test,",
      "         please backup it up first.",
      "",
      "NOTE: During testing, this utility may respond very slowly",
      "to the Cancel button - just click once and wait!",
  };
  std::string text(title_line);
  text += "  2014";
  for (const char* line : kLines) {
    text += kCrLf;
    text += line;
  }
  return text;
}

void Form_Load(Context& ctx, const LoadGeometry& geometry) {
  AppState& s = ctx.state;
  CreateControls(ctx);
  s.form_load_width_twips = geometry.window_width_twips;
  s.form_load_height_twips = geometry.window_height_twips;
  s.form_top_twips = (geometry.screen_height_twips - geometry.window_height_twips) / 2;
  s.form_left_twips = (geometry.screen_width_twips - geometry.window_width_twips) / 2;
  s.TitleLine = TitleLine();
  SetCaption(ctx, Control::Form1, s.TitleLine);
  Hide_Cancel(ctx);
  s.SectorBuffer.assign(kInitialSectorBufferBytes, 0);
  Drive1_Change(ctx);
  ShowMessage(ctx, AboutText(s.TitleLine), kMbOk | kMbIconInformation, "About Veracap");
  SetVisible(ctx, Control::Form1, true);
}

std::optional<SizeTwips> Form_Resize(const AppState& state, bool minimized, int width_twips,
                                     int height_twips) {
  if (minimized) return std::nullopt;
  if (width_twips == state.form_load_width_twips && height_twips == state.form_load_height_twips) {
    return std::nullopt;
  }
  return SizeTwips{state.form_load_width_twips, state.form_load_height_twips};
}

void Label2_Click(Context& ctx) { ctx.platform.ShellExecuteOpen(std::string(kMakerPageUrl)); }

void cmdExit_Click(Context& ctx) {
  ShowMessage(ctx,
              "Thanks for using VERACAP - Please visit " + Upper(kMakerHost) +
                  " for more information on Fake Flash Memory and lots of other interesting "
                  "things!",
              kMbOk | kMbIconInformation);
  MyCloseHandle(ctx, ctx.state.hDrive);
  ctx.state.ended = true;
}

bool Click(Context& ctx, Control control) {
  if (!Usable(ctx.state, control) || Reentered(ctx.state, control)) return false;
  const HandlerRunning running(ctx.state);
  switch (control) {
    case Control::cmdQuickTest:
      cmdQuickTest_Click(ctx);
      return true;
    case Control::cmdVolumeTest:
      cmdVolumeTest_Click(ctx);
      return true;
    case Control::cmdcleanup:
      cmdcleanup_Click(ctx);
      return true;
    case Control::cmdRefreshDrive:
      cmdRefreshDrive_Click(ctx);
      return true;
    case Control::cmdCancel:
      cmdCancel_Click(ctx);
      return true;
    case Control::cmdExit:
      cmdExit_Click(ctx);
      return true;
    case Control::cmdCopy:
      cmdCopy_Click(ctx);
      return true;
    case Control::Label2:
      Label2_Click(ctx);
      return true;
    case Control::Combo1:
      Combo1_Click(ctx);
      return true;
    case Control::chkShowAll:
      SetChecked(ctx, Control::chkShowAll, !StateOf(ctx.state, Control::chkShowAll).checked);
      chkShowAll_Click(ctx);
      return true;
    case Control::Drive1:
    case Control::Text1:
    case Control::Label1:
    case Control::Form1:
      return false;
  }
  return false;
}

bool Choose(Context& ctx, Control control, int index) {
  if (control != Control::Combo1 && control != Control::Drive1) return false;
  if (!Usable(ctx.state, control) || Reentered(ctx.state, control)) return false;
  const HandlerRunning running(ctx.state);
  const ControlState& list = StateOf(ctx.state, control);
  if (index < 0 || index >= static_cast<int>(list.items.size())) return false;
  const bool changed = index != list.selected;
  SetItems(ctx, control, list.items, index);
  if (control == Control::Combo1) {
    Combo1_Click(ctx);
  } else if (changed) {
    Drive1_Change(ctx);
  }
  return true;
}

}  // namespace veracap
