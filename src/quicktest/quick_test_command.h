// The Quick Size Test button: which disk the choice names, the refusals, a
// fresh results log, two confirmations, then the test in the busy state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/context.h"

namespace veracap {

// The disk number written in a drive-list entry: the number between
// "DRIVE " and the " -" that follows it. Nothing when "DRIVE " is missing or
// at the entry's first or second character, or when no " -" follows the
// number; an unreadable number reads as 0.
std::optional<double> DiskNumberInEntry(const std::string& entry);

// Clears CancelRequested, finds the disk (from SelectedDrive through
// GetDiskNumber, or from the entry's text for a disk without a drive
// letter), refuses numbers outside 0 to 80 and unreadable choices silently
// and a disk that holds the system with a message naming what it holds,
// identifies the disk again, refuses a size under 1 MiB with the
// administrator-rights message, starts a fresh results log, asks twice and,
// only after two OKs, runs QuickSizeTest in the busy state. A stop before the
// second OK leaves the disk untouched.
void cmdQuickTest_Click(Context& ctx);

}  // namespace veracap
