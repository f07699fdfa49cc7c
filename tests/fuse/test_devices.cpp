#include "fuse/test_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef VERACAP_FUSE_PROGRAM
#define VERACAP_FUSE_PROGRAM ""
#endif

namespace veracap::testdev {
namespace {

namespace fs = std::filesystem;
// On tmpfs: the sticks' memory stays in RAM, and nothing is left on the
// machine's disk.
constexpr const char* kScratchBase = "/dev/shm";
constexpr const char* kScratchPrefix = "/dev/shm/veracap-dev-";

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  std::string s = text.str();
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool FindProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    if (::access((std::string(dir) + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Mount points (unescaped) and types from our own mount table, in order.
std::vector<std::pair<std::string, std::string>> Mounts() {
  std::vector<std::pair<std::string, std::string>> mounts;
  std::istringstream lines(ReadText("/proc/self/mountinfo"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::vector<std::string> w;
    std::string word;
    while (f >> word) w.push_back(word);
    const auto dash = std::find(w.begin(), w.end(), "-");
    if (w.size() < 5 || dash == w.end() || dash + 1 == w.end()) continue;
    std::string mp;
    for (std::size_t i = 0; i < w[4].size(); ++i) {
      if (w[4][i] == '\\' && i + 3 < w[4].size()) {
        mp += static_cast<char>(std::stoi(w[4].substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        mp += w[4][i];
      }
    }
    mounts.emplace_back(mp, *(dash + 1));
  }
  return mounts;
}

bool PidAlive(const std::string& scratch_name) {
  // /dev/shm/veracap-dev-<pid>-<n>
  const std::string rest = scratch_name.substr(std::strlen(kScratchPrefix));
  const int pid = std::atoi(rest.c_str());
  return pid > 0 && (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH);
}

bool UnderDeadScratch(const std::string& path) {
  if (path.rfind(kScratchPrefix, 0) != 0) return false;
  const auto slash = path.find('/', std::strlen(kScratchPrefix));
  return !PidAlive(path.substr(0, slash));
}

}  // namespace

int Run(const std::vector<std::string>& argv, std::string* output) {
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
  for (;;) {
    const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string LoopSkipReason() {
  if (::geteuid() != 0) return "needs root rights (loop devices, mount)";
  if (::access("/dev/loop-control", F_OK) != 0) return "no /dev/loop-control on this machine";
  if (!FindProgram("losetup")) return "losetup (util-linux) is not installed";
  if (::access(kScratchBase, W_OK) != 0) return std::string("no writable ") + kScratchBase;
  return "";
}

std::string FuseSkipReason() {
  std::string reason = LoopSkipReason();
  if (!reason.empty()) return reason;
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse on this machine";
  if (!FindProgram("fusermount3")) return "fusermount3 (fuse3) is not installed";
  if (std::string(VERACAP_FUSE_PROGRAM).empty()) return "counterfeit_fuse not built (no libfuse3)";
  return "";
}

bool DeviceTestsRequired() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0' && std::string(ci) != "false";
}

std::string FileSystemSkipReason(const std::string& fs_type) {
  const std::string filesystems = ReadText("/proc/filesystems");
  if (filesystems.find("\t" + fs_type + "\n") == std::string::npos &&
      filesystems.find("\t" + fs_type) == std::string::npos) {
    return "the kernel offers no " + fs_type + " file system";
  }
  if (!FindProgram("mkfs." + fs_type)) return "mkfs." + fs_type + " is not installed";
  return "";
}

void SweepLeftovers() {
  if (::geteuid() != 0) return;
  // File systems first (newest first), then loop devices, then FUSE.
  auto mounts = Mounts();
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    if (UnderDeadScratch(it->first) && it->second.rfind("fuse", 0) != 0) {
      ::umount2(it->first.c_str(), 0);
    }
  }
  std::error_code ec;
  // A loop device still open (by a program of the crashed run that is just
  // ending) is detached only when it is closed: wait for that, up to 2 s,
  // since its FUSE mount cannot go before.
  for (int attempt = 0; attempt < 40; ++attempt) {
    bool pending = false;
    for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("loop", 0) != 0) continue;
      const std::string backing = ReadText(entry.path().string() + "/loop/backing_file");
      if (!UnderDeadScratch(backing)) continue;
      if (attempt == 0) Run({"losetup", "-d", "/dev/" + name});
      pending = true;
    }
    if (!pending) break;
    ::usleep(50000);
  }
  for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
    if (!UnderDeadScratch(it->first) || it->second.rfind("fuse", 0) != 0) continue;
    for (int attempt = 0; attempt < 10; ++attempt) {
      if (Run({"fusermount3", "-u", it->first}) == 0) break;
      ::usleep(100000);
    }
  }
  for (const auto& entry : fs::directory_iterator(kScratchBase, ec)) {
    const std::string path = entry.path().string();
    if (path.rfind(kScratchPrefix, 0) == 0 && !PidAlive(path)) {
      bool busy = false;
      for (const auto& m : Mounts()) busy = busy || m.first.rfind(path + "/", 0) == 0;
      if (!busy) fs::remove_all(path, ec);
    }
  }
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  path_ = kScratchPrefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  std::error_code ec;
  fs::remove_all(path_, ec);
  fs::create_directories(path_, ec);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Never delete through a mount that is still in place.
  for (const auto& m : Mounts()) {
    if (m.first.rfind(path_ + "/", 0) == 0) return;
  }
  fs::remove_all(path_, ec);
}

std::unique_ptr<LoopDevice> LoopDevice::Attach(const std::string& file, std::uint32_t sector_bytes,
                                               std::string* error) {
  std::string out;
  const int rc = Run(
      {"losetup", "--find", "--show", "--sector-size", std::to_string(sector_bytes), file}, &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  if (rc != 0 || out.rfind("/dev/loop", 0) != 0) {
    *error = "losetup failed: " + out;
    return nullptr;
  }
  return std::unique_ptr<LoopDevice>(new LoopDevice(out));
}

LoopDevice::~LoopDevice() {
  // A file system still mounted on it would keep the device busy.
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (Run({"losetup", "-d", path_}) == 0) return;
    ::usleep(50000);
  }
}

std::unique_ptr<Mount> Mount::Make(const std::string& device, const std::string& dir,
                                   const std::string& fs_type, std::string* error,
                                   const std::string& options) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string out;
  std::vector<std::string> argv = {"mount", "-t", fs_type, device, dir};
  if (!options.empty()) argv.insert(argv.begin() + 1, {"-o", options});
  if (Run(argv, &out) != 0) {
    *error = "mount failed: " + out;
    return nullptr;
  }
  return std::unique_ptr<Mount>(new Mount(dir));
}

bool Mount::mounted() const {
  for (const auto& m : Mounts()) {
    if (m.first == dir_) return true;
  }
  return false;
}

Mount::~Mount() {
  for (int attempt = 0; attempt < 20 && mounted(); ++attempt) {
    if (::umount2(dir_.c_str(), 0) == 0) break;
    ::usleep(50000);
  }
}

namespace {

// Forks a child with its standard input and output on pipes; the child runs
// body (which must not return).
template <typename Body>
std::unique_ptr<Background> Spawn(Body body, Background* (*make)(int, int, int)) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return nullptr;
  if (::pipe2(out, O_CLOEXEC) != 0) return nullptr;
  const pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(out[1], STDERR_FILENO);
    ::close(in[1]);  // or the child would never see its input end
    ::close(out[0]);
    body();
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  return std::unique_ptr<Background>(make(pid, in[1], out[0]));
}

}  // namespace

std::unique_ptr<Background> Background::Run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return Spawn([&] { ::execvp(args[0], args.data()); },
               [](int pid, int input, int output) { return new Background(pid, input, output); });
}

std::unique_ptr<Background> Background::HoldExclusive(const std::string& device) {
  return Spawn(
      [&] {
        const int fd = ::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        const char* said = fd >= 0 ? "held\n" : "refused\n";
        if (::write(STDOUT_FILENO, said, std::strlen(said)) < 0) ::_exit(1);
        char c;
        while (::read(STDIN_FILENO, &c, 1) > 0) {
        }
        ::_exit(0);
      },
      [](int pid, int input, int output) { return new Background(pid, input, output); });
}

bool Background::WaitFor(const std::string& text, std::string* output) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (seen_.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{output_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[1024];
    const ssize_t n = ::read(output_, buf, sizeof buf);
    if (n <= 0) break;
    seen_.append(buf, static_cast<std::size_t>(n));
  }
  if (output != nullptr) *output = seen_;
  return seen_.find(text) != std::string::npos;
}

void Background::Stop() {
  if (pid_ <= 0) return;
  ::close(input_);
  for (int waited = 0; waited < 200; ++waited) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = 0;
      break;
    }
    ::usleep(50000);
  }
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  ::close(output_);
}

