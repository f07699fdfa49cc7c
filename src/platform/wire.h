// The bytes that cross the platform seam: the Win32 numbers a caller passes
// and a backend reports, and the layouts of the blocks the core builds and a
// backend carries or answers. Every multi-byte field is little-endian, as on
// Windows; SCSI data inside a pass-through block is big-endian.
//
// This header is the one place these layouts are written down: the core, the
// three backends and the tests encode and decode through it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veracap {

// CreateFile access, share, disposition and flag values.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kGenericAll = 0x10000000u;
inline constexpr std::uint32_t kFileReadData = 1;
inline constexpr std::uint32_t kFileWriteData = 2;
inline constexpr std::uint32_t kFileShareRead = 1;
inline constexpr std::uint32_t kFileShareWrite = 2;
inline constexpr std::uint32_t kCreateNew = 1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kOpenAlways = 4;
inline constexpr std::uint32_t kTruncateExisting = 5;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;
inline constexpr std::uint32_t kFileFlagNoBuffering = 0x20000000u;
inline constexpr std::uint32_t kFileFlagWriteThrough = 0x80000000u;
inline constexpr std::uint32_t kFileFlagOpenReparsePoint = 0x00200000u;

// GetFileAttributes bits, and its answer when nothing has the name.
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kFileAttributeHidden = 0x2;
inline constexpr std::uint32_t kFileAttributeSystem = 0x4;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeArchive = 0x20;
inline constexpr std::uint32_t kFileAttributeDevice = 0x40;
inline constexpr std::uint32_t kFileAttributeReparsePoint = 0x400;
inline constexpr std::uint32_t kFileAttributeCompressed = 0x800;
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

// SetFilePointerEx move methods.
inline constexpr std::uint32_t kFileBegin = 0;
inline constexpr std::uint32_t kFileCurrent = 1;
inline constexpr std::uint32_t kFileEnd = 2;

// Device control codes.
inline constexpr std::uint32_t kFsctlLockVolume = 0x90018;
inline constexpr std::uint32_t kFsctlUnlockVolume = 0x9001C;
inline constexpr std::uint32_t kFsctlDismountVolume = 0x90020;
inline constexpr std::uint32_t kIoctlStorageGetDeviceNumber = 0x2D1080;
inline constexpr std::uint32_t kIoctlStorageQueryProperty = 0x2D1400;
inline constexpr std::uint32_t kIoctlScsiPassThrough = 0x4D004;
inline constexpr std::uint32_t kIoctlDiskGetLengthInfo = 0x7405C;
// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS on a volume handle: where the volume
// lies, as VOLUME_DISK_EXTENTS (below).
inline constexpr std::uint32_t kIoctlVolumeGetVolumeDiskExtents = 0x560000;
inline constexpr std::uint32_t kIoctlDiskGetDriveGeometry = 0x70000;
// FSCTL_SET_COMPRESSION on a file handle; its input is a 16-bit format,
// COMPRESSION_FORMAT_NONE (0) to store the file uncompressed.
inline constexpr std::uint32_t kFsctlSetCompression = 0x9C040;
inline constexpr std::uint16_t kCompressionFormatNone = 0;

// Win32 error codes, as GetLastError reports them.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorWriteProtect = 19;
inline constexpr std::uint32_t kErrorCrc = 23;
inline constexpr std::uint32_t kErrorBadLength = 24;
inline constexpr std::uint32_t kErrorSectorNotFound = 27;
inline constexpr std::uint32_t kErrorWriteFault = 29;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorLockViolation = 33;
inline constexpr std::uint32_t kErrorHandleEof = 38;
inline constexpr std::uint32_t kErrorHandleDiskFull = 39;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorNegativeSeek = 131;
inline constexpr std::uint32_t kErrorNotLocked = 158;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorNoSuchDevice = 433;  // not in MinGW's headers
inline constexpr std::uint32_t kErrorIoDevice = 1117;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// GetDriveType answers.
inline constexpr std::uint32_t kDriveUnknown = 0;
inline constexpr std::uint32_t kDriveNoRootDir = 1;
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;
inline constexpr std::uint32_t kDriveRemote = 4;
inline constexpr std::uint32_t kDriveCdrom = 5;
inline constexpr std::uint32_t kDriveRamdisk = 6;

