// DeviceIoControl: SCSI pass-through, storage queries, the disk length and
// the volume lock, dismount and unlock requests, answered from the manifest.
#include <algorithm>
#include <cstring>

#include "platform/emulated/platform_state.h"

namespace veracap::emulated {
namespace {

// A fixed-width INQUIRY text field, blank-padded.
void PutField(std::uint8_t* p, const std::string& text, std::size_t width) {
  std::memset(p, ' ', width);
  std::memcpy(p, text.data(), std::min(width, text.size()));
}

}  // namespace

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

  // A strict bridge: a command block of the wrong length or with a reserved
  // field set, or a command the device rejects, ends in CHECK CONDITION
  // (ILLEGAL REQUEST, INVALID FIELD IN CDB) with the header and the sense
  // data returned, and no data.
  const bool well_formed =
      cdb[0] == kScsiReadCapacity10
          ? request.cdb_length == kReadCapacity10CdbBytes &&
                std::all_of(cdb + 1, cdb + 10, [](std::uint8_t b) { return b == 0; })
          : request.cdb_length == kInquiryCdbBytes && cdb[1] == 0 && cdb[2] == 0 && cdb[5] == 0;
  if ((cdb[0] == kScsiReadCapacity10 || cdb[0] == kScsiInquiry) &&
      (!well_formed ||
       (cdb[0] == kScsiReadCapacity10 ? config.rejects_capacity : config.rejects_inquiry))) {
    const std::uint32_t sense_offset = request.sense_info_offset;
    const std::uint32_t sense_length = std::min<std::uint32_t>(request.sense_info_length, 18);
    if (sense_offset < kHeaderBytes || sense_offset + sense_length > out_size) {
      return Fail(kErrorInvalidParameter);
    }
    auto* out = static_cast<std::uint8_t*>(out_buffer);
    if (out != in_buffer) std::memmove(out, in_buffer, std::min(in_size, out_size));
    ScsiPassThroughHeader reply = DecodeScsiPassThrough(out);
    reply.scsi_status = kScsiStatusCheckCondition;
    reply.sense_info_length = static_cast<std::uint8_t>(sense_length);
    reply.data_transfer_length = 0;
    EncodeScsiPassThrough(reply, out);
    std::uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};
    std::memcpy(out + sense_offset, sense, sense_length);
    *returned = sense_offset + sense_length;
    return true;
  }

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
  const auto swapped = swapped_serial.find(config.number);
  fields.serial_number_offset =
      AppendDescriptorText(d, swapped != swapped_serial.end() ? swapped->second : config.serial);
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
  requests.push_back(std::string(name) + " " +
                     (v.config.letter != 0 ? std::string(1, v.config.letter) + ":" : v.name));
  if (code == kFsctlLockVolume) {
    if (!v.lock_asked) v.first_lock_ms = NowMs();
    v.lock_asked = true;
    if (v.config.in_use &&
        (v.config.in_use_ms == 0 || NowMs() - v.first_lock_ms < v.config.in_use_ms)) {
      return Fail(kErrorAccessDenied);
    }
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
    ok = control_code == kFsctlSetCompression ? m.SetCompression(*state, in_buffer, in_size)
                                              : m.Fail(kErrorInvalidFunction);
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
  } else if (control_code == kIoctlVolumeGetVolumeDiskExtents) {
    if (state->kind != Impl::Kind::kVolume) {
      ok = m.Fail(kErrorInvalidFunction);
    } else {
      const VolumeSpec& v = state->volume->config;
      const std::vector<DiskExtent> extents{
          {static_cast<std::uint32_t>(state->disk->config().number), v.offset_bytes,
           v.capacity_bytes}};
      returned = EncodeVolumeDiskExtents(extents, static_cast<std::uint8_t*>(out_buffer), out_size);
      ok = returned >= VolumeDiskExtentsBytes(extents.size()) ||
           m.Fail(returned == 0 ? kErrorInsufficientBuffer : kErrorMoreData);
    }
  } else if (control_code == kIoctlDiskGetDriveGeometry) {
    if (out_size < DiskGeometry::kBytes) {
      ok = m.Fail(kErrorInsufficientBuffer);
    } else {
      const DiskSpec& config = state->disk->config();
      DiskGeometry g;
      g.media_type = config.removable ? kRemovableMedia : kFixedMedia;
      g.tracks_per_cylinder = 255;
      g.sectors_per_track = 63;
      g.bytes_per_sector = state->kind == Impl::Kind::kVolume ? Impl::SectorBytes(*state->volume)
                                                              : config.block_length;
      g.cylinders =
          static_cast<std::int64_t>(config.claimed_bytes / (255ull * 63 * g.bytes_per_sector));
      EncodeDiskGeometry(g, static_cast<std::uint8_t*>(out_buffer));
      returned = DiskGeometry::kBytes;
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

}  // namespace veracap::emulated
