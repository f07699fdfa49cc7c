// veracap-cli: the program's procedures over the headless window, for Linux
// users, scripts and demonstrations. The device is named by its path (or, as
// the window shows them, by drive letter or disk number); the results log is
// printed as the program writes it; the drive list, the test buttons and
// their confirmations are driven underneath exactly as in the window.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/busy.h"
#include "app/controls.h"
#include "app/headless_window.h"
#include "app/results_log.h"
#include "cli/arguments.h"
#include "cli/console.h"
#include "cli/fix.h"
#include "cli/meter.h"
#include "cli/real_devices.h"
#include "cli/report.h"
#include "diskio/sector_io.h"
#include "diskio/volumes.h"
#include "drives/disk_role.h"
#include "drives/drive_details.h"
#include "drives/drive_info.h"
#include "drives/drive_list.h"
#include "filetest/file_test_command.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/manifest.h"
#include "quicktest/quick_size_engine.h"
#include "quicktest/quick_test_command.h"
#include "shell/startup.h"

namespace veracap::cli {
namespace {

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

std::string Version() {
  return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
         std::to_string(kVersionRevision);
}

// 31914086400 -> "31,914,086,400".
std::string Grouped(double value) {
  std::string digits = std::to_string(static_cast<long long>(std::llround(value)));
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

// What STORAGE_QUERY_PROPERTY tells of a disk: bus, removable, texts.
struct Descriptor {
  std::uint32_t bus = 0;
  bool removable = false;
  std::string vendor, product, serial;
};

Descriptor Describe(Context& ctx, std::int32_t disk) {
  Descriptor d;
  const Handle h = ctx.platform.CreateFile(PhysicalDrivePath(disk), 0, 0, kOpenExisting, 0);
  if (h == kInvalidHandle) return d;
  std::uint8_t query[12] = {};
  std::vector<std::uint8_t> out(1024, 0);
  std::uint32_t returned = 0;
  const bool ok =
      ctx.platform.DeviceIoControl(h, kIoctlStorageQueryProperty, query, sizeof query, out.data(),
                                   static_cast<std::uint32_t>(out.size()), &returned);
  ctx.platform.CloseHandle(h);
  if (!ok || returned < 32) return d;
  const auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, out.data() + at, 4);
    return v;
  };
  const auto text = [&](std::size_t field) {
    const std::uint32_t at = u32(field);
    if (at == 0 || at >= returned) return std::string();
    std::string s(reinterpret_cast<const char*>(out.data() + at),
                  strnlen(reinterpret_cast<const char*>(out.data() + at), returned - at));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    return s;
  };
  d.removable = out[10] != 0;
  d.bus = u32(28);
  d.vendor = text(12);
  d.product = text(16);
  d.serial = text(24);
  return d;
}

std::string BusName(std::uint32_t bus) {
  static const char* const kNames[] = {"unknown", "scsi", "atapi",   "ata",   "1394",   "ssa",
                                       "fibre",   "usb",  "raid",    "iscsi", "sas",    "sata",
                                       "sd",      "mmc",  "virtual", "file",  "spaces", "nvme"};
  return bus < sizeof kNames / sizeof kNames[0] ? kNames[bus] : std::to_string(bus);
}

class Runner {
 public:
  Runner(const Options& o, Platform& base, std::ostream& out, bool real)
      : o_(o),
        base_(base),
        meter_(base),
        out_(out),
        real_(real),
        console_(out, std::cerr, o.quiet, !o.quiet && ::isatty(STDERR_FILENO) != 0, o.about),
        ctx_{meter_, window_, state_} {
    state_.DebugMode = o.debug;
    state_.QuietMode = o.quiet;
    window_.default_answer = kIdCancel;
    console_.Attach(window_);
  }

  int Run();

