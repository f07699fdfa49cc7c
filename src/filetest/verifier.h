// Reading test files back: a header check and one sampled marker byte every
// 32 KiB, and the interim check of the files written so far.
#pragma once

#include <cstdint>

#include "app/context.h"

namespace veracap {

inline constexpr std::int32_t kSampleStrideBytes = 32768;

// Checks test file n of SelectedDrive against CurrentFileSize bytes of the
// test-file content: the file number (bytes 0..3) and "FFF" (4..6), then the
// marker byte at offsets 16384, 49152, ... (16384 + k * 32768) up to
// CurrentFileSize - 1, each read on its own (6400 reads for a full file).
// A file that cannot be opened or read, a wrong sample, or a file that ends
// before a sampled offset fails at once; a wrong header byte fails after the
// samples. Yields once at the end; a Cancel found then fails the file. True
// only when everything matched, and then GoodFileCount grows by one. Every
// file opened is closed before returning.
bool VerifyTestFile(Context& ctx, std::int32_t n);

// True for the files after which the Volume File Test runs the interim
// check: 15, 25, 45 and 85 (none later, the re-reading would grow too long).
bool IsInterimCheckPoint(std::int32_t i);

// The interim check: sets GoodFileCount to 0, appends " Checking...", then
// yields and verifies files 1..count (all of them, even after a bad one),
// sets TestFileError when any is bad and appends " OK" when TestFileError is
// still false at the end.
void CheckWrittenFiles(Context& ctx, std::int32_t count);

}  // namespace veracap
