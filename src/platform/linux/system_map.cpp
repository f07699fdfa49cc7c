#include "platform/linux/system_map.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace veracap::linux_platform {
namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

bool AllOf(const std::string& s, std::size_t from, int (*pred)(int)) {
  if (from >= s.size()) return false;
  return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                     [pred](char c) { return pred(static_cast<unsigned char>(c)) != 0; });
}

bool HasEntries(const std::string& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  return !ec && it != fs::directory_iterator();
}

// Whether path lies inside the mount point (component-wise prefix).
bool PathUnder(const std::string& path, const std::string& mount_point) {
  if (mount_point == "/") return !path.empty() && path[0] == '/';
  if (path.compare(0, mount_point.size(), mount_point) != 0) return false;
  return path.size() == mount_point.size() || path[mount_point.size()] == '/';
}

// The paths whose disks are never written, and how the refusal names them.
constexpr std::array<std::pair<const char*, const char*>, 6> kProtectedPaths{{
    {"/", "holds the root file system"},
    {"/boot", "holds /boot"},
    {"/boot/efi", "holds /boot"},
    {"/usr", "holds /usr"},
    {"/var", "holds /var"},
    {"/home", "holds /home"},
}};

DiskRecord* PresentDiskNamed(std::vector<DiskRecord>& disks, const std::string& name) {
  for (DiskRecord& d : disks) {
    if (d.present && d.name == name) return &d;
  }
  return nullptr;
}

}  // namespace

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return "";
  std::ostringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (da && db) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      const std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
      const auto ta = na.find_first_not_of('0'), tb = nb.find_first_not_of('0');
      const std::string sa = ta == std::string::npos ? "" : na.substr(ta);
      const std::string sb = tb == std::string::npos ? "" : nb.substr(tb);
      if (sa.size() != sb.size()) return sa.size() < sb.size();
      if (sa != sb) return sa < sb;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

bool IsCandidateDiskName(const std::string& name) {
  auto starts = [&](const char* prefix) { return name.rfind(prefix, 0) == 0; };
  if (starts("sd") || starts("vd")) return AllOf(name, 2, ::islower);
  if (starts("mmcblk")) return AllOf(name, 6, ::isdigit);  // not mmcblk0boot0, mmcblk0rpmb
  if (starts("loop")) return AllOf(name, 4, ::isdigit);
  if (starts("nvme")) {
    // nvme0n1, not the hidden multipath paths nvme0c0n1.
    const auto n = name.find('n', 4);
    return n != std::string::npos && AllOf(name.substr(0, n), 4, ::isdigit) &&
           AllOf(name, n + 1, ::isdigit);
  }
  return false;
}

std::string UnescapeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() &&
        std::isdigit(static_cast<unsigned char>(field[i + 1])) &&
        std::isdigit(static_cast<unsigned char>(field[i + 2])) &&
        std::isdigit(static_cast<unsigned char>(field[i + 3]))) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

SystemMap::SystemMap(std::string root) : root_(std::move(root)) { Refresh(); }

