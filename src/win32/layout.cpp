#include "win32/layout.h"

#include <cmath>

namespace veracap::win32 {

int TwipsToPixelsRounded(int twips, int dpi) {
  const long long scaled = static_cast<long long>(twips) * dpi;
  const long long half = kTwipsPerInch / 2;
  return static_cast<int>(scaled >= 0 ? (scaled + half) / kTwipsPerInch
                                      : -((-scaled + half) / kTwipsPerInch));
}

int PixelsToTwips(int pixels, int dpi) {
  if (dpi <= 0) return 0;
  const long long scaled = static_cast<long long>(pixels) * kTwipsPerInch;
  const long long half = dpi / 2;
  return static_cast<int>(scaled >= 0 ? (scaled + half) / dpi : -((-scaled + half) / dpi));
}

PixelRect ControlRectPixels(const ControlSpec& config, int dpi) {
  const int left = TwipsToPixelsRounded(config.left_twips, dpi);
  const int top = TwipsToPixelsRounded(config.top_twips, dpi);
  const int right = TwipsToPixelsRounded(config.left_twips + config.width_twips, dpi);
  const int bottom = TwipsToPixelsRounded(config.top_twips + config.height_twips, dpi);
  return PixelRect{left, top, right - left, bottom - top};
}

PixelSize ClientSizePixels(const FormSpec& form, int dpi) {
  return PixelSize{TwipsToPixelsRounded(form.client_width_twips, dpi),
                   TwipsToPixelsRounded(form.client_height_twips, dpi)};
}

int FontHeightPixels(double points, int dpi) {
  return static_cast<int>(std::lround(points * dpi / 72.0));
}

int ListSelectionHeight(const ControlSpec& config, int dpi) {
  return ControlRectPixels(config, dpi).height - kComboFramePixels;
}

int ListItemHeight(const ControlSpec& config, int dpi) {
  return FontHeightPixels(config.font.size_points, dpi) + 4;
}

bool DrawnByWindow(const ControlSpec& config) {
  const bool coloured = config.back_colour.kind == Colour::Kind::kValue;
  return coloured &&
         (config.kind == ControlKind::kButton || config.kind == ControlKind::kDropDownList);
}

std::string_view FaceName(const FontSpec& font) {
  return font.name == "MS Sans Serif" ? "Microsoft Sans Serif" : font.name;
}

namespace {

// Lists and the results box are "window" surfaces; everything else stands
// on the form's button face.
bool WindowSurface(const ControlSpec& config) {
  return config.kind == ControlKind::kMultiLineText || config.kind == ControlKind::kDropDownList ||
         config.kind == ControlKind::kDriveList;
}

Paint System(SystemColour colour) { return Paint{false, 0, colour}; }

}  // namespace

Paint BackPaint(const ControlSpec& config, bool high_contrast) {
  if (!high_contrast && config.back_colour.kind == Colour::Kind::kValue) {
    return Paint{true, config.back_colour.bgr};
  }
  return System(WindowSurface(config) ? SystemColour::kWindow : SystemColour::kButtonFace);
}

Paint TextPaint(const ControlSpec& config, bool high_contrast) {
  if (!high_contrast && config.fore_colour.kind == Colour::Kind::kValue) {
    return Paint{true, config.fore_colour.bgr};
  }
  if (WindowSurface(config)) return System(SystemColour::kWindowText);
  if (high_contrast && config.kind == ControlKind::kLinkLabel) {
    return System(SystemColour::kHotLight);
  }
  // The note's text is the system's window text, on the button face, as the
  // model says; with a theme of high contrast it takes the face's own text.
  if (!high_contrast && config.fore_colour.kind == Colour::Kind::kSystemWindowText) {
    return System(SystemColour::kWindowText);
  }
  return System(SystemColour::kButtonText);
}

int ControlId(Control control) { return kFirstControlId + static_cast<int>(control); }

std::optional<Control> ControlFromId(int id) {
  const int index = id - kFirstControlId;
  if (index < 0 || index >= static_cast<int>(Control::Form1)) return std::nullopt;
  return static_cast<Control>(index);
}

}  // namespace veracap::win32
