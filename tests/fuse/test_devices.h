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

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// A file's bytes, and a hash of them to tell whether a file changed.
inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline std::size_t Checksum(const std::string& path) {
  return std::hash<std::string>{}(ReadText(path));
}

// "" when the program is installed, else why a test cannot run.
inline std::string Missing(const std::string& program) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    if (::access((std::string(dir) + "/" + program).c_str(), X_OK) == 0) return "";
  }
  return program + " is not installed";
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

// Runs a program (no shell) and waits; returns its exit code, -1 when it
// could not run. Output (stdout and stderr) goes to *output when given.
inline int Run(const std::vector<std::string>& argv, std::string* output = nullptr) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::dup2(pipe_fds[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno != EINTR) break;
    if (n > 0) text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Mount points and types of our own mount table, in order (the scratch
// folders' names need no unescaping).
inline std::vector<std::pair<std::string, std::string>> Mounts() {
  std::vector<std::pair<std::string, std::string>> mounts;
  std::istringstream lines(ReadText("/proc/self/mountinfo"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(f), {}};
    const auto dash = std::find(w.begin(), w.end(), "-");
    if (w.size() > 4 && dash != w.end() && dash + 1 != w.end()) mounts.emplace_back(w[4], dash[1]);
  }
  return mounts;
}

inline bool IsMounted(const std::string& dir) {
  const auto mounts = Mounts();
  return std::any_of(mounts.begin(), mounts.end(), [&](const auto& m) { return m.first == dir; });
}

// Under a scratch folder of a process that has ended.
inline bool UnderDeadScratch(const std::string& path) {
  if (path.rfind(kScratchPrefix, 0) != 0) return false;
  const int pid = std::atoi(path.c_str() + std::strlen(kScratchPrefix));
  return pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

inline void SweepLeftovers() {
  if (::geteuid() != 0) return;
  // File systems first (newest first), then loop devices, then FUSE.
  const auto mounts = Mounts();
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    if (UnderDeadScratch(it->first) && it->second.rfind("fuse", 0) != 0) {
      ::umount2(it->first.c_str(), 0);
    }
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("loop", 0) == 0 &&
        UnderDeadScratch(ReadText(entry.path().string() + "/loop/backing_file"))) {
      Run({"losetup", "-d", "/dev/" + name});
    }
  }
  // A loop device is detached only once closed; its FUSE mount waits for it.
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    if (UnderDeadScratch(it->first) && it->second.rfind("fuse", 0) == 0) {
      for (int i = 0; i < 20 && Run({"fusermount3", "-u", it->first}) != 0; ++i) ::usleep(50000);
    }
  }
  for (const auto& entry : fs::directory_iterator("/dev/shm", ec)) {
    const std::string path = entry.path().string();
    const auto now = Mounts();
    if (UnderDeadScratch(path) && std::none_of(now.begin(), now.end(), [&](const auto& m) {
          return m.first.rfind(path + "/", 0) == 0;
        })) {
      fs::remove_all(path, ec);
    }
  }
}

struct FuseCounters {
  std::uint64_t reads = 0, writes = 0, bytes_written = 0, flushes = 0;
};

