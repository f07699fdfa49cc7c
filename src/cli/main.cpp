// veracap-cli: the program's procedures over the headless window, for
// scripts, demonstrations and machines without a desktop. Message boxes are
// printed and answered from the command line; the results log goes to
// standard output as it grows.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/busy.h"
#include "app/headless_window.h"
#include "app/results_log.h"
#include "drives/drive_info.h"
#include "platform/emulated/emulated_platform.h"
#include "platform/emulated/manifest.h"
#include "quicktest/quick_size_test.h"

namespace {

using namespace veracap;

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

const char* const kUsage =
    "usage: veracap-cli [--devices FILE] [--images DIR] [--debug] [--quiet] --disk N quick [--yes]\n"
    "\n"
    "  quick        run the Quick Size Test (destroys all data on the disk)\n"
    "  --disk N     physical disk number (1 to 80; disk 0 holds the system)\n"
    "  --yes        answer the confirmations with OK; without it nothing is written\n"
    "  --devices F  emulated devices from manifest F (default: the bundled one)\n"
    "  --images D   folder of the emulated disk images\n"
    "  --debug      trace lines in the results log\n"
    "  --quiet      verdicts only in the log, no message boxes\n";

struct Options {
  std::string devices;
  std::string images;
  bool debug = false;
  bool quiet = false;
  bool yes = false;
  long disk = -1;
  std::string command;
};

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
  if (o.command != "quick" || o.disk < 0) {
    std::cerr << (o.command.empty() ? std::string("veracap-cli: no command given\n")
                                    : "veracap-cli: unknown command '" + o.command + "'\n")
              << kUsage;
    return kExitRefused;
  }

  emulated::Manifest manifest;
  const bool loaded = o.devices.empty()
                          ? emulated::ParseManifest(emulated::BundledManifest(), &manifest, &error)
                          : emulated::LoadManifest(o.devices, &manifest, &error);
  if (!loaded) {
    std::cerr << "veracap-cli: " << error << "\n";
    return kExitRefused;
  }
  emulated::Options options;
  options.real_clock = true;
  options.image_dir = o.images;
  if (options.image_dir.empty() && o.devices.empty()) options.image_dir = emulated::DefaultImageDir();
  emulated::EmulatedPlatform platform(std::move(manifest), options);

  HeadlessWindow window;
  window.default_answer = kIdCancel;
  window.on_log_appended = [](const std::string& text) { std::cout << Unix(text) << std::flush; };
  window.on_log_replaced = [](const std::string& text) { std::cout << Unix(text) << std::flush; };
  window.on_message_box = [](const RecordedMessageBox& box) {
    std::cout << "\n[message box: " << box.title << ", style " << box.style << ", answered "
              << (box.answer == kIdOk ? "OK" : "Cancel") << "]\n"
              << Unix(box.text) << "\n[end of message box]" << std::flush;
  };
  AppState state;
  state.DebugMode = o.debug;
  state.QuietMode = o.quiet;
  Context ctx{platform, window, state};
  return RunQuick(ctx, o);
}
