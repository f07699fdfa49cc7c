#include "platform/win32/win32_platform.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/win32/scsi_pass_through.h"
#include "platform/win32/windows_api.h"

// The platform seam carries the Win32 numbers; they must be the real ones.
static_assert(veracap::kGenericRead == GENERIC_READ && veracap::kGenericWrite == GENERIC_WRITE);
static_assert(veracap::kFileShareRead == FILE_SHARE_READ);
static_assert(veracap::kFileShareWrite == FILE_SHARE_WRITE);
static_assert(veracap::kCreateAlways == CREATE_ALWAYS && veracap::kOpenExisting == OPEN_EXISTING);
static_assert(veracap::kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL);
static_assert(veracap::kFileFlagNoBuffering == FILE_FLAG_NO_BUFFERING);
static_assert(veracap::kFileFlagWriteThrough == FILE_FLAG_WRITE_THROUGH);
static_assert(veracap::kFileBegin == FILE_BEGIN);
static_assert(veracap::kFsctlLockVolume == FSCTL_LOCK_VOLUME);
static_assert(veracap::kFsctlUnlockVolume == FSCTL_UNLOCK_VOLUME);
static_assert(veracap::kFsctlDismountVolume == FSCTL_DISMOUNT_VOLUME);
static_assert(veracap::kIoctlStorageGetDeviceNumber == IOCTL_STORAGE_GET_DEVICE_NUMBER);
static_assert(veracap::kIoctlStorageQueryProperty == IOCTL_STORAGE_QUERY_PROPERTY);
static_assert(veracap::kIoctlScsiPassThrough == IOCTL_SCSI_PASS_THROUGH);
static_assert(veracap::kIoctlDiskGetLengthInfo == IOCTL_DISK_GET_LENGTH_INFO);
static_assert(veracap::kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(veracap::kErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED);
static_assert(veracap::kErrorSectorNotFound == ERROR_SECTOR_NOT_FOUND);
static_assert(veracap::kErrorNotLocked == ERROR_NOT_LOCKED && veracap::kErrorBusy == ERROR_BUSY);
static_assert(veracap::kCreateNew == CREATE_NEW && veracap::kOpenAlways == OPEN_ALWAYS);
static_assert(veracap::kTruncateExisting == TRUNCATE_EXISTING);
static_assert(veracap::kFileDeviceDisk == FILE_DEVICE_DISK);
static_assert(veracap::kBusTypeUsb == BusTypeUsb && veracap::kBusTypeNvme == BusTypeNvme);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == veracap::StorageDeviceNumber::kBytes);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == veracap::kStoragePropertyQueryBytes);
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == veracap::StorageDeviceDescriptor::kFixedBytes);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) ==
              veracap::StorageDeviceDescriptor::kBusTypeOffset);
static_assert(sizeof(GET_LENGTH_INFORMATION) == veracap::kLengthInformationBytes);
static_assert(veracap::kIoctlVolumeGetVolumeDiskExtents == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS);
static_assert(sizeof(DISK_EXTENT) == veracap::VolumeDiskExtentsLayout::kExtentBytes);
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) ==
              veracap::VolumeDiskExtentsLayout::kHeaderBytes);
static_assert(offsetof(DISK_EXTENT, StartingOffset) ==
              veracap::VolumeDiskExtentsLayout::kStartingOffset);
static_assert(offsetof(DISK_EXTENT, ExtentLength) ==
              veracap::VolumeDiskExtentsLayout::kExtentLength);
static_assert(veracap::kErrorMoreData == ERROR_MORE_DATA);
static_assert(veracap::kDriveRemovable == DRIVE_REMOVABLE && veracap::kDriveFixed == DRIVE_FIXED);
static_assert(veracap::kDriveRemote == DRIVE_REMOTE && veracap::kDriveCdrom == DRIVE_CDROM);
static_assert(veracap::kDriveRamdisk == DRIVE_RAMDISK &&
              veracap::kDriveNoRootDir == DRIVE_NO_ROOT_DIR);
