// Deleting the test files VCAPTEST*.tmp from the root of the selected volume.
#pragma once

#include <string>
#include <vector>

#include "app/context.h"

namespace veracap {

// "E:" gives "E:\VCAPTEST*.tmp".
std::string TestFilePattern(const std::string& drive);
// Names (without folder) of the test files in the root of the drive. Only
// names that really match VCAPTEST*.tmp (ignoring case) are returned, whatever
// else the platform's wildcard search lets through, so that nothing but test
// files is ever deleted.
std::vector<std::string> FindTestFiles(Context& ctx, const std::string& drive);
// Deletes every test file in the root of the drive. A file that cannot be
// deleted stays, silently; the others are still deleted.
void DeleteTestFiles(Context& ctx, const std::string& drive);

// The "Delete Test Files" button, also run by the Volume File Test before it
// measures the free space. Does nothing (and writes nothing) when no drive is
// selected or the drive holds no test files; otherwise writes the line
// "Deleting E:\VCAPTEST*.tmp files...finished." around the deletion, with one
// yield after the announcement.
void cmdcleanup_Click(Context& ctx);

}  // namespace veracap