// STORAGE_DEVICE_NUMBER.DeviceType of a disk.
inline constexpr std::uint32_t kFileDeviceDisk = 7;

// STORAGE_BUS_TYPE values.
inline constexpr std::uint32_t kBusTypeUnknown = 0;
inline constexpr std::uint32_t kBusTypeScsi = 1;
inline constexpr std::uint32_t kBusType1394 = 4;
inline constexpr std::uint32_t kBusTypeUsb = 7;
inline constexpr std::uint32_t kBusTypeSata = 11;
inline constexpr std::uint32_t kBusTypeSd = 12;
inline constexpr std::uint32_t kBusTypeMmc = 13;
inline constexpr std::uint32_t kBusTypeVirtual = 14;
inline constexpr std::uint32_t kBusTypeFileBackedVirtual = 15;
inline constexpr std::uint32_t kBusTypeNvme = 17;

// Fixed-width fields.
inline std::uint16_t GetLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
inline std::uint64_t GetLe64(const std::uint8_t* p) {
  return std::uint64_t{GetLe32(p)} | (std::uint64_t{GetLe32(p + 4)} << 32);
}
inline std::uint32_t GetBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
inline void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutLe64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutBe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

// SCSI_PASS_THROUGH as a 32-bit program lays it out: a 44-byte header
// followed by the caller's sense and data areas at the offsets it names.
// (A 64-bit Windows driver wants a wider header; the Win32 backend
// translates.)
struct ScsiPassThroughLayout {
  static constexpr std::uint32_t kLength = 0;  // USHORT
  static constexpr std::uint32_t kScsiStatus = 2;
  static constexpr std::uint32_t kPathId = 3;
  static constexpr std::uint32_t kTargetId = 4;
  static constexpr std::uint32_t kLun = 5;
  static constexpr std::uint32_t kCdbLength = 6;
  static constexpr std::uint32_t kSenseInfoLength = 7;
  static constexpr std::uint32_t kDataIn = 8;
  static constexpr std::uint32_t kDataTransferLength = 12;  // ULONG
  static constexpr std::uint32_t kTimeOutValue = 16;        // ULONG, seconds
  static constexpr std::uint32_t kDataBufferOffset = 20;    // ULONG_PTR on 32 bits
  static constexpr std::uint32_t kSenseInfoOffset = 24;     // ULONG
  static constexpr std::uint32_t kCdb = 28;                 // UCHAR[16]
  static constexpr std::uint32_t kCdbBytes = 16;
  static constexpr std::uint32_t kHeaderBytes = 44;
};

// SCSI_PASS_THROUGH.DataIn values.
inline constexpr std::uint8_t kScsiDataOut = 0;
inline constexpr std::uint8_t kScsiDataIn = 1;
inline constexpr std::uint8_t kScsiDataUnspecified = 2;

// SCSI operation codes the core sends.
inline constexpr std::uint8_t kScsiInquiry = 0x12;
inline constexpr std::uint8_t kScsiReadCapacity10 = 0x25;

// SCSI status of a pass-through reply: GOOD; anything else (CHECK
// CONDITION 0x02, BUSY 0x08...) means the command did not complete.
inline constexpr std::uint8_t kScsiStatusGood = 0x00;
inline constexpr std::uint8_t kScsiStatusCheckCondition = 0x02;

// READ CAPACITY (10), SBC-3: a 10-byte command block, every field but the
// operation code zero (LBA 0, PMI 0); the reply is 8 bytes, the last
// logical block address and the block length, both big-endian.
inline constexpr std::uint8_t kReadCapacity10CdbBytes = 10;
inline constexpr std::uint32_t kReadCapacity10ReplyBytes = 8;
// INQUIRY, SPC-4: a 6-byte command block asking for standard data (EVPD 0,
// page 0) with a 16-bit allocation length in bytes 3 and 4. The fields
// read from the reply (vendor, product) end at byte 31.
inline constexpr std::uint8_t kInquiryCdbBytes = 6;
inline constexpr std::uint32_t kInquiryNeededBytes = 32;

inline void EncodeReadCapacity10Cdb(std::uint8_t* cdb) {
  for (int i = 0; i < 16; ++i) cdb[i] = 0;
  cdb[0] = kScsiReadCapacity10;
}

