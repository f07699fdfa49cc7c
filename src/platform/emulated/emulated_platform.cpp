#include "platform/emulated/emulated_platform.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "app/clock.h"
#include "base/text.h"
#include "platform/emulated/disk_device.h"
#include "platform/emulated/flat_volume.h"

namespace veracap::emulated {
namespace {

constexpr Handle kFirstHandle = 1000;

bool CanRead(std::uint32_t access) {
  return (access & (kGenericRead | kGenericAll | kFileReadData)) != 0;
}
bool CanWrite(std::uint32_t access) {
  return (access & (kGenericWrite | kGenericAll | kFileWriteData)) != 0;
}

// A fixed-width INQUIRY text field, blank-padded.
void PutField(std::uint8_t* p, const std::string& text, std::size_t width) {
  std::memset(p, ' ', width);
  std::memcpy(p, text.data(), std::min(width, text.size()));
}

// "E:" or "E:\" (either case) -> 'E'; 0 for anything else.
char RootLetter(const std::string& root) {
  if ((root.size() == 2 || (root.size() == 3 && root[2] == '\\')) && root[1] == ':' &&
      std::isalpha(static_cast<unsigned char>(root[0]))) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
  }
  return 0;
}

}  // namespace

struct EmulatedPlatform::Impl {
  enum class Kind { kDisk, kVolume, kFile };

  struct Volume {
    VolumeSpec config;
    DiskDevice* disk = nullptr;
    std::uint32_t partition_number = 0;  // 1.. in order of place on the disk
    bool refuse_lock = false;
    bool refuse_access_denied = false;
    std::unique_ptr<FlatVolume> fs;
  };

  struct HandleState {
    bool open = false;
    Kind kind = Kind::kDisk;
    DiskDevice* disk = nullptr;
    Volume* volume = nullptr;
    std::shared_ptr<FlatVolume::File> file;
    std::uint32_t access = 0;
    std::uint64_t position = 0;
    bool holds_volume_lock = false;
  };

  // A byte range taken with LockFile on a disk, volume or file.
  struct RangeLock {
    const void* object;
    Handle owner;
    std::uint64_t offset;
    std::uint64_t length;
  };

  Options options;
  std::string image_dir;
  std::string error;
  std::vector<std::unique_ptr<DiskDevice>> disks;
  std::vector<std::unique_ptr<Volume>> volumes;
  std::vector<HandleState> handles;  // index = handle - kFirstHandle; never reused
  std::size_t open_handles = 0;
  std::vector<RangeLock> range_locks;
  std::uint32_t last_error = kErrorSuccess;
  Counters counters;
  std::vector<std::string> requests;
  std::uint64_t virtual_ms = 0;
  std::uint32_t virtual_tick_start = 0;
  std::int64_t start_serial_seconds = 0;

  bool Fail(std::uint32_t code) {
    last_error = code;
    return false;
  }

  HandleState* Get(Handle h) {
    if (h < kFirstHandle || h - kFirstHandle >= static_cast<Handle>(handles.size())) {
      last_error = kErrorInvalidHandle;
      return nullptr;
    }
    HandleState& state = handles[static_cast<std::size_t>(h - kFirstHandle)];
    if (!state.open) {
      last_error = kErrorInvalidHandle;
      return nullptr;
    }
    return &state;
  }

  Handle Add(HandleState state) {
    state.open = true;
    handles.push_back(std::move(state));
    ++open_handles;
    return kFirstHandle + static_cast<Handle>(handles.size() - 1);
  }

  DiskDevice* FindDisk(int number) {
    for (auto& d : disks) {
      if (d->config().number == number) return d.get();
    }
    return nullptr;
  }

  Volume* FindVolume(char letter) {
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (auto& v : volumes) {
      if (v->config.letter == letter) return v.get();
    }
    return nullptr;
  }

