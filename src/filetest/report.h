// The end of a Volume File Test that was not cancelled: the megabyte figures,
// the "TEST FINISHED" block, the deletion of the test files and the verdict.
#pragma once

#include <cstdint>
#include <string>

#include "app/context.h"

namespace veracap {

enum class FileTestVerdict { kPassed, kFaulty, kProbablyFake };

struct VolumeTestFigures {
  std::int32_t tested_mb = 0;
  std::int32_t good_mb = 0;
  FileTestVerdict verdict = FileTestVerdict::kProbablyFake;
};

// The figures of a run: files_written full files of 200 MiB were read back,
// planned_file_count files were planned (the last file included when one was
// written), good_file_count came back good, and the last file had
// last_chunk_bytes (0 when none). A good last file counts with its real size;
// in a failed run every good file counts as 200 MB. Passed means every
// planned file was good; otherwise more than two thirds good is faulty and
// two thirds or fewer is probably fake.
VolumeTestFigures VolumeTestFiguresOf(std::int32_t files_written, double planned_file_count,
                                      std::int64_t good_file_count, std::int32_t last_chunk_bytes);
// A non-negative size in MiB with thousands separators and at most two
// decimals, rounded to the nearest hundredth, without trailing zeros or a
// bare point: 49.9609375 gives "49.96", 200 gives "200", 1234.5 "1,234.5".
std::string TwoDecimalsText(double mib);
// The drive's reported size in whole MiB.
std::int32_t DriveMegabytes(double drive_size_bytes);

// Writes the report of the run from the shared values (PlannedFileCount,
// GoodFileCount, LASTCHUNK, TestStartTime, DriveSizeBytes), deletes the test
// files, gives the verdict through ReportMessage (and in volume_outcome) and
// leaves the busy state.
void VolumeTestReport(Context& ctx, std::int32_t files_written);

}  // namespace veracap
