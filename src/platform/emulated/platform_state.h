// What the emulated platform's parts share: the devices, volumes, handles,
// locks, counters and the virtual clock, and the device access with its
// injected faults. Private to src/platform/emulated.
#pragma once

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/emulated/disk_device.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/flat_volume.h"

namespace veracap::emulated {

inline constexpr Handle kFirstHandle = 1000;

inline bool CanRead(std::uint32_t access) {
  return (access & (kGenericRead | kGenericAll | kFileReadData)) != 0;
}
inline bool CanWrite(std::uint32_t access) {
  return (access & (kGenericWrite | kGenericAll | kFileWriteData)) != 0;
}

// "E:" or "E:\" (either case) -> 'E'; 0 for anything else.
inline char RootLetter(const std::string& root) {
  if ((root.size() == 2 || (root.size() == 3 && root[2] == '\\')) && root[1] == ':' &&
      std::isalpha(static_cast<unsigned char>(root[0]))) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
  }
  return 0;
}

struct EmulatedPlatform::Impl {
  enum class Kind { kDisk, kVolume, kFile };

  struct Volume {
    VolumeSpec config;
    DiskDevice* disk = nullptr;
    std::uint32_t partition_number = 0;  // 1.. in order of place on the disk
    std::string name;                    // "\\?\Volume{...}\"
    std::string device_name;             // "\Device\HarddiskVolumeK"
    std::uint64_t first_lock_ms = 0;     // clock time of the first lock request
    bool lock_asked = false;
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
    bool unbuffered = false;  // a file opened with FILE_FLAG_NO_BUFFERING
    // Transfers on a disk or volume must start and end on multiples of it
    // (its logical sector); 0: any.
    std::uint32_t unit = 0;
  };

  // The system's file cache: the bytes that buffered reads and writes of a
  // file left in memory, in runs by file offset. A buffered read is answered
  // from it before the device, as Windows answers from its cache, so a file
  // whose clusters a counterfeit has overwritten since still reads back
  // good; an unbuffered transfer goes to the device, and an unbuffered
  // write drops what it overwrites from the cache.
  using CachedRuns = std::map<std::uint64_t, std::vector<std::uint8_t>>;

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
  std::vector<OtherDrive> other_drives;
  std::map<int, std::string> swapped_serial;  // disk number -> serial (SwapDevice)
  std::vector<HandleState> handles;           // index = handle - kFirstHandle; never reused
  std::size_t open_handles = 0;
  std::vector<RangeLock> range_locks;
  std::map<const FlatVolume::File*, CachedRuns> file_cache;  // dropped with the file
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

  // A transfer that a disk or a volume refuses (error 87).
  bool Misaligned(const HandleState& h, std::uint32_t length) {
    return h.unit != 0 && (h.position % h.unit != 0 || length % h.unit != 0);
  }

  Volume* FindVolume(char letter) {
    if (letter == 0) return nullptr;
    letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (auto& v : volumes) {
      if (v->config.letter == letter) return v.get();
    }
    return nullptr;
  }

  // A volume by its name, "\\?\Volume{...}\" (case ignored).
  Volume* VolumeNamed(const std::string& name) {
    for (auto& v : volumes) {
      if (v->name.size() == name.size() &&
          std::equal(name.begin(), name.end(), v->name.begin(), [](char a, char b) {
            return std::toupper(static_cast<unsigned char>(a)) ==
                   std::toupper(static_cast<unsigned char>(b));
          })) {
        return v.get();
      }
    }
    return nullptr;
  }

  // Milliseconds on the platform's clock, virtual or the machine's.
  std::uint64_t NowMs() const {
    if (!options.real_clock) return virtual_ms;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
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
      return fault.error != 0 ? fault.error : kErrorCrc;
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
      return fault.error != 0 ? fault.error : kErrorWriteFault;
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

  // The sector of a volume: the unit of its files' unbuffered transfers and
  // of its raw ones; its own, or its disk's logical sector.
  static std::uint32_t SectorBytes(const Volume& volume) {
    if (volume.config.sector_bytes != 0) return volume.config.sector_bytes;
    return std::max<std::uint32_t>(512, volume.disk ? volume.disk->config().block_length : 512);
  }

  const void* LockObject(const HandleState& h) {
    if (h.kind == Kind::kFile) return h.file.get();
    if (h.kind == Kind::kVolume) return h.volume;
    return h.disk;
  }

  bool FileRead(HandleState& h, std::uint8_t* out, std::uint32_t length, std::uint32_t* done);
  // length bytes of the file from h.position straight from the device.
  bool FileDeviceRead(HandleState& h, std::uint8_t* out, std::uint64_t length, std::uint32_t* done);
  void DropCached(const FlatVolume::File& file, std::uint64_t from, std::uint64_t to);
  bool FileWrite(HandleState& h, const std::uint8_t* in, std::uint32_t length, std::uint32_t* done);

  Handle OpenFile(char letter, const std::string& name, std::uint32_t access,
                  std::uint32_t disposition, std::uint32_t flags);

  bool ScsiPassThrough(const HandleState& h, const void* in_buffer, std::uint32_t in_size,
                       void* out_buffer, std::uint32_t out_size, std::uint32_t* returned);
  bool QueryProperty(const HandleState& h, const void* in_buffer, std::uint32_t in_size,
                     void* out_buffer, std::uint32_t out_size, std::uint32_t* returned);
  bool VolumeRequest(HandleState& h, std::uint32_t code);
  // FSCTL_SET_COMPRESSION on a file: format 0 stores it uncompressed, any
  // other format compressed (shown by its attribute).
  bool SetCompression(HandleState& h, const void* in_buffer, std::uint32_t in_size);
};

}  // namespace veracap::emulated