  // The time a slow call takes: virtual unless the machine's clock runs.
  void Spend(std::uint32_t ms) {
    if (ms == 0) return;
    if (options.real_clock) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    } else {
      virtual_ms += ms;
    }
  }

  // A read of [offset, offset + length) of a disk's claimed space with its
  // faults; *done gets the bytes delivered. Returns 0 or an error code.
  std::uint32_t DeviceRead(DiskDevice& disk, std::uint64_t offset, std::uint8_t* out,
                           std::size_t length, std::size_t* done) {
    *done = 0;
    DiskDevice::FaultHit fault = disk.TakeFault(Fault::Kind::kReadFail, offset, length);
    if (fault.hit) {
      Spend(fault.delay_ms);
      return kErrorCrc;
    }
    fault = disk.TakeFault(Fault::Kind::kShortRead, offset, length);
    if (fault.hit) {
      Spend(fault.delay_ms);
      length = static_cast<std::size_t>(fault.delivered_bytes);
    }
    const std::uint32_t code = disk.Read(offset, out, length);
    if (code == kErrorSuccess) *done = length;
    return code;
  }

  std::uint32_t DeviceWrite(DiskDevice& disk, std::uint64_t offset, const std::uint8_t* in,
                            std::size_t length) {
    const DiskDevice::FaultHit fault = disk.TakeFault(Fault::Kind::kWriteFail, offset, length);
    if (fault.hit) {
      Spend(fault.delay_ms);
      return kErrorWriteFault;
    }
    return disk.Write(offset, in, length);
  }

  // The region of the disk a device handle reaches.
  static void Region(const HandleState& h, std::uint64_t* base, std::uint64_t* limit) {
    if (h.kind == Kind::kVolume) {
      *base = h.volume->config.offset_bytes;
      *limit = h.volume->config.capacity_bytes;
    } else {
      *base = 0;
      *limit = h.disk->claimed_bytes();
    }
  }

  const void* LockObject(const HandleState& h) {
    if (h.kind == Kind::kFile) return h.file.get();
    if (h.kind == Kind::kVolume) return h.volume;
    return h.disk;
  }

  bool FileRead(HandleState& h, std::uint8_t* out, std::uint32_t length, std::uint32_t* done);
  bool FileWrite(HandleState& h, const std::uint8_t* in, std::uint32_t length, std::uint32_t* done);

  Handle OpenFile(char letter, const std::string& name, std::uint32_t access,
                  std::uint32_t disposition);

  bool ScsiPassThrough(const HandleState& h, const void* in_buffer, std::uint32_t in_size,
                       void* out_buffer, std::uint32_t out_size, std::uint32_t* returned);
  bool QueryProperty(const HandleState& h, const void* in_buffer, std::uint32_t in_size,
                     void* out_buffer, std::uint32_t out_size, std::uint32_t* returned);
  bool VolumeRequest(HandleState& h, std::uint32_t code);
};

EmulatedPlatform::EmulatedPlatform(Manifest manifest, Options options)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.options = options;
  m.start_serial_seconds = SerialSeconds(options.start_time);
  m.image_dir = !options.image_dir.empty()    ? options.image_dir
                : !manifest.image_dir.empty() ? manifest.image_dir
                                              : DefaultImageDir();
  std::error_code ec;
  std::filesystem::create_directories(m.image_dir, ec);
  if (ec) m.error = m.image_dir + ": " + ec.message();
  for (const DiskSpec& config : manifest.disks) {
    auto disk = std::make_unique<DiskDevice>(config);
    disk->answers_capacity = config.answers_capacity;
    disk->answers_inquiry = config.answers_inquiry;
    disk->answers_length = config.answers_length;
    const std::string path =
        (std::filesystem::path(m.image_dir) / ("disk" + std::to_string(config.number) + ".img"))
            .string();
    std::string message;
    if (m.error.empty() && !disk->Open(path, &message)) m.error = message;
    std::vector<const VolumeSpec*> by_place;
    for (const VolumeSpec& v : config.volumes) by_place.push_back(&v);
    std::stable_sort(by_place.begin(), by_place.end(),
                     [](auto* a, auto* b) { return a->offset_bytes < b->offset_bytes; });
    for (const VolumeSpec& v : config.volumes) {
      auto volume = std::make_unique<Impl::Volume>();
      volume->config = v;
      volume->disk = disk.get();
      volume->partition_number = static_cast<std::uint32_t>(
          std::find(by_place.begin(), by_place.end(), &v) - by_place.begin() + 1);
      if (disk->is_open()) {
        const std::string table =
            (std::filesystem::path(m.image_dir) / (std::string("volume-") + v.letter + ".table"))
                .string();
        volume->fs = std::make_unique<FlatVolume>(v, table);
        if (!volume->fs->Load(&message)) {
          if (m.error.empty()) m.error = message;
        } else if (volume->fs->created()) {
          // A fresh table: put the manifest's files on the volume.
          DiskDevice& d = *disk;
          volume->fs->CreateInitialFiles(
              [&d](std::uint64_t offset, const std::uint8_t* data, std::size_t length) {
                return d.Write(offset, data, length) == kErrorSuccess;
              });
          volume->fs->Save(nullptr);
        }
      }
      m.volumes.push_back(std::move(volume));
    }
    m.disks.push_back(std::move(disk));
  }
}

