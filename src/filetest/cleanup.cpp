#include "filetest/cleanup.h"

#include "app/results_log.h"
#include "filetest/writer.h"

namespace veracap {
namespace {

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string TestFilePattern(const std::string& drive) { return drive + "\\VCAPTEST*.tmp"; }

std::vector<std::string> FindTestFiles(Context& ctx, const std::string& drive) {
  std::vector<std::string> names = ctx.platform.FindFiles(TestFilePattern(drive));
  std::erase_if(names, [](const std::string& name) { return !IsTestFileName(name); });
  return names;
}

void DeleteTestFiles(Context& ctx, const std::string& drive) {
  for (const std::string& name : FindTestFiles(ctx, drive)) {
    ctx.platform.DeleteFile(drive + "\\" + name);
  }
}

void cmdcleanup_Click(Context& ctx) {
  const std::string drive = ctx.state.SelectedDrive;
  if (Trimmed(drive).size() < 2) return;
  if (FindTestFiles(ctx, drive).empty()) return;
  AppendResult(ctx, std::string(kCrLf) + "Deleting " + TestFilePattern(drive) + " files...");
  ctx.window.DoEvents();
  DeleteTestFiles(ctx, drive);
  AppendResult(ctx, "finished.");
}

}  // namespace veracap
