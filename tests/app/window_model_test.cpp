#include <gtest/gtest.h>

#include <set>

#include "app/controls.h"
#include "app/headless_window.h"
#include "app/window_model.h"
#include "support/stub_platform.h"

namespace veracap {
namespace {

TEST(WindowModel, DescribesEveryControlInTabOrder) {
  const auto& table = ControlTable();
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const ControlSpec& config = table[i];
    EXPECT_EQ(config.tab_index, static_cast<int>(i));
    EXPECT_EQ(config.name, ControlName(config.control));
    EXPECT_TRUE(names.insert(config.name).second);
    EXPECT_GT(config.width_twips, 0);
    EXPECT_GT(config.height_twips, 0);
    // Every control lies inside the client area.
    EXPECT_LE(config.left_twips + config.width_twips, FormModel().client_width_twips) << config.name;
    EXPECT_LE(config.top_twips + config.height_twips, FormModel().client_height_twips) << config.name;
  }
  EXPECT_EQ(FormModel().client_width_twips, 8055);
  EXPECT_EQ(FormModel().client_height_twips, 6585);
  EXPECT_EQ(FormModel().caption, "Veracap [Qmx]");
  EXPECT_EQ(FormModel().default_font.name, "MS Sans Serif");
  EXPECT_EQ(FormModel().default_font.size_points, 8.25);
  EXPECT_EQ(TwipsToPixels(8055), 537);
  EXPECT_EQ(SpecOf(Control::Form1).kind, ControlKind::kForm);
}

TEST(WindowModel, CreatesTheControlsInTheirInitialState) {
  testing::StubPlatform platform;
  HeadlessWindow window;
  AppState state;
  Context ctx{platform, window, state};
  CreateControls(ctx);
  for (const ControlSpec& config : ControlTable()) {
    EXPECT_EQ(window.control(config.control).caption, config.caption);
    EXPECT_EQ(window.control(config.control).visible, config.initially_visible);
  }
  EXPECT_FALSE(window.control(Control::cmdCancel).visible);
  EXPECT_FALSE(window.control(Control::Label1).visible);
  EXPECT_FALSE(window.control(Control::chkShowAll).checked);
  EXPECT_FALSE(window.control(Control::Form1).visible);
  EXPECT_EQ(window.control(Control::Form1).caption, "Veracap [Qmx]");
  EXPECT_EQ(StateOf(state, Control::cmdExit).caption, "E&xit");
}

}  // namespace
}  // namespace veracap