Background::~Background() { Stop(); }

std::unique_ptr<FuseStick> FuseStick::Start(const std::string& scratch, std::uint64_t claimed_bytes,
                                            std::uint64_t real_bytes, const std::string& beyond,
                                            std::string* error,
                                            const std::vector<std::string>& options) {
  const std::string dir = scratch + "/fuse";
  const std::string backing = scratch + "/memory.img";
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::string out;
  // Without -f the program returns once the mount is in place.
  std::vector<std::string> argv{VERACAP_FUSE_PROGRAM,
                                "--claimed",
                                std::to_string(claimed_bytes),
                                "--real",
                                std::to_string(real_bytes),
                                "--beyond",
                                beyond,
                                "--backing",
                                backing};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(dir);
  const int rc = Run(argv, &out);
  if (rc != 0) {
    *error = "counterfeit_fuse failed: " + out;
    return nullptr;
  }
  return std::unique_ptr<FuseStick>(new FuseStick(dir, backing));
}

FuseStick::~FuseStick() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (Run({"fusermount3", "-u", dir_}) == 0) return;
    ::usleep(50000);
  }
}

FuseCounters FuseStick::Counters() const {
  FuseCounters c;
  const std::string text = ReadText(dir_ + "/stats");
  unsigned long long r = 0, w = 0, br = 0, bw = 0, f = 0;
  if (std::sscanf(text.c_str(),
                  "reads=%llu writes=%llu bytes_read=%llu bytes_written=%llu flushes=%llu", &r, &w,
                  &br, &bw, &f) == 5) {
    c = FuseCounters{r, w, br, bw, f};
  }
  return c;
}

