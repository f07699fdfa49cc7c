// Setting up the devices from the manifest; opening and closing handles by
// Win32 path; what tests and the runner inspect.
#include "platform/emulated/emulated_platform.h"

#include <algorithm>
#include <filesystem>

#include "base/civil_time.h"
#include "base/text.h"
#include "platform/emulated/platform_state.h"

namespace veracap::emulated {

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
    if (m.error.empty() && !disk->Open(options.disks_in_ram ? "" : path, &message)) {
      m.error = message;
    }
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
      const std::string id =
          std::to_string(config.number) + "-" + std::to_string(volume->partition_number);
      volume->name = "\\\\?\\Volume{veracap-disk" + id + "}\\";
      volume->device_name = "\\Device\\HarddiskVolume" + std::to_string(m.volumes.size() + 1);
      if (disk->is_open()) {
        const std::string table_name = v.letter != 0 ? std::string("volume-") + v.letter + ".table"
                                                     : "volume-disk" + id + ".table";
        const std::string table = (std::filesystem::path(m.image_dir) / table_name).string();
        volume->fs = std::make_unique<FlatVolume>(v, table);
        if (!volume->fs->Load(&message)) {
          if (m.error.empty()) m.error = message;
          // A damaged table is never used, so never saved shorter than it was.
          volume->fs.reset();
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
  m.other_drives = manifest.other_drives;
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
                                    std::uint32_t flags_and_attributes) {
  Impl& m = *impl_;
  if (path.rfind("\\\\?\\Volume{", 0) == 0) {
    // A volume by name (without the last backslash, which would name its
    // root folder).
    Impl::Volume* volume = m.VolumeNamed(path + "\\");
    if (volume == nullptr || !volume->disk->is_open() || creation_disposition != kOpenExisting) {
      m.last_error = volume == nullptr ? kErrorFileNotFound : kErrorInvalidParameter;
      return kInvalidHandle;
    }
    Impl::HandleState state;
    state.access = desired_access;
    state.kind = Impl::Kind::kVolume;
    state.disk = volume->disk;
    state.volume = volume;
    state.unit = Impl::SectorBytes(*volume);
    return m.Add(std::move(state));
  }
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
      state.unit = disk->config().block_length;
    } else if (device.size() == 2 && device[1] == ':') {
      Impl::Volume* volume = m.FindVolume(device[0]);
      if (volume == nullptr || !volume->disk->is_open()) {
        m.last_error = kErrorFileNotFound;
        return kInvalidHandle;
      }
      state.kind = Impl::Kind::kVolume;
      state.disk = volume->disk;
      state.volume = volume;
      state.unit = Impl::SectorBytes(*volume);
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
    return m.OpenFile(path[0], path.substr(3), desired_access, creation_disposition,
                      flags_and_attributes);
  }
  m.last_error = kErrorPathNotFound;
  return kInvalidHandle;
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

void EmulatedPlatform::SwapDevice(int disk_number, const std::string& serial) {
  impl_->swapped_serial[disk_number] = serial;
}

std::unique_ptr<EmulatedPlatform> OpenEmulatedDevices(const std::string& manifest_path,
                                                      Options options, std::string* error,
                                                      std::string_view manifest_text) {
  Manifest manifest;
  std::string message;
  const bool loaded = !manifest_text.empty() || manifest_path.empty()
                          ? ParseManifest(manifest_text.empty() ? BundledManifest() : manifest_text,
                                          &manifest, &message)
                          : LoadManifest(manifest_path, &manifest, &message);
  std::unique_ptr<EmulatedPlatform> platform;
  if (loaded) {
    platform = std::make_unique<EmulatedPlatform>(std::move(manifest), std::move(options));
    message = platform->error();
  }
  if (!message.empty()) platform.reset();
  if (error) *error = message;
  return platform;
}

}  // namespace veracap::emulated