EmulatedPlatform::~EmulatedPlatform() {
  for (auto& v : impl_->volumes) {
    if (v->fs) v->fs->Save(nullptr);
  }
}

const std::string& EmulatedPlatform::error() const { return impl_->error; }

Handle EmulatedPlatform::CreateFile(const std::string& path, std::uint32_t desired_access,
                                    std::uint32_t /*share_mode*/,
                                    std::uint32_t creation_disposition,
                                    std::uint32_t /*flags_and_attributes*/) {
  Impl& m = *impl_;
  if (path.rfind("\\\\.\\", 0) == 0) {
    const std::string device = path.substr(4);
    Impl::HandleState state;
    state.access = desired_access;
    if (device.size() > 13 && Upper(device.substr(0, 13)) == "PHYSICALDRIVE") {
      const std::string digits = device.substr(13);
      const bool plain =
          digits.size() <= 3 &&
          std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
          (digits.size() == 1 || digits[0] != '0');
      DiskDevice* disk = plain ? m.FindDisk(std::stoi(digits)) : nullptr;
      if (disk == nullptr || !disk->is_open()) {
        m.last_error = kErrorFileNotFound;
        return kInvalidHandle;
      }
      state.kind = Impl::Kind::kDisk;
      state.disk = disk;
    } else if (device.size() == 2 && device[1] == ':') {
      Impl::Volume* volume = m.FindVolume(device[0]);
      if (volume == nullptr || !volume->disk->is_open()) {
        m.last_error = kErrorFileNotFound;
        return kInvalidHandle;
      }
      state.kind = Impl::Kind::kVolume;
      state.disk = volume->disk;
      state.volume = volume;
    } else {
      m.last_error = kErrorFileNotFound;
      return kInvalidHandle;
    }
    if (creation_disposition != kOpenExisting) {
      m.last_error = kErrorInvalidParameter;
      return kInvalidHandle;
    }
    return m.Add(std::move(state));
  }
  if (path.size() >= 3 && path[1] == ':' && path[2] == '\\' &&
      std::isalpha(static_cast<unsigned char>(path[0]))) {
    return m.OpenFile(path[0], path.substr(3), desired_access, creation_disposition);
  }
  m.last_error = kErrorPathNotFound;
  return kInvalidHandle;
}

Handle EmulatedPlatform::Impl::OpenFile(char letter, const std::string& name, std::uint32_t access,
                                        std::uint32_t disposition) {
  Volume* volume = FindVolume(letter);
  if (volume == nullptr || !volume->fs) {
    last_error = kErrorPathNotFound;
    return kInvalidHandle;
  }
  if (name.find('\\') != std::string::npos || name.find('/') != std::string::npos) {
    last_error = kErrorPathNotFound;  // only the root folder exists
    return kInvalidHandle;
  }
  if (!FlatVolume::ValidName(name)) {
    last_error = kErrorInvalidName;
    return kInvalidHandle;
  }
  FlatVolume& fs = *volume->fs;
  std::shared_ptr<FlatVolume::File> file = fs.Find(name);
  switch (disposition) {
    case kCreateNew:
      if (file) {
        last_error = kErrorFileExists;
        return kInvalidHandle;
      }
      break;
    case kCreateAlways:
    case kOpenAlways:
      break;
    case kOpenExisting:
    case kTruncateExisting:
      if (!file) {
        last_error = kErrorFileNotFound;
        return kInvalidHandle;
      }
      break;
    default:
      last_error = kErrorInvalidParameter;
      return kInvalidHandle;
  }
  if (!file) {
    file = fs.Create(name);
  } else if (disposition == kCreateAlways || disposition == kTruncateExisting) {
    const bool in_use = std::any_of(handles.begin(), handles.end(), [&](const HandleState& h) {
      return h.open && h.file == file && CanWrite(h.access);
    });
    if (in_use) {
      last_error = kErrorSharingViolation;
      return kInvalidHandle;
    }
    fs.Truncate(*file);
  }
  fs.Save(nullptr);
  HandleState state;
  state.kind = Kind::kFile;
  state.disk = volume->disk;
  state.volume = volume;
  state.file = std::move(file);
  state.access = access;
  return Add(std::move(state));
}

