// Cost of the Volume File Test's own work on an emulated genuine volume.
//
// 1. The write phase (WriteTestFile for each full file, with its progress
//    text and yields) against a plain sequential write of the same bytes:
//    as many 200 MiB files, in 50 MiB WriteFile calls from one aligned
//    buffer, with the same flags, into the same clusters of the same volume.
//    Rounds alternate and the median ratio is printed (target: 0.9 or more).
//    A first, uncounted round makes the image's pages exist for both.
// 2. The read-back of one 200 MiB test file (VerifyTestFile: the header's
//    sector and the sectors of 6,400 sampled bytes, unbuffered).
//
// Usage: filetest_bench [files per round, default 4] [rounds, default 7]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/headless_window.h"
#include "app/results_log.h"
#include "filetest/cleanup.h"
#include "filetest/verifier.h"
#include "filetest/writer.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/manifest.h"

using namespace veracap;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void DeleteAll(Platform& platform, const std::string& pattern) {
  for (const std::string& name : platform.FindFiles(pattern)) platform.DeleteFile("E:\\" + name);
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  std::string dir =
      (std::filesystem::temp_directory_path() / "veracap-filetest-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;

  const long volume_mib = files * 200L + 16;
  const std::string manifest_text = "disk 1\n  claimed " + std::to_string(volume_mib + 8) +
                                    "MiB\n  volume E: label \"BENCH\" capacity " +
                                    std::to_string(volume_mib) + "MiB\n";
  emulated::Manifest manifest;
  std::string error;
  if (!emulated::ParseManifest(manifest_text, &manifest, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  emulated::Options options;
  options.image_dir = dir;
  int status = 0;
  {
    emulated::EmulatedPlatform platform(manifest, options);
    HeadlessWindow window;
    AppState state;
    Context ctx{platform, window, state};
    state.SelectedDrive = "E:";
    FillTestBuffer(state);

    std::unique_ptr<std::uint8_t, void (*)(std::uint8_t*)> plain(
        static_cast<std::uint8_t*>(
            ::operator new[](kTestPieceBytes, std::align_val_t{kTestBufferAlignment})),
        [](std::uint8_t* p) { ::operator delete[](p, std::align_val_t{kTestBufferAlignment}); });
    std::memset(plain.get(), kBackgroundByte, kTestPieceBytes);

    const double bytes = static_cast<double>(files) * kFullTestFileBytes;
    std::vector<double> plain_mbps, test_mbps, ratios;
    for (int round = -1; round < rounds; ++round) {
      // Plain sequential write.
      auto start = Clock::now();
      for (int k = 1; k <= files; ++k) {
        const Handle h = platform.CreateFile("E:\\PLAIN" + std::to_string(k) + ".tmp",
                                             kGenericWrite, 0, kCreateAlways, kTestFileWriteFlags);
        std::uint32_t written = 0;
        for (int piece = 0; piece < 4; ++piece) {
          if (!platform.WriteFile(h, plain.get(), kTestPieceBytes, &written)) status = 1;
        }
        platform.FlushFileBuffers(h);
        platform.CloseHandle(h);
      }
      const double plain_s = Seconds(start);
      DeleteAll(platform, "E:\\PLAIN*.tmp");

      // The write phase of the test, into the same clusters.
      state.CurrentFileSize = kFullTestFileBytes;
      state.PlannedFileCount = files;
      state.TestFileError = false;
      state.TestStartTime = SerialSeconds(platform.GetLocalTime());
      start = Clock::now();
      for (int n = 1; n <= files; ++n) {
        AppendResult(ctx, "\r\n" + ElapsedText(0));
        window.DoEvents();
        WriteTestFile(ctx, n);
        window.DoEvents();
      }
      const double test_s = Seconds(start);
      if (state.TestFileError) status = 1;

      if (round < 0) {
        DeleteAll(platform, "E:\\VCAPTEST*.tmp");
        continue;  // warm-up
      }
      plain_mbps.push_back(bytes / plain_s / 1048576);
      test_mbps.push_back(bytes / test_s / 1048576);
      ratios.push_back(plain_s / test_s);
      std::printf("round %d: plain %.0f MiB/s, write phase %.0f MiB/s, ratio %.3f\n", round + 1,
                  plain_mbps.back(), test_mbps.back(), ratios.back());
      if (round + 1 < rounds) DeleteAll(platform, "E:\\VCAPTEST*.tmp");
    }

    // Read-back of one full file, three times (the first after the writes).
    std::vector<double> verify_ms;
    for (int i = 0; i < 3; ++i) {
      state.GoodFileCount = 0;
      const auto start = Clock::now();
      if (!VerifyTestFile(ctx, 1)) status = 1;
      verify_ms.push_back(Seconds(start) * 1000);
    }
    DeleteTestFiles(ctx, "E:");

    std::printf("files per round: %d x 200 MiB, rounds: %d\n", files, rounds);
    std::printf("plain sequential write: median %.0f MiB/s\n", Median(plain_mbps));
    std::printf("test write phase:       median %.0f MiB/s\n", Median(test_mbps));
    std::printf("write phase / plain:    median %.3f (target >= 0.9)\n", Median(ratios));
    std::printf("verify one 200 MiB file: %.1f ms, %.1f ms, %.1f ms\n", verify_ms[0], verify_ms[1],
                verify_ms[2]);
    if (status != 0) std::printf("a write or a verification FAILED\n");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
