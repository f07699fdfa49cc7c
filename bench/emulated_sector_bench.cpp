// Cost of the emulated platform per marker: one sector written the way the
// raw-disk test writes it (seek, range lock, write, flush, unlock) and read
// back (seek, read), spread over the "2 TB" disk of the built-in manifest.
// Prints user CPU (the platform's own work) and system CPU (the image I/O).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/emulated/emulated_platform.h"

using namespace veracap;
using namespace veracap::emulated;

namespace {

double CpuSeconds(bool user) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const timeval& t = user ? usage.ru_utime : usage.ru_stime;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const long markers = argc > 1 ? std::atol(argv[1]) : 150000;
  std::string dir = "/tmp/veracap-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return 1;
  Manifest manifest;
  std::string error;
  if (!ParseManifest(BundledManifest(), &manifest, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  Options options;
  options.image_dir = dir;
  {
    EmulatedPlatform p(manifest, options);
    const Handle h = p.CreateFile("\\\\.\\PhysicalDrive3", kGenericRead | kGenericWrite,
                                  kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    const std::uint64_t sectors = 3907029168ull;
    const std::uint64_t step = sectors / static_cast<std::uint64_t>(markers);
    unsigned char sector[512] = {};
    const double user0 = CpuSeconds(true), sys0 = CpuSeconds(false);
    const auto wall0 = std::chrono::steady_clock::now();
    long bad = 0;
    for (long pass = 0; pass < 2; ++pass) {
      for (long i = 0; i < markers; ++i) {
        const std::uint64_t s = static_cast<std::uint64_t>(i) * step;
        const auto offset = static_cast<std::int64_t>(s * 512);
        if (pass == 0) {
          std::memcpy(sector, &s, sizeof s);
          p.SetFilePointerEx(h, offset, kFileBegin);
          p.LockFile(h, static_cast<std::uint64_t>(offset), 512);
          p.WriteFile(h, sector, 512, nullptr);
          p.FlushFileBuffers(h);
          p.UnlockFile(h, static_cast<std::uint64_t>(offset), 512);
        } else {
          std::uint32_t got = 0;
          p.SetFilePointerEx(h, offset, kFileBegin);
          if (!p.ReadFile(h, sector, 512, &got) || got != 512) ++bad;
        }
      }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double user = CpuSeconds(true) - user0, sys = CpuSeconds(false) - sys0;
    std::printf("%ld markers written and read: wall %.2f s, user CPU %.2f us/marker, "
                "system CPU %.2f us/marker, %ld failed reads\n",
                markers, wall, user * 1e6 / static_cast<double>(markers),
                sys * 1e6 / static_cast<double>(markers), bad);
    p.CloseHandle(h);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