bool EmulatedPlatform::Impl::FileRead(HandleState& h, std::uint8_t* out, std::uint32_t length,
                                      std::uint32_t* done) {
  const FlatVolume::File& file = *h.file;
  if (h.position >= file.size_bytes) return true;  // end of file: success, nothing read
  std::uint64_t want = std::min<std::uint64_t>(length, file.size_bytes - h.position);
  while (want > 0) {
    const FlatVolume::Piece piece = h.volume->fs->Map(file, h.position, want);
    std::size_t got = 0;
    const std::uint32_t code =
        DeviceRead(*h.disk, piece.disk_offset, out, static_cast<std::size_t>(piece.length), &got);
    if (code != kErrorSuccess) return Fail(code);
    out += got;
    *done += static_cast<std::uint32_t>(got);
    h.position += got;
    counters.bytes_read += got;
    if (got < piece.length) break;  // a short read ends the transfer
    want -= got;
  }
  return true;
}

bool EmulatedPlatform::Impl::FileWrite(HandleState& h, const std::uint8_t* in, std::uint32_t length,
                                       std::uint32_t* done) {
  if (length == 0) return true;
  FlatVolume& fs = *h.volume->fs;
  FlatVolume::File& file = *h.file;
  const std::uint64_t end = h.position + length;
  const std::uint64_t old_size = file.size_bytes;
  const std::uint64_t fits = fs.Reserve(file, end);
  if (fits <= h.position) {
    fs.Trim(file);
    return Fail(kErrorDiskFull);
  }
  // Bytes between the old end and the write position read back as zeros.
  static const std::uint8_t kZeros[4096] = {};
  for (std::uint64_t at = old_size; at < h.position;) {
    const FlatVolume::Piece piece =
        fs.Map(file, at, std::min<std::uint64_t>(h.position - at, sizeof kZeros));
    const std::uint32_t code =
        DeviceWrite(*h.disk, piece.disk_offset, kZeros, static_cast<std::size_t>(piece.length));
    if (code != kErrorSuccess) {
      fs.Trim(file);
      return Fail(code);
    }
    at += piece.length;
  }
  while (h.position < fits) {
    const FlatVolume::Piece piece = fs.Map(file, h.position, fits - h.position);
    const std::uint32_t code =
        DeviceWrite(*h.disk, piece.disk_offset, in, static_cast<std::size_t>(piece.length));
    if (code != kErrorSuccess) {
      fs.Trim(file);
      return Fail(code);
    }
    in += piece.length;
    *done += static_cast<std::uint32_t>(piece.length);
    h.position += piece.length;
    counters.bytes_written += piece.length;
    fs.SetSize(file, std::max(file.size_bytes, h.position));
  }
  // A write that does not fit stores what fits and fails.
  if (fits < end) return Fail(kErrorDiskFull);
  return true;
}

bool EmulatedPlatform::ReadFile(Handle h, void* buffer, std::uint32_t length,
                                std::uint32_t* bytes_read) {
  Impl& m = *impl_;
  if (bytes_read) *bytes_read = 0;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  if (!CanRead(state->access)) return m.Fail(kErrorAccessDenied);
  if (length > 0 && buffer == nullptr) return m.Fail(kErrorInvalidParameter);
  std::uint32_t done = 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (state->kind == Impl::Kind::kFile) {
    const bool ok = m.FileRead(*state, out, length, &done);
    if (bytes_read) *bytes_read = done;
    return ok;
  }
  if (state->kind == Impl::Kind::kDisk) ++m.counters.sector_reads;
  if (length == 0) return true;
  std::uint64_t base = 0, limit = 0;
  Impl::Region(*state, &base, &limit);
  if (state->position >= limit) return m.Fail(kErrorSectorNotFound);
  // A read that runs over the end gives the bytes up to the end.
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(length, limit - state->position));
  std::size_t got = 0;
  const std::uint32_t code = m.DeviceRead(*state->disk, base + state->position, out, want, &got);
  if (code != kErrorSuccess) return m.Fail(code);
  state->position += got;
  m.counters.bytes_read += got;
  if (bytes_read) *bytes_read = static_cast<std::uint32_t>(got);
  return true;
}