void FuseStick::ResetCounters() const {
  std::ofstream out(dir_ + "/stats");
  out << "reset\n";
}

bool MakeSparseFile(const std::string& path, std::uint64_t size_bytes) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = ::ftruncate(fd, static_cast<off_t>(size_bytes)) == 0;
  ::close(fd);
  return ok;
}

bool MakeFileSystem(const std::string& device, const std::string& fs_type, const std::string& label,
                    bool journal, std::string* error) {
  std::vector<std::string> argv;
  if (fs_type == "ext4") {
    // No blocks reserved for root (the small test volumes need their space),
    // and few inodes, so that mkfs writes little even on a "32 GB" stick.
    argv = {"mkfs.ext4",
            "-q",
            "-F",
            "-m",
            "0",
            "-N",
            "4096",
            "-L",
            label,
            "-E",
            "lazy_itable_init=0,lazy_journal_init=0"};
    if (!journal) argv.insert(argv.end(), {"-O", "^has_journal"});
  } else if (fs_type == "vfat") {
    argv = {"mkfs.vfat", "-n", label};
  } else if (fs_type == "exfat") {
    argv = {"mkfs.exfat", "-L", label};
  } else {
    *error = "no mkfs for " + fs_type;
    return false;
  }
  argv.push_back(device);
  std::string out;
  if (Run(argv, &out) != 0) {
    *error = "mkfs failed: " + out;
    return false;
  }
  return true;
}

bool ReadAt(const std::string& path, std::uint64_t offset, void* out, std::size_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  ::close(fd);
  return ok;
}

bool WriteAt(const std::string& path, std::uint64_t offset, const void* in, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::pwrite(fd, in, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  ::close(fd);
  return ok;
}

}  // namespace veracap::testdev
