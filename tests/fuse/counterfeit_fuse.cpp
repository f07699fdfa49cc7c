// A counterfeit flash stick as one FUSE file, to be attached with losetup:
// the emulated platform's own device model (emulated::DiskDevice), so the
// real-kernel tests meet the emulated ones' counterfeits, their bytes
// travelling through the kernel's loop device and FUSE.
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
// Every open is direct_io: no page cache, each transfer of the loop device
// reaches this program and is counted. For benchmarks the stick can be slow
// like a real one: transfers one at a time, each taking --latency-us plus
// its size at --read-mibps / --write-mibps, and a flush --flush-us.
//
// Usage (anything else is refused with exit code 2):
//   counterfeit_fuse --claimed BYTES --real BYTES --beyond wrap|zeros|ff|error|log
//                    --backing FILE [--wrap-at BYTES] [--cache-bytes N [--cache-line N]]
//                    [--write-protected] [--read-mibps N] [--write-mibps N]
//                    [--latency-us N] [--flush-us N] MOUNTPOINT [fuse options]
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

// The I/O counters, in the order the stats line names them.
enum Counter { kReads, kWrites, kBytesRead, kBytesWritten, kFlushes, kCounters };
constexpr const char* kCounterNames[] = {"reads", "writes", "bytes_read", "bytes_written",
                                         "flushes"};

struct Stick {
  std::unique_ptr<veracap::emulated::DiskDevice> device;
  std::mutex lock;  // the model is not thread-safe; FUSE calls from many threads
  std::atomic<std::uint64_t> counters[kCounters] = {};
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
  *st = {};
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_nlink = 1;
  // stats: size 0, direct_io readers read until they get nothing.
  st->st_mode = std::strcmp(path, "/") == 0 ? S_IFDIR | 0755 : S_IFREG | 0600;
  if (IsDisk(path)) st->st_size = static_cast<off_t>(g_stick.device->claimed_bytes());
  return IsDisk(path) || IsStats(path) || std::strcmp(path, "/") == 0 ? 0 : -ENOENT;
}

int Open(const char* path, fuse_file_info* fi) {
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return IsDisk(path) || IsStats(path) ? 0 : -ENOENT;
}

// A transfer of size bytes at off through the device model, counted.
int Transfer(bool write, char* buf, std::size_t size, off_t off) {
  const auto offset = static_cast<std::uint64_t>(off);
  const std::uint64_t claimed = g_stick.device->claimed_bytes();
  if (write && offset + size > claimed) return -ENOSPC;
  if (offset >= claimed) return 0;
  size = static_cast<std::size_t>(std::min<std::uint64_t>(size, claimed - offset));
  std::uint32_t error = 0;
  {
    std::lock_guard<std::mutex> hold(g_stick.lock);
    auto* bytes = reinterpret_cast<std::uint8_t*>(buf);
    error = write ? g_stick.device->Write(offset, bytes, size)
                  : g_stick.device->Read(offset, bytes, size);
  }
  if (error != 0) return error == veracap::kErrorWriteProtect ? -EROFS : -EIO;
  Busy(size, write ? g_stick.write_mibps : g_stick.read_mibps, g_stick.latency_us);
  ++g_stick.counters[write ? kWrites : kReads];
  g_stick.counters[write ? kBytesWritten : kBytesRead] += size;
  return static_cast<int>(size);
}

int Read(const char* path, char* buf, std::size_t size, off_t off, fuse_file_info*) {
  if (!IsStats(path)) return Transfer(false, buf, size, off);
  std::string line;
  for (int c = 0; c < kCounters; ++c) {
    line += std::string(c == 0 ? "" : " ") + kCounterNames[c] + "=" +
            std::to_string(g_stick.counters[c].load());
  }
  line += "\n";
  const auto offset = std::min<std::size_t>(static_cast<std::size_t>(off), line.size());
  const std::size_t got = std::min(size, line.size() - offset);
  std::memcpy(buf, line.data() + offset, got);
  return static_cast<int>(got);
}

// Writing anything to stats resets the counters.
int Write(const char* path, const char* buf, std::size_t size, off_t off, fuse_file_info*) {
  if (!IsStats(path)) return Transfer(true, const_cast<char*>(buf), size, off);
  for (auto& counter : g_stick.counters) counter = 0;
  return static_cast<int>(size);
}

// The backing file stands for the stick's memory; it need not reach the host
// disk, so a flush is only counted.
int Fsync(const char*, int, fuse_file_info*) {
  Busy(0, 0, g_stick.flush_us);
  ++g_stick.counters[kFlushes];
  return 0;
}

// Opening stats for writing truncates it.
int Truncate(const char* path, off_t, fuse_file_info*) { return IsStats(path) ? 0 : -EPERM; }

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  conn->max_write = 1u << 20;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  veracap::emulated::DiskSpec model;
  std::string backing, beyond;
  const std::map<std::string, std::uint64_t*> numbers = {
      {"--claimed", &model.claimed_bytes},     {"--real", &model.real_bytes},
      {"--wrap-at", &model.wrap_at},           {"--cache-bytes", &model.cache_bytes},
      {"--cache-line", &model.cache_line},     {"--read-mibps", &g_stick.read_mibps},
      {"--write-mibps", &g_stick.write_mibps}, {"--latency-us", &g_stick.latency_us},
      {"--flush-us", &g_stick.flush_us}};
  // --beyond's words, in Beyond's order.
  const std::vector<std::string> beyonds = {"wrap", "zeros", "ff", "error", "log"};
  std::vector<char*> fuse_args{argv[0]};
  bool numbers_ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto number = numbers.find(arg);
    if (number != numbers.end() && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      *number->second = std::strtoull(argv[++i], &end, 10);
      numbers_ok = numbers_ok && errno == 0 && *end == '\0' && end != argv[i];
    } else if (arg == "--beyond" && i + 1 < argc) {
      beyond = argv[++i];
    } else if (arg == "--backing" && i + 1 < argc) {
      backing = argv[++i];
    } else if (arg == "--write-protected") {
      model.write_protected = true;
    } else {
      fuse_args.push_back(argv[i]);
    }
  }
  const auto kind = std::find(beyonds.begin(), beyonds.end(), beyond);
  if (!numbers_ok || kind == beyonds.end() || backing.empty() || model.real_bytes < 512 ||
      model.real_bytes % 512 != 0 || model.claimed_bytes < model.real_bytes ||
      (model.wrap_at != 0 && (model.wrap_at < model.real_bytes || model.wrap_at % 512 != 0)) ||
      model.cache_line == 0 || model.cache_line % 512 != 0 ||
      (model.cache_bytes != 0 && model.cache_bytes < model.cache_line)) {
    std::fprintf(stderr, "usage: see the top of counterfeit_fuse.cpp\n");
    return 2;
  }
  model.beyond = static_cast<Beyond>(kind - beyonds.begin());
  g_stick.device = std::make_unique<veracap::emulated::DiskDevice>(model);
  std::string error;
  if (!g_stick.device->Open(backing, &error)) {
    std::fprintf(stderr, "%s: %s\n", backing.c_str(), error.c_str());
    return 1;
  }
  fuse_operations ops{};
  ops.getattr = GetAttr;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.fsync = Fsync;
  ops.truncate = Truncate;
  ops.init = Init;
  return fuse_main(static_cast<int>(fuse_args.size()), fuse_args.data(), &ops, nullptr);
}
