// The native window's geometry from the window model: pixels at 96 dpi and
// when scaled, font heights, identifiers.
#include "win32/layout.h"

#include <gtest/gtest.h>

#include <set>

namespace veracap::win32 {
namespace {

TEST(WindowLayout, FifteenTwipsAPixelAt96Dpi) {
  EXPECT_EQ(ClientSizePixels(FormModel(), 96), (PixelSize{537, 439}));
  EXPECT_EQ(ControlRectPixels(SpecOf(Control::cmdQuickTest), 96), (PixelRect{376, 80, 149, 49}));
  EXPECT_EQ(ControlRectPixels(SpecOf(Control::Text1), 96), (PixelRect{9, 67, 354, 365}));
  EXPECT_EQ(ControlRectPixels(SpecOf(Control::Combo1), 96), (PixelRect{10, 34, 372, 21}));
  EXPECT_EQ(ControlRectPixels(SpecOf(Control::chkShowAll), 96), (PixelRect{392, 40, 97, 13}));
  // Every place in the table is a whole number of pixels at 96 dpi.
  for (const ControlSpec& config : ControlTable()) {
    const PixelRect r = ControlRectPixels(config, 96);
    EXPECT_EQ(r.left * 15, config.left_twips) << config.name;
    EXPECT_EQ(r.top * 15, config.top_twips) << config.name;
    EXPECT_EQ(r.width * 15, config.width_twips) << config.name;
    EXPECT_EQ(r.height * 15, config.height_twips) << config.name;
  }
}

TEST(WindowLayout, ScalesWithTheMonitorsDpi) {
  EXPECT_EQ(ClientSizePixels(FormModel(), 144), (PixelSize{806, 659}));  // 805.5, 658.5 rounded
  EXPECT_EQ(ControlRectPixels(SpecOf(Control::cmdExit), 144), (PixelRect{665, 597, 135, 50}));
  EXPECT_EQ(ClientSizePixels(FormModel(), 192), (PixelSize{1074, 878}));
  // At 120 dpi (12 twips a pixel) edges round on their own, so controls that
  // share an edge in twips still share it in pixels.
  for (int dpi : {96, 120, 144, 168, 192}) {
    for (const ControlSpec& config : ControlTable()) {
      const PixelRect r = ControlRectPixels(config, dpi);
      EXPECT_EQ(r.left + r.width,
                TwipsToPixelsRounded(config.left_twips + config.width_twips, dpi));
      EXPECT_GT(r.width, 0);
      EXPECT_GT(r.height, 0);
      // Everything lies inside the client area.
      const PixelSize client = ClientSizePixels(FormModel(), dpi);
      EXPECT_LE(r.left + r.width, client.width) << config.name << " at " << dpi;
      EXPECT_LE(r.top + r.height, client.height) << config.name << " at " << dpi;
    }
  }
}

TEST(WindowLayout, PixelsBackToTwips) {
  EXPECT_EQ(PixelsToTwips(537, 96), 8055);
  EXPECT_EQ(PixelsToTwips(806, 144), 8060);
  EXPECT_EQ(PixelsToTwips(1, 120), 12);
  EXPECT_EQ(PixelsToTwips(-2, 96), -30);
  EXPECT_EQ(PixelsToTwips(10, 0), 0);
  EXPECT_EQ(TwipsToPixelsRounded(-30, 96), -2);
}

TEST(WindowLayout, FontHeights) {
  EXPECT_EQ(FontHeightPixels(kDefaultFont.size_points, 96), 11);
  EXPECT_EQ(FontHeightPixels(SpecOf(Control::cmdQuickTest).font.size_points, 96), 13);
  EXPECT_EQ(FontHeightPixels(SpecOf(Control::Label2).font.size_points, 144), 20);
  EXPECT_EQ(FontHeightPixels(8.25, 120), 14);
  // No control asks for the bitmap face, which does not scale.
  for (const ControlSpec& config : ControlTable()) {
    EXPECT_NE(FaceName(config.font), "MS Sans Serif") << config.name;
  }
}

TEST(WindowLayout, HighContrastTakesEveryColourFromTheTheme) {
  using S = SystemColour;
  for (const ControlSpec& config : ControlTable()) {
    const Paint back = BackPaint(config, true);
    const Paint text = TextPaint(config, true);
    EXPECT_FALSE(back.fixed || text.fixed) << config.name;
    // Only pairs that a theme keeps readable.
    const bool on_window = back.system == S::kWindow && text.system == S::kWindowText;
    const bool on_face = back.system == S::kButtonFace &&
                         (text.system == S::kButtonText || text.system == S::kHotLight);
    EXPECT_TRUE(on_window || on_face) << config.name;
  }
  // Without it, the model's own colours.
  EXPECT_EQ(BackPaint(SpecOf(Control::Text1), false), (Paint{true, 0x00E0E0E0}));
  EXPECT_EQ(TextPaint(SpecOf(Control::Label2), false), (Paint{true, 0x00FF0000}));
  EXPECT_EQ(TextPaint(SpecOf(Control::Label1), false).system, S::kWindowText);
}

TEST(WindowLayout, ColouredButtonsAndListAreDrawnByTheWindow) {
  std::set<Control> drawn;
  for (const ControlSpec& config : ControlTable()) {
    if (DrawnByWindow(config)) drawn.insert(config.control);
  }
  EXPECT_EQ(drawn, (std::set<Control>{Control::cmdVolumeTest, Control::cmdQuickTest,
                                      Control::Combo1, Control::cmdcleanup}));
}

TEST(WindowLayout, IdentifiersFollowTheTabOrder) {
  int previous = 0;
  for (const ControlSpec& config : ControlTable()) {
    const int id = ControlId(config.control);
    EXPECT_GT(id, previous);
    previous = id;
    EXPECT_EQ(ControlFromId(id), config.control);
  }
  EXPECT_FALSE(ControlFromId(ControlId(Control::Form1)).has_value());
  EXPECT_FALSE(ControlFromId(0).has_value());
  EXPECT_FALSE(ControlFromId(kFirstControlId - 1).has_value());
}

}  // namespace
}  // namespace veracap::win32