std::string SystemMap::ReadMountInfo() {
  if (!mountinfo_fd_.valid()) {
    mountinfo_fd_.Reset(::open((root_ + "/proc/self/mountinfo").c_str(), O_RDONLY | O_CLOEXEC));
  }
  if (!mountinfo_fd_.valid()) return "";
  // Reading through the polled descriptor also tells the kernel that this
  // state of the mount table has been seen.
  ::lseek(mountinfo_fd_.get(), 0, SEEK_SET);
  std::string text;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(mountinfo_fd_.get(), buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

std::vector<SystemMap::Mount> SystemMap::ParseMounts(const std::string& text) const {
  std::vector<Mount> mounts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    std::string word;
    while (fields >> word) f.push_back(word);
    // id parent major:minor root mount-point options [optional...] - type source super
    const auto dash = std::find(f.begin(), f.end(), "-");
    if (f.size() < 7 || dash == f.end() || f.end() - dash < 3) continue;
    Mount m;
    m.devno = f[2];
    m.root = UnescapeMountField(f[3]);
    m.mount_point = UnescapeMountField(f[4]);
    m.fs_type = *(dash + 1);
    m.source = UnescapeMountField(*(dash + 2));
    if (m.devno.rfind("0:", 0) == 0) m.devno = DevnoOfSource(m.source);
    mounts.push_back(std::move(m));
  }
  return mounts;
}

std::string SystemMap::DevnoOfSource(const std::string& source) const {
  // File systems such as btrfs report an anonymous device number; their
  // source names the block device.
  if (source.rfind("/dev/", 0) != 0) return "";
  std::string name = BaseName(RealPath(root_ + source));
  if (name.empty()) name = BaseName(source);
  return ReadSmallFile(root_ + "/sys/class/block/" + name + "/dev");
}

bool SystemMap::ResolveDevno(const std::string& devno, Resolved* out) const {
  if (devno.empty()) return false;
  const std::string path = RealPath(root_ + "/sys/dev/block/" + devno);
  if (path.empty()) return false;
  out->name = BaseName(path);
  out->whole_disk = out->name;
  out->partition = 0;
  const std::string partition = ReadSmallFile(path + "/partition");
  if (!partition.empty()) {
    out->whole_disk = BaseName(DirName(path));
    out->partition = std::atoi(partition.c_str());
  }
  return true;
}

std::vector<std::string> SystemMap::UnderlyingDisks(const std::string& name, int depth) const {
  const std::string dir = root_ + "/sys/class/block/" + name;
  std::vector<std::string> disks;
  std::error_code ec;
  if (depth < 8 && HasEntries(dir + "/slaves")) {
    for (const auto& entry : fs::directory_iterator(dir + "/slaves", ec)) {
      for (auto& d : UnderlyingDisks(entry.path().filename().string(), depth + 1)) {
        if (std::find(disks.begin(), disks.end(), d) == disks.end()) disks.push_back(d);
      }
    }
    return disks;
  }
  if (Exists(dir + "/partition")) {
    disks.push_back(BaseName(DirName(RealPath(dir))));
  } else {
    disks.push_back(name);
  }
  return disks;
}

const SystemMap::Mount* SystemMap::ContainingMount(const std::vector<Mount>& mounts,
                                                   const std::string& path) const {
  // The last mount over the longest matching mount point is the one in effect.
  const Mount* best = nullptr;
  for (const Mount& m : mounts) {
    if (!PathUnder(path, m.mount_point)) continue;
    if (best == nullptr || m.mount_point.size() >= best->mount_point.size()) best = &m;
  }
  return best;
}

std::vector<std::string> SystemMap::DisksOfMount(const Mount& mount) const {
  Resolved r;
  if (!ResolveDevno(mount.devno, &r)) return {};
  return UnderlyingDisks(r.name);
}

void SystemMap::RefreshIfMountsChanged() {
  if (!mountinfo_fd_.valid()) {
    Refresh();
    return;
  }
  pollfd p{mountinfo_fd_.get(), POLLPRI, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLPRI | POLLERR)) != 0) Refresh();
}

void SystemMap::Refresh() {
  const std::vector<Mount> mounts = ParseMounts(ReadMountInfo());
  const std::vector<SeenDisk> seen = ScanDisks();
  NumberDisks(seen, mounts);
  std::map<std::string, std::int32_t> number_of_name;
  std::vector<DiskRecord> disks = DiskRecords(seen, &number_of_name);
  MarkProtected(mounts, disks);
  MarkHeld(disks);
  std::string root_volume_key;
  const std::vector<FoundVolume> found =
      FindVolumes(mounts, number_of_name, disks, &root_volume_key);
  GiveLetters(found, root_volume_key);
  std::vector<VolumeRecord> volumes = VolumeRecords(found, seen);
  disks_ = std::move(disks);
  volumes_ = std::move(volumes);
  first_ = false;
}

