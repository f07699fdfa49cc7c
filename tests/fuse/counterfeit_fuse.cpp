// A counterfeit flash stick as one FUSE file, to be attached with losetup.
// The stick's behaviour is the emulated platform's own device model
// (emulated::DiskDevice), so the real-kernel tests and the emulated ones
// meet the same counterfeits; here its bytes travel through the kernel's
// loop device and FUSE.
//
// The mount holds two files:
//   disk   claims --claimed bytes; the first --real bytes are memory, kept in
//          a sparse backing file. Beyond them a write wraps onto the memory,
//          is lost (zeros, ff: reads give zeros or 0xFF), fails (error), or
//          (log) every write is appended to a log of the real size. With
//          --wrap-at, addresses from there on wrap modulo it. With
//          --cache-bytes a write cache answers reads first; a flush does not
//          empty it. With --write-protected every write fails (EROFS).
//   stats  one text line of I/O counters ("reads=R writes=W bytes_read=BR
//          bytes_written=BW flushes=F"); writing anything to it resets them.
//
// Every open is direct_io, so the kernel keeps no page cache for either file:
// each transfer of the loop device reaches this program and is counted.
// Optionally the stick is slow like a real one (for benchmarks): transfers
// are served one at a time, each taking --latency-us plus its size at
// --read-mibps / --write-mibps, and a flush --flush-us.
//
// Usage: counterfeit_fuse --claimed BYTES --real BYTES
//                         --beyond wrap|zeros|ff|error|log --backing FILE
//                         [--wrap-at BYTES] [--cache-bytes N [--cache-line N]]
//                         [--write-protected] [--read-mibps N] [--write-mibps N]
//                         [--latency-us N] [--flush-us N] MOUNTPOINT [fuse options]
#define FUSE_USE_VERSION 31

#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/emulated/disk_device.h"

