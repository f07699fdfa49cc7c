#include "cli/real_devices.h"

#ifdef __linux__
#include <unistd.h>

#include "platform/linux/linux_platform.h"
#endif

namespace veracap::cli {

#ifdef __linux__

bool RealDevicesSupported() { return true; }

std::unique_ptr<Platform> MakeRealPlatform(std::ostream& err) {
  if (::geteuid() != 0) {
    err << "veracap-cli: raw disk access needs root rights; run it as root (sudo), or use\n"
           "  --devices FILE for emulated devices. Nothing was done.\n";
    return nullptr;
  }
  linux_platform::Options options;
  // What the platform unmounts or finds busy is told as it happens.
  options.notice = [&err](const std::string& text) { err << "\n[veracap: " << text << "]\n"; };
  auto platform = std::make_unique<linux_platform::LinuxPlatform>(options);
  err << "Devices (disk numbers and drive letters):\n";
  for (const std::string& line : platform->DescribeDevices()) err << "  " << line << "\n";
  return platform;
}

#else

bool RealDevicesSupported() { return false; }

std::unique_ptr<Platform> MakeRealPlatform(std::ostream& err) {
  err << "veracap-cli: this build has no platform for real devices; use --devices FILE.\n";
  return nullptr;
}

#endif

}  // namespace veracap::cli
