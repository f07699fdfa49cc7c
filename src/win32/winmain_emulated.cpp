// veracap-emulated.exe: the same program and window over emulated drives,
// for demonstrations and for tests where no physical drive can be opened.
// The drives are those of devices.manifest beside the program, or of the
// built-in manifest when there is none. It takes no command line.
//
// When VERACAP_EXIT_REPORT names a file, the program writes into it, as it
// ends, the handles still open and every volume control request the drives
// received (tests check that closing the window during a test leaves no
// volume locked and no handle open). When VERACAP_HIGH_CONTRAST is 1 the
// window is drawn as under a High Contrast theme, in the system colours
// (tests set those; Wine does not report a High Contrast theme).
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/manifest.h"
#include "platform/win32/windows_api.h"
#include "win32/program.h"

namespace {

std::string ProgramFolder() {
  char path[MAX_PATH * 2] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  const std::size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? "." : folder.substr(0, slash);
}

void WriteExitReport(const veracap::emulated::EmulatedPlatform& platform) {
  const char* report = std::getenv("VERACAP_EXIT_REPORT");
  if (!report || !*report) return;
  std::ofstream out(report, std::ios::binary);
  out << "open handles " << platform.open_handle_count() << "\n";
  for (const std::string& request : platform.requests()) out << request << "\n";
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  namespace emulated = veracap::emulated;
  const std::string manifest_path = ProgramFolder() + "\\devices.manifest";
  emulated::Options options;
  options.real_clock = true;
  std::string error;
  const auto platform = emulated::OpenEmulatedDevices(
      ::GetFileAttributesA(manifest_path.c_str()) != INVALID_FILE_ATTRIBUTES ? manifest_path : "",
      options, &error);
  if (!platform) {
    ::MessageBoxA(nullptr, error.c_str(), "VERACAP", MB_OK | MB_ICONSTOP);
    return 1;
  }
  const char* high_contrast = std::getenv("VERACAP_HIGH_CONTRAST");
  const int exit_code = veracap::win32::RunVeracap(
      instance, *platform, high_contrast && std::string(high_contrast) == "1");
  WriteExitReport(*platform);
  return exit_code;
}
