#include "platform/emulated/manifest.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "base/text.h"

namespace veracap::emulated {
namespace {

// Splits a line into words; "quoted text" is one word (quotes removed) and
// '#' outside quotes starts a comment.
bool SplitWords(std::string_view line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      const std::size_t end = line.find('"', i + 1);
      if (end == std::string_view::npos) {
        *error = "unterminated quoted text";
        return false;
      }
      words->emplace_back(line.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      std::size_t end = i;
      while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' &&
             line[end] != '#' && line[end] != '"') {
        ++end;
      }
      words->emplace_back(line.substr(i, end - i));
      i = end;
    }
  }
  return true;
}

bool ParseUnsigned(std::string_view text, std::uint64_t* value) {
  if (text.empty()) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool ParseU32(std::string_view text, std::uint32_t* value) {
  std::uint64_t v = 0;
  if (!ParseUnsigned(text, &v) || v > std::numeric_limits<std::uint32_t>::max()) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

bool ParseBus(std::string_view text, std::uint32_t* bus) {
  static constexpr struct {
    std::string_view name;
    std::uint32_t value;
  } kBuses[] = {{"scsi", 1},  {"atapi", 2}, {"ata", 3},  {"1394", 4},     {"ssa", 5},
                {"fibre", 6}, {"usb", 7},   {"raid", 8}, {"iscsi", 9},    {"sas", 10},
                {"sata", 11}, {"sd", 12},   {"mmc", 13}, {"virtual", 14}, {"nvme", 17}};
  const std::string lower = Lower(text);
  for (const auto& b : kBuses) {
    if (lower == b.name) {
      *bus = b.value;
      return true;
    }
  }
  return ParseU32(text, bus) && *bus <= 255;
}

// The manifest's word for a file attribute; 0 for an unknown word.
std::uint32_t FileAttributeNamed(const std::string& word) {
  if (word == "hidden") return kFileAttributeHidden;
  if (word == "system") return kFileAttributeSystem;
  if (word == "readonly") return kFileAttributeReadOnly;
  if (word == "folder") return kFileAttributeDirectory;
  if (word == "link") return kFileAttributeReparsePoint;
  if (word == "pipe") return kFileAttributeDevice;
  return 0;
}

bool ValidFileName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

std::string LetterText(char letter) { return letter ? std::string(1, letter) + ":" : "-"; }

class Parser {
 public:
  explicit Parser(Manifest* manifest) : manifest_(manifest) {}

  bool Line(const std::vector<std::string>& w, std::string* error) {
    const std::string key = Lower(w[0]);
    if (key == "images") return Images(w, error);
    if (key == "disk") return Disk(w, error);
    if (key == "drive") return Drive(w, error);
    if (disk_ == nullptr) return Fail(error, "'" + w[0] + "' before the first 'disk' line");
    if (key == "file") return File(w, error);
    if (key == "volume") return Volume(w, error);
    if (key == "fault") return FaultLine(w, error);
    if (key == "cache") return Cache(w, error);
    if (key == "write-protected") {
      if (w.size() != 1) return Fail(error, "'write-protected' takes no value");
      disk_->write_protected = true;
      return true;
    }
    if (key == "no-capacity" || key == "no-inquiry" || key == "no-length") {
      if (w.size() != 1) return Fail(error, "'" + w[0] + "' takes no value");
      if (key == "no-capacity") disk_->answers_capacity = false;
      if (key == "no-inquiry") disk_->answers_inquiry = false;
      if (key == "no-length") disk_->answers_length = false;
      return true;
    }
    if (w.size() != 2) return Fail(error, "'" + w[0] + "' takes exactly one value");
    const std::string& v = w[1];
    if (key == "scsi-check") {
      const std::string which = Lower(v);
      if (which != "capacity" && which != "inquiry") {
        return Fail(error, "scsi-check takes capacity or inquiry");
      }
      (which == "capacity" ? disk_->rejects_capacity : disk_->rejects_inquiry) = true;
      return true;
    }
    if (key == "wrap-at") {
      if (!ParseSize(v, &disk_->wrap_at)) return Fail(error, "bad size '" + v + "'");
      return true;
    }
    if (key == "claimed" || key == "real") {
      std::uint64_t size = 0;
      if (!ParseSize(v, &size)) return Fail(error, "bad size '" + v + "'");
      (key == "claimed" ? disk_->claimed_bytes : disk_->real_bytes) = size;
      if (key == "real") real_given_ = true;
      return true;
    }
    if (key == "beyond") {
      const std::string m = Lower(v);
      if (m == "wrap")
        disk_->beyond = Beyond::kWrap;
      else if (m == "zeros")
        disk_->beyond = Beyond::kZeros;
      else if (m == "ff" || m == "ones")
        disk_->beyond = Beyond::kOnes;
      else if (m == "error")
        disk_->beyond = Beyond::kError;
      else if (m == "log")
        disk_->beyond = Beyond::kLog;
      else
        return Fail(error, "beyond must be wrap, zeros, ff, error or log, not '" + v + "'");
      return true;
    }
    if (key == "bus") {
      if (!ParseBus(v, &disk_->bus_type)) return Fail(error, "unknown bus '" + v + "'");
      return true;
    }
    if (key == "vendor") return Text(v, 8, &disk_->vendor, "vendor", error);
    if (key == "product") return Text(v, 16, &disk_->product, "product", error);
    if (key == "revision") return Text(v, 4, &disk_->revision, "revision", error);
    if (key == "serial") return Text(v, 64, &disk_->serial, "serial", error);
    if (key == "removable") {
      const std::string b = Lower(v);
      if (b != "yes" && b != "no") return Fail(error, "removable must be yes or no");
      disk_->removable = b == "yes";
      return true;
    }
    if (key == "block") {
      std::uint32_t block = 0;
      if (!ParseU32(v, &block) || block < 512 || (block & (block - 1)) != 0) {
        return Fail(error, "block must be a power of two of at least 512");
      }
      disk_->block_length = block;
      return true;
    }
    return Fail(error, "unknown key '" + w[0] + "'");
  }

  // Checks of a disk that need all its lines.
  bool FinishDisk(std::string* error) {
    if (disk_ == nullptr) return true;
    DiskSpec& d = *disk_;
    const std::string name =
        "line " + std::to_string(disk_line_) + ": disk " + std::to_string(d.number) + ": ";
    if (d.claimed_bytes == 0) return Fail(error, name + "no 'claimed' size");
    if (!real_given_) d.real_bytes = d.claimed_bytes;
    if (d.claimed_bytes % 512 != 0 || d.real_bytes % 512 != 0) {
      return Fail(error, name + "sizes must be whole 512-byte sectors");
    }
    if (d.claimed_bytes % d.block_length != 0) {
      return Fail(error, name + "the claimed size must be whole blocks");
    }
    if (d.real_bytes == 0 || d.real_bytes > d.claimed_bytes) {
      return Fail(error, name + "real size must be above 0 and at most the claimed size");
    }
    if (d.wrap_at != 0) {
      if (d.wrap_at % 512 != 0 || d.wrap_at < d.real_bytes || d.wrap_at > d.claimed_bytes) {
        return Fail(error,
                    name + "wrap-at must be whole sectors from the real to the claimed size");
      }
      if (d.beyond == Beyond::kWrap || d.beyond == Beyond::kLog) {
        return Fail(error,
                    name + "wrap-at needs beyond zeros, ff or error for the memory below it");
      }
    }
    if (d.cache_bytes != 0 &&
        (d.cache_line % 512 != 0 || d.cache_line == 0 || d.cache_bytes < d.cache_line)) {
      return Fail(error, name + "cache lines must be whole sectors, the cache at least one line");
    }
    for (const Fault& f : d.faults) {
      if (f.sector >= d.claimed_bytes / 512) {
        return Fail(error, name + "fault at sector " + std::to_string(f.sector) +
                               " lies beyond the claimed size");
      }
    }
    std::vector<const VolumeSpec*> volumes;
    for (const VolumeSpec& v : d.volumes) volumes.push_back(&v);
    std::sort(volumes.begin(), volumes.end(),
              [](auto* a, auto* b) { return a->offset_bytes < b->offset_bytes; });
    for (std::size_t i = 0; i < volumes.size(); ++i) {
      const VolumeSpec& v = *volumes[i];
      const std::string vname = name + "volume " + LetterText(v.letter) + " ";
      if (v.offset_bytes > d.claimed_bytes || v.capacity_bytes > d.claimed_bytes - v.offset_bytes) {
        return Fail(error, vname + "runs past the claimed size");
      }
      if (i + 1 < volumes.size() &&
          v.offset_bytes + v.capacity_bytes > volumes[i + 1]->offset_bytes) {
        return Fail(error, vname + "overlaps volume " + LetterText(volumes[i + 1]->letter));
      }
      std::uint64_t clusters = 0;
      for (const FileSpec& f : v.files) clusters += (f.size_bytes + 4095) / 4096;
      if (clusters > v.capacity_bytes / 4096) return Fail(error, vname + "files do not fit");
    }
    return true;
  }

 private:
  static bool Fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
  }

  bool Text(const std::string& v, std::size_t max, std::string* out, const char* what,
            std::string* error) {
    if (v.size() > max) {
      return Fail(error,
                  std::string(what) + " is longer than " + std::to_string(max) + " characters");
    }
    for (const char c : v) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
        return Fail(error, std::string(what) + " must be printable ASCII");
      }
    }
    *out = v;
    return true;
  }

  bool Images(const std::vector<std::string>& w, std::string* error) {
    if (w.size() != 2) return Fail(error, "'images' takes one folder");
    manifest_->image_dir = w[1];
    return true;
  }

  bool Disk(const std::vector<std::string>& w, std::string* error) {
    std::uint32_t number = 0;
    if (w.size() != 2 || !ParseU32(w[1], &number) || number > 999) {
      return Fail(error, "'disk' takes a disk number from 0 to 999");
    }
    for (const DiskSpec& d : manifest_->disks) {
      if (d.number == static_cast<int>(number)) return Fail(error, "disk " + w[1] + " twice");
    }
    if (!FinishDisk(error)) {
      located_ = true;
      return false;
    }
    manifest_->disks.emplace_back();
    disk_ = &manifest_->disks.back();
    disk_->number = static_cast<int>(number);
    disk_line_ = line_;
    real_given_ = false;
    return true;
  }

  // A letter as the manifest writes it ("E:"), taken once by a volume or a
  // drive; 0 when it is not one.
  char Letter(const std::string& word, std::string* error) {
    if (word.size() != 2 || word[1] != ':' || !std::isalpha(static_cast<unsigned char>(word[0]))) {
      return 0;
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    bool taken = false;
    for (const DiskSpec& d : manifest_->disks) {
      for (const VolumeSpec& other : d.volumes) taken = taken || other.letter == letter;
    }
    for (const OtherDrive& other : manifest_->other_drives) taken = taken || other.letter == letter;
    if (taken) {
      *error = std::string(1, letter) + ": twice";
      return 0;
    }
    return letter;
  }

  // drive X: remote|cdrom|ramdisk|unknown
  bool Drive(const std::vector<std::string>& w, std::string* error) {
    static constexpr struct {
      std::string_view name;
      std::uint32_t type;
    } kTypes[] = {{"remote", kDriveRemote},
                  {"cdrom", kDriveCdrom},
                  {"ramdisk", kDriveRamdisk},
                  {"unknown", kDriveUnknown}};
    if (w.size() != 3)
      return Fail(error, "'drive' takes a letter and remote, cdrom, ramdisk or unknown");
    OtherDrive drive;
    std::string taken;
    drive.letter = Letter(w[1], &taken);
    if (drive.letter == 0)
      return Fail(error, taken.empty() ? "'drive' needs a letter such as Z:" : taken);
    const std::string type = Lower(w[2]);
    const auto* it = std::find_if(std::begin(kTypes), std::end(kTypes),
                                  [&](const auto& t) { return t.name == type; });
    if (it == std::end(kTypes))
      return Fail(error, "drive type must be remote, cdrom, ramdisk or unknown");
    drive.drive_type = it->type;
    manifest_->other_drives.push_back(drive);
    return true;
  }

  bool Volume(const std::vector<std::string>& w, std::string* error) {
    VolumeSpec v;
    std::string taken;
    if (w.size() >= 2 && w[1] == "-") {
      v.letter = 0;
    } else if (w.size() < 2 || (v.letter = Letter(w[1], &taken)) == 0) {
      return Fail(error, taken.empty() ? "'volume' needs a drive letter such as E:, or -"
                                       : "volume " + taken);
    }
    bool has_capacity = false;
    for (std::size_t i = 2; i < w.size(); i += 2) {
      const std::string key = Lower(w[i]);
      bool* flag = key == "readonly"     ? &v.read_only
                   : key == "compressed" ? &v.compressing
                   : key == "windows"    ? &v.roles.windows
                   : key == "boot"       ? &v.roles.boot
                   : key == "pagefile"   ? &v.roles.pagefile
                   : key == "program"    ? &v.roles.program
                                         : nullptr;
      if (flag != nullptr) {
        *flag = true;
        --i;  // a flag without a value
        continue;
      }
      if (key == "in-use") {
        v.in_use = true;
        std::uint32_t seconds = 0;
        // Optionally followed by the seconds it lasts.
        if (i + 1 < w.size() && ParseU32(w[i + 1], &seconds)) {
          v.in_use_ms = std::uint64_t{seconds} * 1000;
        } else {
          --i;
        }
        continue;
      }
      if (i + 1 >= w.size()) return Fail(error, "'" + w[i] + "' needs a value");
      const std::string& value = w[i + 1];
      if (key == "mount") {
        std::string folder = value;
        if (!folder.empty() && folder.back() != '\\') folder += '\\';
        if (folder.size() < 4 || folder[1] != ':' || folder[2] != '\\') {
          return Fail(error, "mount needs a folder such as C:\\mnt\\stick");
        }
        v.mount_folders.push_back(folder);
      } else if (key == "label") {
        if (value.size() > 32) return Fail(error, "label is longer than 32 characters");
        v.label = value;
      } else if (key == "fs") {
        if (value.empty() || value.size() > 15)
          return Fail(error, "fs name must have 1 to 15 characters");
        v.fs_name = value;
      } else if (key == "sector") {
        if (!ParseU32(value, &v.sector_bytes) || v.sector_bytes < 512 || v.sector_bytes > 4096 ||
            (v.sector_bytes & (v.sector_bytes - 1)) != 0) {
          return Fail(error, "sector must be 512, 1024, 2048 or 4096");
        }
      } else if (key == "capacity" || key == "offset") {
        std::uint64_t size = 0;
        if (!ParseSize(value, &size)) return Fail(error, "bad size '" + value + "'");
        if (key == "offset" && size % 512 != 0) return Fail(error, "offset must be whole sectors");
        if (key == "capacity" && size < 4096) return Fail(error, "capacity below 4 KiB");
        (key == "capacity" ? v.capacity_bytes : v.offset_bytes) = size;
        has_capacity = has_capacity || key == "capacity";
      } else {
        return Fail(error, "unknown volume key '" + w[i] + "'");
      }
    }
    if (!has_capacity) return Fail(error, "volume without capacity");
    if (v.letter == 0 && v.roles.pagefile) return Fail(error, "a page file needs a drive letter");
    disk_->volumes.push_back(v);
    return true;
  }

  bool File(const std::vector<std::string>& w, std::string* error) {
    if (disk_->volumes.empty()) return Fail(error, "'file' before a 'volume' of this disk");
    std::uint64_t size = 0;
    if (w.size() < 3) return Fail(error, "'file' takes a name and a size");
    if (!ValidFileName(w[1])) return Fail(error, "bad file name '" + w[1] + "'");
    if (!ParseSize(w[2], &size)) return Fail(error, "bad size '" + w[2] + "'");
    VolumeSpec& v = disk_->volumes.back();
    for (const FileSpec& f : v.files) {
      if (Lower(f.name) == Lower(w[1])) return Fail(error, "file '" + w[1] + "' twice");
    }
    FileSpec file{w[1], size, 0};
    for (std::size_t i = 3; i < w.size(); ++i) {
      const std::uint32_t bit = FileAttributeNamed(Lower(w[i]));
      if (bit == 0) return Fail(error, "unknown file attribute '" + w[i] + "'");
      file.attributes |= bit;
    }
    if ((file.attributes & kNotAFile) != 0 && size != 0) {
      return Fail(error, "a folder, link or pipe has size 0");
    }
    v.files.push_back(file);
    return true;
  }

  // cache SIZE [line SIZE]
  bool Cache(const std::vector<std::string>& w, std::string* error) {
    if ((w.size() != 2 && w.size() != 4) || (w.size() == 4 && Lower(w[2]) != "line")) {
      return Fail(error, "'cache' takes a size and optionally 'line' and a line size");
    }
    if (!ParseSize(w[1], &disk_->cache_bytes)) return Fail(error, "bad size '" + w[1] + "'");
    if (w.size() == 4 && !ParseSize(w[3], &disk_->cache_line)) {
      return Fail(error, "bad size '" + w[3] + "'");
    }
    return true;
  }

  bool FaultLine(const std::vector<std::string>& w, std::string* error) {
    if (w.size() < 3) return Fail(error, "'fault' needs a kind and a sector");
    Fault f;
    const std::string kind = Lower(w[1]);
    if (kind == "write-fail")
      f.kind = Fault::Kind::kWriteFail;
    else if (kind == "read-fail")
      f.kind = Fault::Kind::kReadFail;
    else if (kind == "short-read")
      f.kind = Fault::Kind::kShortRead;
    else
      return Fail(error, "fault kind must be write-fail, read-fail or short-read");
    if (!ParseUnsigned(w[2], &f.sector)) return Fail(error, "bad sector '" + w[2] + "'");
    std::size_t i = 3;
    if (f.kind == Fault::Kind::kShortRead) {
      if (w.size() < 4 || !ParseU32(w[3], &f.short_bytes) || f.short_bytes >= 512) {
        return Fail(error, "short-read needs the number of bytes delivered, below 512");
      }
      i = 4;
    }
    for (; i < w.size(); i += 2) {
      const std::string key = Lower(w[i]);
      std::uint32_t value = 0;
      if (i + 1 >= w.size() || !ParseU32(w[i + 1], &value)) {
        return Fail(error, "'" + w[i] + "' needs a number");
      }
      if (key == "delay") {
        f.delay_ms = value;
      } else if (key == "times") {
        if (value == 0 || value > 1000000000) return Fail(error, "times must be 1 or more");
        f.times = static_cast<int>(value);
      } else if (key == "error" && f.kind != Fault::Kind::kShortRead && value != 0) {
        f.error = value;
      } else {
        return Fail(error, "unknown fault option '" + w[i] + "'");
      }
    }
    disk_->faults.push_back(f);
    return true;
  }

 public:
  int line_ = 0;
  bool located_ = false;  // the message already names its line

 private:
  Manifest* manifest_;
  DiskSpec* disk_ = nullptr;
  int disk_line_ = 0;
  bool real_given_ = false;
};

