// veracap-cli: the program's procedures over the headless window, for
// scripts, demonstrations and machines without a desktop. Message boxes are
// printed and answered from the command line; the results log goes to
// standard output as it grows.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/busy.h"
#include "app/controls.h"
#include "app/headless_window.h"
#include "app/results_log.h"
#include "shell/startup.h"
#include "cli/real_devices.h"
#include "drives/drive_info.h"
#include "drives/drive_list.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/manifest.h"
#include "quicktest/quick_size_engine.h"

namespace {

using namespace veracap;

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

const char* const kUsage =
    "usage: veracap-cli [--devices FILE] [--images DIR] [--all-drives] [--debug] [--quiet] list\n"
    "       veracap-cli [...] (--drive E: | --entry K | --disk N) quick [--yes]\n"
    "       veracap-cli [...] (--drive E: | --entry K) filetest [--yes]\n"
    "       veracap-cli [...] (--drive E: | --entry K) cleanup\n"
    "\n"
    "  list         print the drive list, one entry a line (USB drives; all with --all-drives)\n"
    "  quick        run the Quick Size Test (destroys all data on the disk)\n"
    "  filetest     run the Volume File Test (fills the volume's free space with test files,\n"
    "               samples them back, deletes them; files already there are not touched)\n"
    "  cleanup      delete the test files a cancelled Volume File Test left behind\n"
    "  --drive E:   test the disk of the drive list's entry that holds drive E:\n"
    "  --entry K    test the disk of the K-th entry of the drive list (1 is the first); for a\n"
    "               disk without a drive letter\n"
    "  --disk N     physical disk number (1 to 80; disk 0 holds the system), without the\n"
    "               drive list and its questions\n"
    "  --yes        answer the confirmations with OK; without it nothing is written\n"
    "  exit status  0 PASSED, 1 FAILED (or faulty / probably fake / aborted), 2 refused\n"
    "  --all-drives tick \"List all drives\" (and confirm its warning): non-USB disks are listed\n"
    "  --devices F  emulated devices from manifest F (on Linux the default is the machine's\n"
    "               real disks, which needs root; elsewhere the bundled manifest)\n"
    "  --images D   folder of the emulated disk images (emulated devices: the bundled\n"
    "               manifest unless --devices is given)\n"
    "  --debug      trace lines in the results log\n"
    "  --quiet      verdicts only in the log, no message boxes\n";

struct Options {
  std::string devices;
  std::string images;
  bool debug = false;
  bool quiet = false;
  bool yes = false;
  bool all_drives = false;
  long disk = -1;
  std::string drive;  // "E:"
  long entry = -1;    // 1-based
  std::string command;
};

// "e", "E:", "e:\\" all name drive E:; anything else is not a drive.
bool ParseDrive(const std::string& text, std::string* drive) {
  if (text.empty() || text.size() > 3 || !std::isalpha(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  if (text.size() >= 2 && text[1] != ':') return false;
  if (text.size() == 3 && text[2] != '\\') return false;
  *drive =
      std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])))) + ":";
  return true;
}

std::string Unix(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

bool ParseArguments(int argc, char** argv, Options* o, std::string* error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string text;
    if (a == "--devices") {
      if (!value(&o->devices)) return false;
    } else if (a == "--images") {
      if (!value(&o->images)) return false;
    } else if (a == "--debug") {
      o->debug = true;
    } else if (a == "--quiet") {
      o->quiet = true;
    } else if (a == "--yes") {
      o->yes = true;
    } else if (a == "--all-drives") {
      o->all_drives = true;
    } else if (a == "--drive") {
      if (!value(&text)) return false;
      if (!ParseDrive(text, &o->drive)) {
        *error = "--drive needs a drive letter such as E:, not '" + text + "'";
        return false;
      }
    } else if (a == "--entry") {
      if (!value(&text)) return false;
      char* end = nullptr;
      o->entry = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || o->entry < 1) {
        *error = "--entry needs an entry number from 1, not '" + text + "'";
        return false;
      }
    } else if (a == "--disk") {
      if (!value(&text)) return false;
      char* end = nullptr;
      o->disk = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0') {
        *error = "--disk needs a disk number, not '" + text + "'";
        return false;
      }
    } else if (a == "-h" || a == "--help") {
      o->command = "help";
    } else if (!a.empty() && a[0] == '-') {
      *error = "unknown option " + a;
      return false;
    } else if (o->command.empty()) {
      o->command = a;
    } else {
      *error = "unexpected argument " + a;
      return false;
    }
  }
  return true;
}

