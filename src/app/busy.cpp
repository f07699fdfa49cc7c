#include "app/busy.h"

#include "app/controls.h"

namespace veracap {

void Show_Cancel(Context& ctx) {
  SetEnabled(ctx, Control::cmdCancel, true);
  SetVisible(ctx, Control::cmdCancel, true);
  SetEnabled(ctx, Control::cmdRefreshDrive, false);
  SetEnabled(ctx, Control::Combo1, false);
  SetEnabled(ctx, Control::chkShowAll, false);
  SetEnabled(ctx, Control::Drive1, false);
  SetEnabled(ctx, Control::cmdcleanup, false);
  SetEnabled(ctx, Control::cmdQuickTest, false);
  SetEnabled(ctx, Control::cmdVolumeTest, false);
  SetVisible(ctx, Control::cmdQuickTest, false);
  SetVisible(ctx, Control::cmdVolumeTest, false);
  SetVisible(ctx, Control::cmdExit, false);
  SetVisible(ctx, Control::cmdCopy, false);
  SetVisible(ctx, Control::cmdcleanup, false);
}

void Hide_Cancel(Context& ctx) {
  SetEnabled(ctx, Control::cmdCancel, false);
  SetVisible(ctx, Control::cmdCancel, false);
  SetVisible(ctx, Control::Label1, false);
  SetEnabled(ctx, Control::cmdQuickTest, true);
  SetEnabled(ctx, Control::cmdRefreshDrive, true);
  SetEnabled(ctx, Control::Combo1, true);
  SetEnabled(ctx, Control::chkShowAll, true);
  SetEnabled(ctx, Control::Drive1, true);
  SetEnabled(ctx, Control::cmdcleanup, true);
  SetEnabled(ctx, Control::cmdVolumeTest, true);
  SetVisible(ctx, Control::cmdExit, true);
  SetVisible(ctx, Control::cmdCopy, true);
  SetVisible(ctx, Control::cmdcleanup, true);
  SetVisible(ctx, Control::cmdQuickTest, true);
  SetVisible(ctx, Control::cmdVolumeTest, true);
}

void cmdCancel_Click(Context& ctx) { ctx.state.CancelRequested = true; }

void KeepResponsive(Context& ctx) {
  const std::uint32_t now = ctx.platform.GetTickCount();
  if (now - ctx.state.responsive_tick < kResponsiveIntervalMs) return;
  ctx.state.responsive_tick = now;
  ctx.window.KeepResponsive();
}

bool KeepAwake(const AppState& state) {
  // The busy state is Cancel shown and usable.
  const ControlState& cancel = state.controls[static_cast<std::size_t>(Control::cmdCancel)];
  return cancel.visible && cancel.enabled;
}

std::string ShutdownBlockReason(const AppState& state) {
  if (!KeepAwake(state)) return {};
  // The Quick Size Test keeps its own button on show while it runs.
  const bool quick = state.controls[static_cast<std::size_t>(Control::cmdQuickTest)].visible;
  return quick ? "A Quick Size Test is running. Shutting down stops it without a verdict and "
                 "leaves the drive without a partition table."
               : "A Volume File Test is running. Shutting down stops it without a verdict and "
                 "leaves its test files on the drive.";
}

}  // namespace veracap
