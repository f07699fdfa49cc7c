#include "cli/meter.h"

#include <cctype>

namespace veracap::cli {
namespace {

using Clock = std::chrono::steady_clock;

// The number n of a path ending in "VCAPTESTn.tmp" (any case), 0 for others.
int TestFileNumber(const std::string& path) {
  std::string upper;
  for (const char c : path) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto at = upper.rfind("\\VCAPTEST");
  if (at == std::string::npos) return 0;
  int n = 0;
  for (std::size_t i = at + 9;
       i < upper.size() && std::isdigit(static_cast<unsigned char>(upper[i])); ++i) {
    n = n * 10 + (upper[i] - '0');
    if (n > 1000000) return 0;
  }
  return n;
}

}  // namespace

Handle Meter::CreateFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                         std::uint32_t disposition, std::uint32_t flags) {
  const Handle h = PlatformWrapper::CreateFile(path, access, share, disposition, flags);
  if (h == kInvalidHandle || h == 0) return h;
  open_.erase(h);
  if (path.find("PhysicalDrive") != std::string::npos && (access & kGenericWrite) != 0) {
    open_[h] = {Kind::kDisk};
  } else if (const int n = TestFileNumber(path); n > 0) {
    open_[h] = {Kind::kFile};
    file_number = n;
    file_writing = (access & kGenericWrite) != 0;
  }
  return h;
}

void Meter::Count(Transfers& t, bool ok, std::uint32_t length, std::uint32_t bytes,
                  Clock::time_point t0) {
  const Clock::time_point t1 = Clock::now();
  if (!started_) {
    started_ = true;
    start_ = t0;
  }
  const double seconds = std::chrono::duration<double>(t1 - t0).count();
  ++t.count;
  t.bytes += bytes;
  if (!ok) ++t.errors;
  t.seconds += seconds;
  last_ = &t;
  // Marker figures count the transfers that happened: a failed write is an
  // error, not a marker written.
  last_sector_ = length == 512 && ok;
  if (last_sector_) {
    ++t.sector_count;
    t.sector_seconds += seconds;
  }
  if (on_transfer) on_transfer();
}

double Meter::Elapsed() const {
  return started_ ? std::chrono::duration<double>(Clock::now() - start_).count() : 0;
}

bool Meter::ReadFile(Handle h, void* buffer, std::uint32_t length, std::uint32_t* read) {
  const auto it = open_.find(h);
  if (it == open_.end()) return PlatformWrapper::ReadFile(h, buffer, length, read);
  std::uint32_t got = 0;
  const Clock::time_point t0 = Clock::now();
  const bool ok = PlatformWrapper::ReadFile(h, buffer, length, &got);
  if (read != nullptr) *read = got;
  Count(it->second.kind == Kind::kDisk ? disk_reads : file_reads, ok, length, ok ? got : 0, t0);
  return ok;
}

bool Meter::WriteFile(Handle h, const void* buffer, std::uint32_t length, std::uint32_t* written) {
  const auto it = open_.find(h);
  if (it == open_.end()) return PlatformWrapper::WriteFile(h, buffer, length, written);
  std::uint32_t put = 0;
  const Clock::time_point t0 = Clock::now();
  const bool ok = PlatformWrapper::WriteFile(h, buffer, length, &put);
  if (written != nullptr) *written = put;
  Count(it->second.kind == Kind::kDisk ? disk_writes : file_writes, ok, length, ok ? put : 0, t0);
  return ok;
}

bool Meter::FlushFileBuffers(Handle h) {
  const auto it = open_.find(h);
  const Clock::time_point t0 = Clock::now();
  const bool ok = PlatformWrapper::FlushFileBuffers(h);
  if (it != open_.end()) {
    Transfers& t = it->second.kind == Kind::kDisk ? disk_writes : file_writes;
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    t.seconds += seconds;
    if (last_ == &t && last_sector_) t.sector_seconds += seconds;  // a marker's flush
    if (!ok) ++t.errors;
  }
  return ok;
}

bool Meter::CloseHandle(Handle h) {
  open_.erase(h);
  return PlatformWrapper::CloseHandle(h);
}

}  // namespace veracap::cli