static_assert(veracap::kIoctlDiskGetDriveGeometry == IOCTL_DISK_GET_DRIVE_GEOMETRY);
static_assert(sizeof(DISK_GEOMETRY) == veracap::DiskGeometry::kBytes);
static_assert(offsetof(DISK_GEOMETRY, BytesPerSector) == 20);
static_assert(veracap::kFixedMedia == FixedMedia && veracap::kRemovableMedia == RemovableMedia);
static_assert(veracap::kErrorInvalidParameter == ERROR_INVALID_PARAMETER);

// The translation's idea of the native layout must be the compiler's.
#ifdef _WIN64
static_assert(sizeof(SCSI_PASS_THROUGH) == veracap::win32::ScsiLayout64::kHeaderBytes);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) ==
              veracap::win32::ScsiLayout64::kDataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) ==
              veracap::win32::ScsiLayout64::kTimeOutValue);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) ==
              veracap::win32::ScsiLayout64::kDataBufferOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) ==
              veracap::win32::ScsiLayout64::kSenseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == veracap::win32::ScsiLayout64::kCdb);
#else
static_assert(sizeof(SCSI_PASS_THROUGH) == veracap::win32::ScsiLayout32::kHeaderBytes);
#endif

namespace veracap::win32 {
namespace {

constexpr Handle kFirstHandle = 1000;
constexpr std::size_t kUnbufferedAlignment = 4096;

// Owns one kernel handle: closed in the destructor; a move leaves the source
// empty, and move-assignment closes the handle it replaces first.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, INVALID_HANDLE_VALUE)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = std::exchange(other.h_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE get() const { return h_; }
  // Closes now; false when there was nothing to close or the close failed.
  bool Reset() {
    if (h_ == INVALID_HANDLE_VALUE || h_ == nullptr) return false;
    const bool closed = ::CloseHandle(std::exchange(h_, INVALID_HANDLE_VALUE)) != 0;
    return closed;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Owns a directory search.
class UniqueFindHandle {
 public:
  explicit UniqueFindHandle(HANDLE h) : h_(h) {}
  UniqueFindHandle(const UniqueFindHandle&) = delete;
  UniqueFindHandle& operator=(const UniqueFindHandle&) = delete;
  ~UniqueFindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) ::FindClose(h_);
  }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// Page-aligned memory for unbuffered transfers, kept and grown as needed.
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  ~AlignedBuffer() { Free(); }

  // At least `bytes` of memory aligned to kUnbufferedAlignment, or null.
  std::uint8_t* Get(std::size_t bytes) {
    if (bytes > size_) {
      Free();
      const std::size_t rounded =
          (bytes + kUnbufferedAlignment - 1) / kUnbufferedAlignment * kUnbufferedAlignment;
      data_ = static_cast<std::uint8_t*>(
          ::VirtualAlloc(nullptr, rounded, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
      size_ = data_ ? rounded : 0;
    }
    return data_;
  }

 private:
  void Free() {
    if (data_) ::VirtualFree(data_, 0, MEM_RELEASE);
    data_ = nullptr;
    size_ = 0;
  }
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

struct OpenHandle {
  UniqueHandle handle;
  bool unbuffered = false;        // opened with FILE_FLAG_NO_BUFFERING
  bool fixed_size_image = false;  // an image standing in for a physical drive
};

bool IsAligned(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) % kUnbufferedAlignment == 0;
}

// The N of "\\.\PhysicalDriveN" (any case), or -1 for any other path.
int PhysicalDriveNumber(const std::string& path) {
  static constexpr std::string_view kPrefix = "\\\\.\\physicaldrive";
  if (path.size() <= kPrefix.size()) return -1;
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(path[i])) != kPrefix[i]) return -1;
  }
  int n = 0;
  for (std::size_t i = kPrefix.size(); i < path.size(); ++i) {
    if (path[i] < '0' || path[i] > '9' || n > 100000) return -1;
    n = n * 10 + (path[i] - '0');
  }
  return n;
}

}  // namespace

