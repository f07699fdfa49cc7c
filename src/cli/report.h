// What one run of the runner did, for the verdict line, the speed lines and
// the JSON report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/state.h"
#include "cli/meter.h"

namespace veracap::cli {

struct RunRecord {
  std::string test;         // "quick", "filetest", "cleanup"
  std::string device_path;  // "/dev/sdb"; "PhysicalDrive2" for an emulated disk
  std::string drive;        // "F:" for the file commands
  std::string mount_point;
  std::int32_t disk = -1;
  std::string model;
  std::string serial;
  // What tells the device from another that takes its place; compared when
  // a later run acts on this report.
  std::string identity;
  double claimed_bytes = 0;
  std::string verdict = "refused";  // passed, failed, aborted, refused
  std::string finding;              // filetest: "faulty" or "probably fake"
  std::string reason;               // why it was refused
  double seconds = 0;               // from the confirmation to the verdict
};

// The lines with the speeds, after the log's own: for the Quick Size Test
// marker writes and reads per second and the mean write latency; for the
// Volume File Test the write and read speeds in MB/s. Empty when nothing
// was transferred.
std::vector<std::string> SpeedLines(const RunRecord& run, const Meter& meter);

// From a JSON report of an earlier Quick Size Test: the device's path and
// identity, the verdict and the recommended partition size (0 when none).
struct QuickReport {
  std::string device_path;
  std::string identity;
  std::string verdict;
  double recommended_bytes = 0;
};
bool ReadQuickReport(const std::string& path, QuickReport* report, std::string* error);

// One line: the verdict, the device and what decides it.
std::string VerdictLine(const RunRecord& run, const AppState& state);

// The run as one JSON object (text), with the whole results log. Empty when
// this build has no JSON library.
std::string JsonReport(const RunRecord& run, const AppState& state, const Meter& meter,
                       const std::string& version);

}  // namespace veracap::cli
