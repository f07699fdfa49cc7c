// Making a counterfeit stick safe at its real size (Linux): a new partition
// table with one partition that ends at or below the recommended size, and a
// FAT32 (exFAT above 32 GiB) file system on it made by the system's mkfs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veracap::cli {

struct FixPlan {
  std::uint64_t first_sector = 2048;  // 1 MiB, where partitions usually begin
  std::uint64_t sectors = 0;          // 0: no room for a partition
  bool exfat = false;
};

// The partition for a stick whose good memory is usable up to
// recommended_bytes: from 1 MiB to the last whole MiB at or below it.
FixPlan PlanFix(std::uint64_t recommended_bytes);

// Writes the table and makes the file system on disk_path ("/dev/sdb"),
// which the caller has checked is the tested device and is not in use.
// Lines for the user go to *lines; false with *error told on a failure.
bool ApplyFix(const std::string& disk_path, const FixPlan& plan, std::vector<std::string>* lines,
              std::string* error);

}  // namespace veracap::cli
