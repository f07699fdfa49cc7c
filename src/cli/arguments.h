// The runner's command line: a command, at most one device, and options that
// may stand anywhere. Each option may be given once; numbers are whole
// decimal numbers within their range, nothing else.
#pragma once

#include <string>

namespace veracap::cli {

struct Options {
  std::string command;  // list, quick, filetest, cleanup, fix, help, version
  std::string device;   // the command's DEVICE / MOUNTPOINT argument
  std::string devices;  // --devices FILE
  std::string images;   // --images DIR
  std::string json;     // --json FILE, "-" for standard output
  std::string from_json;
  bool debug = false;
  bool quiet = false;
  bool yes = false;
  bool about = false;
  bool all_drives = false;
  // The earlier way of naming what to test, kept for scripts.
  long disk = -1;
  std::string drive;  // "E:"
  long entry = -1;    // 1-based
};

// Parses argv[1..argc-1]. False with *error set on any misuse.
bool ParseArguments(int argc, const char* const* argv, Options* options, std::string* error);

// "e", "E:", "e:\" all name drive E:; anything else is not a drive.
bool ParseDrive(const std::string& text, std::string* drive);

// A whole decimal number from low to high: digits only, no sign, blank or
// leading "+"; false when it is anything else or out of range.
bool ParseNumber(const std::string& text, long low, long high, long* value);

extern const char* const kUsage;

}  // namespace veracap::cli
