#include "app/window_model.h"

#include <gtest/gtest.h>

#include <set>

#include "app/controls.h"

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
    EXPECT_LE(config.left_twips + config.width_twips, FormModel().client_width_twips)
        << config.name;
    EXPECT_LE(config.top_twips + config.height_twips, FormModel().client_height_twips)
        << config.name;
  }
}

}  // namespace
}  // namespace veracap