// Whole disks present now, in natural order of their names.
std::vector<SystemMap::SeenDisk> SystemMap::ScanDisks() const {
  std::vector<SeenDisk> seen;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root_ + "/sys/block", ec)) {
    const std::string name = entry.path().filename().string();
    if (!IsCandidateDiskName(name)) continue;
    SeenDisk s{name, ReadSmallFile(entry.path().string() + "/dev"), ""};
    if (name.rfind("loop", 0) == 0) {
      s.backing = ReadSmallFile(entry.path().string() + "/loop/backing_file");
      if (s.backing.empty()) continue;  // a loop device with nothing attached
    }
    seen.push_back(std::move(s));
  }
  std::sort(seen.begin(), seen.end(),
            [](const SeenDisk& a, const SeenDisk& b) { return NaturalLess(a.name, b.name); });
  return seen;
}

// Numbers: kept once given; disk 0 only ever for the root disk.
void SystemMap::NumberDisks(const std::vector<SeenDisk>& seen, const std::vector<Mount>& mounts) {
  std::string root_disk;
  if (const Mount* root = ContainingMount(mounts, "/")) {
    for (const std::string& d : DisksOfMount(*root)) {
      for (const SeenDisk& s : seen) {
        if (s.name == d && root_disk.empty()) root_disk = d;
      }
    }
  }
  std::int32_t next = 1;
  for (const auto& [key, number] : number_of_key_) next = std::max(next, number + 1);
  for (const SeenDisk& s : seen) {
    if (number_of_key_.count(s.key()) != 0) continue;
    if (first_ && s.name == root_disk) {
      number_of_key_[s.key()] = 0;
    } else {
      number_of_key_[s.key()] = next++;
    }
  }
}

// Every disk ever numbered, present or not, in order of number;
// *number_of_name gets the present ones by name.
std::vector<DiskRecord> SystemMap::DiskRecords(
    const std::vector<SeenDisk>& seen, std::map<std::string, std::int32_t>* number_of_name) const {
  std::vector<DiskRecord> disks;
  for (const auto& [key, number] : number_of_key_) {
    DiskRecord d;
    d.number = number;
    d.name = key.substr(0, key.find('|'));
    d.backing_file = key.substr(key.find('|') + 1);
    d.dev_path = "/dev/" + d.name;
    d.present = false;
    for (const SeenDisk& s : seen) {
      if (s.key() == key) {
        d.present = true;
        d.devno = s.devno;
        (*number_of_name)[d.name] = number;
      }
    }
    disks.push_back(std::move(d));
  }
  std::sort(disks.begin(), disks.end(),
            [](const DiskRecord& a, const DiskRecord& b) { return a.number < b.number; });
  return disks;
}

// The disks under the system's own file systems and active swap.
void SystemMap::MarkProtected(const std::vector<Mount>& mounts,
                              std::vector<DiskRecord>& disks) const {
  auto protect = [&](const std::vector<std::string>& names, const std::string& reason) {
    for (const std::string& n : names) {
      DiskRecord* d = PresentDiskNamed(disks, n);
      if (d != nullptr && d->protected_reason.empty()) d->protected_reason = reason;
    }
  };
  for (const auto& [path, reason] : kProtectedPaths) {
    if (const Mount* m = ContainingMount(mounts, path)) protect(DisksOfMount(*m), reason);
  }
  for (const auto& [file, type] : ActiveSwaps()) {
    if (type == "partition") {
      std::string name = BaseName(RealPath(root_ + file));
      if (name.empty()) name = BaseName(file);
      protect(UnderlyingDisks(name), "holds active swap");
    } else if (const Mount* m = ContainingMount(mounts, file)) {
      protect(DisksOfMount(*m), "holds active swap");
    }
  }
}

// Disks that device mapper or md devices are built on are in use.
void SystemMap::MarkHeld(std::vector<DiskRecord>& disks) const {
  std::error_code ec;
  for (DiskRecord& d : disks) {
    if (!d.present) continue;
    const std::string dir = root_ + "/sys/block/" + d.name;
    if (HasEntries(dir + "/holders")) d.in_use = true;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      if (Exists(entry.path().string() + "/partition") &&
          HasEntries(entry.path().string() + "/holders")) {
        d.in_use = true;
      }
    }
  }
}

