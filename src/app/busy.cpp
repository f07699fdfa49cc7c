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

}  // namespace veracap
