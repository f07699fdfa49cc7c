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
    const ControlSpec& spec = table[i];
    EXPECT_EQ(spec.tab_index, static_cast<int>(i));
    EXPECT_EQ(spec.name, ControlName(spec.control));
    EXPECT_TRUE(names.insert(spec.name).second);
    EXPECT_GT(spec.width_twips, 0);
    EXPECT_GT(spec.height_twips, 0);
    // Every control lies inside the client area.
    EXPECT_LE(spec.left_twips + spec.width_twips, FormModel().client_width_twips) << spec.name;
    EXPECT_LE(spec.top_twips + spec.height_twips, FormModel().client_height_twips) << spec.name;
  }
  EXPECT_EQ(FormModel().client_width_twips, 8055);
  EXPECT_EQ(FormModel().client_height_twips, 6585);
  EXPECT_EQ(FormModel().caption, "Veracap [Qmx]");
  EXPECT_EQ(FormModel().default_font.name, "MS Sans Serif");
  EXPECT_EQ(FormModel().default_font.size_points, 8.25);
  EXPECT_EQ(TwipsToPixels(8055), 537);
  EXPECT_EQ(SpecOf(Control::Form1).kind, ControlKind::kForm);
}

TEST(WindowModel, KeepsTheCaptionsToolTipsAndLooks) {
  const ControlSpec& quick = SpecOf(Control::cmdQuickTest);
  EXPECT_EQ(quick.caption, "&Quick Size Test (Destructive)");
  EXPECT_EQ(quick.tool_tip,
            "This test will destroy all data but is quick and tests the all memory in the "
            "selected drive.");
  EXPECT_EQ(quick.back_colour.bgr, 0x00FFC0C0u);
  EXPECT_TRUE(quick.font.bold);
  EXPECT_EQ(quick.font.size_points, 9.75);
  EXPECT_EQ(quick.left_twips, 5640);
  EXPECT_EQ(quick.top_twips, 1200);
  EXPECT_EQ(quick.width_twips, 2235);
  EXPECT_EQ(quick.height_twips, 735);
  EXPECT_EQ(SpecOf(Control::cmdcleanup).tool_tip, "Deletes any test files ");
  EXPECT_EQ(SpecOf(Control::Combo1).kind, ControlKind::kDropDownList);
  EXPECT_EQ(SpecOf(Control::Combo1).back_colour.bgr, 0x00C0FFFFu);
  EXPECT_EQ(SpecOf(Control::Text1).back_colour.bgr, 0x00E0E0E0u);
  EXPECT_EQ(SpecOf(Control::Label1).fore_colour.kind, Colour::Kind::kSystemWindowText);
  const ControlSpec& link = SpecOf(Control::Label2);
  EXPECT_EQ(link.caption, "www.veracap.example");
  EXPECT_EQ(link.fore_colour.bgr, 0x00FF0000u);
  EXPECT_EQ(link.font.name, "Arial");
  EXPECT_TRUE(link.font.bold && link.font.italic && link.font.underline);
  EXPECT_EQ(SpecOf(Control::chkShowAll).caption, "List all drives");
  EXPECT_EQ(SpecOf(Control::cmdCopy).caption, "<<< Copy To ClipBoard");
}

TEST(WindowModel, CreatesTheControlsInTheirInitialState) {
  testing::StubPlatform platform;
  HeadlessWindow window;
  AppState state;
  Context ctx{platform, window, state};
  CreateControls(ctx);
  for (const ControlSpec& spec : ControlTable()) {
    EXPECT_EQ(window.control(spec.control).caption, spec.caption);
    EXPECT_EQ(window.control(spec.control).visible, spec.initially_visible);
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