// Volumes: the mounted block file systems on these disks, in order of disk,
// partition and name. Their disks are marked in use; *root_volume_key names
// the volume mounted at "/".
std::vector<SystemMap::FoundVolume> SystemMap::FindVolumes(
    const std::vector<Mount>& mounts, const std::map<std::string, std::int32_t>& number_of_name,
    std::vector<DiskRecord>& disks, std::string* root_volume_key) const {
  std::vector<FoundVolume> found;
  const Mount* root_mount = ContainingMount(mounts, "/");
  for (const Mount& m : mounts) {
    Resolved r;
    if (!ResolveDevno(m.devno, &r)) continue;
    std::int32_t disk_number = -1;
    std::int32_t partition = r.partition;
    if (number_of_name.count(r.whole_disk) != 0) {
      disk_number = number_of_name.at(r.whole_disk);
    } else {
      for (const std::string& d : UnderlyingDisks(r.name)) {
        if (number_of_name.count(d) != 0 && disk_number < 0) disk_number = number_of_name.at(d);
      }
      partition = 0;
    }
    if (disk_number < 0) continue;
    DiskRecord* disk = nullptr;
    for (DiskRecord& d : disks) {
      if (d.number == disk_number) disk = &d;
    }
    disk->in_use = true;
    for (const std::string& d : UnderlyingDisks(r.name)) {
      if (DiskRecord* u = PresentDiskNamed(disks, d)) u->in_use = true;
    }
    const std::string key = disk->name + "|" + disk->backing_file + "|" + r.name;
    auto it = std::find_if(found.begin(), found.end(),
                           [&](const FoundVolume& f) { return f.key == key; });
    if (it == found.end()) {
      FoundVolume f;
      f.key = key;
      f.volume.name = r.name;
      f.volume.dev_path = "/dev/" + r.name;
      f.volume.devno = m.devno;
      f.volume.disk_number = disk_number;
      f.volume.partition = partition;
      f.volume.fs_type = m.fs_type;
      found.push_back(std::move(f));
      it = found.end() - 1;
    }
    it->volume.mount_points.push_back(m.mount_point);
    // The volume's root is where the file system's own root is mounted; the
    // shortest such path when there are several.
    if (m.root == "/" &&
        (it->volume.mount_point.empty() || m.mount_point.size() < it->volume.mount_point.size())) {
      it->volume.mount_point = m.mount_point;
    }
    if (&m == root_mount) *root_volume_key = key;
  }
  std::sort(found.begin(), found.end(), [](const FoundVolume& a, const FoundVolume& b) {
    if (a.volume.disk_number != b.volume.disk_number) {
      return a.volume.disk_number < b.volume.disk_number;
    }
    if (a.volume.partition != b.volume.partition) return a.volume.partition < b.volume.partition;
    return NaturalLess(a.volume.name, b.volume.name);
  });
  return found;
}

// Letters: kept once given; C: only for the root volume, the others from D:.
void SystemMap::GiveLetters(const std::vector<FoundVolume>& found,
                            const std::string& root_volume_key) {
  std::set<char> used;
  for (const auto& [key, letter] : letter_of_key_) used.insert(letter);
  if (!root_volume_key.empty() && letter_of_key_.count(root_volume_key) == 0 &&
      used.count('C') == 0) {
    letter_of_key_[root_volume_key] = 'C';
    used.insert('C');
  }
  for (const FoundVolume& f : found) {
    if (letter_of_key_.count(f.key) != 0) continue;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
      if (used.count(letter) == 0) {
        letter_of_key_[f.key] = letter;
        used.insert(letter);
        break;
      }
    }
  }
}

