// A counterfeit flash stick as one FUSE file, to be attached with losetup.
//
// The mount holds two files:
//   disk   claims --claimed bytes; only the first --real bytes are memory,
//          kept in a sparse backing file. Beyond them a write wraps onto the
//          real memory (offset modulo real) or is lost and reads back zeros.
//          With --wrap-at, addresses from there on wrap modulo it (a missing
//          address line), and those between the real size and it read zeros.
//          With --beyond log the stick is log-structured: every write,
//          whatever its address, is appended to a log of the real size, and
//          a read finds the latest write to its address (zeros if none)
//          until the log comes round over it.
//          With --cache-bytes, a write cache of that many bytes in lines of
//          --cache-line bytes answers reads first; a flush does not empty it,
//          and the line written longest ago goes to the memory first. With
//          --write-protected every write fails (EROFS) and reads work.
//   stats  one text line of I/O counters ("reads=R writes=W bytes_read=BR
//          bytes_written=BW flushes=F"); writing anything to it resets them.
//
// Every open is direct_io, so the kernel keeps no page cache for either file:
// each transfer of the loop device reaches this program and is counted, and a
// change made to the backing file is seen by the next read. The backing file
// is a plain file the test may read or change behind the device's back.
//
// Optionally the stick is slow like a real one (for benchmarks): transfers
// are served one at a time, each taking --latency-us plus its size at
// --read-mibps / --write-mibps, and a flush --flush-us.
//
// Usage: counterfeit_fuse --claimed BYTES --real BYTES --beyond wrap|zeros|log
//                         --backing FILE [--read-mibps N] [--write-mibps N]
//                         [--latency-us N] [--flush-us N] [--wrap-at BYTES]
//                         [--cache-bytes N [--cache-line N]] [--write-protected]
//                         MOUNTPOINT [fuse options, e.g. -f]
#define FUSE_USE_VERSION 31

#include <fcntl.h>
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
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

struct Device {
  std::uint64_t claimed_bytes = 0;
  std::uint64_t real_bytes = 0;
  bool wrap = true;
  // Log-structured: where each sector's latest write went in the log, and
  // the log's next sector.
  bool log = false;
  std::unordered_map<std::uint64_t, std::uint64_t> log_place;
  std::uint64_t log_next = 0;
  std::mutex log_lock;
  int backing_fd = -1;
  std::atomic<std::uint64_t> reads{0};
  std::atomic<std::uint64_t> writes{0};
  std::atomic<std::uint64_t> bytes_read{0};
  std::atomic<std::uint64_t> bytes_written{0};
  std::atomic<std::uint64_t> flushes{0};
  // The speed model; zero: as fast as the backing file.
  std::uint64_t read_mibps = 0, write_mibps = 0, latency_us = 0, flush_us = 0;
  std::mutex channel;  // one transfer at a time when a model is set
  std::uint64_t wrap_at = 0;
  bool write_protected = false;
  // The write cache: lines by index, oldest first in cache_age.
  std::uint64_t cache_bytes = 0, cache_line = 4096;
  struct Line {
    std::vector<char> data;
    std::vector<bool> written;
    std::list<std::uint64_t>::iterator age;
  };
  std::unordered_map<std::uint64_t, Line> cache;
  std::list<std::uint64_t> cache_age;
  std::mutex cache_lock;
};

Device g_device;
constexpr const char* kDiskPath = "/disk";
constexpr const char* kStatsPath = "/stats";

std::string StatsText() {
  char line[256];
  std::snprintf(line, sizeof line,
                "reads=%llu writes=%llu bytes_read=%llu bytes_written=%llu flushes=%llu\n",
                static_cast<unsigned long long>(g_device.reads.load()),
                static_cast<unsigned long long>(g_device.writes.load()),
                static_cast<unsigned long long>(g_device.bytes_read.load()),
                static_cast<unsigned long long>(g_device.bytes_written.load()),
                static_cast<unsigned long long>(g_device.flushes.load()));
  return line;
}

