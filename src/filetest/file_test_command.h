// The Volume File Test: fills the free space of the selected volume with
// 200 MiB test files and one shorter last file, re-checks the files written
// so far after files 15, 25, 45 and 85, samples every file back, and reports
// how many megabytes came back good. Existing files are never touched; only
// VCAPTEST*.tmp files in the root are created and deleted.
#pragma once

#include <cstdint>
#include <string>

#include "app/context.h"

namespace veracap {

// Free bytes of the volume available to the caller; 0 when the query fails.
double FreeDiskSpace(Context& ctx, const std::string& sDriveLetter);

// The "Test Empty Space" button. Refuses silently without a drive or on an
// unknown disk; refuses with a message box a disk that holds Windows, the
// boot partition or a page file, and when less than 200 MiB
// is free or the drive's size cannot be read; asks once; then runs in the
// busy state to the report, or to an abort line when Cancel is pressed (the
// test files then stay for the clean-up). volume_outcome tells how it ended.
void cmdVolumeTest_Click(Context& ctx);

}  // namespace veracap
