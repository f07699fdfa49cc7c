#include "app/controls.h"

#include <utility>

namespace veracap {
namespace {

void Changed(Context& ctx, Control control) {
  ctx.window.ControlChanged(control, StateOf(ctx.state, control));
}

}  // namespace

ControlState& StateOf(AppState& state, Control control) {
  return state.controls[static_cast<std::size_t>(control)];
}

const char* ControlName(Control control) {
  static constexpr const char* kNames[kControlCount] = {
      "cmdVolumeTest", "cmdQuickTest", "Combo1", "Drive1",  "cmdRefreshDrive",
      "cmdCancel",     "cmdcleanup",   "cmdExit", "cmdCopy", "Text1",
      "Label1",        "Label2",       "chkShowAll", "Form1"};
  return kNames[static_cast<std::size_t>(control)];
}

void SetEnabled(Context& ctx, Control control, bool enabled) {
  StateOf(ctx.state, control).enabled = enabled;
  Changed(ctx, control);
}

void SetVisible(Context& ctx, Control control, bool visible) {
  StateOf(ctx.state, control).visible = visible;
  Changed(ctx, control);
}

void SetCaption(Context& ctx, Control control, const std::string& caption) {
  StateOf(ctx.state, control).caption = caption;
  Changed(ctx, control);
}

void SetItems(Context& ctx, Control control, std::vector<std::string> items, int selected) {
  ControlState& s = StateOf(ctx.state, control);
  s.items = std::move(items);
  s.selected = selected;
  Changed(ctx, control);
}

void SetChecked(Context& ctx, Control control, bool checked) {
  StateOf(ctx.state, control).checked = checked;
  Changed(ctx, control);
}

std::string ComboText(const AppState& state, Control control) {
  const ControlState& s = state.controls[static_cast<std::size_t>(control)];
  if (s.selected < 0 || static_cast<std::size_t>(s.selected) >= s.items.size()) return {};
  return s.items[static_cast<std::size_t>(s.selected)];
}

}  // namespace veracap
