// Measures what a test asks of the device: marker sectors written and read on
// the physical disk, test-file bytes written and read, the time spent in
// those calls and the calls that failed. The runner's speeds, progress bar
// and JSON report come from here; the bytes pass through unchanged.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/platform_wrapper.h"

namespace veracap::cli {

struct Transfers {
  std::uint64_t count = 0;
  std::uint64_t bytes = 0;
  std::uint64_t errors = 0;
  double seconds = 0;  // inside the calls, flushes included
  // The one-sector requests among them (the markers) and their time.
  std::uint64_t sector_count = 0;
  double sector_seconds = 0;
};

class Meter : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;

  Handle CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t disposition, std::uint32_t flags) override;
  bool ReadFile(Handle h, void* buffer, std::uint32_t length, std::uint32_t* read) override;
  bool WriteFile(Handle h, const void* buffer, std::uint32_t length,
                 std::uint32_t* written) override;
  bool FlushFileBuffers(Handle h) override;
  bool CloseHandle(Handle h) override;

  Transfers disk_writes, disk_reads;  // on \\.\PhysicalDriveN opened for writing
  Transfers file_writes, file_reads;  // on the VCAPTEST files
  // The test file opened last (its number) and whether for writing.
  int file_number = 0;
  bool file_writing = false;
  // Seconds since the first measured transfer.
  double Elapsed() const;
  // Called after every measured transfer.
  std::function<void()> on_transfer;

 private:
  enum class Kind { kDisk, kFile };
  struct Open {
    Kind kind;
  };
  void Count(Transfers& t, bool ok, std::uint32_t length, std::uint32_t bytes,
             std::chrono::steady_clock::time_point t0);
  std::map<Handle, Open> open_;
  bool started_ = false;
  Transfers* last_ = nullptr;  // what the next flush belongs to
  bool last_sector_ = false;
  std::chrono::steady_clock::time_point start_{};
};

}  // namespace veracap::cli