int RunQuick(Context& ctx, const Options& o) {
  AppState& s = ctx.state;
  if (o.disk < 1 || o.disk > kHighestDiskNumber) {
    std::cerr << "veracap-cli: disk " << o.disk
              << " cannot be tested: disk 0 holds the system and numbers run from 1 to "
              << kHighestDiskNumber << "\n";
    return kExitRefused;
  }
  s.TitleLine = "VERACAP v1.1.1  [Qmx]";
  s.SelectedDiskNumber = static_cast<std::int32_t>(o.disk);
  GetUSBDiskDriveInfo(ctx, s.SelectedDiskNumber);
  if (std::nearbyint(std::nearbyint(s.DriveSizeBytes / 1024) / 1024) < 1) {
    std::cerr << "veracap-cli: disk " << o.disk
              << " is not a USB disk that could be identified; nothing was written\n";
    return kExitRefused;
  }
  SetResultText(ctx, s.TitleLine + "\r\nVeracap - Quick Size Test (destructive)");
  if (!o.yes) {
    std::cout << "\n";
    std::cerr << "veracap-cli: the Quick Size Test destroys all data on disk " << o.disk
              << "; run it again with --yes to confirm. Nothing was written.\n";
    return kExitRefused;
  }
  Show_Cancel(ctx);
  QuickSizeTest(ctx);
  Hide_Cancel(ctx);
  std::cout << "\n";
  return s.quick_outcome == AppState::QuickOutcome::kPassed ? kExitPassed : kExitFailed;
}

// Start-up as a user meets it: the About box (answered OK, its only button);
// then, when asked
// for, "List all drives" ticked and its warning confirmed.
void StartUp(Context& ctx, HeadlessWindow& window, const Options& o) {
  Form_Load(ctx);
  if (o.all_drives) {
    window.ScriptAnswers({kIdOk});
    Click(ctx, Control::chkShowAll);
  }
}

const std::vector<std::string>& Entries(AppState& s) { return StateOf(s, Control::Combo1).items; }

// An entry begins with the drive letters of its disk, filled from the first
// slot on: "E: F:" and so on, three characters a slot.
bool EntryHoldsDrive(const std::string& entry, const std::string& drive) {
  for (std::size_t slot = 0; slot < 4; ++slot) {
    if (entry.compare(slot * 3, 2, drive) == 0) return true;
  }
  return false;
}

int RunList(Context& ctx, HeadlessWindow& window, const Options& o) {
  StartUp(ctx, window, o);
  for (const std::string& entry : Entries(ctx.state)) std::cout << entry << "\n";
  return 0;
}

