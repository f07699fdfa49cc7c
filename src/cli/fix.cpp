#include "cli/fix.h"

#include <cstdio>

#ifdef VERACAP_HAVE_FDISK
#include <fcntl.h>
#include <libfdisk/libfdisk.h>
#include <linux/loop.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/linux/unique_fd.h"

extern char** environ;
#endif

namespace veracap::cli {

constexpr std::uint64_t kMiB = 1048576;
constexpr std::uint64_t kExfatAbove = 32ull << 30;

FixPlan PlanFix(std::uint64_t recommended_bytes) {
  FixPlan plan;
  const std::uint64_t end_mib = recommended_bytes / kMiB;
  if (end_mib > 1) plan.sectors = (end_mib - 1) * (kMiB / 512);
  plan.exfat = plan.sectors * 512 > kExfatAbove;
  return plan;
}

#ifdef VERACAP_HAVE_FDISK

namespace {

using linux_platform::UniqueFd;

// Runs a program with its output on standard error (standard output is the
// results log); its exit code, -1 when it could not run.
int Run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PartitionPath(const std::string& disk_path) {
  const bool digit = std::isdigit(static_cast<unsigned char>(disk_path.back())) != 0;
  return disk_path + (digit ? "p1" : "1");
}

// A loop device shows partitions only with partition scanning on; turning
// it on also has the kernel read the new table.
void ScanLoopPartitions(int fd) {
  loop_info64 info{};
  if (::ioctl(fd, LOOP_GET_STATUS64, &info) != 0) return;
  if ((info.lo_flags & LO_FLAGS_PARTSCAN) != 0) return;
  info.lo_flags |= LO_FLAGS_PARTSCAN;
  ::ioctl(fd, LOOP_SET_STATUS64, &info);
}

struct FdiskContext {
  fdisk_context* cxt = fdisk_new_context();
  fdisk_partition* pa = fdisk_new_partition();
  ~FdiskContext() {
    fdisk_unref_partition(pa);
    if (cxt != nullptr) fdisk_deassign_device(cxt, 0);
    fdisk_unref_context(cxt);
  }
};

std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

}  // namespace

bool ApplyFix(const std::string& disk_path, const FixPlan& plan, std::vector<std::string>* lines,
              std::string* error) {
  if (plan.sectors < 2 * (kMiB / 512)) {
    *error = "the good memory is too small for a partition";
    return false;
  }
  // Exclusive: the kernel refuses while a file system on the disk is mounted
  // or another program holds it.
  UniqueFd fd(::open(disk_path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
  if (!fd.valid()) {
    *error = disk_path + " is in use (" + std::strerror(errno) + "); nothing was written";
    return false;
  }
  const char* label = plan.sectors * 512 >= (2ull << 40) ? "gpt" : "dos";
  {
    FdiskContext f;
    if (f.cxt == nullptr || f.pa == nullptr ||
        fdisk_assign_device_by_fd(f.cxt, fd.get(), disk_path.c_str(), 0) != 0) {
      *error = disk_path + ": the partition table cannot be opened";
      return false;
    }
    fdisk_disable_dialogs(f.cxt, 1);
    fdisk_parttype* type = nullptr;
    int rc = fdisk_create_disklabel(f.cxt, label);
    if (rc == 0) {
      fdisk_label* lb = fdisk_get_label(f.cxt, nullptr);
      type = std::strcmp(label, "dos") == 0
                 ? fdisk_label_get_parttype_from_code(lb, plan.exfat ? 0x07 : 0x0c)
                 : fdisk_label_get_parttype_from_string(lb, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
      fdisk_partition_set_start(f.pa, plan.first_sector);
      fdisk_partition_set_size(f.pa, plan.sectors);
      fdisk_partition_set_partno(f.pa, 0);
      if (type != nullptr) fdisk_partition_set_type(f.pa, type);
      rc = fdisk_add_partition(f.cxt, f.pa, nullptr);
    }
    if (rc == 0) rc = fdisk_write_disklabel(f.cxt);
    if (rc != 0) {
      *error =
          disk_path + ": the new partition table could not be written (" + std::strerror(-rc) + ")";
      return false;
    }
    ::fsync(fd.get());
    ScanLoopPartitions(fd.get());
    fdisk_reread_partition_table(f.cxt);
  }
  fd.Reset();
  const std::string part = PartitionPath(disk_path);
  for (int i = 0; i < 20 && !std::filesystem::exists(part); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const bool part_shown = std::filesystem::exists(part);
  const std::uint64_t end = (plan.first_sector + plan.sectors) * 512;
  lines->push_back("New partition table (" + std::string(label) + ") on " + disk_path +
                   ": one partition of " + Grouped(plan.sectors * 512) + " bytes, from sector " +
                   std::to_string(plan.first_sector) + " to sector " +
                   std::to_string(plan.first_sector + plan.sectors - 1) + " (it ends at " +
                   Grouped(end) + " bytes).");
  // FAT32 is made through the whole disk at the partition's place, so that
  // it does not wait for the kernel to show the partition (some kernels read
  // no partition tables); exFAT needs the partition's own device.
  std::vector<std::string> mkfs{"mkfs.vfat", "-F",
                                "32",        "-n",
                                "VERACAP",   "--offset=" + std::to_string(plan.first_sector),
                                disk_path,   std::to_string(plan.sectors / 2)};
  if (plan.exfat) {
    if (!part_shown) {
      *error = "the table was written, but " + part +
               " did not appear; re-connect the stick "
               "and format the partition";
      return false;
    }
    mkfs = {"mkfs.exfat", "-L", "VERACAP", part};
  }
  const int status = Run(mkfs);
  if (status != 0) {
    *error = mkfs[0] + (status < 0 ? " could not be run" : " failed") + " on " + disk_path +
             " (install " + (plan.exfat ? "exfatprogs" : "dosfstools") + ")";
    return false;
  }
  lines->push_back(std::string(plan.exfat ? "exFAT" : "FAT32") +
                   " file system made on the partition, label VERACAP" +
                   (part_shown ? " (" + part + ")" : "") +
                   ". Re-connect the stick, then run 'veracap-cli filetest' on its volume.");
  return true;
}

#else

bool ApplyFix(const std::string&, const FixPlan&, std::vector<std::string>*, std::string* error) {
  *error = "this build cannot repartition (it has no libfdisk)";
  return false;
}

#endif

}  // namespace veracap::cli