// Every lettered volume, mounted now or known from before, in letter order.
std::vector<VolumeRecord> SystemMap::VolumeRecords(const std::vector<FoundVolume>& found,
                                                   const std::vector<SeenDisk>& seen) const {
  std::vector<VolumeRecord> volumes;
  for (const auto& [key, letter] : letter_of_key_) {
    auto it = std::find_if(found.begin(), found.end(),
                           [&](const FoundVolume& f) { return f.key == key; });
    VolumeRecord v;
    if (it != found.end()) {
      v = it->volume;
    } else {
      // Known from before and no longer mounted: it keeps its letter, and
      // stays present while its device and disk are there.
      for (const VolumeRecord& old : volumes_) {
        if (old.letter == letter) v = old;
      }
      v.mount_point.clear();
      v.mount_points.clear();
      const std::string disk_key = key.substr(0, key.rfind('|'));
      const bool disk_present = std::any_of(seen.begin(), seen.end(),
                                            [&](const SeenDisk& s) { return s.key() == disk_key; });
      v.present = disk_present && !v.name.empty() &&
                  ReadSmallFile(root_ + "/sys/class/block/" + v.name + "/dev") == v.devno;
    }
    v.letter = letter;
    volumes.push_back(std::move(v));
  }
  std::sort(volumes.begin(), volumes.end(),
            [](const VolumeRecord& a, const VolumeRecord& b) { return a.letter < b.letter; });
  return volumes;
}

const DiskRecord* SystemMap::Disk(std::int32_t number) const {
  for (const DiskRecord& d : disks_) {
    if (d.number == number && d.present) return &d;
  }
  return nullptr;
}

const VolumeRecord* SystemMap::Volume(char letter) const {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  for (const VolumeRecord& v : volumes_) {
    if (v.letter == letter) return &v;
  }
  return nullptr;
}

std::int32_t SystemMap::DiskNumberOf(const std::string& device) const {
  const std::string name = BaseName(device);
  for (const DiskRecord& d : disks_) {
    if (d.present && d.name == name) return d.number;
  }
  return -1;
}

std::vector<std::pair<std::string, std::string>> SystemMap::ActiveSwaps() const {
  std::vector<std::pair<std::string, std::string>> swaps;
  std::istringstream table(ReadSmallFile(root_ + "/proc/swaps"));
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string file, type;
    if (fields >> file >> type) swaps.emplace_back(UnescapeMountField(file), type);
  }
  return swaps;
}

std::vector<std::string> SystemMap::SwapFiles() const {
  std::vector<std::string> files;
  for (const auto& [file, type] : ActiveSwaps()) {
    if (type == "file") files.push_back(file);
  }
  return files;
}

char SystemMap::LetterOf(const std::string& mount_point) const {
  for (const VolumeRecord& v : volumes_) {
    for (const std::string& mp : v.mount_points) {
      if (mp == mount_point) return v.letter;
    }
  }
  return 0;
}

}  // namespace veracap::linux_platform

namespace veracap::linux_platform {

DiskIdentity ReadDiskIdentity(const std::string& name, const std::string& root) {
  DiskIdentity id;
  const std::string sys = root + "/sys/block/" + name;
  if (name.empty() || !Exists(sys)) return id;
  id.name = name;
  id.devno = ReadSmallFile(sys + "/dev");
  id.size_bytes = std::strtoull(ReadSmallFile(sys + "/size").c_str(), nullptr, 10) * 512;
  id.vendor = ReadSmallFile(sys + "/device/vendor");
  id.model = ReadSmallFile(sys + "/device/model");
  id.serial = ReadSmallFile(sys + "/device/serial");  // NVMe, MMC
  if (id.serial.empty()) {
    // A USB disk: the serial is the USB device's, some levels above.
    std::string dir = RealPath(sys + "/device");
    for (int up = 0; up < 8 && dir.size() > 1; ++up, dir = DirName(dir)) {
      if (Exists(dir + "/idVendor")) {
        id.serial = ReadSmallFile(dir + "/serial");
        break;
      }
    }
  }
  id.backing_file = ReadSmallFile(sys + "/loop/backing_file");
  return id;
}

bool WholeDiskOf(const std::string& path, std::string* disk, std::string* partition,
                 const std::string& root) {
  struct stat st {};
  if (::stat((root + path).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  const std::string devno =
      std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  const std::string sys = RealPath(root + "/sys/dev/block/" + devno);
  if (sys.empty()) return false;
  partition->clear();
  *disk = BaseName(sys);
  if (Exists(sys + "/partition")) {
    *partition = *disk;
    *disk = BaseName(DirName(sys));
  }
  return true;
}

}  // namespace veracap::linux_platform