 private:
  int List();
  int Quick();
  int FileCommand();
  int Fix();
  void StartUp();
  // Finds the disk (and, for the file commands, the volume) that the
  // options name, and chooses its entry in the drive list. False with
  // run_.reason set when there is none.
  bool Choose(bool want_volume);
  bool Refuse(const std::string& reason) {
    run_.verdict = "refused";
    run_.reason = reason;
    return false;
  }
  // The confirmation: --yes, the question on a terminal, or (elsewhere) the
  // window's questions answered Cancel. False when the user said no.
  bool Confirm(const std::string& question);
  // Whether the disk is still the one the user chose.
  bool SameDevice();
  int Finish(int status);
  const std::vector<std::string>& Entries() { return StateOf(state_, Control::Combo1).items; }

  const Options& o_;
  Platform& base_;
  Meter meter_;
  std::ostream& out_;
  bool real_;
  HeadlessWindow window_;
  AppState state_;
  Console console_;
  Context ctx_;
  RunRecord run_;
  std::string identity_;
  std::chrono::steady_clock::time_point start_{};
};

void Runner::StartUp() {
  Form_Load(ctx_);
  if (o_.all_drives) {
    window_.ScriptAnswers({kIdOk});
    Click(ctx_, Control::chkShowAll);
  }
}

// An entry begins with the drive letters of its disk, filled from the first
// slot on: "E: F:" and so on, three characters a slot.
bool EntryHoldsDrive(const std::string& entry, const std::string& drive) {
  for (std::size_t slot = 0; slot < 4; ++slot) {
    if (entry.compare(slot * 3, 2, drive) == 0) return true;
  }
  return false;
}

bool Runner::Choose(bool want_volume) {
  std::string drive = o_.drive;
  long disk = o_.disk;
  int index = -1;
  const std::string& d = o_.device;
  if (o_.entry >= 0) {
    if (o_.entry > static_cast<long>(Entries().size())) {
      return Refuse("the drive list has " + std::to_string(Entries().size()) + " entries, not " +
                    std::to_string(o_.entry) + " (see 'veracap-cli list')");
    }
    index = static_cast<int>(o_.entry - 1);
  } else if (!d.empty() && d[0] == '/') {
    RealTarget target;
    std::string error;
    if (!ResolveRealDevice(base_, d, want_volume, &target, &error)) return Refuse(error);
    disk = target.disk;
    run_.device_path = target.path;
    if (target.letter != 0) drive = std::string(1, target.letter) + ":";
  } else if (!d.empty() && std::isdigit(static_cast<unsigned char>(d[0]))) {
    if (!ParseNumber(d, 0, kHighestDiskNumber, &disk)) {
      return Refuse("'" + d + "' is no disk number from 0 to " +
                    std::to_string(kHighestDiskNumber));
    }
  } else if (!d.empty() && !ParseDrive(d, &drive)) {
    return Refuse("'" + d +
                  "' names no device: give a device path, a drive letter or a disk "
                  "number");
  }
  if (disk >= 0) {
    // The system's disks by what they hold, whatever their number; a stick
    // the program runs from may still take test files.
    const DiskRole role = RoleOfDisk(ctx_, static_cast<std::int32_t>(disk));
    if (role != DiskRole::kNoDisk &&
        (want_volume ? RefusesVolumeTest(role) : RefusesQuickTest(role))) {
      return Refuse("disk " + std::to_string(disk) + " holds " + RoleHeld(role) +
                    " and is never tested");
    }
  }
  if (!drive.empty() && index < 0) {
    for (std::size_t i = 0; i < Entries().size() && index < 0; ++i) {
      if (EntryHoldsDrive(Entries()[i], drive)) index = static_cast<int>(i);
    }
  } else if (disk > 0 && index < 0) {
    for (std::size_t i = 0; i < Entries().size() && index < 0; ++i) {
      const std::optional<double> n = DiskNumberInEntry(Entries()[i]);
      if (n && *n == disk) index = static_cast<int>(i);
    }
  }
  if (index < 0) {
    const std::string what = !drive.empty() ? "drive " + drive : "disk " + std::to_string(disk);
    if (disk < 0 && !drive.empty()) disk = GetDiskNumber(ctx_, drive);
    for (const RealDisk& r : RealDisks(base_)) {
      if (r.number == disk && !r.protected_reason.empty()) {
        return Refuse(r.path + " " + r.protected_reason + " and is never written");
      }
    }
    return Refuse("no entry of the drive list holds " + what +
                  (o_.all_drives ? "" : " (disks not on USB are tested with --all)") +
                  "; see 'veracap-cli list" + (o_.all_drives ? " --all'" : "'"));
  }
  ::veracap::Choose(ctx_, Control::Combo1, index);
  // An entry names its disk's first drive; the volume asked for by letter is
  // the one the file commands work on.
  if (!drive.empty()) state_.SelectedDrive = drive;
  if (want_volume && state_.SelectedDrive.find_first_not_of(" :") == std::string::npos) {
    return Refuse("the chosen disk has no mounted volume");
  }
  // The disk's facts as the program identifies it, for the question and the
  // report; the test identifies it again itself.
  run_.disk = DiskNumberInEntry(Entries()[static_cast<std::size_t>(index)]).value_or(-1);
  if (want_volume) run_.disk = GetDiskNumber(ctx_, state_.SelectedDrive);
  run_.drive = want_volume ? state_.SelectedDrive : "";
  for (const RealDisk& r : RealDisks(base_)) {
    if (r.number != run_.disk) continue;
    if (run_.device_path.empty() || !want_volume) run_.device_path = r.path;
    // The platform would refuse every write; say so before anything starts.
    if (!r.protected_reason.empty()) {
      return Refuse(r.path + " " + r.protected_reason + " and is never written");
    }
  }
  if (run_.device_path.empty()) run_.device_path = "PhysicalDrive" + std::to_string(run_.disk);
  const bool all = state_.ShowAllDrives;
  state_.ShowAllDrives = true;
  state_.SelectedDiskNumber = run_.disk;
  GetUSBDiskDriveInfo(ctx_, run_.disk);
  state_.ShowAllDrives = all;
  run_.claimed_bytes = state_.DriveSizeBytes;
  run_.model = state_.DriveModel;
  run_.serial = real_ ? RealSerial(base_, run_.disk) : Describe(ctx_, run_.disk).serial;
  identity_ = RealIdentity(base_, run_.disk);
  run_.identity = identity_;
  return true;
}

bool Runner::Confirm(const std::string& question) {
  if (o_.yes) {
    window_.default_answer = kIdOk;
    return true;
  }
  if (::isatty(STDIN_FILENO) == 0) return true;  // the window's questions answer Cancel
  if (!console_.Ask(question, stdin)) {
    return Refuse("not confirmed; nothing was written");
  }
  window_.default_answer = kIdOk;
  return true;
}

bool Runner::SameDevice() {
  if (!real_) return true;
  const std::string now = RealIdentity(base_, run_.disk);
  if (now == identity_ && !now.empty()) return true;
  return Refuse("the device is no longer the one chosen (it was " + identity_ + "; now " +
                (now.empty() ? std::string("gone") : now) + "); nothing was written");
}

int Runner::Finish(int status) {
  console_.EndLog();
  if (start_ != std::chrono::steady_clock::time_point{}) {
    run_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  if (run_.device_path.empty()) run_.device_path = o_.device;
  if (o_.quiet) {
    std::cout << VerdictLine(run_, state_) << "\n";
  } else {
    if (status == kExitRefused) std::cerr << "veracap-cli: " << run_.reason << "\n";
    for (const std::string& line : SpeedLines(run_, meter_)) out_ << line << "\n";
  }
  out_ << std::flush;
  if (!o_.json.empty()) {
    const std::string json = JsonReport(run_, state_, meter_, Version());
    if (json.empty()) {
      std::cerr << "veracap-cli: this build writes no JSON report\n";
    } else if (o_.json == "-") {
      std::cout << json << std::flush;
    } else {
      std::ofstream file(o_.json, std::ios::binary | std::ios::trunc);
      file << json;
      if (!file.flush()) {
        std::cerr << "veracap-cli: the JSON report could not be written to " << o_.json << "\n";
      }
    }
  }
  return status;
}

// Why a test command clicked from the runner did not run.
std::string RefusalOf(const HeadlessWindow& window, std::size_t boxes_before,
                      const std::string& title, const std::string& what) {
  const std::vector<RecordedMessageBox>& boxes = window.message_boxes();
  for (std::size_t i = boxes_before; i < boxes.size(); ++i) {
    if (boxes[i].title == title && boxes[i].answer != kIdOk) {
      return what +
             "; not confirmed (run it again with --yes, or on a terminal to be asked). "
             "Nothing was written.";
    }
  }
  if (boxes.size() > boxes_before) {
    return "the test did not start (see the message above). Nothing was written.";
  }
  return "the chosen entry names no disk that can be tested (a number above 80, or a "
         "drive whose disk number cannot be told). Nothing was written.";
}

int Runner::Quick() {
  run_.test = "quick";
  if (!o_.json.empty() && o_.command == "fix") {
    Refuse("fix writes no JSON report; give --json to quick");
    return Finish(kExitRefused);
  }
  StartUp();
  if (!Choose(false)) return Finish(kExitRefused);
  std::array<std::string, 4> letters{};
  Get_Drive_Volumes(ctx_, run_.disk, letters);
  std::string volumes;
  for (const std::string& v : letters) {
    if (!v.empty()) volumes += " " + v;
  }
  if (!Confirm("The Quick Size Test" +
               std::string(o_.command == "fix" ? " (and then the fix)" : "") +
               " DESTROYS ALL DATA on " + run_.device_path + " (" + Grouped(run_.claimed_bytes) +
               " bytes, " + (run_.model.empty() ? "no model" : run_.model) + ", disk " +
               std::to_string(run_.disk) + (volumes.empty() ? "" : ", volumes" + volumes) +
               "): every file and partition on it.\nErase it?")) {
    return Finish(kExitRefused);
  }
  if (!SameDevice()) return Finish(kExitRefused);
  console_.Watch(meter_, state_, "quick");
  start_ = std::chrono::steady_clock::now();
  const std::size_t boxes_before = window_.message_boxes().size();
  Click(ctx_, Control::cmdQuickTest);
  switch (state_.quick_outcome) {
    case AppState::QuickOutcome::kPassed:
      run_.verdict = "passed";
      return Finish(kExitPassed);
    case AppState::QuickOutcome::kFailed:
      run_.verdict = "failed";
      return Finish(kExitFailed);
    case AppState::QuickOutcome::kAborted:
      run_.verdict = "aborted";
      return Finish(kExitFailed);
    case AppState::QuickOutcome::kNotRun:
      break;
  }
  Refuse(RefusalOf(window_, boxes_before, "Quick Size Test",
                   "the Quick Size Test destroys all data on " + run_.device_path));
  return Finish(kExitRefused);
}

int Runner::FileCommand() {
  const bool cleanup = o_.command == "cleanup";
  run_.test = cleanup ? "cleanup" : "filetest";
  StartUp();
  if (!Choose(true)) return Finish(kExitRefused);
  if (cleanup) {
    Click(ctx_, Control::cmdcleanup);
    run_.verdict = "passed";
    return Finish(kExitPassed);
  }
  const double free_mb = std::floor(FreeDiskSpace(ctx_, state_.SelectedDrive) / 1048576);
  if (!Confirm("The Volume File Test fills the free space of " + state_.SelectedDrive + " (" +
               Grouped(free_mb) + " MB free, on " + run_.device_path + ", " +
               (run_.model.empty() ? "no model" : run_.model) +
               ") with test files and deletes them; files already there are not touched, but on "
               "a fake drive they can be corrupted.\nFill it?")) {
    return Finish(kExitRefused);
  }
  if (!SameDevice()) return Finish(kExitRefused);
  console_.Watch(meter_, state_, "filetest");
  start_ = std::chrono::steady_clock::now();
  const std::size_t boxes_before = window_.message_boxes().size();
  Click(ctx_, Control::cmdVolumeTest);
  switch (state_.volume_outcome) {
    case AppState::VolumeOutcome::kPassed:
      run_.verdict = "passed";
      return Finish(kExitPassed);
    case AppState::VolumeOutcome::kFaulty:
      run_.verdict = "failed";
      run_.finding = "faulty";
      return Finish(kExitFailed);
    case AppState::VolumeOutcome::kProbablyFake:
      run_.verdict = "failed";
      run_.finding = "probably fake";
      return Finish(kExitFailed);
    case AppState::VolumeOutcome::kAborted:
      run_.verdict = "aborted";
      return Finish(kExitFailed);
    case AppState::VolumeOutcome::kStopped:
      run_.verdict = "stopped";
      return Finish(kExitFailed);
    case AppState::VolumeOutcome::kNotRun:
      break;
  }
  Refuse(RefusalOf(window_, boxes_before, "File Test",
                   "the Volume File Test fills the free space of " + state_.SelectedDrive));
  return Finish(kExitRefused);
}

int Runner::List() {
  StartUp();
  std::vector<RealDisk> real = RealDisks(base_);
  const bool all = state_.ShowAllDrives;
  const SystemDisks system = FindSystemDisks(ctx_);
  for (std::int32_t n = 0; n <= kHighestDiskNumber; ++n) {
    const Handle h = ctx_.platform.CreateFile(PhysicalDrivePath(n), 0, 0, kOpenExisting, 0);
    if (h == kInvalidHandle) continue;
    ctx_.platform.CloseHandle(h);
    const Descriptor d = Describe(ctx_, n);
    state_.ShowAllDrives = true;
    state_.SelectedDiskNumber = n;
    GetUSBDiskDriveInfo(ctx_, n);
    std::array<std::string, 4> letters{};
    Get_Drive_Volumes(ctx_, n, letters);
    std::string path = "PhysicalDrive" + std::to_string(n), refused, mounts;
    // The program's size of a disk it does not offer is 0; the kernel's then.
    double size_bytes = state_.DriveSizeBytes;
    for (const RealDisk& r : real) {
      if (r.number != n) continue;
      path = r.path;
      if (size_bytes <= 0) size_bytes = static_cast<double>(r.size_bytes);
      refused = r.protected_reason;
      for (const std::string& m : r.mount_points) mounts += (mounts.empty() ? "" : ",") + m;
    }
    if (refused.empty() && system.RoleOf(n) != DiskRole::kTestable) {
      refused = "holds " + RoleHeld(system.RoleOf(n));
    }
    if (refused.empty() && state_.DriveSizeBytes <= 0) refused = "not identified";
    const bool usb = d.bus == 7;
    if (!all && (!usb || !refused.empty())) continue;
    std::string drives;
    for (const std::string& l : letters) {
      if (!l.empty()) drives += (drives.empty() ? "" : ",") + l;
    }
    std::string model = d.vendor + (d.vendor.empty() || d.product.empty() ? "" : " ") + d.product;
    char size[32];
    std::snprintf(size, sizeof size, "%.1f GB", size_bytes / 1e9);
    char line[512];
    std::snprintf(line, sizeof line, "%-14s %10s  %-28s %-5s %-9s %-7s %-22s disk %d", path.c_str(),
                  size, model.empty() ? "-" : model.c_str(), BusName(d.bus).c_str(),
                  d.removable ? "removable" : "fixed", drives.empty() ? "-" : drives.c_str(),
                  mounts.empty() ? "-" : mounts.c_str(), n);
    std::string text = line;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (!refused.empty()) text += "  refused: " + refused;
    out_ << text << "\n";
  }
  out_ << std::flush;
  return kExitPassed;
}

// After a FAILED Quick Size Test of this device (run here first, or read
// from --from-json): one partition up to the recommended size, formatted.
int Runner::Fix() {
  if (!real_) {
    Refuse("fix works on real devices (Linux), not on emulated ones");
    return Finish(kExitRefused);
  }
  double recommended = 0;
  if (!o_.from_json.empty()) {
    QuickReport report;
    std::string error;
    if (!ReadQuickReport(o_.from_json, &report, &error)) {
      Refuse(error);
      return Finish(kExitRefused);
    }
    run_.test = "fix";
    StartUp();
    if (!Choose(false)) return Finish(kExitRefused);
    if (report.device_path != run_.device_path || report.identity.empty() ||
        report.identity != identity_) {
      Refuse(o_.from_json + " reports on " + report.device_path + " (" + report.identity +
             "), not on " + run_.device_path + " as it is now (" + identity_ + ")");
      return Finish(kExitRefused);
    }
    if (report.verdict != "failed" || report.recommended_bytes <= 0) {
      Refuse(o_.from_json + ": the Quick Size Test " + report.verdict +
             "; there is nothing to fix (partition and format it as usual)");
      return Finish(kExitRefused);
    }
    recommended = report.recommended_bytes;
    // No window question follows: without --yes or a terminal, no.
    if (!o_.yes && ::isatty(STDIN_FILENO) == 0) {
      Refuse("not confirmed (run it again with --yes); nothing was written");
      return Finish(kExitRefused);
    }
    if (!Confirm("A new partition table and file system on " + run_.device_path + " (" +
                 Grouped(run_.claimed_bytes) + " bytes, " +
                 (run_.model.empty() ? "no model" : run_.model) +
                 ") DESTROY ALL DATA on it.\nRepartition it?")) {
      return Finish(kExitRefused);
    }
  } else {
    const int status = Quick();
    if (status != kExitFailed || run_.verdict != "failed") {
      if (status == kExitPassed) {
        std::cerr << "veracap-cli: the Quick Size Test PASSED; there is nothing to fix.\n";
      }
      return status;
    }
    recommended = state_.quick_findings.recommended_bytes;
  }
  if (!SameDevice()) return Finish(kExitRefused);
  std::vector<std::string> lines;
  std::string error;
  if (!ApplyFix(run_.device_path, PlanFix(static_cast<std::uint64_t>(recommended)), &lines,
                &error)) {
    std::cerr << "veracap-cli: " << error << "\n";
    return kExitFailed;
  }
  for (const std::string& line : lines) out_ << line << "\n";
  out_ << std::flush;
  return kExitPassed;
}

int Runner::Run() {
  if (o_.command == "list") return List();
  if (o_.command == "quick") return Quick();
  if (o_.command == "fix") return Fix();
  return FileCommand();
}

int Main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseArguments(argc, argv, &o, &error)) {
    std::cerr << "veracap-cli: " << error << " (see veracap-cli --help)\n";
    return kExitRefused;
  }
  if (o.command == "help") {
    std::cout << kUsage;
    return kExitPassed;
  }
  if (o.command == "version") {
    std::cout << "veracap-cli " << Version() << "\n";
    return kExitPassed;
  }

  std::unique_ptr<Platform> platform;
  const bool real = o.devices.empty() && o.images.empty() && RealDevicesSupported();
  if (real) {
    platform = MakeRealPlatform(std::cerr);
    if (!platform) return kExitRefused;
  } else {
    emulated::Options options;
    options.real_clock = true;
    options.image_dir = o.images;
    if (options.image_dir.empty() && o.devices.empty()) {
      options.image_dir = emulated::DefaultImageDir();
    }
    // A manifest that does not parse or a device the platform could not set
    // up (an unusable images folder, a damaged volume table) stops the run
    // before anything is written.
    auto emulated = emulated::OpenEmulatedDevices(o.devices, options, &error);
    if (!emulated) {
      std::cerr << "veracap-cli: " << error << "\nNothing was done.\n";
      return kExitRefused;
    }
    platform = std::move(emulated);
  }
  // With the JSON report on standard output, the log goes to standard error.
  std::ostream& out = o.json == "-" ? std::cerr : std::cout;
  Runner runner(o, *platform, out, real);
  return runner.Run();
}

}  // namespace
}  // namespace veracap::cli

int main(int argc, char** argv) { return veracap::cli::Main(argc, argv); }
