#include "filetest/cleanup.h"

#include "app/results_log.h"
#include "base/text.h"
#include "filetest/writer.h"

namespace veracap {
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
  if (Trim(drive).size() < 2) return;
  if (FindTestFiles(ctx, drive).empty()) return;
  AppendResult(ctx, std::string(kCrLf) + "Deleting " + TestFilePattern(drive) + " files...");
  ctx.window.DoEvents();
  DeleteTestFiles(ctx, drive);
  AppendResult(ctx, "finished.");
}

}  // namespace veracap