std::uint64_t SplitMix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

bool ParseSize(std::string_view text, std::uint64_t* size_bytes) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  std::uint64_t number = 0;
  if (!ParseUnsigned(text.substr(0, digits), &number)) return false;
  static constexpr struct {
    std::string_view suffix;
    std::uint64_t factor;
  } kUnits[] = {{"", 1},
                {"s", 512},
                {"KiB", 1ull << 10},
                {"MiB", 1ull << 20},
                {"GiB", 1ull << 30},
                {"TiB", 1ull << 40},
                {"kB", 1000},
                {"KB", 1000},
                {"MB", 1000000},
                {"GB", 1000000000},
                {"TB", 1000000000000}};
  const std::string_view suffix = text.substr(digits);
  for (const auto& unit : kUnits) {
    if (suffix != unit.suffix) continue;
    if (number > std::numeric_limits<std::uint64_t>::max() / unit.factor) return false;
    *size_bytes = number * unit.factor;
    return true;
  }
  return false;
}

bool ParseManifest(std::string_view text, Manifest* manifest, std::string* error) {
  Manifest result;
  Parser parser(&result);
  std::string message;
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++parser.line_;
    if (!SplitWords(text.substr(start, end - start), &words, &message) ||
        (!words.empty() && !parser.Line(words, &message))) {
      if (error) {
        *error =
            parser.located_ ? message : "line " + std::to_string(parser.line_) + ": " + message;
      }
      return false;
    }
    start = end + 1;
  }
  if (!parser.FinishDisk(&message)) {
    if (error) *error = message;
    return false;
  }
  *manifest = std::move(result);
  return true;
}