// Holds the stick's one channel for the time a transfer of size bytes takes.
void Busy(std::uint64_t size, std::uint64_t mibps, std::uint64_t extra_us) {
  std::uint64_t us = extra_us;
  if (mibps > 0) us += size * 1000000 / (mibps << 20);
  if (us == 0) return;
  std::lock_guard<std::mutex> hold(g_device.channel);
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// Where a device offset lands in the backing file; false when it lands
// nowhere (beyond the real memory of a zeros device).
bool MapOffset(std::uint64_t offset, std::uint64_t* backing_offset) {
  if (g_device.wrap_at != 0 && offset >= g_device.wrap_at) offset %= g_device.wrap_at;
  if (offset < g_device.real_bytes) {
    *backing_offset = offset;
    return true;
  }
  if (!g_device.wrap || g_device.wrap_at != 0) return false;
  *backing_offset = offset % g_device.real_bytes;
  return true;
}

// The longest run from offset that stays on one side of every boundary of
// the real memory (so that it maps to one contiguous backing range).
std::size_t RunLength(std::uint64_t offset, std::size_t size) {
  std::uint64_t to_boundary = g_device.real_bytes - offset % g_device.real_bytes;
  if (g_device.wrap_at != 0) {
    const std::uint64_t in_period = offset % g_device.wrap_at;
    to_boundary = in_period < g_device.real_bytes ? g_device.real_bytes - in_period
                                                  : g_device.wrap_at - in_period;
  }
  return static_cast<std::size_t>(std::min<std::uint64_t>(size, to_boundary));
}

// A log-structured memory, one sector at a time; a part of a sector is
// read, changed and appended whole.
int LogRead(char* buf, std::size_t size, std::uint64_t offset) {
  std::lock_guard<std::mutex> hold(g_device.log_lock);
  for (std::size_t done = 0; done < size;) {
    const std::uint64_t sector = (offset + done) / 512;
    const std::size_t skip = (offset + done) % 512;
    const std::size_t n = std::min<std::size_t>(512 - skip, size - done);
    const auto found = g_device.log_place.find(sector);
    if (found == g_device.log_place.end()) {
      std::memset(buf + done, 0, n);
    } else {
      const ssize_t got =
          pread(g_device.backing_fd, buf + done, n, static_cast<off_t>(found->second * 512 + skip));
      if (got < 0) return -errno;
      if (static_cast<std::size_t>(got) < n) std::memset(buf + done + got, 0, n - got);
    }
    done += n;
  }
  return 0;
}

int LogWrite(const char* buf, std::size_t size, std::uint64_t offset) {
  const std::uint64_t log_sectors = g_device.real_bytes / 512;
  for (std::size_t done = 0; done < size;) {
    const std::uint64_t sector = (offset + done) / 512;
    const std::size_t skip = (offset + done) % 512;
    const std::size_t n = std::min<std::size_t>(512 - skip, size - done);
    char whole[512];
    if (n < 512) {
      if (const int rc = LogRead(whole, 512, sector * 512); rc != 0) return rc;
    }
    std::memcpy(whole + skip, buf + done, n);
    std::lock_guard<std::mutex> hold(g_device.log_lock);
    const std::uint64_t place = g_device.log_next++ % log_sectors;
    g_device.log_place[sector] = place;
    if (pwrite(g_device.backing_fd, whole, 512, static_cast<off_t>(place * 512)) < 0) return -errno;
    done += n;
  }
  return 0;
}

// The memory behind any cache.
int BackRead(char* buf, std::size_t size, std::uint64_t offset) {
  if (g_device.log) return LogRead(buf, size, offset);
  std::size_t done = 0;
  while (done < size) {
    const std::size_t run = RunLength(offset + done, size - done);
    std::uint64_t backing = 0;
    if (MapOffset(offset + done, &backing)) {
      const ssize_t got = pread(g_device.backing_fd, buf + done, run, static_cast<off_t>(backing));
      if (got < 0) return -errno;
      // A sparse backing file shorter than the real memory reads as zeros.
      if (static_cast<std::size_t>(got) < run) std::memset(buf + done + got, 0, run - got);
    } else {
      std::memset(buf + done, 0, run);
    }
    done += run;
  }
  return 0;
}

int BackWrite(const char* buf, std::size_t size, std::uint64_t offset) {
  if (g_device.log) return LogWrite(buf, size, offset);
  std::size_t done = 0;
  while (done < size) {
    const std::size_t run = RunLength(offset + done, size - done);
    std::uint64_t backing = 0;
    if (MapOffset(offset + done, &backing)) {
      const ssize_t put = pwrite(g_device.backing_fd, buf + done, run, static_cast<off_t>(backing));
      if (put < 0) return -errno;
    }
    done += run;
  }
  return 0;
}

// Whole 512-byte sectors through the write cache (the loop device sends
// nothing else).
void CacheWrite(const char* buf, std::size_t size, std::uint64_t offset) {
  std::lock_guard<std::mutex> hold(g_device.cache_lock);
  const std::uint64_t per_line = g_device.cache_line / 512;
  for (std::size_t done = 0; done < size; done += 512) {
    const std::uint64_t sector = (offset + done) / 512;
    const std::uint64_t index = sector / per_line;
    auto found = g_device.cache.find(index);
    if (found == g_device.cache.end()) {
      while (g_device.cache.size() >= g_device.cache_bytes / g_device.cache_line) {
        const std::uint64_t oldest = g_device.cache_age.front();
        const Device::Line& line = g_device.cache.at(oldest);
        for (std::size_t i = 0; i < line.written.size(); ++i) {
          if (line.written[i])
            BackWrite(line.data.data() + i * 512, 512, (oldest * per_line + i) * 512);
        }
        g_device.cache.erase(oldest);
        g_device.cache_age.pop_front();
      }
      Device::Line line;
      line.data.resize(g_device.cache_line);
      line.written.assign(per_line, false);
      line.age = g_device.cache_age.insert(g_device.cache_age.end(), index);
      found = g_device.cache.emplace(index, std::move(line)).first;
    } else {
      g_device.cache_age.splice(g_device.cache_age.end(), g_device.cache_age, found->second.age);
    }
    const std::size_t slot = sector % per_line;
    std::memcpy(found->second.data.data() + slot * 512, buf + done, 512);
    found->second.written[slot] = true;
  }
}

int CacheRead(char* buf, std::size_t size, std::uint64_t offset) {
  if (const int rc = BackRead(buf, size, offset); rc != 0) return rc;
  std::lock_guard<std::mutex> hold(g_device.cache_lock);
  const std::uint64_t per_line = g_device.cache_line / 512;
  for (std::size_t done = 0; done + 512 <= size; done += 512) {
    const std::uint64_t sector = (offset + done) / 512;
    const auto found = g_device.cache.find(sector / per_line);
    if (found != g_device.cache.end() && found->second.written[sector % per_line]) {
      std::memcpy(buf + done, found->second.data.data() + sector % per_line * 512, 512);
    }
  }
  return 0;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  st->st_uid = getuid();
  st->st_gid = getgid();
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else if (std::strcmp(path, kDiskPath) == 0) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(g_device.claimed_bytes);
  } else if (std::strcmp(path, kStatsPath) == 0) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = 0;  // direct_io: readers read until they get nothing
  } else {
    return -ENOENT;
  }
  return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, kDiskPath + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, kStatsPath + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, kDiskPath) != 0 && std::strcmp(path, kStatsPath) != 0) return -ENOENT;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