namespace {

using veracap::emulated::Beyond;

struct Stick {
  std::unique_ptr<veracap::emulated::DiskDevice> device;
  std::mutex lock;  // the model is not thread-safe; FUSE calls from many threads
  std::atomic<std::uint64_t> reads{0}, writes{0}, bytes_read{0}, bytes_written{0}, flushes{0};
  // The speed model; zero: as fast as the backing file.
  std::uint64_t read_mibps = 0, write_mibps = 0, latency_us = 0, flush_us = 0;
  std::mutex channel;  // one transfer at a time when a model is set
};
Stick g_stick;

// Holds the stick's one channel for the time a transfer of size bytes takes.
void Busy(std::uint64_t size, std::uint64_t mibps, std::uint64_t extra_us) {
  std::uint64_t us = extra_us;
  if (mibps > 0) us += size * 1000000 / (mibps << 20);
  if (us == 0) return;
  std::lock_guard<std::mutex> hold(g_stick.channel);
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}

bool IsDisk(const char* path) { return std::strcmp(path, "/disk") == 0; }
bool IsStats(const char* path) { return std::strcmp(path, "/stats") == 0; }

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_nlink = 1;
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else if (IsDisk(path) || IsStats(path)) {
    st->st_mode = S_IFREG | 0600;
    // stats: size 0, direct_io readers read until they get nothing.
    if (IsDisk(path)) st->st_size = static_cast<off_t>(g_stick.device->claimed_bytes());
  } else {
    return -ENOENT;
  }
  return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  for (const char* name : {".", "..", "disk", "stats"}) {
    fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (!IsDisk(path) && !IsStats(path)) return -ENOENT;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

int Read(const char* path, char* buf, std::size_t size, off_t off, fuse_file_info*) {
  const auto offset = static_cast<std::uint64_t>(off);
  if (IsStats(path)) {
    char line[256];
    const int n =
        std::snprintf(line, sizeof line,
                      "reads=%llu writes=%llu bytes_read=%llu bytes_written=%llu flushes=%llu\n",
                      static_cast<unsigned long long>(g_stick.reads.load()),
                      static_cast<unsigned long long>(g_stick.writes.load()),
                      static_cast<unsigned long long>(g_stick.bytes_read.load()),
                      static_cast<unsigned long long>(g_stick.bytes_written.load()),
                      static_cast<unsigned long long>(g_stick.flushes.load()));
    if (offset >= static_cast<std::uint64_t>(n)) return 0;
    const std::size_t got = std::min(size, static_cast<std::size_t>(n - off));
    std::memcpy(buf, line + off, got);
    return static_cast<int>(got);
  }
  const std::uint64_t claimed = g_stick.device->claimed_bytes();
  if (offset >= claimed) return 0;
  size = static_cast<std::size_t>(std::min<std::uint64_t>(size, claimed - offset));
  {
    std::lock_guard<std::mutex> hold(g_stick.lock);
    if (g_stick.device->Read(offset, reinterpret_cast<std::uint8_t*>(buf), size) != 0) return -EIO;
  }
  Busy(size, g_stick.read_mibps, g_stick.latency_us);
  g_stick.reads.fetch_add(1);
  g_stick.bytes_read.fetch_add(size);
  return static_cast<int>(size);
}

int Write(const char* path, const char* buf, std::size_t size, off_t off, fuse_file_info*) {
  if (IsStats(path)) {
    for (auto* counter : {&g_stick.reads, &g_stick.writes, &g_stick.bytes_read,
                          &g_stick.bytes_written, &g_stick.flushes}) {
      *counter = 0;
    }
    return static_cast<int>(size);
  }
  const auto offset = static_cast<std::uint64_t>(off);
  if (offset + size > g_stick.device->claimed_bytes()) return -ENOSPC;
  std::uint32_t error = 0;
  {
    std::lock_guard<std::mutex> hold(g_stick.lock);
    error = g_stick.device->Write(offset, reinterpret_cast<const std::uint8_t*>(buf), size);
  }
  if (error != 0) return error == veracap::kErrorWriteProtect ? -EROFS : -EIO;
  Busy(size, g_stick.write_mibps, g_stick.latency_us);
  g_stick.writes.fetch_add(1);
  g_stick.bytes_written.fetch_add(size);
  return static_cast<int>(size);
}

// The backing file stands for the stick's memory; it need not reach the host
// disk, so a flush is only counted.
int Fsync(const char*, int, fuse_file_info*) {
  Busy(0, 0, g_stick.flush_us);
  g_stick.flushes.fetch_add(1);
  return 0;
}

int Truncate(const char* path, off_t, fuse_file_info*) { return IsStats(path) ? 0 : -EPERM; }

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->use_ino = 0;
  conn->max_write = 1u << 20;
  return nullptr;
}

int Usage() {
  std::fprintf(stderr,
               "usage: counterfeit_fuse --claimed BYTES --real BYTES "
               "--beyond wrap|zeros|ff|error|log --backing FILE [--wrap-at BYTES] "
               "[--cache-bytes N [--cache-line N]] [--write-protected] [--read-mibps N] "
               "[--write-mibps N] [--latency-us N] [--flush-us N] MOUNTPOINT [fuse options]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  veracap::emulated::DiskSpec spec;
  std::string backing, beyond;
  const std::map<std::string, std::uint64_t*> numbers = {{"--claimed", &spec.claimed_bytes},
                                                         {"--real", &spec.real_bytes},
                                                         {"--wrap-at", &spec.wrap_at},
                                                         {"--cache-bytes", &spec.cache_bytes},
                                                         {"--cache-line", &spec.cache_line},
                                                         {"--read-mibps", &g_stick.read_mibps},
                                                         {"--write-mibps", &g_stick.write_mibps},
                                                         {"--latency-us", &g_stick.latency_us},
                                                         {"--flush-us", &g_stick.flush_us}};
  const std::map<std::string, Beyond> beyonds = {{"wrap", Beyond::kWrap},
                                                 {"zeros", Beyond::kZeros},
                                                 {"ff", Beyond::kOnes},
                                                 {"error", Beyond::kError},
                                                 {"log", Beyond::kLog}};
  std::vector<char*> fuse_args{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto number = numbers.find(arg);
    if (number != numbers.end() && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      *number->second = std::strtoull(argv[++i], &end, 10);
      if (errno != 0 || *end != '\0' || end == argv[i]) return Usage();
    } else if (arg == "--beyond" && i + 1 < argc) {
      beyond = argv[++i];
    } else if (arg == "--backing" && i + 1 < argc) {
      backing = argv[++i];
    } else if (arg == "--write-protected") {
      spec.write_protected = true;
    } else {
      fuse_args.push_back(argv[i]);
    }
  }
  if (beyonds.count(beyond) == 0 || backing.empty() || spec.real_bytes < 512 ||
      spec.real_bytes % 512 != 0 || spec.claimed_bytes < spec.real_bytes ||
      (spec.wrap_at != 0 && (spec.wrap_at < spec.real_bytes || spec.wrap_at % 512 != 0)) ||
      spec.cache_line == 0 || spec.cache_line % 512 != 0 ||
      (spec.cache_bytes != 0 && spec.cache_bytes < spec.cache_line)) {
    return Usage();
  }
  spec.beyond = beyonds.at(beyond);
  g_stick.device = std::make_unique<veracap::emulated::DiskDevice>(spec);
  std::string error;
  if (!g_stick.device->Open(backing, &error)) {
    std::fprintf(stderr, "%s: %s\n", backing.c_str(), error.c_str());
    return 1;
  }
  fuse_operations ops{};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.fsync = Fsync;
  ops.truncate = Truncate;
  ops.init = Init;
  return fuse_main(static_cast<int>(fuse_args.size()), fuse_args.data(), &ops, nullptr);
}
