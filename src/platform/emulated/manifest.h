// The emulated devices' manifest: which disks exist, what each claims and
// really holds, what lies beyond its real memory, its identity, injected
// faults, and its volumes with the files already on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wire.h"

namespace veracap::emulated {

// What has a name but holds no file data: a folder, a link, a pipe.
inline constexpr std::uint32_t kNotAFile =
    kFileAttributeDirectory | kFileAttributeReparsePoint | kFileAttributeDevice;

// What a read or write of an address beyond the real memory meets: the
// memory again (wrap), nothing (reads give zeros or 0xFF), an I/O error, or
// (log) no address at all: every write is appended to a log of the real
// size wherever it was addressed, and a read finds the latest write to its
// address while the log has not come round over it.
enum class Beyond { kWrap, kZeros, kOnes, kError, kLog };

struct Fault {
  enum class Kind { kWriteFail, kReadFail, kShortRead };
  Kind kind = Kind::kWriteFail;
  std::uint64_t sector = 0;       // 512-byte sector whose transfer is hit
  std::uint32_t delay_ms = 0;     // clock time the failing call takes
  std::uint32_t short_bytes = 0;  // short read: bytes actually delivered
  int times = -1;                 // how many transfers are hit; -1 every one
  std::uint32_t error = 0;        // the error a failed transfer reports (0: 23 reads, 29 writes)
};

struct FileSpec {
  std::string name;  // in the volume root, e.g. "PHOTO1.JPG"
  std::uint64_t size_bytes = 0;
  // GetFileAttributes bits of what has the name: hidden, system, read-only,
  // or, instead of a file, a folder, a link or a pipe (no data then).
  std::uint32_t attributes = 0;
};

// What the system keeps on a volume, which makes its disk the system's.
struct VolumeRoles {
  bool windows = false;   // the Windows folder (GetWindowsDirectory)
  bool boot = false;      // the boot / EFI system partition (SystemPartition)
  bool pagefile = false;  // a page file in use (ExistingPageFiles)
  bool program = false;   // the running program (GetModuleFileName)
};

struct VolumeSpec {
  char letter = 'E';  // 0: a volume without a drive letter
  std::vector<std::string>
      mount_folders;  // further mounts, "C:\mnt\stick\" (the last backslash kept)
  VolumeRoles roles;
  std::string label;
  std::string fs_name = "FAT32";
  std::uint64_t capacity_bytes = 0;
  std::uint64_t offset_bytes = 1048576;  // where the volume starts on its disk
  std::vector<FileSpec> files;           // present when the image is first made
  bool read_only = false;                // mounted read-only: no file created, written or deleted
  bool compressing = false;              // new files are stored compressed unless asked not to be
  // Another program holds the volume: FSCTL_LOCK_VOLUME is refused with
  // ERROR_ACCESS_DENIED, for good (in_use_ms 0) or until in_use_ms of the
  // platform's clock have passed since the first lock request.
  bool in_use = false;
  std::uint64_t in_use_ms = 0;
  // Bytes per sector of the file system (GetDiskFreeSpace): an unbuffered
  // file transfer must be whole ones. 0: the disk's logical sector.
  std::uint32_t sector_bytes = 0;
};

struct DiskSpec {
  int number = 0;
  std::uint64_t claimed_bytes = 0;  // what READ CAPACITY and the disk length report
  std::uint64_t real_bytes = 0;     // memory really there (== claimed: genuine)
  Beyond beyond = Beyond::kWrap;
  // Address lines that are not there: from wrap_at on, addresses wrap modulo
  // wrap_at (0: never); between real_bytes and wrap_at lies memory that
  // behaves as 'beyond' says (zeros, ff or error).
  std::uint64_t wrap_at = 0;
  // A write cache: the latest cache_bytes of writes, in lines of cache_line
  // bytes, answer reads before the memory does; a flush does not empty it;
  // the line written longest ago goes to the memory first.
  std::uint64_t cache_bytes = 0;
  std::uint64_t cache_line = 4096;
  bool write_protected = false;   // every write fails (ERROR_WRITE_PROTECT); reads work
  std::uint32_t bus_type = 7;     // STORAGE_BUS_TYPE: 7 USB, 11 SATA, 17 NVMe...
  std::string vendor;             // INQUIRY vendor identification, up to 8 characters
  std::string product;            // INQUIRY product identification, up to 16 characters
  std::string revision = "1.00";  // INQUIRY product revision, up to 4 characters
  std::string serial;             // storage descriptor serial number (empty: none)
  bool removable = true;
  // READ CAPACITY block length and logical sector (the geometry's bytes per
  // sector): every transfer on the disk must be whole ones, as on a 4Kn disk.
  std::uint32_t block_length = 512;
  bool answers_capacity = true;  // READ CAPACITY returns data
  bool answers_inquiry = true;   // INQUIRY returns data
  bool answers_length = true;    // IOCTL_DISK_GET_LENGTH_INFO succeeds
  // The command ends in CHECK CONDITION (a bridge that rejects it), its
  // header and sense returned but no data.
  bool rejects_capacity = false;
  bool rejects_inquiry = false;
  std::vector<Fault> faults;
  std::vector<VolumeSpec> volumes;
};

// A drive letter that is no disk of the manifest: a network share, a
// CD-ROM drive, a RAM disk (GetDriveType's answer).
struct OtherDrive {
  char letter = 'Z';
  std::uint32_t drive_type = kDriveRemote;
};

struct Manifest {
  std::string image_dir;  // where images live; relative to the manifest's folder
  std::vector<DiskSpec> disks;
  std::vector<OtherDrive> other_drives;
};

// Parses a manifest; on a fault returns false and a message naming the line
// ("line 7: ..."). The image_dir is kept as written (relative or absolute).
bool ParseManifest(std::string_view text, Manifest* manifest, std::string* error);
// Reads and parses a file; a relative image_dir is resolved against the
// manifest's own folder, and a manifest without one gets DefaultImageDir().
bool LoadManifest(const std::string& path, Manifest* manifest, std::string* error);
// The manifest built into the program (disk 0 system disk, 1 genuine 8 GB,
// 2 "32 GB" wrap, 3 "2 TB" wrap, 4 "16 GB" zeros...): data/devices.manifest,
// built in by CMake. It names no image folder.
std::string_view BundledManifest();
// The image folder used when neither the options nor the manifest name one:
// $VERACAP_IMAGES if set, else ${XDG_CACHE_HOME:-$HOME/.cache}/veracap/images.
std::string DefaultImageDir();

// A size as the manifest writes it: plain bytes, or a number with one of the
// suffixes s (512-byte sectors), KiB MiB GiB TiB, kB MB GB TB (decimal).
// False for anything else, including values beyond 64 bits.
bool ParseSize(std::string_view text, std::uint64_t* size_bytes);

// The content of a file listed in the manifest, derived from its name (case
// ignored) and the byte offset: fills out[0..length) with the bytes at
// offset..offset+length, so tests can predict and hash initial files.
void InitialFileContent(std::string_view name, std::uint64_t offset, std::uint8_t* out,
                        std::size_t length);

}  // namespace veracap::emulated
