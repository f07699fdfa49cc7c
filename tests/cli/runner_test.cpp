// The command-line runner as a person or a script uses it: the device list,
// the tests on a device named by letter or number, the question on a
// terminal, the JSON report, and the refusals that leave everything as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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
  // fresh folder, standard input from /dev/null unless input is given.
  CliRun Cli(const std::string& arguments, const std::string& input = "") {
    const std::string out = dir.path() + "/out.txt";
    const std::string err = dir.path() + "/err.txt";
    std::string command = std::string("'") + VERACAP_CLI + "' --images '" + dir.path() +
                          "/images' " + arguments + " >'" + out + "' 2>'" + err + "'";
    command = input.empty() ? command + " </dev/null" : "printf '" + input + "' | " + command;
    CliRun run;
    const int raw = std::system(command.c_str());
#ifndef _WIN32
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#else
    run.status = raw;
#endif
    run.out = Slurp(out);
    run.err = Slurp(err);
    return run;
  }
  std::string Manifest(const std::string& text) {
    const std::string path = dir.path() + "/devices.manifest";
    std::ofstream(path) << text;
    return "--devices '" + path + "' ";
  }
  testing::TempDir dir;
};

TEST_F(Runner, ListsUsbDisksAndWithAllTheOthersAndWhyTheyAreRefused) {
  const CliRun usb = Cli("list");
  ASSERT_EQ(usb.status, 0) << usb.err;
  const std::vector<std::string> disks = Lines(usb.out);
  ASSERT_EQ(disks.size(), 6u) << usb.out;
  EXPECT_TRUE(Has(disks[1], "PhysicalDrive2")) << disks[1];
  for (const char* piece : {"31.9 GB", "GENERIC MASS STORAGE", "usb", "F:", "disk 2"}) {
    EXPECT_TRUE(Has(disks[1], piece)) << piece << " in " << disks[1];
  }
  EXPECT_FALSE(Has(usb.out + usb.err, "About")) << "no About box unless asked";

  const CliRun all = Cli("list --all");
  ASSERT_EQ(all.status, 0) << all.err;
  const std::vector<std::string> every = Lines(all.out);
  ASSERT_EQ(every.size(), 8u) << all.out;
  EXPECT_TRUE(Has(every[0], "sata  fixed")) << every[0];
  EXPECT_TRUE(Has(every[0], "refused: holds Windows")) << every[0];
  EXPECT_FALSE(Has(every[5], "refused")) << every[5];
}

TEST_F(Runner, QuickSizeTestFailsTheCounterfeitAndReportsItOnceWithJson) {
  const std::string json = dir.path() + "/run.json";
  const CliRun run = Cli("quick F: --yes --json '" + json + "'");
  EXPECT_EQ(run.status, 1) << run.err;
  // The log as the program writes it, from its first line; no dialogue.
  EXPECT_EQ(run.out.find("VERACAP v1.1.1  [Qmx]\nDRIVE 2 -   29.7GiB GENERIC MASS STORAGE  "), 0u)
      << run.out;
  EXPECT_FALSE(Has(run.out, "[message box")) << run.out;
  EXPECT_FALSE(Has(run.err, "markers/s")) << "a progress bar only on a terminal";
  EXPECT_FALSE(Has(run.out, "This utility tests the size")) << "About only with --about";
  // Each verdict once (the log's; the message box shows the same text).
  const auto failed = run.out.find("*** FAILED ***");
  ASSERT_NE(failed, std::string::npos);
  EXPECT_EQ(run.out.find("*** FAILED ***", failed + 1), std::string::npos) << run.out;
  // The speeds follow the specified lines.
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
#endif
}

TEST_F(Runner, QuietPrintsTheVerdictLineOnlyAndAboutShowsTheAboutText) {
  const CliRun quiet = Cli("--quiet quick 2 --yes");
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out,
            "FAILED PhysicalDrive2: bad memory from sector 8388608; recommended partition at "
            "most 4281860096 bytes\n");
  const CliRun old = Cli("--about --drive F: quick --yes");  // the old form
  EXPECT_EQ(old.status, 1);
  EXPECT_EQ(old.out.find("VERACAP v1.1.1  [Qmx]  2014\n\nThis utility tests the size"), 0u)
      << old.out;
}

