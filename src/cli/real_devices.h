// The runner over the machine's real devices (Linux), as opposed to the
// emulated ones of a manifest.
#pragma once

#include <memory>
#include <ostream>

#include "platform/platform.h"

namespace veracap::cli {

// Whether this build can run over real devices.
bool RealDevicesSupported();

// The platform over the real devices, or null after telling err why not
// (no root rights, or no such platform in this build). On success the disks
// and drive letters it sees are described on err first: which device is
// which disk number, which mount point is which drive letter, and which disks
// are refused as system disks.
std::unique_ptr<Platform> MakeRealPlatform(std::ostream& err);

}  // namespace veracap::cli