struct Win32Platform::Impl {
  Options options;
  std::map<Handle, OpenHandle> handles;
  Handle next_handle = kFirstHandle;
  std::uint32_t last_error = 0;
  AlignedBuffer bounce;

  // The one place where Windows' error code is taken.
  bool Fail() {
    last_error = ::GetLastError();
    return false;
  }
  bool Fail(std::uint32_t code) {
    last_error = code;
    return false;
  }
  OpenHandle* Find(Handle h) {
    const auto it = handles.find(h);
    return it == handles.end() ? nullptr : &it->second;
  }
  // Whether a write of length bytes at the current position stays inside a
  // fixed-size image; sets the error when it does not.
  bool FitsImage(HANDLE h, std::uint32_t length) {
    LARGE_INTEGER position{};
    LARGE_INTEGER size{};
    if (!::SetFilePointerEx(h, LARGE_INTEGER{}, &position, FILE_CURRENT) ||
        !::GetFileSizeEx(h, &size)) {
      return Fail();
    }
    if (position.QuadPart + static_cast<LONGLONG>(length) > size.QuadPart) {
      return Fail(ERROR_SECTOR_NOT_FOUND);
    }
    return true;
  }
};

Win32Platform::Win32Platform(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
}

Win32Platform::~Win32Platform() = default;

Handle Win32Platform::CreateFile(const std::string& path, std::uint32_t desired_access,
                                 std::uint32_t share_mode, std::uint32_t creation_disposition,
                                 std::uint32_t flags_and_attributes) {
  std::string target = path;
  bool image = false;
  const int disk = PhysicalDriveNumber(path);
  if (disk >= 0) {
    const auto it = impl_->options.disk_images.find(disk);
    if (it != impl_->options.disk_images.end()) {
      target = it->second;
      image = true;
    }
  }
  HANDLE h = ::CreateFileA(target.c_str(), desired_access, share_mode, nullptr,
                           creation_disposition, flags_and_attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    impl_->Fail();
    return kInvalidHandle;
  }
  const Handle id = impl_->next_handle++;
  OpenHandle entry;
  entry.handle = UniqueHandle(h);
  entry.unbuffered = (flags_and_attributes & FILE_FLAG_NO_BUFFERING) != 0;
  entry.fixed_size_image = image;
  impl_->handles.emplace(id, std::move(entry));
  return id;
}

bool Win32Platform::ReadFile(Handle h, void* buffer, std::uint32_t length,
                             std::uint32_t* bytes_read) {
  if (bytes_read) *bytes_read = 0;
  OpenHandle* entry = impl_->Find(h);
  if (!entry) return impl_->Fail(ERROR_INVALID_HANDLE);
  DWORD done = 0;
  void* target = buffer;
  if (entry->unbuffered && !IsAligned(buffer) && length > 0) {
    target = impl_->bounce.Get(length);
    if (!target) return impl_->Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!::ReadFile(entry->handle.get(), target, length, &done, nullptr)) return impl_->Fail();
  if (target != buffer) std::memcpy(buffer, target, done);
  if (bytes_read) *bytes_read = done;
  return true;
}

bool Win32Platform::WriteFile(Handle h, const void* buffer, std::uint32_t length,
                              std::uint32_t* bytes_written) {
  if (bytes_written) *bytes_written = 0;
  OpenHandle* entry = impl_->Find(h);
  if (!entry) return impl_->Fail(ERROR_INVALID_HANDLE);
  if (entry->fixed_size_image && !impl_->FitsImage(entry->handle.get(), length)) return false;
  const void* source = buffer;
  if (entry->unbuffered && !IsAligned(buffer) && length > 0) {
    std::uint8_t* aligned = impl_->bounce.Get(length);
    if (!aligned) return impl_->Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(aligned, buffer, length);
    source = aligned;
  }
  DWORD done = 0;
  if (!::WriteFile(entry->handle.get(), source, length, &done, nullptr)) return impl_->Fail();
  if (bytes_written) *bytes_written = done;
  return true;
}

