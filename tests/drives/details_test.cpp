#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "app/headless_window.h"
#include "drives/drive_details.h"
#include "support/stub_platform.h"

namespace veracap {
namespace {

// Volumes by root, answering as GetVolumeInformationA does: the label with
// its NUL, or a failure when it does not fit.
class LabelPlatform : public testing::StubPlatform {
 public:
  std::map<std::string, std::string> labels;
  std::vector<std::string> asked;
  bool GetVolumeInformation(const std::string& root, char* label, std::uint32_t label_size, char*,
                            std::uint32_t) override {
    asked.push_back(root);
    const auto it = labels.find(root);
    if (it == labels.end() || it->second.size() + 1 > label_size) return false;
    std::memcpy(label, it->second.c_str(), it->second.size() + 1);
    return true;
  }
};

class DriveDetails : public ::testing::Test {
 protected:
  std::string Describe(double size_bytes, const std::string& model = "ACME FLASH DISK",
                       int disk = 1) {
    state.SelectedDiskNumber = disk;
    state.DriveSizeBytes = size_bytes;
    state.DriveModel = model;
    return Print_Drive_Details(ctx);
  }
  static std::string Model(const std::string& m) { return m + std::string(31 - m.size(), ' '); }

  LabelPlatform platform;
  HeadlessWindow window;
  AppState state;
  Context ctx{platform, window, state};
};

// Units above one thousand, decimals cut, a long model cut to its column;
// the size and, in debug mode, the byte count never cut.
TEST_F(DriveDetails, DescribesSizeAndModel) {
  const std::string acme = Model("ACME FLASH DISK");
  const std::string long_model = "VERY LONG VENDOR NAME AND PRODUCT NAME";
  EXPECT_EQ(Describe(16006394880.0), "DRIVE 1 -   14.9GiB " + acme);
  EXPECT_EQ(Describe(1024000), "DRIVE 1 -1,000.0KiB " + acme);
  EXPECT_EQ(Describe(1025024), "DRIVE 1 -    0.9MiB " + acme);
  EXPECT_EQ(Describe(512, "", 12), "DRIVE 12 -    0.5KiB " + std::string(31, ' '));
  EXPECT_EQ(Describe(1024000, long_model), "DRIVE 1 -1,000.0KiB " + long_model.substr(0, 31));
  EXPECT_EQ(Describe(0), "");  // not identified
  state.DebugMode = true;
  EXPECT_EQ(Describe(16006394880.0), "DRIVE 1 -   14.9GiB " + acme + " 16,006,394,880 Bytes ");
  // A "16 TB" counterfeit: 1,945,228 cylinders.
  EXPECT_EQ(Describe(16000044963840.0),
            "DRIVE 1 -14,901.2GiB " + acme + " 16,000,044,963,840 Bytes ");
  EXPECT_TRUE(state.results_log.empty());
}

// Blank labels read "(no label)", long ones stay whole; a volume that
// cannot answer, or a disk without a letter (not even asked), gets blanks.
TEST_F(DriveDetails, ReadsVolumeLabels) {
  platform.labels = {{"E:", "DATA"}, {"G:", "   "}, {"I:", "A LONGER LABEL NAME"}};
  const std::pair<const char*, std::string> table[] = {{"E:", "DATA"},
                                                       {"G:", "(no label)"},
                                                       {"I:", "A LONGER LABEL NAME"},
                                                       {"K:", std::string(14, ' ')},
                                                       {"", std::string(14, ' ')}};
  for (const auto& [root, expected] : table) {
    std::string label;
    GetVolumeLabel(ctx, root, label);
    EXPECT_EQ(label, expected) << root;
  }
  EXPECT_EQ(platform.asked, (std::vector<std::string>{"E:", "G:", "I:", "K:"}));
}

}  // namespace
}  // namespace veracap