inline void EncodeInquiryCdb(std::uint16_t allocation_length, std::uint8_t* cdb) {
  for (int i = 0; i < 16; ++i) cdb[i] = 0;
  cdb[0] = kScsiInquiry;
  cdb[3] = static_cast<std::uint8_t>(allocation_length >> 8);
  cdb[4] = static_cast<std::uint8_t>(allocation_length);
}

// The header's fields. The three alignment bytes after DataIn are no field:
// encoding leaves them as they were.
struct ScsiPassThroughHeader {
  std::uint16_t length = ScsiPassThroughLayout::kHeaderBytes;
  std::uint8_t scsi_status = 0;
  std::uint8_t path_id = 0;
  std::uint8_t target_id = 0;
  std::uint8_t lun = 0;
  std::uint8_t cdb_length = 0;
  std::uint8_t sense_info_length = 0;
  std::uint8_t data_in = kScsiDataIn;
  std::uint32_t data_transfer_length = 0;
  std::uint32_t time_out_value = 0;
  std::uint32_t data_buffer_offset = 0;
  std::uint32_t sense_info_offset = 0;
  std::array<std::uint8_t, ScsiPassThroughLayout::kCdbBytes> cdb{};
};

// block holds at least kHeaderBytes.
inline ScsiPassThroughHeader DecodeScsiPassThrough(const std::uint8_t* block) {
  using L = ScsiPassThroughLayout;
  ScsiPassThroughHeader s;
  s.length = GetLe16(block + L::kLength);
  s.scsi_status = block[L::kScsiStatus];
  s.path_id = block[L::kPathId];
  s.target_id = block[L::kTargetId];
  s.lun = block[L::kLun];
  s.cdb_length = block[L::kCdbLength];
  s.sense_info_length = block[L::kSenseInfoLength];
  s.data_in = block[L::kDataIn];
  s.data_transfer_length = GetLe32(block + L::kDataTransferLength);
  s.time_out_value = GetLe32(block + L::kTimeOutValue);
  s.data_buffer_offset = GetLe32(block + L::kDataBufferOffset);
  s.sense_info_offset = GetLe32(block + L::kSenseInfoOffset);
  for (std::uint32_t i = 0; i < L::kCdbBytes; ++i) s.cdb[i] = block[L::kCdb + i];
  return s;
}

inline void EncodeScsiPassThrough(const ScsiPassThroughHeader& s, std::uint8_t* block) {
  using L = ScsiPassThroughLayout;
  PutLe16(block + L::kLength, s.length);
  block[L::kScsiStatus] = s.scsi_status;
  block[L::kPathId] = s.path_id;
  block[L::kTargetId] = s.target_id;
  block[L::kLun] = s.lun;
  block[L::kCdbLength] = s.cdb_length;
  block[L::kSenseInfoLength] = s.sense_info_length;
  block[L::kDataIn] = s.data_in;
  PutLe32(block + L::kDataTransferLength, s.data_transfer_length);
  PutLe32(block + L::kTimeOutValue, s.time_out_value);
  PutLe32(block + L::kDataBufferOffset, s.data_buffer_offset);
  PutLe32(block + L::kSenseInfoOffset, s.sense_info_offset);
  for (std::uint32_t i = 0; i < L::kCdbBytes; ++i) block[L::kCdb + i] = s.cdb[i];
}

// STORAGE_DEVICE_NUMBER.
struct StorageDeviceNumber {
  static constexpr std::uint32_t kBytes = 12;
  std::uint32_t device_type = 0;
  std::uint32_t device_number = 0;
  std::uint32_t partition_number = 0;
};

inline StorageDeviceNumber DecodeStorageDeviceNumber(const std::uint8_t* p) {
  return {GetLe32(p), GetLe32(p + 4), GetLe32(p + 8)};
}

inline void EncodeStorageDeviceNumber(const StorageDeviceNumber& n, std::uint8_t* p) {
  PutLe32(p, n.device_type);
  PutLe32(p + 4, n.device_number);
  PutLe32(p + 8, n.partition_number);
}

// STORAGE_PROPERTY_QUERY: PropertyId, QueryType, then one byte of
// AdditionalParameters (12 bytes with padding).
inline constexpr std::uint32_t kStoragePropertyQueryBytes = 12;
inline constexpr std::uint32_t kStorageDeviceProperty = 0;
inline constexpr std::uint32_t kPropertyStandardQuery = 0;
inline constexpr std::uint32_t kPropertyExistsQuery = 1;

