#include "app/window_model.h"

#include <string>

#include "app/controls.h"

namespace veracap {
namespace {

constexpr Colour kLightCyan = ColourValue(0x00FFFFC0);
constexpr Colour kLightBlue = ColourValue(0x00FFC0C0);
constexpr Colour kLightYellow = ColourValue(0x00C0FFFF);
constexpr Colour kLightGrey = ColourValue(0x00E0E0E0);
constexpr Colour kBlue = ColourValue(0x00FF0000);

constexpr FontSpec kQuickTestFont{"MS Sans Serif", 9.75, true};
constexpr FontSpec kLinkFont{"Arial", 9.75, true, true, true};

constexpr FormSpec kForm{"Form1", "Veracap [Qmx]", 8055, 6585, kDefaultFont, 16, true, true, false};

using K = ControlKind;
using C = Control;

constexpr std::array<ControlSpec, kControlCount - 1> kControls{{
    {C::cmdVolumeTest, "cmdVolumeTest", K::kButton, "Test &Empty Space (Slow)",
     "This test fills up the drive with test files.", 0, 5670, 2010, 2220, 465, kLightCyan,
     kDefaultColour, kDefaultFont, true, true},
    {C::cmdQuickTest, "cmdQuickTest", K::kButton, "&Quick Size Test (Destructive)",
     "This test will destroy all data but is quick and tests the all memory in the selected "
     "drive.",
     1, 5640, 1200, 2235, 735, kLightBlue, kDefaultColour, kQuickTestFont, true, true},
    {C::Combo1, "Combo1", K::kDropDownList, "", "Select the drive you want to test", 2, 150, 510,
     5580, 315, kLightYellow, kDefaultColour, kDefaultFont, true, true},
    {C::Drive1, "Drive1", K::kDriveList, "", "", 3, 2895, 30, 1800, 315, kDefaultColour,
     kDefaultColour, kDefaultFont, true, true},
    {C::cmdRefreshDrive, "cmdRefreshDrive", K::kButton, "&Refresh Drive List",
     "Use if you have inserted or removed a drive", 4, 150, 105, 1635, 285, kDefaultColour,
     kDefaultColour, kDefaultFont, true, true},
    {C::cmdCancel, "cmdCancel", K::kButton, "&Cancel", "Click to cancel (be patient!)", 5, 6120,
     4305, 1350, 495, kDefaultColour, kDefaultColour, kDefaultFont, false, false},
    {C::cmdcleanup, "cmdcleanup", K::kButton, "&Delete Test Files", "Deletes any test files ", 6,
     6030, 2610, 1485, 330, kLightCyan, kDefaultColour, kDefaultFont, true, true},
    {C::cmdExit, "cmdExit", K::kButton, "E&xit", "Quit", 7, 6645, 5970, 1350, 495, kDefaultColour,
     kDefaultColour, kDefaultFont, true, true},
    {C::cmdCopy, "cmdCopy", K::kButton, "<<< Copy To ClipBoard", "Copy result text to ClipBoard", 8,
     5460, 5190, 1800, 375, kDefaultColour, kDefaultColour, kDefaultFont, true, true},
    {C::Text1, "Text1", K::kMultiLineText, "", "", 9, 135, 1005, 5310, 5475, kLightGrey,
     kDefaultColour, kDefaultFont, true, true},
    {C::Label1, "Label1", K::kLabel,
     "PLEASE NOTE: Due to large file transfers, the Cancel button may take a while to respond!", "",
     10, 5580, 3330, 2400, 780, kDefaultColour, kWindowTextColour, kDefaultFont, false, true},
    {C::Label2, "Label2", K::kLinkLabel, kMakerHost, "", 11, 5655, 60, 2265, 285, kDefaultColour,
     kBlue, kLinkFont, true, true},
    {C::chkShowAll, "chkShowAll", K::kCheckBox, "List all drives",
     "Display all drives in selection box", 12, 5880, 600, 1455, 195, kDefaultColour,
     kDefaultColour, kDefaultFont, true, true},
}};

// The form seen as a control, so that SpecOf covers every Control value.
constexpr ControlSpec kFormAsControl{C::Form1,
                                     kForm.name,
                                     K::kForm,
                                     kForm.caption,
                                     "",
                                     -1,
                                     0,
                                     0,
                                     kForm.client_width_twips,
                                     kForm.client_height_twips,
                                     kDefaultColour,
                                     kDefaultColour,
                                     kDefaultFont,
                                     kForm.initially_visible,
                                     true};

// The table must list the controls in the order of the Control enumeration,
// which is their tab order.
constexpr bool TableInEnumOrder() {
  for (std::size_t i = 0; i < kControls.size(); ++i) {
    if (static_cast<std::size_t>(kControls[i].control) != i) return false;
    if (kControls[i].tab_index != static_cast<int>(i)) return false;
  }
  return true;
}
static_assert(TableInEnumOrder());

}  // namespace

const FormSpec& FormModel() { return kForm; }

const std::array<ControlSpec, kControlCount - 1>& ControlTable() { return kControls; }

const ControlSpec& SpecOf(Control control) {
  const auto i = static_cast<std::size_t>(control);
  return i < kControls.size() ? kControls[i] : kFormAsControl;
}

void CreateControls(Context& ctx) {
  for (const ControlSpec& config : kControls) {
    ControlState& s = StateOf(ctx.state, config.control);
    s = ControlState{};
    s.caption = std::string(config.caption);
    s.visible = config.initially_visible;
    s.enabled = config.initially_enabled;
    ctx.window.ControlChanged(config.control, s);
  }
  ControlState& form = StateOf(ctx.state, Control::Form1);
  form = ControlState{};
  form.caption = std::string(kForm.caption);
  form.visible = kForm.initially_visible;
  ctx.window.ControlChanged(Control::Form1, form);
}

}  // namespace veracap