bool Win32Platform::SetFilePointerEx(Handle h, std::int64_t distance, std::uint32_t move_method) {
  OpenHandle* entry = impl_->Find(h);
  if (!entry) return impl_->Fail(ERROR_INVALID_HANDLE);
  LARGE_INTEGER to{};
  to.QuadPart = distance;
  if (!::SetFilePointerEx(entry->handle.get(), to, nullptr, move_method)) return impl_->Fail();
  return true;
}

bool Win32Platform::FlushFileBuffers(Handle h) {
  OpenHandle* entry = impl_->Find(h);
  if (!entry) return impl_->Fail(ERROR_INVALID_HANDLE);
  if (!::FlushFileBuffers(entry->handle.get())) return impl_->Fail();
  return true;
}

bool Win32Platform::LockFile(Handle h, std::uint64_t offset, std::uint64_t length) {
  OpenHandle* entry = impl_->Find(h);
  if (!entry) return impl_->Fail(ERROR_INVALID_HANDLE);
  if (!::LockFile(entry->handle.get(), static_cast<DWORD>(offset), static_cast<DWORD>(offset >> 32),
                  static_cast<DWORD>(length), static_cast<DWORD>(length >> 32))) {
    return impl_->Fail();
  }
  return true;
}

bool Win32Platform::UnlockFile(Handle h, std::uint64_t offset, std::uint64_t length) {
  OpenHandle* entry = impl_->Find(h);
  if (!entry) return impl_->Fail(ERROR_INVALID_HANDLE);
  if (!::UnlockFile(entry->handle.get(), static_cast<DWORD>(offset),
                    static_cast<DWORD>(offset >> 32), static_cast<DWORD>(length),
                    static_cast<DWORD>(length >> 32))) {
    return impl_->Fail();
  }
  return true;
}

bool Win32Platform::CloseHandle(Handle h) {
  const auto it = impl_->handles.find(h);
  if (it == impl_->handles.end()) return impl_->Fail(ERROR_INVALID_HANDLE);
  const bool closed = it->second.handle.Reset();
  if (!closed) impl_->Fail();
  impl_->handles.erase(it);
  return closed;
}

std::uint32_t Win32Platform::GetLastError() { return impl_->last_error; }

bool Win32Platform::DeviceIoControl(Handle h, std::uint32_t control_code, const void* in_buffer,
                                    std::uint32_t in_size, void* out_buffer, std::uint32_t out_size,
                                    std::uint32_t* bytes_returned) {
  if (bytes_returned) *bytes_returned = 0;
  OpenHandle* entry = impl_->Find(h);
  if (!entry) return impl_->Fail(ERROR_INVALID_HANDLE);
  HANDLE handle = entry->handle.get();
  DWORD returned = 0;

  if (entry->fixed_size_image && control_code == IOCTL_DISK_GET_LENGTH_INFO) {
    LARGE_INTEGER size{};
    if (out_size < sizeof(GET_LENGTH_INFORMATION) || !out_buffer) {
      return impl_->Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!::GetFileSizeEx(handle, &size)) return impl_->Fail();
    std::memcpy(out_buffer, &size.QuadPart, sizeof size.QuadPart);
    if (bytes_returned) *bytes_returned = sizeof(GET_LENGTH_INFORMATION);
    return true;
  }

#ifdef _WIN64
  if (control_code == IOCTL_SCSI_PASS_THROUGH && in_buffer &&
      in_size >= ScsiLayout32::kHeaderBytes) {
    std::vector<std::uint8_t> native =
        ScsiRequestToNative(static_cast<const std::uint8_t*>(in_buffer), in_size);
    const std::uint32_t native_out = out_buffer ? out_size + kScsiHeaderGrowth : 0;
    native.resize(std::max<std::size_t>(native.size(), native_out));
    const BOOL ok =
        ::DeviceIoControl(handle, control_code, native.data(), in_size + kScsiHeaderGrowth,
                          native_out ? native.data() : nullptr, native_out, &returned, nullptr);
    if (!ok) impl_->Fail();
    if (out_buffer && out_size >= ScsiLayout32::kHeaderBytes) {
      ScsiReplyFromNative(native, static_cast<std::uint8_t*>(out_buffer), out_size);
    }
    if (bytes_returned) *bytes_returned = ScsiBytesReturnedForCaller(returned);
    return ok != 0;
  }
#endif

  const BOOL ok = ::DeviceIoControl(handle, control_code, const_cast<void*>(in_buffer), in_size,
                                    out_buffer, out_size, &returned, nullptr);
  if (bytes_returned) *bytes_returned = returned;
  if (!ok) return impl_->Fail();
  return true;
}