struct StoragePropertyQuery {
  std::uint32_t property_id = kStorageDeviceProperty;
  std::uint32_t query_type = kPropertyStandardQuery;
};

// p holds at least 8 bytes.
inline StoragePropertyQuery DecodeStoragePropertyQuery(const std::uint8_t* p) {
  return {GetLe32(p), GetLe32(p + 4)};
}

inline void EncodeStoragePropertyQuery(const StoragePropertyQuery& q, std::uint8_t* p) {
  PutLe32(p, q.property_id);
  PutLe32(p + 4, q.query_type);
}

// STORAGE_DEVICE_DESCRIPTOR: 40 bytes of fixed fields; the texts follow,
// NUL-terminated, at the offsets the fields name (0: no such text).
struct StorageDeviceDescriptor {
  static constexpr std::uint32_t kFixedBytes = 40;
  static constexpr std::uint32_t kBusTypeOffset = 28;
  std::uint32_t version = 0;
  std::uint32_t size = 0;
  std::uint8_t device_type = 0;
  std::uint8_t device_type_modifier = 0;
  bool removable_media = false;
  bool command_queueing = false;
  std::uint32_t vendor_id_offset = 0;
  std::uint32_t product_id_offset = 0;
  std::uint32_t product_revision_offset = 0;
  std::uint32_t serial_number_offset = 0;
  std::uint32_t bus_type = kBusTypeUnknown;
  std::uint32_t raw_properties_length = 0;
};

// p holds at least kFixedBytes.
inline StorageDeviceDescriptor DecodeStorageDeviceDescriptor(const std::uint8_t* p) {
  StorageDeviceDescriptor d;
  d.version = GetLe32(p);
  d.size = GetLe32(p + 4);
  d.device_type = p[8];
  d.device_type_modifier = p[9];
  d.removable_media = p[10] != 0;
  d.command_queueing = p[11] != 0;
  d.vendor_id_offset = GetLe32(p + 12);
  d.product_id_offset = GetLe32(p + 16);
  d.product_revision_offset = GetLe32(p + 20);
  d.serial_number_offset = GetLe32(p + 24);
  d.bus_type = GetLe32(p + StorageDeviceDescriptor::kBusTypeOffset);
  d.raw_properties_length = GetLe32(p + 32);
  return d;
}

// Writes the fixed fields over the first kFixedBytes of p.
inline void EncodeStorageDeviceDescriptor(const StorageDeviceDescriptor& d, std::uint8_t* p) {
  PutLe32(p, d.version);
  PutLe32(p + 4, d.size);
  p[8] = d.device_type;
  p[9] = d.device_type_modifier;
  p[10] = d.removable_media ? 1 : 0;
  p[11] = d.command_queueing ? 1 : 0;
  PutLe32(p + 12, d.vendor_id_offset);
  PutLe32(p + 16, d.product_id_offset);
  PutLe32(p + 20, d.product_revision_offset);
  PutLe32(p + 24, d.serial_number_offset);
  PutLe32(p + StorageDeviceDescriptor::kBusTypeOffset, d.bus_type);
  PutLe32(p + 32, d.raw_properties_length);
}

// Appends a descriptor text, NUL-terminated, to the bytes of a descriptor
// under construction; returns its offset, 0 for an empty (absent) text.
inline std::uint32_t AppendDescriptorText(std::vector<std::uint8_t>& descriptor,
                                          const std::string& text) {
  if (text.empty()) return 0;
  const auto at = static_cast<std::uint32_t>(descriptor.size());
  descriptor.insert(descriptor.end(), text.begin(), text.end());
  descriptor.push_back(0);
  return at;
}

// GET_LENGTH_INFORMATION: the length in bytes, a signed 64-bit value.
inline constexpr std::uint32_t kLengthInformationBytes = 8;

inline std::int64_t DecodeLengthInformation(const std::uint8_t* p) {
  return static_cast<std::int64_t>(GetLe64(p));
}

inline void EncodeLengthInformation(std::uint64_t length, std::uint8_t* p) { PutLe64(p, length); }