// A device by number, by the old --entry and --disk, and what is refused
// (exit 2, nothing written): no confirmation, a disk not on USB without --all,
// disk 0, no such entry, no such device.
TEST_F(Runner, DevicesAndRefusals) {
  const std::string json = dir.path() + "/run.json";
  const CliRun unconfirmed = Cli("quick F: --json '" + json + "'");
  EXPECT_EQ(unconfirmed.status, 2);
  EXPECT_FALSE(Has(unconfirmed.out, "Writing marker"));
  EXPECT_TRUE(Has(unconfirmed.err, "not confirmed (run it again with --yes")) << unconfirmed.err;
#ifdef VERACAP_HAVE_JSON
  EXPECT_EQ(nlohmann::json::parse(Slurp(json))["verdict"], "refused");
#endif
  const std::string devices =
      Manifest(kSmallSticks + std::string("disk 4\n  claimed 64MiB\n  bus sata\n"));
  struct Row {
    std::string arguments;
    int status;
    const char* said;  // in the output or the errors
  };
  const Row table[] = {
      {devices + "quick 3 --yes", 0, "DRIVE 3 -"},
      {devices + "--entry 3 quick --yes", 0, "DRIVE 3 -"},
      {devices + "--all-drives --disk 4 quick --yes", 0, "*** PASSED ***"},
      {devices + "--disk 4 quick --yes", 2, ""},
      {"quick D: --yes", 2, "disks not on USB are tested with --all"},
      {"--all-drives --disk 0 quick --yes", 2, ""},
      {"--entry 7 quick --yes", 2, ""},
      {"quick /dev/null --yes", 2, ""},
  };
  for (const Row& row : table) {
    const CliRun run = Cli(row.arguments);
    EXPECT_EQ(run.status, row.status) << row.arguments << "\n" << run.out << run.err;
    EXPECT_TRUE(Has(run.out + run.err, row.said)) << row.arguments << "\n" << run.out << run.err;
    if (row.status == 2) {
      EXPECT_FALSE(Has(run.out, "Writing marker")) << row.arguments;
    }
  }
}

TEST_F(Runner, VolumeFileTestAndCleanUp) {
  const std::string devices = Manifest(kSmallSticks);
  const CliRun genuine = Cli(devices + "filetest E: --yes");
  EXPECT_EQ(genuine.status, 0) << genuine.out << genuine.err;
  EXPECT_TRUE(Has(genuine.out, "\nPASSED: "));
  EXPECT_TRUE(Has(genuine.out, "\nWrite speed: ")) << genuine.out;
  EXPECT_TRUE(Has(genuine.out, "\nRead speed: "));

  const CliRun fake = Cli(devices + "--drive F: filetest --yes --quiet");
  EXPECT_EQ(fake.status, 1) << fake.out << fake.err;
  EXPECT_TRUE(Has(fake.out, "FAILED F:: ")) << fake.out;
  EXPECT_TRUE(Has(fake.out, "probably fake")) << fake.out;

  // Nothing to delete: nothing printed at all.
  const CliRun cleanup = Cli(devices + "cleanup F:");
  EXPECT_EQ(cleanup.status, 0);
  EXPECT_EQ(cleanup.out + cleanup.err, "");
}

TEST_F(Runner, PlatformErrorsStopTheRunBeforeAnythingIsWritten) {
  const std::string devices = Manifest(kSmallSticks);
  ASSERT_EQ(Cli(devices + "list").status, 0);  // makes the images and tables
  const std::string table = dir.path() + "/images/volume-E.table";
  std::string text = Slurp(table);
  ASSERT_TRUE(Has(text, "KEEP.TXT")) << text;
  // A garbage line before the user's file.
  text.insert(text.find('\n') + 1, "garbage\n");
  std::ofstream(table, std::ios::binary | std::ios::trunc) << text;
  const CliRun damaged = Cli(devices + "filetest E: --yes");
  EXPECT_EQ(damaged.status, 2);
  EXPECT_TRUE(Has(damaged.err, "volume-E.table:2: bad file entry")) << damaged.err;
  EXPECT_EQ(Slurp(table), text) << "the damaged table is kept as it was";

  // A manifest that is a folder.
  const CliRun folder = Cli("--devices '" + dir.path() + "' list");
  EXPECT_EQ(folder.status, 2);
  EXPECT_TRUE(Has(folder.err, "is a folder, not a manifest file")) << folder.err;
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
