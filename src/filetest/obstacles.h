// What stops a Volume File Test that is not the memory under test: a name in
// the way of a test file, a volume that is read-only, full or compressing.
// Such a cause is told as what it is, never as a verdict on the drive.
#pragma once

#include <cstdint>
#include <string>

#include "app/context.h"

namespace veracap {

// Why the name of test file n on the drive cannot be used, or "" when
// nothing has that name. Whatever has it (a link, a folder, a pipe, a
// hidden, system or read-only file, a file the clean-up could not delete) is
// left alone: it is never opened, followed or deleted.
std::string TestFileNameObstacle(Context& ctx, const std::string& drive, std::int32_t n);

// The first obstacle among the names of test files 1 to last, "" when none:
// "E:\VCAPTEST3.tmp already exists and is a link (...)".
std::string FirstTestFileObstacle(Context& ctx, const std::string& drive, std::int32_t last);

// Why writing the last test file failed when the cause is not the memory
// (the name exists, access is denied, the volume is write-protected or full,
// the file stays compressed), or "" when the failure may be the memory's.
std::string CauseOtherThanMemory(AppState::TestFileStep step, std::uint32_t error_code);

}  // namespace veracap