bool EmulatedPlatform::WriteFile(Handle h, const void* buffer, std::uint32_t length,
                                 std::uint32_t* bytes_written) {
  Impl& m = *impl_;
  if (bytes_written) *bytes_written = 0;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  if (!CanWrite(state->access)) return m.Fail(kErrorAccessDenied);
  if (length > 0 && buffer == nullptr) return m.Fail(kErrorInvalidParameter);
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  if (state->kind == Impl::Kind::kFile) {
    std::uint32_t done = 0;
    const bool ok = m.FileWrite(*state, in, length, &done);
    if (bytes_written) *bytes_written = done;
    return ok;
  }
  if (state->kind == Impl::Kind::kDisk) ++m.counters.sector_writes;
  if (length == 0) return true;
  std::uint64_t base = 0, limit = 0;
  Impl::Region(*state, &base, &limit);
  // A fixed-size device refuses a write past its end and does not grow.
  if (state->position >= limit || length > limit - state->position) {
    return m.Fail(kErrorSectorNotFound);
  }
  const std::uint32_t code = m.DeviceWrite(*state->disk, base + state->position, in, length);
  if (code != kErrorSuccess) return m.Fail(code);
  state->position += length;
  m.counters.bytes_written += length;
  if (bytes_written) *bytes_written = length;
  return true;
}

bool EmulatedPlatform::SetFilePointerEx(Handle h, std::int64_t distance,
                                        std::uint32_t move_method) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  std::int64_t origin = 0;
  if (move_method == kFileCurrent) {
    origin = static_cast<std::int64_t>(state->position);
  } else if (move_method == kFileEnd) {
    std::uint64_t base = 0, limit = 0;
    if (state->kind == Impl::Kind::kFile) {
      limit = state->file->size_bytes;
    } else {
      Impl::Region(*state, &base, &limit);
    }
    origin = static_cast<std::int64_t>(limit);
  } else if (move_method != kFileBegin) {
    return m.Fail(kErrorInvalidParameter);
  }
  if ((distance < 0 && origin + distance < 0) || (distance > 0 && origin > INT64_MAX - distance)) {
    return m.Fail(kErrorNegativeSeek);
  }
  state->position = static_cast<std::uint64_t>(origin + distance);
  return true;
}

bool EmulatedPlatform::FlushFileBuffers(Handle h) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  if (!CanWrite(state->access)) return m.Fail(kErrorAccessDenied);
  if (state->kind == Impl::Kind::kDisk) ++m.counters.flushes;
  if (state->kind == Impl::Kind::kFile) state->volume->fs->Save(nullptr);
  return true;
}

bool EmulatedPlatform::LockFile(Handle h, std::uint64_t offset, std::uint64_t length) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  const void* object = m.LockObject(*state);
  for (const Impl::RangeLock& lock : m.range_locks) {
    if (lock.object == object && offset < lock.offset + lock.length &&
        lock.offset < offset + length) {
      return m.Fail(kErrorLockViolation);
    }
  }
  m.range_locks.push_back({object, h, offset, length});
  return true;
}

bool EmulatedPlatform::UnlockFile(Handle h, std::uint64_t offset, std::uint64_t length) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  const void* object = m.LockObject(*state);
  for (auto it = m.range_locks.begin(); it != m.range_locks.end(); ++it) {
    if (it->object == object && it->owner == h && it->offset == offset && it->length == length) {
      m.range_locks.erase(it);
      return true;
    }
  }
  return m.Fail(kErrorNotLocked);
}

bool EmulatedPlatform::CloseHandle(Handle h) {
  Impl& m = *impl_;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  std::erase_if(m.range_locks, [h](const Impl::RangeLock& lock) { return lock.owner == h; });
  if (state->kind == Impl::Kind::kFile) state->volume->fs->Save(nullptr);
  *state = Impl::HandleState{};
  --m.open_handles;
  return true;
}

std::uint32_t EmulatedPlatform::GetLastError() { return impl_->last_error; }

