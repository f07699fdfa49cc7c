#include "drives/drive_details.h"

#include <vector>

#include "app/format.h"

namespace veracap {
namespace {

constexpr int kModelWidth = 31;
constexpr int kSizeWidth = 7;
constexpr int kByteCountWidth = 12;
// MAX_PATH + 1: room for any label a file system allows, with its NUL.
constexpr std::uint32_t kLabelBufferChars = 261;
constexpr std::uint32_t kFsNameBufferChars = 32;
constexpr int kFailedLabelBlanks = 14;

// Pads on the left to width; a longer text stays whole, so that a size
// column never loses its leading digits.
std::string PadLeftKeepWhole(const std::string& text, int width) {
  if (static_cast<int>(text.size()) >= width) return text;
  return PadText(text, " ", width, false);
}

}  // namespace

std::string Print_Drive_Details(Context& ctx) {
  const AppState& s = ctx.state;
  if (s.DriveSizeBytes == 0) return "";
  const std::string model = PadText(s.DriveModel, " ", kModelWidth, true);
  const std::string bytes = PadLeftKeepWhole(PlainNumberText(s.DriveSizeBytes), kByteCountWidth);

  // Each step works on the plain text of the previous value, as the column
  // has always been computed (15 significant digits carried).
  std::string value = PlainNumberText(s.DriveSizeBytes / 1024);
  std::string unit = "KiB";
  if (LeadingNumber(value) > 1000) {
    value = PlainNumberText(LeadingNumber(value) / 1024);
    unit = "MiB";
    if (LeadingNumber(value) > 1000) {
      value = PlainNumberText(LeadingNumber(value) / 1024);
      unit = "GiB";
    }
  }
  value = PadLeftKeepWhole(FormatNumberText(value, "###############0.0"), kSizeWidth);

  std::string text =
      "DRIVE " + std::to_string(s.SelectedDiskNumber) + " -" + value + unit + " " + model;
  if (s.DebugMode) text += " " + FormatNumberText(bytes, "###,###,###,###,###0") + " Bytes ";
  return text;
}

void GetVolumeLabel(Context& ctx, const std::string& root, std::string& label) {
  label.assign(kFailedLabelBlanks, ' ');
  // An empty root would name the current directory's volume, not a drive.
  if (root.empty()) return;
  std::vector<char> label_buffer(kLabelBufferChars, ' ');
  std::vector<char> fs_name_buffer(kFsNameBufferChars, ' ');
  if (!ctx.platform.GetVolumeInformation(root, label_buffer.data(), kLabelBufferChars,
                                         fs_name_buffer.data(), kFsNameBufferChars)) {
    return;
  }
  std::string text(label_buffer.begin(), label_buffer.end());
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  if (text.find_first_not_of(' ') == std::string::npos) text = "(no label)";
  label = text;
}

}  // namespace veracap
