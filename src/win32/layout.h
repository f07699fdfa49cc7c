// The native window's geometry, worked out from the window model alone and
// without Windows headers (so it is tested in every build): twips to pixels
// at a monitor's dots per inch, font heights, the window's place when it is
// centred, and the child-window identifiers of the controls.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "app/window.h"
#include "app/window_model.h"

namespace veracap::win32 {

struct PixelRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool operator==(const PixelRect&) const = default;
};

struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};

// Twips to pixels at dpi, to the nearest pixel (15 twips a pixel at 96 dpi).
int TwipsToPixelsRounded(int twips, int dpi);
// Pixels to twips at dpi, to the nearest twip.
int PixelsToTwips(int pixels, int dpi);

// A control's place in the client area. The edges are rounded, not the width
// and height, so that controls that meet in twips still meet in pixels.
PixelRect ControlRectPixels(const ControlSpec& config, int dpi);
// The form's client area (8055 x 6585 twips: 537 x 439 pixels at 96 dpi).
PixelSize ClientSizePixels(const FormSpec& form, int dpi);

// The character height of a font of that many points (LOGFONT's lfHeight is
// its negative): 8.25 pt is 11 pixels and 9.75 pt is 13 pixels at 96 dpi.
int FontHeightPixels(double points, int dpi);

// The heights of a drawn drop-down list: its selection field (the control's
// height less the frame around it) and each entry of its opened list.
inline constexpr int kComboFramePixels = 6;
int ListSelectionHeight(const ControlSpec& config, int dpi);
int ListItemHeight(const ControlSpec& config, int dpi);

// Whether the window draws the control itself to show its colours: buttons
// and drop-down lists with a background colour of their own (themed Windows
// controls ignore a background colour).
bool DrawnByWindow(const ControlSpec& config);

// The font face asked of the system for a face of the model. "MS Sans
// Serif" is a bitmap font on current Windows, drawn at a few fixed sizes
// only; "Microsoft Sans Serif" is its TrueType twin with the same metrics,
// so the controls keep their look at 96 dpi and scale cleanly above it.
std::string_view FaceName(const FontSpec& font);

// The colours of a control, fixed or the user's system colours. With a High
// Contrast theme on, every control takes its colours from the theme, in
// pairs that the theme keeps readable (window and window text, button face
// and button text, button face and link text); the model's fixed light
// backgrounds would put the theme's light text on light ground.
enum class SystemColour { kWindow, kWindowText, kButtonFace, kButtonText, kHotLight };
struct Paint {
  bool fixed = false;
  std::uint32_t bgr = 0;  // 0x00BBGGRR, when fixed
  SystemColour system = SystemColour::kButtonFace;
  bool operator==(const Paint&) const = default;
};
Paint BackPaint(const ControlSpec& config, bool high_contrast);
Paint TextPaint(const ControlSpec& config, bool high_contrast);

// Child-window identifiers: one per control, in tab order.
inline constexpr int kFirstControlId = 1001;
int ControlId(Control control);
std::optional<Control> ControlFromId(int id);

}  // namespace veracap::win32
