// Reading test files back: a header check and one sampled marker byte every
// 32 KiB, and the interim check of the files written so far.
#pragma once

#include <cstdint>
#include <string>

#include "app/context.h"

namespace veracap {

inline constexpr std::int32_t kSampleStrideBytes = 32768;
// CreateFile flags of a test file read back: unbuffered, so that what the
// drive holds answers and not what the system's cache kept of an earlier
// read (the interim checks read every file written so far). Unbuffered reads
// are whole sectors of the volume at sector offsets into aligned memory.
inline constexpr std::uint32_t kTestFileReadFlags = kFileFlagNoBuffering | kFileAttributeNormal;
// The largest volume sector the reads believe; beyond it they use 4096.
inline constexpr std::uint32_t kMaxVolumeSectorBytes = 65536;

// The volume's sector ("E:"), the unit of its files' unbuffered transfers;
// 4096, a multiple of every common sector, when the volume does not say or
// says something no disk has.
std::uint32_t VolumeSectorBytes(Context& ctx, const std::string& drive);

// Checks test file n of SelectedDrive against CurrentFileSize bytes of the
// test-file content: the file number (bytes 0..3) and "FFF" (4..6), then the
// marker byte at offsets 16384, 49152, ... (16384 + k * 32768) up to
// CurrentFileSize - 1, each read with the sector that holds it, unbuffered
// (6400 sector reads for a full file; the header is in the first).
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