int Read(const char* path, char* buf, std::size_t size, off_t off, fuse_file_info*) {
  if (std::strcmp(path, kStatsPath) == 0) {
    const std::string text = StatsText();
    if (static_cast<std::size_t>(off) >= text.size()) return 0;
    const std::size_t n = std::min(size, text.size() - static_cast<std::size_t>(off));
    std::memcpy(buf, text.data() + off, n);
    return static_cast<int>(n);
  }
  const auto offset = static_cast<std::uint64_t>(off);
  if (offset >= g_device.claimed_bytes) return 0;
  size = static_cast<std::size_t>(std::min<std::uint64_t>(size, g_device.claimed_bytes - offset));
  const int rc =
      g_device.cache_bytes != 0 ? CacheRead(buf, size, offset) : BackRead(buf, size, offset);
  if (rc != 0) return rc;
  Busy(size, g_device.read_mibps, g_device.latency_us);
  g_device.reads.fetch_add(1);
  g_device.bytes_read.fetch_add(size);
  return static_cast<int>(size);
}

int Write(const char* path, const char* buf, std::size_t size, off_t off, fuse_file_info*) {
  if (std::strcmp(path, kStatsPath) == 0) {
    g_device.reads = 0;
    g_device.writes = 0;
    g_device.bytes_read = 0;
    g_device.bytes_written = 0;
    g_device.flushes = 0;
    return static_cast<int>(size);
  }
  const auto offset = static_cast<std::uint64_t>(off);
  if (offset + size > g_device.claimed_bytes) return -ENOSPC;
  if (g_device.write_protected) return -EROFS;
  if (g_device.cache_bytes != 0 && offset % 512 == 0 && size % 512 == 0) {
    CacheWrite(buf, size, offset);
  } else if (const int rc = BackWrite(buf, size, offset); rc != 0) {
    return rc;
  }
  Busy(size, g_device.write_mibps, g_device.latency_us);
  g_device.writes.fetch_add(1);
  g_device.bytes_written.fetch_add(size);
  return static_cast<int>(size);
}

