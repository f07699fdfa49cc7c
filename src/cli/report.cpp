#include "cli/report.h"

#include <cmath>
#include <cstdio>
#include <fstream>

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define VERACAP_HAVE_JSON 1
#endif

namespace veracap::cli {
namespace {

// Byte counts and sector numbers are whole numbers; JSON gets them as such.
[[maybe_unused]] std::int64_t Whole(double value) {
  return static_cast<std::int64_t>(std::llround(value));
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

double PerSecond(double amount, double seconds) { return seconds > 0 ? amount / seconds : 0; }

}  // namespace

std::vector<std::string> SpeedLines(const RunRecord& run, const Meter& meter) {
  std::vector<std::string> lines;
  if (run.test == "quick" && meter.disk_writes.count > 0) {
    const Transfers& w = meter.disk_writes;
    const Transfers& r = meter.disk_reads;
    // Markers are one-sector requests; larger ones fill blocks and caches.
    lines.push_back("Speed: " + std::to_string(w.sector_count) + " marker writes, " +
                    Fixed(PerSecond(w.sector_count, w.sector_seconds), 0) +
                    " writes/s, mean write latency " +
                    Fixed(1000 * PerSecond(w.sector_seconds, w.sector_count), 2) +
                    " ms (flush included); " + std::to_string(r.sector_count) + " marker reads, " +
                    Fixed(PerSecond(r.sector_count, r.sector_seconds), 0) + " reads/s.");
  } else if (run.test == "filetest" && meter.file_writes.bytes > 0) {
    const Transfers& w = meter.file_writes;
    const Transfers& r = meter.file_reads;
    lines.push_back("Write speed: " + Fixed(PerSecond(w.bytes / 1e6, w.seconds), 1) + " MB/s (" +
                    Fixed(w.bytes / 1e6, 1) + " MB in " + Fixed(w.seconds, 1) + " s).");
    // The read-back samples a byte here and there, so its megabytes per
    // second say little; the rate of sampled reads is what the device did.
    lines.push_back("Read speed: " + Fixed(PerSecond(r.bytes / 1e6, r.seconds), 1) + " MB/s (" +
                    Fixed(r.bytes / 1e6, 1) + " MB in " + Fixed(r.seconds, 1) + " s; " +
                    std::to_string(r.count) + " sampled reads, " +
                    Fixed(PerSecond(r.count, r.seconds), 0) + " reads/s).");
  }
  return lines;
}

std::string VerdictLine(const RunRecord& run, const AppState& state) {
  std::string verdict = run.verdict;
  for (char& c : verdict) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string line = verdict + " " + (run.test == "quick" ? run.device_path : run.drive);
  if (run.verdict == "refused") return line + ": " + run.reason;
  if (run.test == "quick" && state.quick_findings.first_bad_sector >= 0) {
    line += ": bad memory from sector " + Fixed(state.quick_findings.first_bad_sector, 0) +
            "; recommended partition at most " + Fixed(state.quick_findings.recommended_bytes, 0) +
            " bytes";
  } else if (run.test == "filetest" && run.verdict != "aborted") {
    line += ": " + std::to_string(state.volume_good_mb) + " of " +
            std::to_string(state.volume_tested_mb) + " MB good" +
            (run.finding.empty() ? "" : ", " + run.finding);
  }
  return line;
}

std::string JsonReport(const RunRecord& run, const AppState& state, const Meter& meter,
                       const std::string& version) {
#ifdef VERACAP_HAVE_JSON
  using nlohmann::json;
  const auto transfers = [](const Transfers& t) {
    return json{
        {"count", t.count}, {"bytes", t.bytes}, {"errors", t.errors}, {"seconds", t.seconds}};
  };
  // The transfers of the test's own kind: the disk's sectors or the volume's files.
  const auto counts = [&transfers](json& j, const Transfers& writes, const Transfers& reads) {
    j["write_errors"] = writes.errors;
    j["read_errors"] = reads.errors;
    j["bytes_written"] = writes.bytes;
    j["bytes_read"] = reads.bytes;
    j["writes"] = transfers(writes);
    j["reads"] = transfers(reads);
  };
  json device{{"path", run.device_path},
              {"disk_number", run.disk},
              {"model", run.model},
              {"claimed_bytes", Whole(run.claimed_bytes)}};
  device["serial"] = run.serial.empty() ? json(nullptr) : json(run.serial);
  if (!run.identity.empty()) device["identity"] = run.identity;
  if (!run.drive.empty()) device["drive"] = run.drive;
  if (!run.mount_point.empty()) device["mount_point"] = run.mount_point;
  json j{{"tool", "veracap-cli"}, {"version", version},     {"device", device},
         {"test", run.test},      {"verdict", run.verdict}, {"seconds", run.seconds}};
  if (!run.reason.empty()) j["reason"] = run.reason;
  if (run.test == "quick") {
    const AppState::QuickFindings& f = state.quick_findings;
    const bool bad = f.first_bad_sector >= 0;
    const bool judged = run.verdict == "passed" || run.verdict == "failed";
    j["first_bad_sector"] = bad ? json(Whole(f.first_bad_sector)) : json(nullptr);
    j["last_bad_sector"] = bad ? json(Whole(f.last_bad_sector)) : json(nullptr);
    j["bad_markers"] = f.bad_markers;
    // The memory that answers correctly: up to the first bad sector, or
    // all of it when no marker came back wrong.
    j["real_size_bytes"] = !judged ? json(nullptr)
                           : bad   ? json(Whole(f.first_bad_sector * 512))
                                   : json(Whole(state.DriveSizeBytes));
    j["recommended_partition_bytes"] =
        bad ? json(Whole(f.recommended_bytes))
            : (judged ? json(Whole(state.DriveSizeBytes)) : json(nullptr));
    j["markers_written"] = meter.disk_writes.sector_count;
    j["markers_read"] = meter.disk_reads.sector_count;
    counts(j, meter.disk_writes, meter.disk_reads);
    // Marker writes and reads (one sector each) per second; the requests
    // that fill blocks and caches are in "writes" and "reads".
    j["writes_per_second"] =
        PerSecond(meter.disk_writes.sector_count, meter.disk_writes.sector_seconds);
    j["reads_per_second"] =
        PerSecond(meter.disk_reads.sector_count, meter.disk_reads.sector_seconds);
    j["mean_write_latency_ms"] =
        1000 * PerSecond(meter.disk_writes.sector_seconds, meter.disk_writes.sector_count);
  } else {
    if (!run.finding.empty()) j["finding"] = run.finding;
    j["tested_mb"] = state.volume_tested_mb;
    j["good_mb"] = state.volume_good_mb;
    counts(j, meter.file_writes, meter.file_reads);
    j["write_mb_per_second"] = PerSecond(meter.file_writes.bytes / 1e6, meter.file_writes.seconds);
    j["read_mb_per_second"] = PerSecond(meter.file_reads.bytes / 1e6, meter.file_reads.seconds);
  }
  j["log"] = state.results_log;
  // A volume label need not be UTF-8; a bad byte becomes U+FFFD.
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
#else
  (void)run, (void)state, (void)meter, (void)version;
  return "";
#endif
}

bool ReadQuickReport(const std::string& path, QuickReport* report, std::string* error) {
#ifdef VERACAP_HAVE_JSON
  using nlohmann::json;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  const json j = json::parse(in, nullptr, false);
  const auto text = [](const json& v) { return v.is_string() ? v.get<std::string>() : ""; };
  if (j.is_discarded() || !j.is_object() || !j.contains("device") || !j["device"].is_object()) {
    *error = path + ": not a veracap-cli JSON report";
    return false;
  }
  if (text(j.value("test", json())) != "quick") {
    *error = path + ": not the report of a Quick Size Test";
    return false;
  }
  report->device_path = text(j["device"].value("path", json()));
  report->identity = text(j["device"].value("identity", json()));
  report->verdict = text(j.value("verdict", json()));
  const json recommended = j.value("recommended_partition_bytes", json());
  report->recommended_bytes = recommended.is_number() ? recommended.get<double>() : 0;
  return true;
#else
  (void)report;
  *error = path + ": this build reads no JSON";
  return false;
#endif
}

}  // namespace veracap::cli