// Start-up, then the entry of the drive list that the options name is
// chosen as a user would. False (with the reason told) when there is none.
bool StartAndChoose(Context& ctx, HeadlessWindow& window, const Options& o) {
  StartUp(ctx, window, o);
  const std::vector<std::string>& entries = Entries(ctx.state);
  int index = -1;
  if (!o.drive.empty()) {
    for (std::size_t i = 0; i < entries.size() && index < 0; ++i) {
      if (EntryHoldsDrive(entries[i], o.drive)) index = static_cast<int>(i);
    }
    if (index < 0) {
      std::cerr << "\nveracap-cli: no entry of the drive list holds drive " << o.drive
                << " (see 'veracap-cli list'; drives not on USB are listed with --all-drives)\n";
      return false;
    }
  } else {
    if (o.entry > static_cast<long>(entries.size())) {
      std::cerr << "\nveracap-cli: the drive list has " << entries.size() << " entries, not "
                << o.entry << " (see 'veracap-cli list')\n";
      return false;
    }
    index = static_cast<int>(o.entry - 1);
  }
  Choose(ctx, Control::Combo1, index);
  // An entry names its disk's first drive; the volume asked for by letter is
  // the one the file commands work on.
  if (!o.drive.empty()) ctx.state.SelectedDrive = o.drive;
  return true;
}

// Why a test command clicked from the runner did not run.
int TellRefusal(const HeadlessWindow& window, std::size_t boxes_before, const std::string& title,
                const std::string& what) {
  const std::vector<RecordedMessageBox>& boxes = window.message_boxes();
  for (std::size_t i = boxes_before; i < boxes.size(); ++i) {
    if (boxes[i].title == title && boxes[i].answer != kIdOk) {
      std::cerr << "veracap-cli: " << what
                << "; its confirmation was answered Cancel (run it again with --yes to answer "
                   "OK). Nothing was written.\n";
      return kExitRefused;
    }
  }
  if (boxes.size() > boxes_before) {
    std::cerr << "veracap-cli: the test did not start (see the message above). Nothing was "
                 "written.\n";
  } else {
    std::cerr << "veracap-cli: the chosen entry names no disk that can be tested (disk 0, a "
                 "number above 80, or a drive whose disk number cannot be told). Nothing was "
                 "written.\n";
  }
  return kExitRefused;
}

// The Quick Size Test as a user runs it: start-up, the entry chosen in the
// drive list, the button clicked, the questions answered.
int RunQuickFromList(Context& ctx, HeadlessWindow& window, const Options& o) {
  AppState& s = ctx.state;
  if (!StartAndChoose(ctx, window, o)) return kExitRefused;
  window.default_answer = o.yes ? kIdOk : kIdCancel;
  const std::size_t boxes_before = window.message_boxes().size();
  Click(ctx, Control::cmdQuickTest);
  std::cout << "\n" << std::flush;
  switch (s.quick_outcome) {
    case AppState::QuickOutcome::kPassed:
      return kExitPassed;
    case AppState::QuickOutcome::kFailed:
    case AppState::QuickOutcome::kAborted:
      return kExitFailed;
    case AppState::QuickOutcome::kNotRun:
      break;
  }
  return TellRefusal(window, boxes_before, "Quick Size Test",
                     "the Quick Size Test destroys all data on disk " +
                         std::to_string(s.SelectedDiskNumber));
}

// The Volume File Test, clicked the same way: it fills the free space of the
// chosen volume with test files, samples them back and deletes them.
int RunFileTest(Context& ctx, HeadlessWindow& window, const Options& o) {
  AppState& s = ctx.state;
  if (!StartAndChoose(ctx, window, o)) return kExitRefused;
  window.default_answer = o.yes ? kIdOk : kIdCancel;
  const std::size_t boxes_before = window.message_boxes().size();
  Click(ctx, Control::cmdVolumeTest);
  std::cout << "\n" << std::flush;
  switch (s.volume_outcome) {
    case AppState::VolumeOutcome::kPassed:
      return kExitPassed;
    case AppState::VolumeOutcome::kFaulty:
    case AppState::VolumeOutcome::kProbablyFake:
    case AppState::VolumeOutcome::kAborted:
      return kExitFailed;
    case AppState::VolumeOutcome::kNotRun:
      break;
  }
  return TellRefusal(window, boxes_before, "File Test",
                     "the Volume File Test fills the free space of " + s.SelectedDrive);
}

