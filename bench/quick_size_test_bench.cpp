// Quick Size Test on the emulated "2 TB" counterfeit that holds 8 GiB and
// wraps: wall time, markers, and the CPU time the core spends per marker
// beyond the device I/O itself (the same transfer calls, replayed alone,
// are timed and taken off).
#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/busy.h"
#include "app/headless_window.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/manifest.h"
#include "platform/platform_wrapper.h"
#include "quicktest/quick_size_engine.h"

namespace {

using namespace veracap;

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Records every transfer call the test makes, so that the same device work
// can be replayed without the test around it.
class RecordingPlatform : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  enum class Op : std::uint8_t { kSeek, kRead, kWrite, kFlush, kLock, kUnlock };
  struct Call {
    Op op;
    Handle handle;
    std::int64_t value;
  };
  bool ReadFile(Handle h, void* b, std::uint32_t n, std::uint32_t* r) override {
    calls.push_back({Op::kRead, h, n});
    return PlatformWrapper::ReadFile(h, b, n, r);
  }
  bool WriteFile(Handle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    calls.push_back({Op::kWrite, h, n});
    return PlatformWrapper::WriteFile(h, b, n, w);
  }
  bool SetFilePointerEx(Handle h, std::int64_t d, std::uint32_t m) override {
    calls.push_back({Op::kSeek, h, d});
    return PlatformWrapper::SetFilePointerEx(h, d, m);
  }
  bool FlushFileBuffers(Handle h) override {
    calls.push_back({Op::kFlush, h, 0});
    return PlatformWrapper::FlushFileBuffers(h);
  }
  bool LockFile(Handle h, std::uint64_t o, std::uint64_t l) override {
    calls.push_back({Op::kLock, h, static_cast<std::int64_t>(o)});
    return PlatformWrapper::LockFile(h, o, l);
  }
  bool UnlockFile(Handle h, std::uint64_t o, std::uint64_t l) override {
    calls.push_back({Op::kUnlock, h, static_cast<std::int64_t>(o)});
    return PlatformWrapper::UnlockFile(h, o, l);
  }
  std::vector<Call> calls;
};

// The device work alone: the recorded transfers on one open disk handle.
double ReplaySeconds(Platform& platform, const std::vector<RecordingPlatform::Call>& calls) {
  using Op = RecordingPlatform::Op;
  const Handle h = platform.CreateFile("\\\\.\\PhysicalDrive3", kGenericRead | kGenericWrite,
                                       kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  std::vector<std::uint8_t> buffer(512, 0xA5);
  std::uint32_t done = 0;
  const double start = ThreadCpuSeconds();
  for (const auto& c : calls) {
    switch (c.op) {
      case Op::kSeek: platform.SetFilePointerEx(h, c.value, kFileBegin); break;
      case Op::kRead: platform.ReadFile(h, buffer.data(), 512, &done); break;
      case Op::kWrite: platform.WriteFile(h, buffer.data(), 512, &done); break;
      case Op::kFlush: platform.FlushFileBuffers(h); break;
      case Op::kLock: platform.LockFile(h, static_cast<std::uint64_t>(c.value), 512); break;
      case Op::kUnlock: platform.UnlockFile(h, static_cast<std::uint64_t>(c.value), 512); break;
    }
  }
  const double seconds = ThreadCpuSeconds() - start;
  platform.CloseHandle(h);
  return seconds;
}

}  // namespace

int main() {
  const std::int64_t sectors = 3907029168;  // "2 TB"
  const std::string manifest_text = "disk 3\n  claimed " + std::to_string(sectors) +
                                    "s\n  real 8GiB\n  beyond wrap\n  bus usb\n";
  emulated::Manifest manifest;
  std::string error;
  if (!emulated::ParseManifest(manifest_text, &manifest, &error)) {
    std::fprintf(stderr, "manifest: %s\n", error.c_str());
    return 1;
  }
  const auto dir = std::filesystem::temp_directory_path() / "veracap-bench-quick";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  emulated::Options options;
  options.image_dir = dir.string();
  std::uint64_t markers = 0;
  {
    emulated::EmulatedPlatform emulated(std::move(manifest), options);
    RecordingPlatform platform(emulated);
    HeadlessWindow window;
    AppState state;
    state.QuietMode = true;
    state.SelectedDiskNumber = 3;
    state.DriveSizeBytes = static_cast<double>(sectors) * 512;
    Context ctx{platform, window, state};

    const auto wall_start = std::chrono::steady_clock::now();
    const double cpu_start = ThreadCpuSeconds();
    QuickSizeTest(ctx);
    const double cpu = ThreadCpuSeconds() - cpu_start;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();

    markers = static_cast<std::uint64_t>((sectors + kBlockSectors - 1) / kBlockSectors);
    const double io_cpu = ReplaySeconds(emulated, platform.calls);
    const double core_cpu = cpu - io_cpu;
    const bool found = state.results_log.find("BAD MEMORY from sector 16777216 ") != std::string::npos;
    std::printf("Quick Size Test, emulated \"2 TB\" stick holding 8 GiB (wrap)\n");
    std::printf("  verdict             %s, bad memory from sector 16777216: %s\n",
                state.quick_outcome == AppState::QuickOutcome::kFailed ? "FAILED" : "not FAILED",
                found ? "yes" : "NO");
    std::printf("  markers written     %llu\n", static_cast<unsigned long long>(markers));
    std::printf("  wall time           %.3f s\n", wall);
    std::printf("  CPU time            %.3f s; the same %zu transfer calls replayed alone %.3f s\n",
                cpu, platform.calls.size(), io_cpu);
    std::printf("  core CPU per marker %.2f us (target < 5 us)\n", core_cpu / static_cast<double>(markers) * 1e6);
    std::printf("  results log         %zu bytes\n", state.results_log.size());
  }
  std::filesystem::remove_all(dir);
  return 0;
}