// The backing file stands for the stick's memory; it need not reach the host
// disk, so a flush is only counted.
int Fsync(const char*, int, fuse_file_info*) {
  Busy(0, 0, g_device.flush_us);
  g_device.flushes.fetch_add(1);
  return 0;
}

int Truncate(const char* path, off_t, fuse_file_info*) {
  return std::strcmp(path, kStatsPath) == 0 ? 0 : -EPERM;
}

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->use_ino = 0;
  conn->max_write = 1u << 20;
  return nullptr;
}

bool ParseBytes(const char* text, std::uint64_t* value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  *value = v;
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: counterfeit_fuse --claimed BYTES --real BYTES --beyond wrap|zeros|log "
               "--backing FILE [--read-mibps N] [--write-mibps N] [--latency-us N] "
               "[--flush-us N] [--wrap-at BYTES] [--cache-bytes N [--cache-line N]] "
               "[--write-protected] MOUNTPOINT [fuse options]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string backing_path;
  std::vector<char*> fuse_args{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--claimed" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.claimed_bytes)) return Usage();
    } else if (arg == "--real" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.real_bytes)) return Usage();
    } else if (arg == "--beyond" && has_value) {
      const std::string mode = argv[++i];
      if (mode != "wrap" && mode != "zeros" && mode != "log") return Usage();
      g_device.wrap = mode == "wrap";
      g_device.log = mode == "log";
    } else if (arg == "--read-mibps" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.read_mibps)) return Usage();
    } else if (arg == "--write-mibps" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.write_mibps)) return Usage();
    } else if (arg == "--latency-us" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.latency_us)) return Usage();
    } else if (arg == "--flush-us" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.flush_us)) return Usage();
    } else if (arg == "--wrap-at" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.wrap_at)) return Usage();
    } else if (arg == "--cache-bytes" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.cache_bytes)) return Usage();
    } else if (arg == "--cache-line" && has_value) {
      if (!ParseBytes(argv[++i], &g_device.cache_line)) return Usage();
    } else if (arg == "--write-protected") {
      g_device.write_protected = true;
    } else if (arg == "--backing" && has_value) {
      backing_path = argv[++i];
    } else {
      fuse_args.push_back(argv[i]);
    }
  }
  if (backing_path.empty() || g_device.real_bytes == 0 ||
      g_device.claimed_bytes < g_device.real_bytes ||
      (g_device.wrap_at != 0 && g_device.wrap_at < g_device.real_bytes) ||
      g_device.cache_line == 0 || g_device.cache_line % 512 != 0 ||
      (g_device.log && (g_device.wrap_at != 0 || g_device.real_bytes < 512)) ||
      (g_device.cache_bytes != 0 && g_device.cache_bytes < g_device.cache_line)) {
    return Usage();
  }
  g_device.backing_fd = open(backing_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (g_device.backing_fd < 0 ||
      ftruncate(g_device.backing_fd, static_cast<off_t>(g_device.real_bytes)) != 0) {
    std::perror(backing_path.c_str());
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
  const int rc = fuse_main(static_cast<int>(fuse_args.size()), fuse_args.data(), &ops, nullptr);
  close(g_device.backing_fd);
  return rc;
}