bool EmulatedPlatform::Impl::ScsiPassThrough(const HandleState& h, const void* in_buffer,
                                             std::uint32_t in_size, void* out_buffer,
                                             std::uint32_t out_size, std::uint32_t* returned) {
  constexpr std::uint32_t kHeaderBytes = ScsiPassThroughLayout::kHeaderBytes;
  if (in_buffer == nullptr || in_size < kHeaderBytes || out_buffer == nullptr ||
      out_size < kHeaderBytes) {
    return Fail(kErrorInvalidParameter);
  }
  const ScsiPassThroughHeader request =
      DecodeScsiPassThrough(static_cast<const std::uint8_t*>(in_buffer));
  const std::uint8_t* cdb = request.cdb.data();
  const std::uint32_t transfer_length = request.data_transfer_length;
  const std::uint32_t data_offset = request.data_buffer_offset;
  const DiskSpec& config = h.disk->config();

  std::uint8_t data[36] = {};
  std::uint32_t data_length = 0;
  std::uint32_t allocation = transfer_length;
  if (cdb[0] == kScsiReadCapacity10) {
    if (!h.disk->answers_capacity) return true;
    const std::uint64_t blocks = config.claimed_bytes / config.block_length;
    const std::uint64_t last = blocks == 0 ? 0 : blocks - 1;
    PutBe32(data, last > 0xFFFFFFFEu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(last));
    PutBe32(data + 4, config.block_length);
    data_length = 8;
  } else if (cdb[0] == kScsiInquiry) {  // standard data
    if (!h.disk->answers_inquiry) return true;
    data[0] = 0x00;  // direct-access block device
    data[1] = config.removable ? 0x80 : 0x00;
    data[2] = 0x06;  // SPC-4
    data[3] = 0x02;  // response data format
    data[4] = 36 - 5;
    PutField(data + 8, config.vendor, 8);
    PutField(data + 16, config.product, 16);
    PutField(data + 32, config.revision, 4);
    data_length = 36;
    allocation =
        std::min<std::uint32_t>(allocation, static_cast<std::uint32_t>(cdb[3]) << 8 | cdb[4]);
  } else {
    return Fail(kErrorNotSupported);
  }
  if (data_offset < kHeaderBytes || data_offset > out_size) return Fail(kErrorInvalidParameter);
  data_length = std::min({data_length, allocation, out_size - data_offset});
  auto* out = static_cast<std::uint8_t*>(out_buffer);
  if (out != in_buffer) std::memmove(out, in_buffer, std::min(in_size, out_size));
  ScsiPassThroughHeader reply = DecodeScsiPassThrough(out);
  reply.scsi_status = 0;  // good
  reply.sense_info_length = 0;
  reply.data_transfer_length = data_length;
  EncodeScsiPassThrough(reply, out);
  std::memcpy(out + data_offset, data, data_length);
  *returned = data_offset + data_length;
  return true;
}

bool EmulatedPlatform::Impl::QueryProperty(const HandleState& h, const void* in_buffer,
                                           std::uint32_t in_size, void* out_buffer,
                                           std::uint32_t out_size, std::uint32_t* returned) {
  if (in_buffer == nullptr || in_size < 8) return Fail(kErrorInvalidParameter);
  const StoragePropertyQuery query =
      DecodeStoragePropertyQuery(static_cast<const std::uint8_t*>(in_buffer));
  if (query.property_id != kStorageDeviceProperty) return Fail(kErrorNotSupported);
  if (query.query_type == kPropertyExistsQuery) return true;
  if (query.query_type != kPropertyStandardQuery) return Fail(kErrorInvalidParameter);
  if (out_buffer == nullptr || out_size < 8) return Fail(kErrorInsufficientBuffer);
  const DiskSpec& config = h.disk->config();
  std::vector<std::uint8_t> d(StorageDeviceDescriptor::kFixedBytes, 0);
  StorageDeviceDescriptor fields;
  fields.vendor_id_offset = AppendDescriptorText(d, config.vendor);
  fields.product_id_offset = AppendDescriptorText(d, config.product);
  fields.product_revision_offset = AppendDescriptorText(d, config.revision);
  fields.serial_number_offset = AppendDescriptorText(d, config.serial);
  const auto size = static_cast<std::uint32_t>(d.size());
  fields.version = size;
  fields.size = size;
  fields.device_type = 0x00;  // direct access
  fields.removable_media = config.removable;
  fields.bus_type = config.bus_type;
  EncodeStorageDeviceDescriptor(fields, d.data());
  const std::uint32_t n = std::min(size, out_size);
  std::memcpy(out_buffer, d.data(), n);
  *returned = n;
  return true;
}

