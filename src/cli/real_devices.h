// The runner over the machine's real devices (Linux), as opposed to the
// emulated ones of a manifest: the platform, device paths and mount points
// turned into the disk numbers and drive letters the program works with, and
// each disk's identity, read again before anything is written.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace veracap::cli {

// Whether this build can run over real devices.
bool RealDevicesSupported();

// The platform over the real devices, or null after telling err why not (no
// root rights, or no such platform in this build). What the platform
// unmounts or finds busy is told on err as it happens.
std::unique_ptr<Platform> MakeRealPlatform(std::ostream& err);

// What a device argument names.
struct RealTarget {
  std::int32_t disk = -1;  // disk number
  char letter = 0;         // the volume, for the file commands; 0 for none
  std::string path;        // "/dev/sdb"
};

// Resolves a device path ("/dev/sdb", "/dev/disk/by-id/...", "/dev/sdb1") or,
// when want_volume, also a mount point or a path inside one. For a volume, a
// whole disk names its first mounted volume. False with *error told.
bool ResolveRealDevice(Platform& platform, const std::string& text, bool want_volume,
                       RealTarget* target, std::string* error);

// The identity of disk number now (device number, size, vendor, model,
// serial, backing file), as one comparable text; "" when there is no such
// disk.
std::string RealIdentity(Platform& platform, std::int32_t disk);
// Its serial number where the bus gives one.
std::string RealSerial(Platform& platform, std::int32_t disk);

// What the list shows of a real disk beyond the program's own queries.
struct RealDisk {
  std::int32_t number = 0;
  std::string path;
  std::string protected_reason;
  std::vector<std::string> mount_points;
  std::uint64_t size_bytes = 0;  // as the kernel tells it
};
std::vector<RealDisk> RealDisks(Platform& platform);

}  // namespace veracap::cli
