// The process-wide values of the program, in one object owned by the
// application and passed to every procedure through Context.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/window.h"
#include "platform/platform.h"

namespace veracap {

struct AppState {
  // Switches; nothing in the program turns them on (the runner can).
  bool DebugMode = false;
  bool QuietMode = false;

  // Busy state and cancel.
  bool CancelRequested = false;
  // Handlers of the window's controls running now: more than one only when
  // Cancel's runs inside a test's yield (see Click).
  int handlers_running = 0;
  // The tick of the last time the window was kept responsive (KeepResponsive).
  std::uint32_t responsive_tick = 0;

  // Window model: one state per control, and the results log text.
  std::array<ControlState, kControlCount> controls{};
  std::string results_log;
  std::string TitleLine;
  bool ended = false;  // Exit was chosen: the front end ends the program.
  // The window's outer size when loading began (it is kept at that size) and
  // the place it was centred to, in twips.
  int form_load_width_twips = 0;
  int form_load_height_twips = 0;
  int form_left_twips = 0;
  int form_top_twips = 0;

  // Drive choice and drive facts (the disk identified last).
  bool ShowAllDrives = false;
  std::string SelectedDrive;
  std::int32_t SelectedDiskNumber = 0;
  double DriveSizeBytes = 0;
  std::string DriveModel;
  std::string MediaTypeText;
  std::array<std::string, 4> VolumeLetters{};
  std::string VolumeLabel;
  // The device behind each entry of the drive list, in the entries' order,
  // as it was when the list was built: a test asks again before it writes
  // and refuses a disk whose number now names another device.
  struct DeviceIdentity {
    std::int32_t disk_number = -1;
    std::string vendor, product, serial;  // from the storage descriptor
    std::uint64_t size_bytes = 0;         // the disk length
    bool operator==(const DeviceIdentity&) const = default;
  };
  std::vector<DeviceIdentity> ListedDevices;

  // Raw disk access. Start-up makes the sector buffer 4,097 bytes; it starts
  // that way so that no transfer ever meets a buffer too small for it.
  Handle hDrive = 0;
  std::vector<std::uint8_t> SectorBuffer = std::vector<std::uint8_t>(4097, 0);
  // hDrive's logical sector (4096 on a 4Kn disk): a 512-byte transfer inside
  // a larger one reads the enclosing sectors and, to write, writes them back.
  std::uint32_t hDriveSectorBytes = 512;
  // The platform's error code of the last DirectWrite that failed (0 after
  // one that succeeded), taken before any later call can replace it.
  std::uint32_t direct_write_error = 0;

  // How the last Quick Size Test ended, for front ends that report it.
  enum class QuickOutcome { kNotRun, kPassed, kFailed, kAborted };
  QuickOutcome quick_outcome = QuickOutcome::kNotRun;
  // What it found: the lowest and highest sectors whose marker came back
  // wrong (-1 when none did), how many did, and the recommended partition
  // size in bytes (-1 when there is no recommendation).
  struct QuickFindings {
    double first_bad_sector = -1;
    double last_bad_sector = -1;
    std::int64_t bad_markers = 0;
    double recommended_bytes = -1;
  };
  QuickFindings quick_findings;
  // The token that stamps the next Quick Size Test's markers; 0 draws one at
  // random (tests set it to replay a run exactly).
  std::uint64_t quick_run_token = 0;
  // How the last Volume File Test ended (kNotRun: refused or not confirmed,
  // nothing written; kStopped: stopped by a cause that is not the memory,
  // such as a volume that filled up or turned read-only, with no verdict).
  enum class VolumeOutcome { kNotRun, kPassed, kFaulty, kProbablyFake, kAborted, kStopped };
  VolumeOutcome volume_outcome = VolumeOutcome::kNotRun;
  // Its report's figures: megabytes tested and megabytes that came back good.
  std::int32_t volume_tested_mb = 0;
  std::int32_t volume_good_mb = 0;

  // Volume handles kept between LOCK and UNLOCK, and the single volume handle.
  std::array<Handle, 31> hVolume{};
  Handle lngHandle = 0;

  // Handles opened through OpenTrackedHandle and not yet closed. The program
  // keeps the values of closed handles in its variables; MyCloseHandle closes
  // only what is in here, so no handle is ever closed twice.
  std::set<Handle> open_handles;

  // Volume File Test values shared between its routines.
  std::int32_t CurrentFileSize = 0;
  bool TestFileError = false;
  std::int64_t GoodFileCount = 0;
  double PlannedFileCount = 0;
  std::int32_t LASTCHUNK = 0;
  std::int64_t TestStartTime = 0;  // local time in seconds (see SerialSeconds)
  // Which step of the last test file failed, and the platform's error code,
  // so that a cause other than the memory is told as what it is.
  enum class TestFileStep { kNone, kCreate, kCompressed, kWrite };
  TestFileStep test_file_failed_step = TestFileStep::kNone;
  std::uint32_t test_file_error_code = 0;
  // The 100 MiB write buffer of the test files, aligned for unbuffered
  // writes; made on first use and kept for the life of the program (a copy of
  // the state shares it). See filetest/writer.h.
  std::shared_ptr<std::uint8_t[]> TestBuffer;
};

ControlState& StateOf(AppState& state, Control control);

}  // namespace veracap
