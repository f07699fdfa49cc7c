// The command-line runner as a person or a script uses it: the device list,
// the tests on a device named by letter or number, the question on a
// terminal, the JSON report, and the refusals that leave everything as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/harness.h"

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define VERACAP_HAVE_JSON 1
#endif

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace veracap {
namespace {

struct CliRun {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

bool Has(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

// A small "32 GB" stick holding 300 MiB beside a genuine one, for the file
// commands.
const char* const kSmallSticks =
    "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\n"
    "  volume C: label \"SYSTEM\" capacity 30GiB\n"
    "disk 1\n  claimed 600MiB\n  bus usb\n"
    "  volume E: label \"STICK\" capacity 560MiB\n"
    "  file \"KEEP.TXT\" 5000\n"
    "disk 2\n  claimed 1200MiB\n  real 300MiB\n  beyond wrap\n  bus usb\n"
    "  volume F: label \"FAKE\" capacity 1100MiB\n"
    "disk 3\n  claimed 32MiB\n  bus usb\n  vendor GENERIC\n  product \"BLANK\"\n";

class Runner : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "runs the runner through a POSIX shell";
#endif
  }
  // Runs veracap-cli with the arguments (the shell's words), its images in a
  // fresh folder, standard input from /dev/null.
  CliRun Cli(const std::string& arguments) {
    const std::string out = dir.path() + "/out.txt", err = dir.path() + "/err.txt";
    const int raw =
        std::system((std::string("'") + VERACAP_CLI + "' --images '" + dir.path() + "/images' " +
                     arguments + " >'" + out + "' 2>'" + err + "' </dev/null")
                        .c_str());
#ifndef _WIN32
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
#else
    return {raw, Slurp(out), Slurp(err)};
#endif
  }
  std::string Manifest(const std::string& text) {
    const std::string path = dir.path() + "/devices.manifest";
    std::ofstream(path) << text;
    return "--devices '" + path + "' ";
  }
  testing::TempDir dir;
};

// Every disk with --all, the system's refused with its reason; the USB disks
// alone without it.
TEST_F(Runner, ListsUsbDisksAndWithAllTheOthersAndWhyTheyAreRefused) {
  const CliRun usb = Cli("list"), all = Cli("list --all");
  ASSERT_EQ(usb.status + all.status, 0) << usb.err << all.err;
  EXPECT_EQ(all.out.find("PhysicalDrive0   120.0 GB  ATA GENERIC SSD 120          sata  fixed     "
                         "C:      -                      disk 0  refused: holds Windows\n"),
            0u)
      << all.out;
  EXPECT_TRUE(Has(all.out,
                  "\nPhysicalDrive2    31.9 GB  GENERIC MASS STORAGE         usb   "
                  "removable F:      -                      disk 2\n"));
  EXPECT_TRUE(Has(all.out, "sata  fixed     D:      -                      disk 5\n"));
  std::string usb_only;
  std::istringstream lines(all.out);
  for (std::string line; std::getline(lines, line);) {
    if (Has(line, " usb ")) usb_only += line + "\n";
  }
  EXPECT_EQ(usb.out + usb.err, usb_only) << "no About box unless asked";
}

// The log as the program writes it, from its first line, each verdict once
// (the message box shows the same text), the speeds after the specified
// lines, and the JSON report; no dialogue, no progress bar off a terminal,
// no About unless asked. Without --yes the JSON says the run was refused.
TEST_F(Runner, QuickSizeTestFailsTheCounterfeitAndReportsItOnceWithJson) {
  const std::string json = dir.path() + "/run.json";
  const CliRun run = Cli("quick F: --yes --json '" + json + "'");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out.find("VERACAP v1.1.1  [Qmx]\nDRIVE 2 -   29.7GiB GENERIC MASS STORAGE  "), 0u)
      << run.out;
  for (const char* never : {"[message box", "markers/s", "This utility tests the size"}) {
    EXPECT_FALSE(Has(run.out + run.err, never)) << never;
  }
  const auto failed = run.out.find("*** FAILED ***");
  ASSERT_NE(failed, std::string::npos);
  EXPECT_EQ(run.out.find("*** FAILED ***", failed + 1), std::string::npos) << run.out;
  const auto speed = run.out.find("\nSpeed: ");
  ASSERT_NE(speed, std::string::npos) << run.out;
  EXPECT_GT(speed, run.out.find("Unplug and re-connect the drive"));
  EXPECT_TRUE(Has(run.out.substr(speed), " writes/s, mean write latency ")) << run.out;
#ifdef VERACAP_HAVE_JSON
  const nlohmann::json j = nlohmann::json::parse(Slurp(json));
  EXPECT_EQ(j["verdict"], "failed");
  EXPECT_EQ(j["first_bad_sector"], 8388608);
  EXPECT_EQ(j["real_size_bytes"], 8388608ll * 512);
  EXPECT_EQ(j["recommended_partition_bytes"], 8388608ll * 512 - 13107200);
  EXPECT_EQ(j["device"]["claimed_bytes"], 31914086400ll);
  // One sector per marker request, and the lowest block and the cache flood
  // in requests of 1 MiB: about 285 MiB in all.
  EXPECT_GT(j["bytes_written"].get<long long>(), j["markers_written"].get<long long>() * 512);
  EXPECT_LT(j["bytes_written"].get<long long>(), 300ll << 20);
  EXPECT_TRUE(Has(j["log"].get<std::string>(), "\r\n                         *** FAILED ***"));
  EXPECT_EQ(Cli("quick F: --json '" + json + "'").status, 2);
  EXPECT_EQ(nlohmann::json::parse(Slurp(json))["verdict"], "refused");
#endif
}

// Each run's exit status (0 passed, 1 failed, 2 refused or not run) and what
// it says: a device by letter, number, the old --entry and --disk; the quiet
// verdict line; About only when asked. The refusals write nothing: no
// confirmation, a disk not on USB without --all, disk 0, no such entry or
// device, a manifest that is a folder.
TEST_F(Runner, ExitStatusesAndWhatEachRunSays) {
  const std::string devices =
      Manifest(kSmallSticks + std::string("disk 4\n  claimed 64MiB\n  bus sata\n"));
  enum Match { kHas, kStarts, kIs };  // how the first piece meets the output and errors
  const struct {
    std::string arguments;
    int status;
    std::vector<std::string> said;  // in the output or the errors
    Match match = kHas;
  } table[] = {
      {"--quiet quick 2 --yes",
       1,
       {"FAILED PhysicalDrive2: bad memory from sector 8388608; recommended partition at most "
        "4281860096 bytes\n"},
       kIs},
      {"--about --drive F: quick --yes",
       1,
       {"VERACAP v1.1.1  [Qmx]  2014\n\nThis utility tests the size"},
       kStarts},
      {devices + "quick 3 --yes", 0, {"DRIVE 3 -"}},
      {devices + "--entry 3 quick --yes", 0, {"DRIVE 3 -"}},
      {devices + "--all-drives --disk 4 quick --yes", 0, {"*** PASSED ***"}},
      {devices + "filetest E: --yes", 0, {"\nPASSED: ", "\nWrite speed: ", "\nRead speed: "}},
      {devices + "--drive F: filetest --yes --quiet", 1, {"FAILED F:: ", "probably fake"}, kStarts},
      {devices + "cleanup F:", 0, {""}, kIs},  // nothing to delete: nothing said
      {"quick F:", 2, {"not confirmed (run it again with --yes"}},
      {devices + "--disk 4 quick --yes", 2, {}},
      {"quick D: --yes", 2, {"disks not on USB are tested with --all"}},
      {"--all-drives --disk 0 quick --yes", 2, {}},
      {"--entry 7 quick --yes", 2, {}},
      {"quick /dev/null --yes", 2, {}},
      {"--devices '" + dir.path() + "' list", 2, {"is a folder, not a manifest file"}},
  };
  for (const auto& row : table) {
    const CliRun run = Cli(row.arguments);
    const std::string said = run.out + run.err;
    SCOPED_TRACE(row.arguments + "\n" + said);
    EXPECT_EQ(run.status, row.status);
    for (const std::string& piece : row.said) EXPECT_TRUE(Has(said, piece)) << piece;
    EXPECT_TRUE(row.match != kStarts || said.find(row.said[0]) == 0);
    EXPECT_TRUE(row.match != kIs || said == row.said[0]);
    EXPECT_TRUE(row.status != 2 || !Has(run.out, "Writing marker"));
  }
}

// A damaged image table stops the run before anything is written, and is
// kept as it was.
TEST_F(Runner, PlatformErrorsStopTheRunBeforeAnythingIsWritten) {
  const std::string devices = Manifest(kSmallSticks);
  ASSERT_EQ(Cli(devices + "list").status, 0);  // makes the images and tables
  const std::string table = dir.path() + "/images/volume-E.table";
  std::string text = Slurp(table);
  ASSERT_TRUE(Has(text, "KEEP.TXT")) << text;
  text.insert(text.find('\n') + 1, "garbage\n");  // before the user's file
  std::ofstream(table, std::ios::binary | std::ios::trunc) << text;
  const CliRun damaged = Cli(devices + "filetest E: --yes");
  EXPECT_EQ(damaged.status, 2);
  EXPECT_TRUE(Has(damaged.err, "volume-E.table:2: bad file entry")) << damaged.err;
  EXPECT_EQ(Slurp(table), text);
}

#ifndef _WIN32
// In a pseudo-terminal (script): the question names the device and an
// answer n writes nothing; with --yes the bar is redrawn in place.
TEST_F(Runner, OnATerminalAsksOnceAndDrawsAProgressBar) {
  if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "SKIP: no script";
  const std::string cli = std::string(VERACAP_CLI) + " --images " + dir.path() + "/images";
  const std::string out = dir.path() + "/tty.txt";
  const std::string no = "printf 'n\\n' | script -qec '" + cli + " quick F:' /dev/null >" + out;
  ASSERT_NE(std::system(no.c_str()), -1);
  const std::string asked = Slurp(out);
  EXPECT_TRUE(Has(asked,
                  "DESTROYS ALL DATA on PhysicalDrive2 (31,914,086,400 bytes, GENERIC "
                  "MASS STORAGE, disk 2, volumes F:)"))
      << asked;
  EXPECT_TRUE(Has(asked, "not confirmed; nothing was written")) << asked;
  EXPECT_FALSE(Has(asked, "Writing marker"));

  const std::string yes = "script -qec '" + cli + " quick F: --yes' /dev/null </dev/null >" + out;
  ASSERT_NE(std::system(yes.c_str()), -1);
  const std::string drawn = Slurp(out);
  const auto first = drawn.find("\r[");
  ASSERT_NE(first, std::string::npos) << drawn.substr(0, 400);
  EXPECT_NE(drawn.find("\r[", first + 1), std::string::npos) << "redrawn in place";
  EXPECT_TRUE(Has(drawn, "markers/s")) << drawn.substr(0, 400);
  EXPECT_TRUE(Has(drawn, "\x1b[K"));
  EXPECT_TRUE(Has(drawn, "*** FAILED ***"));
}
#endif

}  // namespace
}  // namespace veracap
