// Real block devices for the Linux tests, made by the tests and removed by
// them: loop devices over sparse files or over the counterfeit stick that the
// FUSE program serves, and file systems mounted on them. Devices are chosen
// by the paths the tests made; nothing else on the machine is touched.
//
// Everything lives under one scratch folder, /dev/shm/veracap-dev-<pid>-<n>,
// undone by its owner (newest first, also when a test fails). SweepLeftovers
// removes what a crashed earlier process left: mounts under such folders,
// loop devices whose backing file lies in one, the FUSE mounts, the folders.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace veracap::testdev {

// Runs a program (no shell) and waits; returns its exit code, -1 when it
// could not run. Output (stdout and stderr) goes to *output when given.
int Run(const std::vector<std::string>& argv, std::string* output = nullptr);

// Why the device tests cannot run here ("" when they can): root rights, loop
// devices, losetup; with fuse also /dev/fuse, fusermount3, counterfeit_fuse.
std::string SkipReason(bool fuse);
// In CI (CI set and not "false") the machines have all that: no skipping.
bool DeviceTestsRequired();
// Whether the kernel and mkfs can make a file system of this type here.
std::string FileSystemSkipReason(const std::string& fs_type);
void SweepLeftovers();
bool IsMounted(const std::string& dir);
// "" when the program is installed, else why a test cannot run.
std::string Missing(const std::string& program);

// In a test: when reason is not empty, fails in CI and skips visibly elsewhere.
#define VERACAP_NEED(reason_text)                                               \
  do {                                                                          \
    const std::string veracap_reason = (reason_text);                           \
    if (!veracap_reason.empty() && ::veracap::testdev::DeviceTestsRequired()) { \
      FAIL() << "CI must run the real-device tests, but: " << veracap_reason;   \
    }                                                                           \
    if (!veracap_reason.empty()) GTEST_SKIP() << "SKIP: " << veracap_reason;    \
  } while (false)

struct FuseCounters {
  std::uint64_t reads = 0, writes = 0, bytes_written = 0, flushes = 0;
};

class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

  // Each returns ""/false with error set when it fails; what it made stays
  // until Undo or the destructor.
  // losetup --find over file with losetup's further options; the device path.
  std::string Loop(const std::string& file, const std::vector<std::string>& options = {});
  bool Mount(const std::string& device, const std::string& dir, const std::string& fs_type,
             const std::string& options = "");
  // The counterfeit stick at stick(): claimed bytes holding real bytes of
  // memory (memory()), beyond them "wrap", "zeros" or "log"; options go to
  // counterfeit_fuse as they are ("--cache-bytes", "67108864", ...).
  bool Stick(std::uint64_t claimed, std::uint64_t real, const std::string& beyond,
             const std::vector<std::string>& options = {});
  std::string stick() const { return path_ + "/fuse/disk"; }
  std::string memory() const { return path_ + "/memory.img"; }
  FuseCounters Counters() const;
  void ResetCounters() const;
  // Unmounts and detaches all that was made, newest first.
  void Undo();

  std::string error;

 private:
  std::string path_;
  std::vector<std::function<void()>> undo_;
};

// A sparse file of the given size.
bool MakeSparseFile(const std::string& path, std::uint64_t size_bytes);
// mkfs ("ext4" without journal or lazy initialisation, so that nothing
// writes to it after mkfs; "vfat", "exfat") with a label.
bool MakeFileSystem(const std::string& device, const std::string& fs_type, const std::string& label,
                    std::string* error);
// Bytes of a file at an offset (reading or writing behind a device's back).
bool ReadAt(const std::string& path, std::uint64_t offset, void* out, std::size_t size);
bool WriteAt(const std::string& path, std::uint64_t offset, const void* in, std::size_t size);
// FNV-1a of a file's bytes.
std::uint64_t Checksum(const std::string& path);

}  // namespace veracap::testdev
