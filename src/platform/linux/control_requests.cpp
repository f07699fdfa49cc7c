// DeviceIoControl: SCSI pass-through over SG_IO, the disk length, device
// numbers, the storage descriptor from sysfs, and volume lock, dismount and
// unlock as exclusive opens and real unmounts.
#include <fcntl.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/linux/platform_parts.h"
#include "platform/linux/scsi_pass_through.h"

namespace veracap::linux_platform {

bool LinuxPlatform::DeviceIoControl(Handle h, std::uint32_t control_code, const void* in_buffer,
                                    std::uint32_t in_size, void* out_buffer, std::uint32_t out_size,
                                    std::uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  Entry* e = Find(h);
  if (e == nullptr) return Fail(kErrorInvalidHandle);
  auto* out = static_cast<std::uint8_t*>(out_buffer);
  auto returned = [&](std::uint32_t n) {
    if (bytes_returned != nullptr) *bytes_returned = n;
    last_error_ = kErrorSuccess;
    return true;
  };
  map_.Refresh();
  const DiskRecord* disk = map_.Disk(e->disk_number);

  switch (control_code) {
    case kIoctlScsiPassThrough: {
      if (e->kind != Entry::Kind::kDisk || !e->fd.valid()) return Fail(kErrorInvalidFunction);
      const auto* in = static_cast<const std::uint8_t*>(in_buffer);
      ScsiRequest request;
      if (!ParseScsiRequest(in, in_size, out_size, &request)) return Fail(kErrorInvalidParameter);
      ScsiReply reply;
      int error_number = 0;
      if (!SendScsiRequest(e->fd.get(), request, &reply, &error_number)) {
        return Fail(error_number == EIO ? kErrorIoDevice : Win32ErrorOf(error_number));
      }
      return returned(WriteScsiReply(request, reply, in, in_size, out, out_size));
    }

    case kIoctlDiskGetLengthInfo: {
      if (out == nullptr || out_size < kLengthInformationBytes) {
        return Fail(kErrorInvalidParameter);
      }
      std::uint64_t length = 0;
      if (e->kind == Entry::Kind::kDisk && e->fd.valid()) {
        length = DeviceSize(e->fd.get());
      } else if (e->kind == Entry::Kind::kVolume) {
        const VolumeRecord* v = map_.Volume(e->letter);
        UniqueFd fd(v == nullptr ? -1 : ::open(v->dev_path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) return FailErrno(errno);
        length = DeviceSize(fd.get());
      } else {
        return Fail(kErrorInvalidFunction);
      }
      if (length == 0) return Fail(kErrorNotSupported);
      EncodeLengthInformation(length, out);
      return returned(kLengthInformationBytes);
    }

    case kIoctlVolumeGetVolumeDiskExtents: {
      if (e->kind != Entry::Kind::kVolume) return Fail(kErrorInvalidFunction);
      const VolumeRecord* v = map_.Volume(e->letter);
      if (v == nullptr || !v->present) return Fail(kErrorFileNotFound);
      // sysfs counts in 512-byte units whatever the logical block size.
      const std::string sys = options_.system_root + "/sys/class/block/" + v->name;
      const std::uint64_t start =
          v->partition == 0 ? 0 : std::strtoull(ReadSmallFile(sys + "/start").c_str(), nullptr, 10);
      const std::uint64_t sectors =
          std::strtoull(ReadSmallFile(sys + "/size").c_str(), nullptr, 10);
      const std::vector<DiskExtent> extents{
          {static_cast<std::uint32_t>(v->disk_number), start * 512, sectors * 512}};
      const std::uint32_t n = EncodeVolumeDiskExtents(extents, out, out == nullptr ? 0 : out_size);
      if (n < VolumeDiskExtentsBytes(extents.size())) {
        if (n != 0 && bytes_returned != nullptr) *bytes_returned = n;
        return Fail(n == 0 ? kErrorInsufficientBuffer : kErrorMoreData);
      }
      return returned(n);
    }

    case kIoctlStorageGetDeviceNumber: {
      if (e->kind == Entry::Kind::kFile) return Fail(kErrorInvalidFunction);
      if (out == nullptr || out_size < StorageDeviceNumber::kBytes) {
        return Fail(kErrorInvalidParameter);
      }
      std::uint32_t partition = 0;
      if (e->kind == Entry::Kind::kVolume) {
        const VolumeRecord* v = map_.Volume(e->letter);
        if (v == nullptr || !v->present) return Fail(kErrorFileNotFound);
        partition = static_cast<std::uint32_t>(v->partition);
      }
      EncodeStorageDeviceNumber(
          {kFileDeviceDisk, static_cast<std::uint32_t>(e->disk_number), partition}, out);
      return returned(StorageDeviceNumber::kBytes);
    }

    case kIoctlStorageQueryProperty: {
      if (e->kind == Entry::Kind::kFile || disk == nullptr) return Fail(kErrorInvalidFunction);
      const auto* in = static_cast<const std::uint8_t*>(in_buffer);
      if (in == nullptr || in_size < 8 || out == nullptr) return Fail(kErrorInvalidParameter);
      const StoragePropertyQuery query = DecodeStoragePropertyQuery(in);
      if (query.property_id != kStorageDeviceProperty ||
          query.query_type != kPropertyStandardQuery) {
        return Fail(kErrorNotSupported);
      }
      // STORAGE_DEVICE_DESCRIPTOR with the vendor and product texts after it.
      const std::string sys = options_.system_root + "/sys/block/" + disk->name;
      char device_path[PATH_MAX] = {};
      if (::realpath((sys + "/device").c_str(), device_path) == nullptr) {
        ::realpath(sys.c_str(), device_path);
      }
      const std::string vendor = ReadSmallFile(sys + "/device/vendor");
      const std::string product = ReadSmallFile(sys + "/device/model");
      std::vector<std::uint8_t> d(StorageDeviceDescriptor::kFixedBytes, 0);
      StorageDeviceDescriptor fields;
      fields.removable_media = ReadSmallFile(sys + "/removable") == "1";
      fields.bus_type = BusTypeFor(disk->name, device_path, ReadSmallFile(sys + "/device/type"));
      fields.vendor_id_offset = AppendDescriptorText(d, vendor);
      fields.product_id_offset = AppendDescriptorText(d, product);
      fields.version = StorageDeviceDescriptor::kFixedBytes;
      fields.size = static_cast<std::uint32_t>(d.size());
      EncodeStorageDeviceDescriptor(fields, d.data());
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(d.size(), out_size));
      std::memcpy(out, d.data(), n);
      return returned(n);
    }

    case kFsctlLockVolume: {
      if (e->kind != Entry::Kind::kVolume) return Fail(kErrorInvalidFunction);
      if (e->exclusive.valid() || e->lock_in_claim) return returned(0);
      const VolumeRecord* v = map_.Volume(e->letter);
      if (v == nullptr || !v->present) return Fail(kErrorFileNotFound);
      if (disk == nullptr || !disk->protected_reason.empty()) return Fail(kErrorAccessDenied);
      e->lock_wanted = true;
      if (claims_.count(e->disk_number) != 0) {
        // The disk is already this program's alone.
        ClaimDisk(*e);
        e->lock_in_claim = true;
        return returned(0);
      }
      e->exclusive.Reset(::open(v->dev_path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
      if (!e->exclusive.valid()) {
        // Mounted or held by another: the volume is in use, as Windows says
        // with access denied. The dismount on this handle takes the lock.
        return Fail(errno == EBUSY ? kErrorAccessDenied : Win32ErrorOf(errno));
      }
      return returned(0);
    }

    case kFsctlUnlockVolume: {
      if (e->kind != Entry::Kind::kVolume) return Fail(kErrorInvalidFunction);
      e->lock_wanted = false;
      if (e->lock_in_claim) {
        e->lock_in_claim = false;
        ReleaseDisk(*e);
        return returned(0);
      }
      if (!e->exclusive.valid()) return Fail(kErrorNotLocked);
      e->exclusive.Reset();
      return returned(0);
    }

    case kFsctlDismountVolume: {
      if (e->kind != Entry::Kind::kVolume) return Fail(kErrorInvalidFunction);
      const VolumeRecord* v = map_.Volume(e->letter);
      if (v == nullptr || !v->present) return Fail(kErrorFileNotFound);
      if (disk == nullptr || !disk->protected_reason.empty()) return Fail(kErrorAccessDenied);
      const std::string letter(1, v->letter);
      const std::string dev_path = v->dev_path;
      const std::vector<std::string> mounts = v->mount_points;
      // Newest mount first; never detached lazily.
      for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
        if (::umount2(it->c_str(), UMOUNT_NOFOLLOW) != 0) {
          const int error_number = errno;
          options_.notice(letter + ": (" + dev_path + " at " + *it +
                          ") is busy and stays mounted: " + std::strerror(error_number));
          map_.Refresh();
          return Fail(error_number == EBUSY ? kErrorBusy : Win32ErrorOf(error_number));
        }
        options_.notice(letter + ": (" + dev_path + ") unmounted from " + *it);
      }
      map_.Refresh();
      if (e->lock_wanted && !e->exclusive.valid() && !e->lock_in_claim) {
        if (claims_.count(e->disk_number) != 0) {
          ClaimDisk(*e);
          e->lock_in_claim = true;
        } else {
          e->exclusive.Reset(::open(dev_path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
        }
      }
      return returned(0);
    }

    default:
      return Fail(kErrorInvalidFunction);
  }
}

std::uint32_t BusTypeFor(const std::string& disk_name, const std::string& device_path,
                         const std::string& mmc_type) {
  if (disk_name.rfind("loop", 0) == 0) return kBusTypeFileBackedVirtual;
  // A USB reader or stick, whatever protocol runs over it.
  if (device_path.find("/usb") != std::string::npos) return kBusTypeUsb;
  if (disk_name.rfind("nvme", 0) == 0) return kBusTypeNvme;
  if (disk_name.rfind("mmcblk", 0) == 0) return mmc_type == "MMC" ? kBusTypeMmc : kBusTypeSd;
  if (disk_name.rfind("vd", 0) == 0 || device_path.find("/virtio") != std::string::npos) {
    return kBusTypeVirtual;
  }
  if (device_path.find("/ata") != std::string::npos) return kBusTypeSata;
  if (device_path.find("/fw") != std::string::npos ||
      device_path.find("/firewire") != std::string::npos) {
    return kBusType1394;
  }
  if (device_path.find("/host") != std::string::npos) return kBusTypeScsi;
  return kBusTypeUnknown;
}

}  // namespace veracap::linux_platform
