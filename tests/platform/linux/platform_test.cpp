// The Linux platform's pieces that need no devices: the SCSI pass-through
// blocks it reads, bus types, and disk numbers, drive letters and protected
// disks read from a fake sysfs and /proc tree laid out as the kernel lays out
// the real one. The platform on real devices: e2e_test.cpp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "diskio/device_queries.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/scsi_pass_through.h"
#include "platform/linux/system_map.h"

namespace veracap::linux_platform {
namespace {

namespace fs = std::filesystem;

// The block (here the one the device queries build for READ CAPACITY (10))
// is the caller's bytes, read by the kernel's side: every area it names must
// lie inside the buffers given with it.
TEST(LinuxScsiPassThrough, CarriesTheCoresBlockAndRefusesAreasOutsideTheBuffers) {
  ScsiBlock block{};
  PrepareScsiRequest(block, kScsiReadCapacity10);
  ScsiRequest r;
  ASSERT_TRUE(ParseScsiRequest(block.data(), 585, 585, &r));
  EXPECT_EQ(r.cdb, (std::vector<std::uint8_t>{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r.direction, kScsiDataIn);
  EXPECT_EQ(r.transfer_bytes, 8u);
  ScsiReply reply;
  reply.transferred_bytes = 8;
  reply.data = {0x00, 0x3B, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
  reply.sense = {0x70, 0, 5};
  EXPECT_EQ(WriteScsiReply(r, reply, block.data(), 585, block.data(), 585), 84u);
  EXPECT_EQ(block[r.data_offset + 1], 0x3B);
  EXPECT_EQ(DecodeScsiPassThrough(block.data()).sense_info_length, 3);
  EXPECT_EQ(block[kScsiSenseOffset], 0x70);

  EXPECT_FALSE(ParseScsiRequest(block.data(), 40, 585, &r));  // shorter than the header
  EXPECT_FALSE(ParseScsiRequest(block.data(), 585, 80, &r));  // data area beyond out
  const std::function<void(ScsiPassThroughHeader&)> changes[] = {
      [](auto& h) { h.data_buffer_offset = 10; },  // data inside the header
      [](auto& h) { h.cdb_length = 17; },          // command block too long
      [](auto& h) { h.length = 56; },              // the 64-bit layout
  };
  for (const auto& change : changes) {
    ScsiBlock b{};
    PrepareScsiRequest(b, kScsiReadCapacity10);
    ScsiPassThroughHeader header = DecodeScsiPassThrough(b.data());
    change(header);
    EncodeScsiPassThrough(header, b.data());
    EXPECT_FALSE(ParseScsiRequest(b.data(), 585, 585, &r));
  }
}

// Where a USB and a SATA disk hang.
const std::string kUsb = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
const std::string kSata = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";

TEST(LinuxPlatformPieces, BusTypesFromSysfs) {
  const std::string pci = "/sys/devices/pci0000:00/";
  const struct {
    std::string name, device, mmc_type;
    std::uint32_t bus;
  } table[] = {
      {"sdb", "/sys/devices/" + kUsb, "", 7},  // a stick, or an SD card in a USB reader
      {"sda", "/sys/devices/" + kSata, "", 11},
      {"mmcblk0", "/sys/devices/platform/mmc0/mmc0:0001", "SD", 12},
      {"mmcblk1", "/sys/devices/platform/mmc1/mmc1:0001", "MMC", 13},
      {"nvme0n1", pci + "0000:00:1d.0/nvme/nvme0/nvme0n1", "", 17},
      {"loop3", "/sys/devices/virtual/block/loop3", "", 15},
      {"vda", pci + "0000:00:04.0/virtio1", "", 14},
  };
  for (const auto& row : table) {
    EXPECT_EQ(BusTypeFor(row.name, row.device, row.mmc_type), row.bus) << row.name;
  }
}

class FakeSystem {
 public:
  FakeSystem() {
    // tmpfs when there is one: creating and removing the tree is quick there.
    root_ = (fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
            ("veracap-sysmap-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::remove_all(root_);
    for (const char* d : {"sys/block", "sys/class/block", "sys/dev/block", "proc/self", "dev"}) {
      fs::create_directories(root_ / d);
    }
    Write("proc/swaps", "Filename\tType\tSize\tUsed\tPriority\n");
  }
  ~FakeSystem() { fs::remove_all(root_); }
  std::string root() const { return root_.string(); }

  void Write(const std::string& rel, const std::string& text) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel) << text;
  }
  // Block devices, "name devno parent [more]" each, separated by ";": a
  // whole disk under /sys/devices/<parent>/block/<name> (usb, sata: kUsb,
  // kSata); with a number, that partition of the disk parent; with a path, a
  // loop device over that file; with a name, a device-mapper device on it.
  void Add(const std::string& devices) {
    std::istringstream list(devices);
    for (std::string entry; std::getline(list, entry, ';');) {
      std::istringstream f(entry);
      std::string name, devno, parent, more;
      f >> name >> devno >> parent >> more;
      parent = parent == "usb" ? kUsb : parent == "sata" ? kSata : parent;
      const bool partition = !more.empty() && std::isdigit(static_cast<unsigned char>(more[0]));
      const fs::path dir = partition ? fs::canonical(root_ / "sys/block" / parent) / name
                                     : root_ / "sys/devices" / parent / "block" / name;
      fs::create_directories(dir / "holders");
      std::ofstream(dir / "dev") << devno << "\n";
      if (partition) std::ofstream(dir / "partition") << more << "\n";
      if (!partition) Link(dir, "sys/block/" + name);
      Link(dir, "sys/class/block/" + name);
      Link(dir, "sys/dev/block/" + devno);
      if (partition || more.empty()) continue;
      if (more[0] == '/') {
        fs::create_directories(dir / "loop");
        std::ofstream(dir / "loop/backing_file") << more << "\n";
        continue;
      }
      const fs::path target = fs::canonical(root_ / "sys/class/block" / more);
      fs::create_directories(dir / "slaves");
      fs::create_directory_symlink(target, dir / "slaves" / more);
      std::ofstream(target / "holders" / name) << "";
    }
  }
  // Lines of "devno root mount-point type source".
  void SetMounts(const std::vector<std::string>& mounts) {
    std::string text;
    int id = 20;
    for (const std::string& m : mounts) {
      std::istringstream f(m);
      std::string devno, root, mp, type, source;
      f >> devno >> root >> mp >> type >> source;
      text += std::to_string(id) + " 1 " + devno + " " + root + " " + mp +
              " rw,relatime shared:1 - " + type + " " + source + " rw\n";
      ++id;
    }
    Write("proc/self/mountinfo", text);
  }

 private:
  void Link(const fs::path& target, const std::string& rel) {
    fs::create_directories((root_ / rel).parent_path());
    fs::create_directory_symlink(target, root_ / rel);
  }
  fs::path root_;
  static inline int counter_ = 0;
};

// A laptop: root and /boot on the virtio disk, /home on the SATA disk, swap on
// NVMe, a USB stick, a stick with an LVM volume, an attached loop file (and
// a hidden NVMe multipath path, an unattached loop device).
void MakeLaptop(FakeSystem& s) {
  s.Add(
      "vda 254:0 pci0000:00/0000:00:04.0/virtio1; vda1 254:1 vda 1; vda2 254:2 vda 2;"
      "sda 8:0 sata; sda1 8:1 sda 1; sdb 8:16 usb; sdb1 8:17 sdb 1; sdb2 8:18 sdb 2;"
      "sdc 8:32 usb; sdc1 8:33 sdc 1; dm-0 253:0 virtual sdc1;"
      "nvme0n1 259:0 pci0000:00/0000:00:1d.0/nvme/nvme0; nvme0n1p1 259:1 nvme0n1 1;"
      "nvme0n1p2 259:2 nvme0n1 2; nvme0c0n1 259:9 virtual;"
      "mmcblk0 179:0 platform/mmc0/mmc0:0001; mmcblk0boot0 179:8 platform/mmc0/mmc0:0001;"
      "loop0 7:0 virtual /srv/images/stick.img; loop1 7:1 virtual; zram0 252:0 virtual");
  s.Write("proc/swaps",
          "Filename\tType\tSize\tUsed\tPriority\n/dev/nvme0n1p2\tpartition\t8388604\t0\t-2\n"
          "/dev/zram0\tpartition\t100\t0\t100\n");
  s.SetMounts({"254:1 / / ext4 /dev/vda1", "0:21 / /proc proc proc", "254:2 / /boot ext4 /dev/vda2",
               "8:1 / /home ext4 /dev/sda1", "8:17 / /media/stick vfat /dev/sdb1",
               "8:17 /photos /srv/photos vfat /dev/sdb1", "253:0 / /data ext4 /dev/mapper/vg-data",
               "7:0 / /mnt/loop ext4 /dev/loop0", "0:30 / /tmp tmpfs tmpfs"});
}

// Each disk as "number name (protected reason) *in use", each volume as
// "letter=name@mount point#disk.partition" (a "-" when not present).
std::string Disks(const SystemMap& map) {
  std::string text;
  for (const DiskRecord& d : map.disks()) {
    text += std::to_string(d.number) + d.name +
            (d.protected_reason.empty() ? "" : " (" + d.protected_reason + ")") +
            (d.in_use ? "*" : "") + (d.present ? "" : "-") + "; ";
  }
  return text;
}
std::string Volumes(const SystemMap& map) {
  std::string text;
  for (const VolumeRecord& v : map.volumes()) {
    text += std::string(1, v.letter) + "=" + v.name + "@" + v.mount_point + "#" +
            std::to_string(v.disk_number) + "." + std::to_string(v.partition) +
            (v.present ? "" : "-") + "; ";
  }
  return text;
}

// Disk 0 and C: are the root file system's; the other disks are numbered in
// name order and the other volumes lettered in disk order. Numbers and
// letters stay while devices come and go. Protected: the disks of the
// system, of /home and of active swap; in use: a mounted file system or a
// device-mapper volume built on it.
TEST(LinuxSystemMap, NumbersLettersAndProtectionByMachine) {
  const struct {
    const char* machine;
    std::function<void(FakeSystem&)> make, change;  // change: then Refresh
    std::string disks, volumes;
  } table[] = {
      // No mmcblk0boot0, no hidden nvme0c0n1, no unattached loop1, no zram.
      {"laptop", MakeLaptop, nullptr,
       "0vda (holds the root file system)*; 1loop0*; 2mmcblk0; 3nvme0n1 (holds active swap); "
       "4sda (holds /home)*; 5sdb*; 6sdc*; ",
       "C=vda1@/#0.1; D=vda2@/boot#0.2; E=loop0@/mnt/loop#1.0; F=sda1@/home#4.1; "
       "G=sdb1@/media/stick#5.1; H=dm-0@/data#6.0; "},
      // The stick's first volume is unmounted and its second mounted; a new
      // loop file is attached and mounted.
      {"laptop, devices come and go", MakeLaptop,
       [](FakeSystem& s) {
         s.Add("loop2 7:2 virtual /srv/images/other.img");
         s.SetMounts({"254:1 / / ext4 /dev/vda1", "254:2 / /boot ext4 /dev/vda2",
                      "8:1 / /home ext4 /dev/sda1", "8:18 / /media/second vfat /dev/sdb2",
                      "7:2 / /mnt/other ext4 /dev/loop2"});
       },
       "0vda (holds the root file system)*; 1loop0; 2mmcblk0; 3nvme0n1 (holds active swap); "
       "4sda (holds /home)*; 5sdb*; 6sdc*; 7loop2*; ",
       "C=vda1@/#0.1; D=vda2@/boot#0.2; E=loop0@#1.0; F=sda1@/home#4.1; G=sdb1@#5.1; "
       "H=dm-0@#6.0; I=sdb2@/media/second#5.2; J=loop2@/mnt/other#7.0; "},
      {"root on an overlay",
       [](FakeSystem& s) {
         s.Add("sdb 8:16 usb; sdb1 8:17 sdb 1");
         s.SetMounts({"0:40 / / overlay overlay", "8:17 / /media/stick vfat /dev/sdb1"});
       },
       nullptr, "1sdb*; ", "D=sdb1@/media/stick#1.1; "},
      // btrfs gives its mounts an anonymous device number: the source tells
      // (the root is a subvolume, so the volume's own root is mounted nowhere).
      {"root on btrfs, a whole-disk volume",
       [](FakeSystem& s) {
         s.Add("sda 8:0 sata; sda2 8:2 sda 2; sdb 8:16 usb");
         s.SetMounts({"0:33 /@ / btrfs /dev/sda2", "0:33 /@home /home btrfs /dev/sda2",
                      "8:16 / /media/raw\\040stick ext4 /dev/sdb"});
       },
       nullptr, "0sda (holds the root file system)*; 1sdb*; ",
       "C=sda2@#0.2; D=sdb@/media/raw stick#1.0; "},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.machine);
    FakeSystem s;
    row.make(s);
    SystemMap map(s.root());
    if (row.change) {
      row.change(s);
      map.Refresh();
    }
    EXPECT_EQ(Disks(map), row.disks);
    EXPECT_EQ(Volumes(map), row.volumes);
  }
}

TEST(LinuxSystemMap, FindsDisksAndVolumesByPath) {
  FakeSystem s;
  MakeLaptop(s);
  SystemMap map(s.root());
  EXPECT_EQ(map.Disk(1)->backing_file, "/srv/images/stick.img");
  EXPECT_EQ(map.DiskNumberOf("/dev/sdb"), 5);
  EXPECT_EQ(map.DiskNumberOf("loop1"), -1);
  // A second mount of a folder inside the stick is the same volume.
  EXPECT_EQ(map.Volume('G')->mount_points,
            (std::vector<std::string>{"/media/stick", "/srv/photos"}));
  EXPECT_EQ(map.LetterOf("/srv/photos"), 'G');
  EXPECT_EQ(map.LetterOf("/tmp"), 0);
  EXPECT_TRUE(NaturalLess("loop2", "loop10"));
  EXPECT_FALSE(IsCandidateDiskName("mmcblk0rpmb"));
}

}  // namespace
}  // namespace veracap::linux_platform
