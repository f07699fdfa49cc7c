// Real block devices for the Linux device tests, made by the tests and
// removed by them: loop devices over sparse files or over the counterfeit
// stick that the FUSE program serves, and file systems mounted on them.
// Devices are chosen by the paths the tests made; nothing else on the
// machine is touched.
//
// Everything lives under one scratch folder, /dev/shm/veracap-dev-<pid>-<n>
// (tmpfs: the sticks' memory stays in RAM), undone by its owner, newest
// first, also when a test fails. SweepLeftovers removes what a crashed
// earlier process left: mounts under such folders, loop devices whose
// backing file lies in one, the FUSE mounts, the folders.
#pragma once

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

// In a test: when reason is not empty, fails in CI (CI set and not "false":
// its machines have root, /dev/fuse and loop devices) and skips visibly
// elsewhere.
#define VERACAP_NEED(reason_text)                                                            \
  do {                                                                                       \
    const std::string veracap_reason = (reason_text);                                        \
    const char* ci = std::getenv("CI");                                                      \
    if (!veracap_reason.empty() && ci != nullptr && *ci != '\0' && std::strcmp(ci, "false")) \
      FAIL() << "CI must run the real-device tests, but: " << veracap_reason;                \
    if (!veracap_reason.empty()) GTEST_SKIP() << "SKIP: " << veracap_reason;                 \
  } while (false)

namespace veracap::testdev {

namespace fs = std::filesystem;
inline constexpr const char* kScratchPrefix = "/dev/shm/veracap-dev-";

// A file's bytes: all of them, or size bytes from offset ("" when short).
inline std::string ReadText(const std::string& path, std::uint64_t offset = 0,
                            std::size_t size = std::string::npos) {
  std::ifstream in(path, std::ios::binary);
  if (size == std::string::npos) return std::string(std::istreambuf_iterator<char>(in), {});
  std::string bytes(size, '\0');
  in.seekg(static_cast<std::streamoff>(offset));
  return in.read(bytes.data(), static_cast<std::streamsize>(size)) ? bytes : "";
}
// Writes behind a device's back, into the file that holds its bytes.
inline bool WriteAt(const std::string& path, std::uint64_t offset, const std::string& bytes) {
  std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
  out.seekp(static_cast<std::streamoff>(offset));
  return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

// Runs a shell command and waits; its exit code, -1 when it did not exit.
// Its output (stdout and stderr) goes to *output when given.
inline int Run(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = ::popen(("(" + command + ") 2>&1").c_str(), "re");
  if (pipe == nullptr) return -1;
  std::string text;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
  const int status = ::pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
// Runs a command that makes a device; throws (failing the test) with its
// output when it fails, else returns the output.
inline std::string Make(const std::string& command) {
  std::string output;
  if (Run(command, &output) != 0) throw std::runtime_error(command + ": " + output);
  return output;
}

// "" when the program is installed, else why a test cannot run.
inline std::string Missing(const std::string& program) {
  const int found = Run("PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v " + program);
  return found == 0 ? "" : program + " is not installed";
}

// Why the device tests cannot run here ("" when they can).
inline std::string SkipReason() {
  if (::geteuid() != 0) return "needs root rights (loop devices, mount)";
  if (::access("/dev/loop-control", F_OK) != 0) return "no /dev/loop-control on this machine";
  if (::access("/dev/shm", W_OK) != 0) return "no writable /dev/shm";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse on this machine";
  if (std::string(VERACAP_FUSE_PROGRAM).empty()) return "counterfeit_fuse not built (no libfuse3)";
  return Missing("losetup") + Missing("fusermount3");
}

// Whether the kernel and mkfs can make a file system of this type here.
inline std::string FileSystemSkipReason(const std::string& fs_type) {
  if (ReadText("/proc/filesystems").find("\t" + fs_type) == std::string::npos) {
    return "the kernel offers no " + fs_type + " file system";
  }
  return Missing("mkfs." + fs_type);
}

// Whether ready() holds within tries times 50 ms (a device just closed may
// stay busy for a moment).
inline bool Retry(const std::function<bool()>& ready, int tries = 20) {
  for (int i = 0; i < tries; ++i, ::usleep(50000)) {
    if (ready()) return true;
  }
  return false;
}

// The mount points of our own mount table, in order (the scratch folders'
// names need no unescaping).
inline std::vector<std::string> Mounts() {
  std::vector<std::string> points;
  std::istringstream lines(ReadText("/proc/self/mountinfo"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    std::string w[5];
    for (std::string& word : w) f >> word;
    points.push_back(w[4]);
  }
  return points;
}
// Whether something is mounted at dir, or under it when under is set.
inline bool IsMounted(const std::string& dir, bool under = false) {
  for (const std::string& m : Mounts()) {
    if (under ? m.rfind(dir + "/", 0) == 0 : m == dir) return true;
  }
  return false;
}

// Undoes all that was made under the scratch folder dir: its file systems
// (newest first), the loop devices over its files, then its FUSE stick
// (which waits until its loop devices are closed); then removes dir when
// asked, never through a mount still in place.
inline void Teardown(const std::string& dir, bool remove) {
  const std::vector<std::string> mounts = Mounts();
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    if (it->rfind(dir + "/", 0) != 0 || *it == dir + "/fuse") continue;
    Retry([&] { return ::umount2(it->c_str(), 0) == 0; });
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
    if (ReadText(entry.path().string() + "/loop/backing_file").rfind(dir + "/", 0) == 0) {
      Retry([&] { return Run("losetup -d /dev/" + entry.path().filename().string()) == 0; });
    }
  }
  if (IsMounted(dir + "/fuse")) Retry([&] { return Run("fusermount3 -u " + dir + "/fuse") == 0; });
  if (remove && !IsMounted(dir, true)) fs::remove_all(dir, ec);
}

// Tears down the scratch folders of processes that have ended.
inline void SweepLeftovers() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/dev/shm", ec)) {
    const std::string path = entry.path().string();
    if (path.rfind(kScratchPrefix, 0) != 0) continue;
    const int pid = std::atoi(path.c_str() + std::strlen(kScratchPrefix));
    if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) Teardown(path, true);
  }
}