// A test's scratch folder and the devices it made there. Each maker returns
// ""/false with error set when it fails.
class Scratch {
 public:
  Scratch() {
    static std::atomic<int> counter{0};
    path_ = kScratchPrefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    std::error_code ec;
    fs::remove_all(path_, ec);
    fs::create_directories(path_, ec);
  }
  ~Scratch() {
    Undo();
    // Never delete through a mount that is still in place.
    for (const auto& m : Mounts()) {
      if (m.first.rfind(path_ + "/", 0) == 0) return;
    }
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

  // losetup --find over file with losetup's further options; the device path.
  std::string Loop(const std::string& file, const std::string& options = "") {
    std::string out;
    if (!Make("losetup --find --show " + options + " " + file, &out)) return "";
    out.erase(out.find_last_not_of("\n ") + 1);
    undo_.push_back([out] { return Run({"losetup", "-d", out}) == 0; });
    return out;
  }
  bool Mount(const std::string& device, const std::string& dir, const std::string& fs_type,
             const std::string& options = "") {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!Make("mount -t " + fs_type + (options.empty() ? "" : " -o " + options) + " " + device +
              " " + dir)) {
      return false;
    }
    undo_.push_back([dir] { return !IsMounted(dir) || ::umount2(dir.c_str(), 0) == 0; });
    return true;
  }
  // The counterfeit stick at stick(): claimed bytes holding real bytes of
  // memory (memory()), beyond them "wrap", "zeros" or "log"; options go to
  // counterfeit_fuse as they are ("--cache-bytes 67108864", ...). Without -f
  // the program returns once the mount is in place.
  bool Stick(std::uint64_t claimed, std::uint64_t real, const std::string& beyond,
             const std::string& options = "") {
    const std::string dir = path_ + "/fuse";
    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::remove(memory(), ec);
    if (!Make(std::string(VERACAP_FUSE_PROGRAM) + " --claimed " + std::to_string(claimed) +
              " --real " + std::to_string(real) + " --beyond " + beyond + " --backing " + memory() +
              " " + options + " " + dir)) {
      return false;
    }
    undo_.push_back([dir] { return Run({"fusermount3", "-u", dir}) == 0; });
    return true;
  }
  std::string stick() const { return path_ + "/fuse/disk"; }
  std::string memory() const { return path_ + "/memory.img"; }

  FuseCounters Counters() const {
    unsigned long long r = 0, w = 0, br = 0, bw = 0, f = 0;
    std::sscanf(ReadText(path_ + "/fuse/stats").c_str(),
                "reads=%llu writes=%llu bytes_read=%llu bytes_written=%llu flushes=%llu", &r, &w,
                &br, &bw, &f);
    return FuseCounters{r, w, bw, f};
  }
  void ResetCounters() const { std::ofstream(path_ + "/fuse/stats") << "reset\n"; }

  // Unmounts and detaches all that was made, newest first.
  // A device just closed by a program that is ending may still be busy: each
  // step is tried for up to a second.
  void Undo() {
    for (; !undo_.empty(); undo_.pop_back()) {
      for (int attempt = 0; attempt < 20 && !undo_.back()(); ++attempt) ::usleep(50000);
    }
  }

  std::string error;

 private:
  // Runs a command of words without quoting; its output goes to error.
  bool Make(const std::string& command, std::string* out = nullptr) {
    std::istringstream words(command);
    const int rc = Run({std::istream_iterator<std::string>(words), {}}, &error);
    if (out != nullptr) *out = error;
    return rc == 0;
  }

  std::string path_;
  std::vector<std::function<bool()>> undo_;
};

inline bool MakeSparseFile(const std::string& path, std::uint64_t size_bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc);
  std::error_code ec;
  fs::resize_file(path, size_bytes, ec);
  return !ec;
}

// mkfs with a label; ext4 without journal or lazy initialisation (nothing
// writes to it after mkfs), no blocks reserved for root (the small volumes
// need their space) and few inodes (mkfs writes little even on "32 GB").
inline bool MakeFileSystem(const std::string& device, const std::string& fs_type,
                           const std::string& label, std::string* error) {
  std::vector<std::string> argv = {"mkfs." + fs_type, fs_type == "vfat" ? "-n" : "-L", label};
  if (fs_type == "ext4") {
    argv.insert(argv.end(), {"-q", "-F", "-m", "0", "-N", "4096", "-O", "^has_journal", "-E",
                             "lazy_itable_init=0,lazy_journal_init=0"});
  }
  argv.push_back(device);
  std::string out;
  if (Run(argv, &out) == 0) return true;
  *error = "mkfs failed: " + out;
  return false;
}

// Bytes of a file at an offset (reading or writing behind a device's back).
inline bool ReadAt(const std::string& path, std::uint64_t offset, void* out, std::size_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool ok =
      fd >= 0 && ::pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  if (fd >= 0) ::close(fd);
  return ok;
}
inline bool WriteAt(const std::string& path, std::uint64_t offset, const void* in,
                    std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const bool ok =
      fd >= 0 && ::pwrite(fd, in, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  if (fd >= 0) ::close(fd);
  return ok;
}

}  // namespace veracap::testdev