bool EmulatedPlatform::Impl::VolumeRequest(HandleState& h, std::uint32_t code) {
  const char* name = code == kFsctlLockVolume     ? "FSCTL_LOCK_VOLUME"
                     : code == kFsctlUnlockVolume ? "FSCTL_UNLOCK_VOLUME"
                                                  : "FSCTL_DISMOUNT_VOLUME";
  if (h.kind != Kind::kVolume) return Fail(kErrorInvalidFunction);
  Volume& v = *h.volume;
  requests.push_back(std::string(name) + " " + v.config.letter + ":");
  if (code == kFsctlLockVolume) {
    if (v.refuse_lock)
      return Fail(v.refuse_access_denied ? kErrorAccessDenied : kErrorInvalidFunction);
    h.holds_volume_lock = true;
  } else if (code == kFsctlUnlockVolume) {
    if (!h.holds_volume_lock) return Fail(kErrorNotLocked);
    h.holds_volume_lock = false;
  }
  return true;
}

bool EmulatedPlatform::DeviceIoControl(Handle h, std::uint32_t control_code, const void* in_buffer,
                                       std::uint32_t in_size, void* out_buffer,
                                       std::uint32_t out_size, std::uint32_t* bytes_returned) {
  Impl& m = *impl_;
  std::uint32_t returned = 0;
  if (bytes_returned) *bytes_returned = 0;
  Impl::HandleState* state = m.Get(h);
  if (state == nullptr) return false;
  if (out_size > 0 && out_buffer == nullptr) return m.Fail(kErrorInvalidParameter);
  bool ok = false;
  if (control_code == kFsctlLockVolume || control_code == kFsctlUnlockVolume ||
      control_code == kFsctlDismountVolume) {
    ok = m.VolumeRequest(*state, control_code);
  } else if (state->kind == Impl::Kind::kFile) {
    ok = m.Fail(kErrorInvalidFunction);
  } else if (control_code == kIoctlScsiPassThrough) {
    ok = m.ScsiPassThrough(*state, in_buffer, in_size, out_buffer, out_size, &returned);
  } else if (control_code == kIoctlStorageQueryProperty) {
    ok = m.QueryProperty(*state, in_buffer, in_size, out_buffer, out_size, &returned);
  } else if (control_code == kIoctlStorageGetDeviceNumber) {
    if (out_size < StorageDeviceNumber::kBytes) {
      ok = m.Fail(kErrorInsufficientBuffer);
    } else {
      EncodeStorageDeviceNumber(
          {kFileDeviceDisk, static_cast<std::uint32_t>(state->disk->config().number),
           state->kind == Impl::Kind::kVolume ? state->volume->partition_number : 0},
          static_cast<std::uint8_t*>(out_buffer));
      returned = StorageDeviceNumber::kBytes;
      ok = true;
    }
  } else if (control_code == kIoctlDiskGetLengthInfo) {
    if (out_size < kLengthInformationBytes) {
      ok = m.Fail(kErrorInsufficientBuffer);
    } else if (state->kind == Impl::Kind::kDisk && !state->disk->answers_length) {
      ok = m.Fail(kErrorInvalidFunction);
    } else {
      std::uint64_t base = 0, limit = 0;
      Impl::Region(*state, &base, &limit);
      EncodeLengthInformation(limit, static_cast<std::uint8_t*>(out_buffer));
      returned = kLengthInformationBytes;
      ok = true;
    }
  } else {
    ok = m.Fail(kErrorInvalidFunction);
  }
  if (ok && bytes_returned) *bytes_returned = returned;
  return ok;
}

bool EmulatedPlatform::GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                                          std::uint64_t* total_bytes, std::uint64_t* total_free) {
  Impl& m = *impl_;
  const char letter = RootLetter(root);
  Impl::Volume* volume = letter ? m.FindVolume(letter) : nullptr;
  if (volume == nullptr || !volume->fs) return m.Fail(kErrorPathNotFound);
  const std::uint64_t free_bytes = volume->fs->free_bytes();
  if (free_to_caller) *free_to_caller = free_bytes;
  if (total_bytes) *total_bytes = volume->config.capacity_bytes;
  if (total_free) *total_free = free_bytes;
  return true;
}

bool EmulatedPlatform::GetVolumeInformation(const std::string& root, char* label_buffer,
                                            std::uint32_t label_size, char* fs_name_buffer,
                                            std::uint32_t fs_name_size) {
  Impl& m = *impl_;
  const char letter = RootLetter(root);
  Impl::Volume* volume = letter ? m.FindVolume(letter) : nullptr;
  if (volume == nullptr) return m.Fail(kErrorPathNotFound);
  const std::string& label = volume->config.label;
  const std::string& fs_name = volume->config.fs_name;
  if ((label_buffer != nullptr && label.size() + 1 > label_size) ||
      (fs_name_buffer != nullptr && fs_name.size() + 1 > fs_name_size)) {
    return m.Fail(kErrorBadLength);
  }
  if (label_buffer != nullptr) std::memcpy(label_buffer, label.c_str(), label.size() + 1);
  if (fs_name_buffer != nullptr) std::memcpy(fs_name_buffer, fs_name.c_str(), fs_name.size() + 1);
  return true;
}