bool Win32Platform::GetDiskFreeSpaceEx(const std::string& root, std::uint64_t* free_to_caller,
                                       std::uint64_t* total_bytes, std::uint64_t* total_free) {
  ULARGE_INTEGER available{};
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free{};
  if (!::GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) return impl_->Fail();
  if (free_to_caller) *free_to_caller = available.QuadPart;
  if (total_bytes) *total_bytes = total.QuadPart;
  if (total_free) *total_free = free.QuadPart;
  return true;
}

bool Win32Platform::GetDiskFreeSpace(const std::string& root, std::uint32_t* sectors_per_cluster,
                                     std::uint32_t* bytes_per_sector, std::uint32_t* free_clusters,
                                     std::uint32_t* total_clusters) {
  DWORD per_cluster = 0;
  DWORD sector = 0;
  DWORD free = 0;
  DWORD total = 0;
  // A root needs its backslash here, as for the volume information below.
  std::string root_path = root;
  if (root_path.size() == 2 && root_path[1] == ':') root_path += '\\';
  if (!::GetDiskFreeSpaceA(root_path.c_str(), &per_cluster, &sector, &free, &total)) {
    return impl_->Fail();
  }
  if (sectors_per_cluster) *sectors_per_cluster = per_cluster;
  if (bytes_per_sector) *bytes_per_sector = sector;
  if (free_clusters) *free_clusters = free;
  if (total_clusters) *total_clusters = total;
  return true;
}

bool Win32Platform::GetVolumeInformation(const std::string& root, char* label_buffer,
                                         std::uint32_t label_size, char* fs_name_buffer,
                                         std::uint32_t fs_name_size) {
  DWORD serial = 0;
  DWORD max_component = 0;
  DWORD fs_flags = 0;
  // Windows takes only a root with its backslash ("E:\"); "E:" alone names
  // the drive's current folder and the query fails, so every label would
  // come back as blanks.
  std::string root_path = root;
  if (root_path.size() == 2 && root_path[1] == ':') root_path += '\\';
  if (!::GetVolumeInformationA(root_path.c_str(), label_buffer, label_size, &serial, &max_component,
                               &fs_flags, fs_name_buffer, fs_name_size)) {
    return impl_->Fail();
  }
  return true;
}

std::vector<std::string> Win32Platform::FindFiles(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data{};
  UniqueFindHandle search(::FindFirstFileA(pattern.c_str(), &data));
  if (search.get() == INVALID_HANDLE_VALUE) {
    impl_->Fail();
    return names;
  }
  constexpr DWORD kNotNormal = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT |
                               FILE_ATTRIBUTE_DEVICE;
  do {
    if ((data.dwFileAttributes & kNotNormal) == 0) names.emplace_back(data.cFileName);
  } while (::FindNextFileA(search.get(), &data));
  return names;
}

bool Win32Platform::DeleteFile(const std::string& path) {
  if (!::DeleteFileA(path.c_str())) return impl_->Fail();
  return true;
}

std::uint32_t Win32Platform::GetFileAttributes(const std::string& path) {
  // GetFileAttributesA reports a link's own attributes, never its target's.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) impl_->Fail();
  return attributes;
}

std::uint32_t Win32Platform::GetLogicalDrives() { return ::GetLogicalDrives(); }

std::uint32_t Win32Platform::GetDriveType(const std::string& root) {
  std::string root_path = root;
  if (root_path.size() == 2 && root_path[1] == ':') root_path += '\\';
  return ::GetDriveTypeA(root_path.c_str());
}

