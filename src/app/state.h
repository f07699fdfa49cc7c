// The process-wide values of the program, in one object owned by the
// application and passed to every procedure through Context.
#pragma once

#include <array>
#include <cstdint>
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

  // Window model: one state per control, and the results log text.
  std::array<ControlState, kControlCount> controls{};
  std::string results_log;
  std::string TitleLine;
  bool ended = false;  // Exit was chosen: the front end ends the program.

  // Drive choice and drive facts (the disk identified last).
  bool ShowAllDrives = false;
  std::string SelectedDrive;
  std::int32_t SelectedDiskNumber = 0;
  double DriveSizeBytes = 0;
  std::string DriveModel;
  std::string MediaTypeText;
  std::array<std::string, 4> VolumeLetters{};
  std::string VolumeLabel;

  // Raw disk access. hDrive_open tells whether hDrive still holds an open
  // handle, so that a closed handle value is never closed twice.
  Handle hDrive = 0;
  bool hDrive_open = false;
  std::vector<std::uint8_t> SectorBuffer;

  // Volume handles kept between LOCK and UNLOCK; hVolume_open mirrors them.
  std::array<Handle, 31> hVolume{};
  std::array<bool, 31> hVolume_open{};
  Handle lngHandle = 0;

  // Volume File Test values shared between its routines.
  std::int32_t CurrentFileSize = 0;
  bool TestFileError = false;
  std::int64_t GoodFileCount = 0;
  double PlannedFileCount = 0;
  std::int32_t LASTCHUNK = 0;
  std::int64_t TestStartTime = 0;  // local time in seconds (see SerialSeconds)
};

ControlState& StateOf(AppState& state, Control control);

}  // namespace veracap
