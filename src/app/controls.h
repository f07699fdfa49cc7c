// Changing a control: the core's model first, then the window is told.
#pragma once

#include <string>

#include "app/context.h"

namespace veracap {

void SetEnabled(Context& ctx, Control control, bool enabled);
void SetVisible(Context& ctx, Control control, bool visible);
void SetCaption(Context& ctx, Control control, const std::string& caption);
void SetItems(Context& ctx, Control control, std::vector<std::string> items, int selected);
void SetChecked(Context& ctx, Control control, bool checked);
// The text a drop-down shows: its selected entry, or "" when none.
std::string ComboText(const AppState& state, Control control);

}  // namespace veracap