std::vector<std::string> Win32Platform::FindVolumes() {
  std::vector<std::string> names;
  char name[MAX_PATH + 1] = {};
  const HANDLE search = ::FindFirstVolumeA(name, sizeof name);
  if (search == INVALID_HANDLE_VALUE) {
    impl_->Fail();
    return names;
  }
  do {
    names.emplace_back(name);
  } while (::FindNextVolumeA(search, name, sizeof name));
  ::FindVolumeClose(search);
  return names;
}

bool Win32Platform::GetVolumePathNamesForVolumeName(const std::string& volume_name,
                                                    std::vector<std::string>* paths) {
  paths->clear();
  std::vector<char> buffer(MAX_PATH + 1);
  DWORD needed = 0;
  while (!::GetVolumePathNamesForVolumeNameA(volume_name.c_str(), buffer.data(),
                                             static_cast<DWORD>(buffer.size()), &needed)) {
    if (::GetLastError() != ERROR_MORE_DATA || needed <= buffer.size()) return impl_->Fail();
    buffer.assign(needed, 0);
  }
  // A list of texts, each ended by a NUL, the list by one more.
  for (const char* p = buffer.data(); *p != '\0'; p += std::strlen(p) + 1) paths->emplace_back(p);
  return true;
}

bool Win32Platform::GetVolumeNameForVolumeMountPoint(const std::string& mount_point,
                                                     std::string* volume_name) {
  char name[MAX_PATH + 1] = {};
  if (!::GetVolumeNameForVolumeMountPointA(mount_point.c_str(), name, sizeof name)) {
    return impl_->Fail();
  }
  *volume_name = name;
  return true;
}

bool Win32Platform::GetVolumePathName(const std::string& path, std::string* mount_point) {
  char root[MAX_PATH + 1] = {};
  if (!::GetVolumePathNameA(path.c_str(), root, sizeof root)) return impl_->Fail();
  *mount_point = root;
  return true;
}

std::string Win32Platform::QueryDosDevice(const std::string& device_name) {
  char target[MAX_PATH + 1] = {};
  if (::QueryDosDeviceA(device_name.c_str(), target, sizeof target) == 0) {
    impl_->Fail();
    return "";
  }
  return target;  // the first of the list: the device in effect
}

std::vector<std::string> Win32Platform::RegGetValue(const std::string& key,
                                                    const std::string& value) {
  std::vector<std::string> texts;
  DWORD bytes = 0;
  const DWORD kinds = RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ;
  LSTATUS status = ::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), kinds, nullptr,
                                  nullptr, &bytes);
  if (status != ERROR_SUCCESS) {
    impl_->Fail(static_cast<std::uint32_t>(status));
    return texts;
  }
  std::vector<char> data(bytes + 2, '\0');
  bytes = static_cast<DWORD>(data.size());
  status = ::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), kinds, nullptr,
                          data.data(), &bytes);
  if (status != ERROR_SUCCESS) {
    impl_->Fail(static_cast<std::uint32_t>(status));
    return texts;
  }
  for (const char* p = data.data(); p < data.data() + bytes && *p != '\0';
       p += std::strlen(p) + 1) {
    texts.emplace_back(p);
  }
  return texts;
}

std::string Win32Platform::GetWindowsDirectory() {
  char folder[MAX_PATH + 1] = {};
  const UINT n = ::GetWindowsDirectoryA(folder, sizeof folder);
  return n > 0 && n < sizeof folder ? std::string(folder, n) : "";
}

std::string Win32Platform::GetModuleFileName() {
  std::vector<char> path(MAX_PATH + 1);
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "";
    if (n < path.size()) return std::string(path.data(), n);
    if (path.size() > 32768) return "";
    path.resize(path.size() * 2);
  }
}

std::uint32_t Win32Platform::GetTickCount() { return ::GetTickCount(); }

void Win32Platform::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

LocalTime Win32Platform::GetLocalTime() {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

void Win32Platform::ShellExecuteOpen(const std::string& url) {
  ::ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::size_t Win32Platform::open_handle_count() const { return impl_->handles.size(); }

}  // namespace veracap::win32
