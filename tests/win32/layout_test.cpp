// The native window's geometry from the window model: pixels at every dpi,
// font heights, colours under High Contrast, identifiers.
#include "win32/layout.h"

#include <gtest/gtest.h>

namespace veracap::win32 {
namespace {

TEST(WindowLayout, PixelsAtEveryDpi) {
  EXPECT_EQ(ClientSizePixels(FormModel(), 96), (PixelSize{537, 439}));
  EXPECT_EQ(ClientSizePixels(FormModel(), 144), (PixelSize{806, 659}));  // 805.5, 658.5
  EXPECT_EQ(ControlRectPixels(SpecOf(Control::cmdExit), 144), (PixelRect{665, 597, 135, 50}));
  EXPECT_EQ(PixelsToTwips(806, 144), 8060);
  EXPECT_EQ(PixelsToTwips(-2, 96), -30);
  EXPECT_EQ(PixelsToTwips(10, 0), 0);
  for (const ControlSpec& config : ControlTable()) {
    // 15 twips a pixel at 96 dpi: every place in the table is whole pixels.
    const PixelRect at96 = ControlRectPixels(config, 96);
    EXPECT_EQ(
        (PixelRect{at96.left * 15, at96.top * 15, at96.width * 15, at96.height * 15}),
        (PixelRect{config.left_twips, config.top_twips, config.width_twips, config.height_twips}))
        << config.name;
    // Elsewhere edges round on their own, so controls that share an edge in
    // twips still share it in pixels, and everything stays inside.
    for (int dpi : {120, 144, 168, 192}) {
      const PixelRect r = ControlRectPixels(config, dpi);
      const PixelSize client = ClientSizePixels(FormModel(), dpi);
      EXPECT_EQ(r.left + r.width,
                TwipsToPixelsRounded(config.left_twips + config.width_twips, dpi));
      EXPECT_TRUE(r.width > 0 && r.height > 0 && r.left + r.width <= client.width &&
                  r.top + r.height <= client.height)
          << config.name << " at " << dpi;
    }
  }
}

TEST(WindowLayout, FontHeights) {
  EXPECT_EQ(FontHeightPixels(8.25, 96), 11);
  EXPECT_EQ(FontHeightPixels(9.75, 96), 13);
  EXPECT_EQ(FontHeightPixels(8.25, 120), 14);
  EXPECT_EQ(FontHeightPixels(9.75, 144), 20);  // 19.5
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
    // Only pairs that a theme keeps readable.
    EXPECT_TRUE(!back.fixed && !text.fixed &&
                ((back.system == S::kWindow && text.system == S::kWindowText) ||
                 (back.system == S::kButtonFace &&
                  (text.system == S::kButtonText || text.system == S::kHotLight))))
        << config.name;
  }
  EXPECT_EQ(BackPaint(SpecOf(Control::Text1), false), (Paint{true, 0x00E0E0E0}));
}

TEST(WindowLayout, IdentifiersFollowTheTabOrder) {
  int previous = 0;
  for (const ControlSpec& config : ControlTable()) {
    EXPECT_GT(ControlId(config.control), previous);
    previous = ControlId(config.control);
    EXPECT_EQ(ControlFromId(previous), config.control);
  }
  for (int id : {0, kFirstControlId - 1, ControlId(Control::Form1)}) {
    EXPECT_FALSE(ControlFromId(id).has_value()) << id;
  }
}

}  // namespace
}  // namespace veracap::win32
