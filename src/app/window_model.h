// The main window as data: the form and every control with its kind, caption,
// tool-tip, tab order, place and size, colours, font and initial state. A
// native window draws itself from this table and the ControlState the core
// keeps; it needs nothing else.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "app/context.h"

namespace veracap {

// The maker's web host, shown in the link label, opened by it (with the
// tutorial path) and named in capitals in the closing message.
inline constexpr std::string_view kMakerHost = "www.veracap.example";
inline constexpr std::string_view kMakerPageUrl =
    "http://www.veracap.example/tutorials/-fake-usb-flash-memory-drives";

// 1440 twips are one inch; at 96 dots per inch 15 twips are one pixel.
inline constexpr int kTwipsPerInch = 1440;
constexpr int TwipsToPixels(int twips, int dots_per_inch = 96) {
  return twips * dots_per_inch / kTwipsPerInch;
}

enum class ControlKind {
  kForm,
  kButton,
  kDropDownList,  // pick only; no typing
  kDriveList,     // the drive letters present in the system
  kCheckBox,
  kLabel,
  kLinkLabel,      // a label that opens a web page when clicked
  kMultiLineText,  // with a vertical scroll bar
};

// A colour: the control's default for its kind, a fixed 0x00BBGGRR value, or
// the system's window-text colour (which follows the user's theme).
struct Colour {
  enum class Kind { kDefault, kValue, kSystemWindowText };
  Kind kind = Kind::kDefault;
  std::uint32_t bgr = 0;  // 0x00BBGGRR, for kValue
};
inline constexpr Colour kDefaultColour{};
constexpr Colour ColourValue(std::uint32_t bgr) { return {Colour::Kind::kValue, bgr}; }
inline constexpr Colour kWindowTextColour{Colour::Kind::kSystemWindowText, 0};

struct FontSpec {
  std::string_view name;
  double size_points = 0;
  bool bold = false;
  bool italic = false;
  bool underline = false;
};
inline constexpr FontSpec kDefaultFont{"MS Sans Serif", 8.25};

struct ControlSpec {
  Control control;
  std::string_view name;
  ControlKind kind;
  std::string_view caption;  // "&" marks the access key of the next letter
  std::string_view tool_tip;
  int tab_index;  // -1 for the form
  // Place and size in twips; left and top relative to the client area.
  int left_twips, top_twips, width_twips, height_twips;
  Colour back_colour;
  Colour fore_colour;
  FontSpec font;
  bool initially_visible;
  bool initially_enabled;
};

struct FormSpec {
  std::string_view name;
  std::string_view caption;  // until start-up replaces it with TitleLine
  int client_width_twips;
  int client_height_twips;
  FontSpec default_font;
  // The window has its own 16 x 16 icon; its image is the native window's
  // resource (a drive with a magnifying glass suits it).
  int icon_size_pixels;
  bool fixed_size;         // kept at its load-time size (see Form_Resize)
  bool centred;            // centred on the screen at load
  bool initially_visible;  // shown only when start-up has finished
};

const FormSpec& FormModel();
// The controls in tab order (tab index 0 first).
const std::array<ControlSpec, kControlCount - 1>& ControlTable();
// The entry of one control; for Control::Form1, the form as a control (kind
// kForm, tab index -1, client size, not in the table).
const ControlSpec& SpecOf(Control control);

// Creates the window's controls: every ControlState is set from the table
// (and the form's from FormModel) and the window is told of each.
void CreateControls(Context& ctx);

}  // namespace veracap