// A test's scratch folder and the devices it made there.
class Scratch {
 public:
  Scratch() {
    static std::atomic<int> counter{0};
    path_ = kScratchPrefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    std::error_code ec;  // without root the tests skip; this must not throw
    fs::remove_all(path_, ec);
    fs::create_directories(path_, ec);
  }
  ~Scratch() { Teardown(path_, true); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }
  // Unmounts and detaches all that was made.
  void Undo() const { Teardown(path_, false); }

  // losetup --find over file with losetup's further options; the device path.
  std::string Loop(const std::string& file, const std::string& options = "") {
    std::string device = Make("losetup --find --show " + options + " " + file);
    return device.erase(device.find_last_not_of("\n ") + 1);
  }
  void Mount(const std::string& device, const std::string& dir, const std::string& fs_type,
             const std::string& options = "") {
    fs::create_directories(dir);
    Make("mount -t " + fs_type + (options.empty() ? "" : " -o " + options) + " " + device + " " +
         dir);
  }
  // The counterfeit stick at stick(): claimed bytes holding real bytes of
  // memory (memory()), beyond them "wrap", "zeros" or "log"; options go to
  // counterfeit_fuse as they are ("--cache-bytes 67108864", ...). Without -f
  // the program returns once the mount is in place.
  void Stick(std::uint64_t claimed, std::uint64_t real, const std::string& beyond,
             const std::string& options = "") {
    const std::string dir = path_ + "/fuse";
    fs::create_directories(dir);
    fs::remove(memory());
    Make(std::string(VERACAP_FUSE_PROGRAM) + " --claimed " + std::to_string(claimed) + " --real " +
         std::to_string(real) + " --beyond " + beyond + " --backing " + memory() + " " + options +
         " " + dir);
  }
  std::string stick() const { return path_ + "/fuse/disk"; }
  std::string memory() const { return path_ + "/memory.img"; }

  // One of the stick's I/O counters since the last reset ("writes", ...).
  std::uint64_t Count(const std::string& name) const {
    const std::string stats = " " + ReadText(path_ + "/fuse/stats");
    return std::stoull(stats.substr(stats.find(" " + name + "=") + name.size() + 2));
  }
  void ResetCounters() const { std::ofstream(path_ + "/fuse/stats") << "reset\n"; }

 private:
  std::string path_;
};

// mkfs with a label; ext4 without journal or lazy initialisation (nothing
// writes to it after mkfs), no blocks reserved for root (the small volumes
// need their space) and few inodes (mkfs writes little even on "32 GB").
inline void MakeFileSystem(const std::string& device, const std::string& fs_type,
                           const std::string& label) {
  Make("mkfs." + fs_type + (fs_type == "vfat" ? " -n " : " -L ") + label +
       (fs_type == "ext4" ? " -q -F -m 0 -N 4096 -O ^has_journal -E "
                            "lazy_itable_init=0,lazy_journal_init=0 "
                          : " ") +
       device);
}

}  // namespace veracap::testdev
