// Real block devices for the Linux tests, made by the tests and removed by
// them: loop devices over sparse files or over the counterfeit stick that the
// FUSE program serves, and file systems mounted on them. Nothing else on the
// machine is touched.
//
// Everything lives under one scratch folder, /dev/shm/veracap-dev-<pid>-<n>.
// Owners undo what they made in their destructors (so also when a test
// fails); SweepLeftovers removes what a crashed run of an earlier process
// left: mounts under such folders, loop devices whose backing file lies in
// one, the FUSE mounts, then the folders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace veracap::testdev {

// Runs a program (no shell) and waits; returns its exit code, -1 when it
// could not run. Output (stdout and stderr) goes to *output when given.
int Run(const std::vector<std::string>& argv, std::string* output = nullptr);

// Why loop-device tests cannot run here ("" when they can): root rights,
// /dev/loop-control, losetup.
std::string LoopSkipReason();
// Why FUSE-backed devices cannot be made here: the above, plus /dev/fuse,
// fusermount3 and the counterfeit_fuse program.
std::string FuseSkipReason();
// Whether this run must not skip the device tests: in CI (CI set and not
// "false"), whose machines have root, /dev/fuse and loop devices.
bool DeviceTestsRequired();
// Whether the kernel and mkfs can make a file system of this type here.
std::string FileSystemSkipReason(const std::string& fs_type);

void SweepLeftovers();

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// losetup over a file; detached in the destructor.
class LoopDevice {
 public:
  // Null (and *error set) when losetup fails.
  static std::unique_ptr<LoopDevice> Attach(const std::string& file, std::uint32_t sector_bytes,
                                            std::string* error);
  ~LoopDevice();
  const std::string& path() const { return path_; }  // "/dev/loop3"

 private:
  explicit LoopDevice(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// A mounted file system; unmounted in the destructor unless already gone.
class Mount {
 public:
  // options: mount's -o list ("ro,noatime"), or empty.
  static std::unique_ptr<Mount> Make(const std::string& device, const std::string& dir,
                                     const std::string& fs_type, std::string* error,
                                     const std::string& options = "");
  ~Mount();
  const std::string& dir() const { return dir_; }
  bool mounted() const;

 private:
  explicit Mount(std::string dir) : dir_(std::move(dir)) {}
  std::string dir_;
};

struct FuseCounters {
  std::uint64_t reads = 0, writes = 0, bytes_read = 0, bytes_written = 0, flushes = 0;
};

// The counterfeit stick of counterfeit_fuse: a FUSE mount holding "disk"
// (claimed bytes, real bytes of memory, wrap or zeros beyond) and "stats".
// options go to the program as they are ("--cache-bytes", "67108864",
// "--write-protected", ...). Unmounted in the destructor.
class FuseStick {
 public:
  static std::unique_ptr<FuseStick> Start(const std::string& scratch, std::uint64_t claimed_bytes,
                                          std::uint64_t real_bytes, const std::string& beyond,
                                          std::string* error,
                                          const std::vector<std::string>& options = {});
  ~FuseStick();
  std::string disk_file() const { return dir_ + "/disk"; }
  const std::string& backing_file() const { return backing_; }
  FuseCounters Counters() const;
  void ResetCounters() const;

 private:
  FuseStick(std::string dir, std::string backing)
      : dir_(std::move(dir)), backing_(std::move(backing)) {}
  std::string dir_;
  std::string backing_;
};

// A process that runs beside the test: a program, or a child that holds a
// device open exclusively (O_EXCL), as another program would. Its standard
// input stays open until Stop or the destructor close it; it is expected to
// end then (it is killed if it does not within 10 s).
class Background {
 public:
  static std::unique_ptr<Background> Run(const std::vector<std::string>& argv);
  // The child prints "held" once it holds the device, "refused" if it cannot.
  static std::unique_ptr<Background> HoldExclusive(const std::string& device);
  ~Background();
  // Reads its output until the text appears: false when it ended first or
  // 10 s passed. The output so far goes to *output when given.
  bool WaitFor(const std::string& text, std::string* output = nullptr);
  void Stop();

 private:
  Background(int pid, int input, int output) : pid_(pid), input_(input), output_(output) {}
  int pid_;
  int input_;
  int output_;
  std::string seen_;
};

// A sparse file of the given size.
bool MakeSparseFile(const std::string& path, std::uint64_t size_bytes);
// mkfs of the given type ("ext4", "vfat", "exfat") with a label; ext4 is
// made without lazy initialisation, so nothing writes to it after mkfs.
bool MakeFileSystem(const std::string& device, const std::string& fs_type, const std::string& label,
                    bool journal, std::string* error);
// Bytes of a file at an offset (reading or writing behind a device's back).
bool ReadAt(const std::string& path, std::uint64_t offset, void* out, std::size_t size);
bool WriteAt(const std::string& path, std::uint64_t offset, const void* in, std::size_t size);

}  // namespace veracap::testdev
