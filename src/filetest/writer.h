// The test files of the Volume File Test: their names, their content and the
// routine that writes one of them into the root of the selected volume.
//
// A test file VCAPTEST<n>.tmp of S bytes holds: n as an unsigned 32-bit
// little-endian number at offsets 0..3, "FFF" CR LF at 4..8, the marker byte
// n mod 256 at every multiple of 16384, eight zero bytes right after the
// marker at the start of each later 50 MiB piece (52428800, 2x, 3x), and the
// background byte 0xA5 everywhere else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/context.h"

namespace veracap {

inline constexpr std::int32_t kFullTestFileBytes = 209715200;  // 200 MiB
inline constexpr std::int32_t kTestPieceBytes = 52428800;      // between two yields
inline constexpr std::int64_t kWriteCallBytes = 2097152;       // one WriteFile call
inline constexpr std::int32_t kTestBufferBytes = 104857600;    // TestBuffer's size
inline constexpr std::int32_t kMarkerSpacingBytes = 16384;
inline constexpr std::size_t kTestBufferAlignment = 4096;  // unbuffered writes need it
inline constexpr std::uint8_t kBackgroundByte = 0xA5;
// CreateFile flags of a test file: write-through, unbuffered, normal, and
// the name itself opened, never what a link of that name points at.
inline constexpr std::uint32_t kTestFileWriteFlags =
    kFileFlagWriteThrough | kFileFlagNoBuffering | kFileAttributeNormal | kFileFlagOpenReparsePoint;

// "E:" and 5 give "E:\VCAPTEST5.tmp".
std::string TestFilePath(std::string_view drive, std::int32_t n);
// True for a name (without folder) this program creates: "VCAPTEST", a file
// number from 1 in decimal without leading zeros, ".tmp" (letters in any
// case, as Windows names are). Only such names are ever deleted: a user's
// "VCAPTEST_notes.tmp" matches the wildcard but is not ours.
bool IsTestFileName(std::string_view name);

// Makes TestBuffer when it does not exist yet and sets every byte of it to
// 0xA5. The Volume File Test does this once per run, before its first file.
void FillTestBuffer(AppState& state);

// Writes test file n of CurrentFileSize bytes (at most 200 MiB, a multiple of
// the sector size) into the root of SelectedDrive as a new file: the file is
// created only when nothing has its name (a left-over test file is the
// clean-up's to delete), never through a link, and asked to be stored
// uncompressed. Appends " Writing <path>" and the estimate of the time left
// to the results log (the caller has begun the line). Yields before creating
// the file, before each later piece and before the flush.
//
// Outcome: TestFileError is set to true when the file could not be created,
// stays compressed, a write failed or stored fewer bytes than asked, or
// Cancel was found after the file was created (the partial file stays); it
// is never cleared here. The failed step and the platform's error code go to
// test_file_failed_step and test_file_error_code.
// When Cancel is found before the file is created, nothing is created and
// TestFileError is left alone. TestBuffer must have been filled with 0xA5
// (it is filled here when it does not exist yet); only its marker and header
// bytes change.
void WriteTestFile(Context& ctx, std::int32_t n);

// The estimate that WriteTestFile appends for file n: ", hh:mm:ss remaining "
// from the seconds since TestStartTime, or "" for file 1.
std::string RemainingTimeText(std::int64_t elapsed_seconds, double planned_file_count,
                              std::int32_t n);

}  // namespace veracap
