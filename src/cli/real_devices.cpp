#include "cli/real_devices.h"

#ifdef __linux__
#include <unistd.h>

#include "platform/linux/linux_platform.h"
#endif

namespace veracap::cli {

#ifdef __linux__

namespace {

using linux_platform::LinuxPlatform;

LinuxPlatform* AsLinux(Platform& platform) { return dynamic_cast<LinuxPlatform*>(&platform); }

}  // namespace

bool RealDevicesSupported() { return true; }

std::unique_ptr<Platform> MakeRealPlatform(std::ostream& err) {
  if (::geteuid() != 0) {
    err << "veracap-cli: raw disk access needs root rights; run it as root (sudo), or use\n"
           "  --devices FILE for emulated devices. Nothing was done.\n";
    return nullptr;
  }
  linux_platform::Options options;
  options.notice = [&err](const std::string& text) { err << "veracap-cli: " << text << "\n"; };
  return std::make_unique<LinuxPlatform>(options);
}

bool ResolveRealDevice(Platform& platform, const std::string& text, bool want_volume,
                       RealTarget* target, std::string* error) {
  LinuxPlatform* lp = AsLinux(platform);
  if (lp == nullptr) {
    *error = "device paths name real devices; emulated ones are named by letter or number";
    return false;
  }
  const linux_platform::SystemMap& map = lp->Devices();
  std::string disk, partition;
  if (linux_platform::WholeDiskOf(text, &disk, &partition)) {
    target->disk = map.DiskNumberOf(disk);
    target->path = "/dev/" + disk;
    if (target->disk < 0) {
      *error = text +
               " is not a disk the program tests (sd*, mmcblk*, nvme*, vd*, or a loop "
               "device with a file behind it)";
      return false;
    }
    if (!want_volume) {
      if (!partition.empty()) {
        *error =
            text + " is a partition; the Quick Size Test takes the whole disk: " + target->path;
        return false;
      }
      return true;
    }
    for (const linux_platform::VolumeRecord& v : map.volumes()) {
      if (!v.present || v.mount_point.empty() || v.disk_number != target->disk) continue;
      if (!partition.empty() && v.name != partition) continue;
      target->letter = v.letter;
      return true;
    }
    *error = text + " holds no mounted file system; mount it first";
    return false;
  }
  if (want_volume) {
    // A mount point, or a folder inside one: the volume mounted there.
    for (std::string path = text; !path.empty();) {
      while (path.size() > 1 && path.back() == '/') path.pop_back();
      if (const char letter = map.LetterOf(path); letter != 0) {
        const linux_platform::VolumeRecord* v = map.Volume(letter);
        target->letter = letter;
        target->disk = v->disk_number;
        const linux_platform::DiskRecord* d = map.Disk(v->disk_number);
        target->path = d != nullptr ? d->dev_path : v->dev_path;
        return true;
      }
      if (path == "/") break;
      const auto slash = path.find_last_of('/');
      path = slash == 0 ? "/" : slash == std::string::npos ? "" : path.substr(0, slash);
    }
    *error = text + " is neither a block device nor inside a mounted volume of a disk";
    return false;
  }
  *error = text + " is not a block device";
  return false;
}

std::string RealIdentity(Platform& platform, std::int32_t disk) {
  LinuxPlatform* lp = AsLinux(platform);
  if (lp == nullptr) return "";
  const linux_platform::DiskRecord* d = lp->Devices().Disk(disk);
  if (d == nullptr || !d->present) return "";
  const linux_platform::DiskIdentity id = linux_platform::ReadDiskIdentity(d->name);
  if (id.name.empty()) return "";
  return "/dev/" + id.name + " (" + id.devno + "), " + std::to_string(id.size_bytes) +
         " bytes, vendor '" + id.vendor + "', model '" + id.model + "', serial '" + id.serial +
         "'" + (id.backing_file.empty() ? "" : ", backed by " + id.backing_file);
}

std::string RealSerial(Platform& platform, std::int32_t disk) {
  LinuxPlatform* lp = AsLinux(platform);
  if (lp == nullptr) return "";
  const linux_platform::DiskRecord* d = lp->Devices().Disk(disk);
  return d == nullptr ? "" : linux_platform::ReadDiskIdentity(d->name).serial;
}

std::vector<RealDisk> RealDisks(Platform& platform) {
  std::vector<RealDisk> disks;
  LinuxPlatform* lp = AsLinux(platform);
  if (lp == nullptr) return disks;
  const linux_platform::SystemMap& map = lp->Devices();
  for (const linux_platform::DiskRecord& d : map.disks()) {
    if (!d.present) continue;
    RealDisk r{d.number,
               d.dev_path,
               d.protected_reason,
               {},
               linux_platform::ReadDiskIdentity(d.name).size_bytes};
    for (const linux_platform::VolumeRecord& v : map.volumes()) {
      if (v.present && v.disk_number == d.number && !v.mount_point.empty()) {
        r.mount_points.push_back(v.mount_point);
      }
    }
    disks.push_back(std::move(r));
  }
  return disks;
}

#else

bool RealDevicesSupported() { return false; }

std::unique_ptr<Platform> MakeRealPlatform(std::ostream& err) {
  err << "veracap-cli: this build has no platform for real devices; use --devices FILE.\n";
  return nullptr;
}

bool ResolveRealDevice(Platform&, const std::string& text, bool, RealTarget*, std::string* error) {
  *error = text + ": this build names devices by drive letter or disk number only";
  return false;
}

std::string RealIdentity(Platform&, std::int32_t) { return ""; }
std::string RealSerial(Platform&, std::int32_t) { return ""; }
std::vector<RealDisk> RealDisks(Platform&) { return {}; }

#endif

}  // namespace veracap::cli
