#include "cli/arguments.h"

#include <cctype>
#include <set>
#include <vector>

namespace veracap::cli {

const char* const kUsage =
    "usage: veracap-cli list [--all]\n"
    "       veracap-cli quick DEVICE [--yes]\n"
    "       veracap-cli filetest MOUNTPOINT|DEVICE [--yes]\n"
    "       veracap-cli cleanup MOUNTPOINT|DEVICE\n"
    "       veracap-cli fix DEVICE [--yes] [--from-json FILE]\n"

    "\n"
    "  list        one line a disk: device, size, model, bus, removable or fixed, mount\n"
    "              points, drive letters and disk number; --all adds the disks not on\n"
    "              USB and the refused ones with the reason\n"
    "  quick       the Quick Size Test: a marker in every 12.5 MiB of the whole disk, read\n"
    "              back; DESTROYS ALL DATA on the disk\n"
    "  filetest    the Volume File Test: fills the volume's free space with test files,\n"
    "              samples them back and deletes them; files already there stay\n"
    "  cleanup     deletes the test files a cancelled Volume File Test left\n"
    "  fix         after a FAILED Quick Size Test (run first, or read from --from-json):\n"
    "              one partition up to the recommended size, FAT32 (exFAT above 32 GiB)\n"

    "\n"
    "  DEVICE      a device path (/dev/sdb, /dev/disk/by-id/usb-...), a drive letter (F:)\n"
    "              or a disk number as 'list' shows them\n"
    "  --yes       confirm without asking; without it the question is asked on a terminal,\n"
    "              and elsewhere nothing is written (exit 2)\n"
    "  --all       (--all-drives) disks not on USB too (never one that holds the system)\n"
    "  --json F    a JSON report of the run to file F ('-': standard output)\n"
    "  --quiet     print the verdict line only\n"
    "  --about     show the About text first\n"
    "  --debug     trace lines in the results log\n"
    "  --devices F emulated devices from manifest F; --images D: their images' folder\n"
    "              (on Linux the default is the machine's real disks, which needs root)\n"
    "  --version   print the version\n"
    "  old forms   --drive E: | --entry K | --disk N  before the command still work\n"
    "\n"
    "exit status: 0 PASSED, 1 FAILED (faulty, probably fake, aborted), 2 refused or misused\n";

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

bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;  // nine digits cannot overflow a long
  long n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n < low || n > high) return false;
  *value = n;
  return true;
}

bool ParseArguments(int argc, const char* const* argv, Options* o, std::string* error) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::set<std::string> seen;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    if (a == "--all") a = "--all-drives";
    if (a == "-h") a = "--help";
    if (a.size() > 1 && a[0] == '-' && !seen.insert(a).second) {
      *error = a + " is given more than once";
      return false;
    }
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
    } else if (a == "--json") {
      if (!value(&o->json)) return false;
    } else if (a == "--from-json") {
      if (!value(&o->from_json)) return false;
    } else if (a == "--debug") {
      o->debug = true;
    } else if (a == "--quiet") {
      o->quiet = true;
    } else if (a == "--yes") {
      o->yes = true;
    } else if (a == "--about") {
      o->about = true;
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
      if (!ParseNumber(text, 1, 999, &o->entry)) {
        *error = "--entry needs an entry number from 1 to 999, not '" + text + "'";
        return false;
      }
    } else if (a == "--disk") {
      if (!value(&text)) return false;
      if (!ParseNumber(text, 0, 80, &o->disk)) {
        *error = "--disk needs a disk number from 1 to 80, not '" + text + "'";
        return false;
      }
    } else if (a == "--help" || a == "--version") {
      positional.insert(positional.begin(), a.substr(2));
    } else if (a.size() > 1 && a[0] == '-') {
      *error = "unknown option " + a;
      return false;
    } else {
      positional.push_back(a);
    }
  }
  if (!positional.empty() && (positional[0] == "help" || positional[0] == "version")) {
    o->command = positional[0];
    return true;
  }
  if (positional.empty()) {
    *error = "no command given";
    return false;
  }
  o->command = positional[0];
  static const std::set<std::string> kCommands{"list", "quick", "filetest", "cleanup", "fix"};
  if (kCommands.count(o->command) == 0) {
    *error = "unknown command '" + o->command + "'";
    return false;
  }
  if (positional.size() > 2 || (positional.size() == 2 && o->command == "list")) {
    *error = "unexpected argument '" + positional.back() + "'";
    return false;
  }
  if (positional.size() == 2) o->device = positional[1];
  const int choices = (o->device.empty() ? 0 : 1) + (o->disk >= 0 ? 1 : 0) +
                      (o->drive.empty() ? 0 : 1) + (o->entry >= 0 ? 1 : 0);
  if (o->command == "list") {
    if (choices > 0) *error = "list takes no device";
  } else if (choices != 1) {
    *error = o->command + " needs one device (a path, a drive letter or a disk number)";
  } else if (o->command == "fix" && o->device.empty()) {
    *error = "fix needs the device as a path, letter or number";
  } else if (o->disk >= 0 && (o->command == "filetest" || o->command == "cleanup")) {
    *error = o->command + " works on a volume: name its mount point, device or drive letter";
  }
  if (!o->from_json.empty() && o->command != "fix") {
    *error = "--from-json belongs to fix";
  }
  return error->empty();
}

}  // namespace veracap::cli