// The Delete Test Files button: removes test files a cancelled run left.
int RunCleanup(Context& ctx, HeadlessWindow& window, const Options& o) {
  if (!StartAndChoose(ctx, window, o)) return kExitRefused;
  Click(ctx, Control::cmdcleanup);
  std::cout << "\n" << std::flush;
  return kExitPassed;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseArguments(argc, argv, &o, &error)) {
    std::cerr << "veracap-cli: " << error << "\n" << kUsage;
    return kExitRefused;
  }
  if (o.command == "help") {
    std::cout << kUsage;
    return 0;
  }
  const int choices = (o.disk >= 0 ? 1 : 0) + (o.drive.empty() ? 0 : 1) + (o.entry >= 0 ? 1 : 0);
  std::string misuse;
  if (o.command.empty()) {
    misuse = "no command given";
  } else if (o.command != "quick" && o.command != "list" && o.command != "filetest" &&
             o.command != "cleanup") {
    misuse = "unknown command '" + o.command + "'";
  } else if (o.command == "list" && choices > 0) {
    misuse = "list takes no --drive, --entry or --disk";
  } else if (o.command == "quick" && choices != 1) {
    misuse = "quick needs one of --drive, --entry and --disk";
  } else if (o.command != "list" && o.command != "quick" && (choices != 1 || o.disk >= 0)) {
    misuse = o.command + " needs one of --drive and --entry";
  } else if (o.disk >= 0 && o.all_drives) {
    misuse = "--all-drives chooses what the drive list shows; --disk does not use the list";
  }
  if (!misuse.empty()) {
    std::cerr << "veracap-cli: " << misuse << "\n" << kUsage;
    return kExitRefused;
  }

  std::unique_ptr<Platform> platform;
  if (o.devices.empty() && o.images.empty() && cli::RealDevicesSupported()) {
    platform = cli::MakeRealPlatform(std::cerr);
    if (!platform) return kExitRefused;
  } else {
    emulated::Manifest manifest;
    const bool loaded =
        o.devices.empty() ? emulated::ParseManifest(emulated::BundledManifest(), &manifest, &error)
                          : emulated::LoadManifest(o.devices, &manifest, &error);
    if (!loaded) {
      std::cerr << "veracap-cli: " << error << "\n";
      return kExitRefused;
    }
    emulated::Options options;
    options.real_clock = true;
    options.image_dir = o.images;
    if (options.image_dir.empty() && o.devices.empty())
      options.image_dir = emulated::DefaultImageDir();
    platform = std::make_unique<emulated::EmulatedPlatform>(std::move(manifest), options);
  }

  // The list's entries alone go to standard output; for it, the log and the
  // dialogue go to standard error.
  std::ostream& out = o.command == "list" ? std::cerr : std::cout;
  HeadlessWindow window;
  window.default_answer = kIdCancel;
  // The log's replaced text begins a new line of its own.
  bool printed = false;
  window.on_log_appended = [&out, &printed](const std::string& text) {
    out << Unix(text) << std::flush;
    printed = true;
  };
  window.on_log_replaced = [&out, &printed](const std::string& text) {
    out << (printed ? "\n" : "") << Unix(text) << std::flush;
    printed = true;
  };
  window.on_message_box = [&out, &printed](const RecordedMessageBox& box) {
    out << "\n[message box: " << box.title << ", style " << box.style << ", answered "
        << (box.answer == kIdOk ? "OK" : "Cancel") << "]\n"
        << Unix(box.text) << "\n[end of message box]" << std::flush;
    printed = true;
  };
  AppState state;
  state.DebugMode = o.debug;
  state.QuietMode = o.quiet;
  Context ctx{*platform, window, state};
  if (o.command == "list") return RunList(ctx, window, o);
  if (o.command == "filetest") return RunFileTest(ctx, window, o);
  if (o.command == "cleanup") return RunCleanup(ctx, window, o);
  if (o.disk >= 0) return RunQuick(ctx, o);
  return RunQuickFromList(ctx, window, o);
}
