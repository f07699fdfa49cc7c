// Which physical disks hold the running system: found by what they hold
// (the Windows folder, the boot partition, a page file in use, the running
// program), never by their number. Disk 0 is tested like any other disk
// when it holds none of these.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "app/context.h"

namespace veracap {

enum class DiskRole {
  kTestable,  // none of the below
  kNoDisk,    // the number names no disk that is ever examined
  kWindows,   // holds the Windows folder
  kBoot,      // holds the boot / EFI system partition
  kPageFile,  // holds a page file in use
  kProgram,   // holds the running program
};

// The system's disks as found once (a drive list asks for every disk).
struct SystemDisks {
  std::map<std::int32_t, DiskRole> roles;  // the first role found for each disk
  DiskRole RoleOf(std::int32_t disk_number) const;
};

// Asks the platform where Windows, the boot partition, the page files and
// the running program are, and which disks their volumes lie on. When the
// Windows folder's disk cannot be told, disk 0 is taken for it.
SystemDisks FindSystemDisks(Context& ctx);
DiskRole RoleOfDisk(Context& ctx, std::int32_t disk_number);

// Whether a role forbids the destructive Quick Size Test (every role does)
// or the Volume File Test (all but the running program's: test files are
// only added beside it).
bool RefusesQuickTest(DiskRole role);
bool RefusesVolumeTest(DiskRole role);

// What a disk of that role holds: "Windows", "the boot partition", "a page
// file in use", "this program"; "" for kTestable and kNoDisk.
std::string RoleHeld(DiskRole role);

// The message a refused test shows: "DRIVE 2 cannot be tested: it holds
// Windows." ("" for kTestable and kNoDisk, which the tests refuse silently).
std::string RefusalText(std::int32_t disk_number, DiskRole role);

}  // namespace veracap