bool LoadManifest(const std::string& path, Manifest* manifest, std::string* error) {
  // A folder opens as an empty stream: it would read as a manifest without
  // devices.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    if (error) *error = path + ": is a folder, not a manifest file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot be read";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string message;
  if (!ParseManifest(text.str(), manifest, &message)) {
    if (error) *error = path + ": " + message;
    return false;
  }
  if (manifest->image_dir.empty()) {
    manifest->image_dir = DefaultImageDir();
  } else if (std::filesystem::path(manifest->image_dir).is_relative()) {
    manifest->image_dir = (std::filesystem::path(path).parent_path() / manifest->image_dir)
                              .lexically_normal()
                              .string();
  }
  return true;
}

std::string DefaultImageDir() {
  const char* images = std::getenv("VERACAP_IMAGES");
  if (images != nullptr && *images != '\0') return images;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  std::filesystem::path base;
  if (cache != nullptr && *cache != '\0') {
    base = cache;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') home = std::getenv("USERPROFILE");
    base = std::filesystem::path(home != nullptr ? home : ".") / ".cache";
  }
  return (base / "veracap" / "images").string();
}

void InitialFileContent(std::string_view name, std::uint64_t offset, std::uint8_t* out,
                        std::size_t length) {
  std::uint64_t seed = 0xCBF29CE484222325ull;  // FNV-1a of the upper-case name
  for (const char c : name) {
    seed ^= static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
    seed *= 0x100000001B3ull;
  }
  std::uint64_t word_index = offset / 8;
  std::uint64_t word = SplitMix64(seed + word_index);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t at = offset + i;
    if (at / 8 != word_index) {
      word_index = at / 8;
      word = SplitMix64(seed + word_index);
    }
    out[i] = static_cast<std::uint8_t>(word >> (8 * (at % 8)));
  }
}

}  // namespace veracap::emulated