// VOLUME_DISK_EXTENTS: NumberOfDiskExtents (a ULONG padded to 8 bytes), then
// that many DISK_EXTENTs of 24 bytes: DiskNumber (ULONG, padded to 8),
// StartingOffset and ExtentLength (LARGE_INTEGERs, bytes). A buffer too
// small for every extent fails with kErrorMoreData after the count.
struct DiskExtent {
  std::uint32_t disk_number = 0;
  std::uint64_t starting_offset = 0;
  std::uint64_t extent_length = 0;
  bool operator==(const DiskExtent&) const = default;
};

struct VolumeDiskExtentsLayout {
  static constexpr std::uint32_t kHeaderBytes = 8;
  static constexpr std::uint32_t kExtentBytes = 24;
  static constexpr std::uint32_t kDiskNumber = 0;
  static constexpr std::uint32_t kStartingOffset = 8;
  static constexpr std::uint32_t kExtentLength = 16;
};

// The extents that the first size bytes of p hold: the count says how many,
// and only whole extents inside size are taken.
inline std::vector<DiskExtent> DecodeVolumeDiskExtents(const std::uint8_t* p, std::uint32_t size) {
  using L = VolumeDiskExtentsLayout;
  std::vector<DiskExtent> extents;
  if (size < L::kHeaderBytes) return extents;
  const std::uint32_t count = GetLe32(p);
  for (std::uint32_t i = 0; i < count && L::kHeaderBytes + (i + 1) * L::kExtentBytes <= size; ++i) {
    const std::uint8_t* e = p + L::kHeaderBytes + i * L::kExtentBytes;
    extents.push_back({GetLe32(e + L::kDiskNumber), GetLe64(e + L::kStartingOffset),
                       GetLe64(e + L::kExtentLength)});
  }
  return extents;
}

// Writes the count and as many whole extents as fit in size bytes; returns
// the bytes written, or 0 when not even the count fits.
inline std::uint32_t EncodeVolumeDiskExtents(const std::vector<DiskExtent>& extents,
                                             std::uint8_t* p, std::uint32_t size) {
  using L = VolumeDiskExtentsLayout;
  if (size < L::kHeaderBytes) return 0;
  PutLe32(p, static_cast<std::uint32_t>(extents.size()));
  PutLe32(p + 4, 0);
  std::uint32_t at = L::kHeaderBytes;
  for (const DiskExtent& e : extents) {
    if (at + L::kExtentBytes > size) break;
    PutLe32(p + at + L::kDiskNumber, e.disk_number);
    PutLe32(p + at + 4, 0);
    PutLe64(p + at + L::kStartingOffset, e.starting_offset);
    PutLe64(p + at + L::kExtentLength, e.extent_length);
    at += L::kExtentBytes;
  }
  return at;
}

inline std::uint32_t VolumeDiskExtentsBytes(std::size_t count) {
  return VolumeDiskExtentsLayout::kHeaderBytes +
         static_cast<std::uint32_t>(count) * VolumeDiskExtentsLayout::kExtentBytes;
}

// DISK_GEOMETRY: Cylinders (64-bit), MediaType, TracksPerCylinder,
// SectorsPerTrack, BytesPerSector (the logical sector, the unit every
// transfer on the disk must be a whole number of).
struct DiskGeometry {
  static constexpr std::uint32_t kBytes = 24;
  std::int64_t cylinders = 0;
  std::uint32_t media_type = 0;
  std::uint32_t tracks_per_cylinder = 0;
  std::uint32_t sectors_per_track = 0;
  std::uint32_t bytes_per_sector = 0;
};
// MEDIA_TYPE values of a disk.
inline constexpr std::uint32_t kRemovableMedia = 11;
inline constexpr std::uint32_t kFixedMedia = 12;

inline DiskGeometry DecodeDiskGeometry(const std::uint8_t* p) {
  return {static_cast<std::int64_t>(GetLe64(p)), GetLe32(p + 8), GetLe32(p + 12), GetLe32(p + 16),
          GetLe32(p + 20)};
}

inline void EncodeDiskGeometry(const DiskGeometry& g, std::uint8_t* p) {
  PutLe64(p, static_cast<std::uint64_t>(g.cylinders));
  PutLe32(p + 8, g.media_type);
  PutLe32(p + 12, g.tracks_per_cylinder);
  PutLe32(p + 16, g.sectors_per_track);
  PutLe32(p + 20, g.bytes_per_sector);
}

}  // namespace veracap