std::vector<std::string> EmulatedPlatform::FindFiles(const std::string& pattern) {
  Impl& m = *impl_;
  std::vector<std::string> names;
  if (pattern.size() < 4 || pattern[1] != ':' || pattern[2] != '\\') {
    m.last_error = kErrorPathNotFound;
    return names;
  }
  Impl::Volume* volume = m.FindVolume(pattern[0]);
  const std::string_view wildcard = std::string_view(pattern).substr(3);
  if (volume == nullptr || !volume->fs || wildcard.find('\\') != std::string_view::npos) {
    m.last_error = kErrorPathNotFound;
    return names;
  }
  for (const auto& file : volume->fs->files()) {
    if (WildcardMatch(wildcard, file->name)) names.push_back(file->name);
  }
  if (names.empty()) m.last_error = kErrorFileNotFound;
  return names;
}

bool EmulatedPlatform::DeleteFile(const std::string& path) {
  Impl& m = *impl_;
  if (path.size() < 4 || path[1] != ':' || path[2] != '\\') return m.Fail(kErrorPathNotFound);
  Impl::Volume* volume = m.FindVolume(path[0]);
  const std::string name = path.substr(3);
  if (volume == nullptr || !volume->fs || name.find('\\') != std::string::npos) {
    return m.Fail(kErrorPathNotFound);
  }
  std::shared_ptr<FlatVolume::File> file = volume->fs->Find(name);
  if (!file) return m.Fail(kErrorFileNotFound);
  const bool open =
      std::any_of(m.handles.begin(), m.handles.end(),
                  [&](const Impl::HandleState& h) { return h.open && h.file == file; });
  if (open) return m.Fail(kErrorSharingViolation);
  volume->fs->Delete(file);
  volume->fs->Save(nullptr);
  return true;
}

std::uint32_t EmulatedPlatform::GetLogicalDrives() {
  std::uint32_t bits = 0;
  for (const auto& v : impl_->volumes) bits |= 1u << (v->config.letter - 'A');
  return bits;
}

std::uint32_t EmulatedPlatform::GetTickCount() {
  Impl& m = *impl_;
  if (m.options.real_clock) {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
  return m.options.start_tick_ms + static_cast<std::uint32_t>(m.virtual_ms);
}

void EmulatedPlatform::Sleep(std::uint32_t milliseconds) { impl_->Spend(milliseconds); }

LocalTime EmulatedPlatform::GetLocalTime() {
  Impl& m = *impl_;
  if (!m.options.real_clock) {
    return FromSerialSeconds(m.start_serial_seconds +
                             static_cast<std::int64_t>(m.virtual_ms / 1000));
  }
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &now);
#else
  localtime_r(&now, &tm);
#endif
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void EmulatedPlatform::ShellExecuteOpen(const std::string& url) {
  impl_->requests.push_back("ShellExecute open " + url);
}

const Counters& EmulatedPlatform::counters() const { return impl_->counters; }

const std::vector<std::string>& EmulatedPlatform::requests() const { return impl_->requests; }

std::size_t EmulatedPlatform::open_handle_count() const { return impl_->open_handles; }

bool EmulatedPlatform::PeekSector(int disk_number, std::uint64_t sector, std::uint8_t out[512]) {
  DiskDevice* disk = impl_->FindDisk(disk_number);
  if (disk == nullptr || !disk->is_open() || sector >= disk->claimed_bytes() / 512) return false;
  return disk->Read(sector * 512, out, 512) == kErrorSuccess;
}

void EmulatedPlatform::SetAnswers(int disk_number, bool capacity, bool inquiry, bool length) {
  DiskDevice* disk = impl_->FindDisk(disk_number);
  if (disk == nullptr) return;
  disk->answers_capacity = capacity;
  disk->answers_inquiry = inquiry;
  disk->answers_length = length;
}

void EmulatedPlatform::RefuseLock(char letter, bool access_denied) {
  Impl::Volume* volume = impl_->FindVolume(letter);
  if (volume == nullptr) return;
  volume->refuse_lock = true;
  volume->refuse_access_denied = access_denied;
}

}  // namespace veracap::emulated
