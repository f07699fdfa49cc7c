// The command-line runner as a person uses it: the drive list, and the Quick
// Size Test chosen by drive letter or entry, answered from the command line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/harness.h"

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

class Runner : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "runs the runner through a POSIX shell";
#endif
  }
  // Runs veracap-cli with the arguments, its images in a fresh folder.
  CliRun Cli(const std::string& arguments) {
    const std::string out = dir.path() + "/out.txt";
    const std::string err = dir.path() + "/err.txt";
    const std::string command = std::string("'") + VERACAP_CLI + "' --images '" + dir.path() +
                                "/images' " + arguments + " >'" + out + "' 2>'" + err + "'";
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
  testing::TempDir dir;
};

TEST_F(Runner, ListsUsbDrivesAndAllDrivesOnlyWhenAsked) {
  const CliRun usb = Cli("list");
  ASSERT_EQ(usb.status, 0) << usb.err;
  const std::vector<std::string> entries = Lines(usb.out);
  ASSERT_EQ(entries.size(), 6u) << usb.out;
  EXPECT_EQ(entries[1], "F:     FAKE32    DRIVE 2 -   29.7GiB GENERIC MASS STORAGE           ");
  EXPECT_EQ(entries[2].substr(0, 38), "G:     FAKE2TB    DRIVE 3 -1,863.0GiB ");
  for (const std::string& entry : entries) EXPECT_NE(entry.substr(0, 2), "D:");
  EXPECT_NE(usb.err.find("[message box: About Veracap, style 64, answered OK]"), std::string::npos);

  const CliRun all = Cli("--all-drives list");
  ASSERT_EQ(all.status, 0) << all.err;
  const std::vector<std::string> all_entries = Lines(all.out);
  ASSERT_EQ(all_entries.size(), 7u) << all.out;
  EXPECT_EQ(all_entries[4].substr(0, 26), "D:     DATA    DRIVE 5 -  ");
  EXPECT_NE(all.err.find("[message box: VERACAP, style 1, answered OK]\n"
                         "WARNING: All drives in the system will be listed!"),
            std::string::npos);
}

TEST_F(Runner, QuickSizeTestByDriveLetterFailsTheCounterfeit) {
  const CliRun run = Cli("--drive F: quick --yes");
  EXPECT_EQ(run.status, 1) << run.err;
  const std::string head =
      "VERACAP v1.1.1  [Qmx]\nDRIVE 2 -   29.7GiB GENERIC MASS STORAGE           \n"
      "Veracap - Quick Size Test (destructive)\n"
      "F:     FAKE32    DRIVE 2 -   29.7GiB GENERIC MASS STORAGE           \n"
      "[message box: Quick Size Test, style 1, answered OK]\n"
      "WARNING: This test will DESTROY ALL DATA on the whole drive.\n";
  EXPECT_NE(run.out.find(head), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("[message box: Quick Size Test, style 49, answered OK]\n"
                         "ARE YOU SURE IT IS OK TO ERASE ALL VOLUMES ON DRIVE 2?"),
            std::string::npos);
  EXPECT_NE(run.out.find("*** FAILED ***"), std::string::npos);
  // The About box came first.
  EXPECT_EQ(run.out.find("\n[message box: About Veracap, style 64, answered OK]"), 0u);
}

TEST_F(Runner, RefusesWithoutYesAndOnBadArguments) {
  const CliRun unconfirmed = Cli("--drive f quick");
  EXPECT_EQ(unconfirmed.status, 2);
  EXPECT_NE(unconfirmed.out.find("[message box: Quick Size Test, style 1, answered Cancel]"),
            std::string::npos);
  EXPECT_EQ(unconfirmed.out.find("Writing marker"), std::string::npos);
  EXPECT_NE(unconfirmed.err.find("answered Cancel (run it again with --yes"), std::string::npos);

  EXPECT_EQ(Cli("--drive D: quick --yes").status, 2);  // not on USB, not listed
  EXPECT_EQ(Cli("--entry 7 quick --yes").status, 2);   // six entries
  EXPECT_EQ(Cli("--drive E: --entry 1 quick").status, 2);
  EXPECT_EQ(Cli("--disk 2 list").status, 2);
}

TEST_F(Runner, QuickSizeTestByEntryForADiskWithoutALetter) {
  const std::string manifest = dir.path() + "/devices.manifest";
  std::ofstream(manifest) << "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\n"
                             "  volume C: label \"SYSTEM\" capacity 30GiB\n"
                             "  volume D: label \"MORE\" capacity 30GiB offset 31GiB\n"
                             "disk 1\n  claimed 64MiB\n  bus usb\n"
                             "  volume E: label \"STICK\" capacity 32MiB\n"
                             "disk 2\n  claimed 32MiB\n  bus usb\n  vendor GENERIC\n"
                             "  product \"BLANK\"\n";
  const CliRun list = Cli("--devices '" + manifest + "' list");
  ASSERT_EQ(Lines(list.out).size(), 2u) << list.out << list.err;
  EXPECT_EQ(Lines(list.out)[1].substr(0, 32), "                       DRIVE 2 -");

  const CliRun run = Cli("--devices '" + manifest + "' --entry 2 quick --yes");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("ARE YOU SURE IT IS OK TO ERASE ALL VOLUMES ON DRIVE 2?"),
            std::string::npos);
  EXPECT_NE(run.out.find("*** PASSED ***"), std::string::npos);
}

TEST_F(Runner, VolumeFileTestAndCleanUpByDriveLetter) {
  // A small stick: two 200 MiB files and a last one.
  const std::string manifest = dir.path() + "/devices.manifest";
  std::ofstream(manifest) << "disk 0\n  claimed 64GiB\n  bus sata\n  removable no\n"
                             "  volume C: label \"SYSTEM\" capacity 30GiB\n"
                             "disk 1\n  claimed 600MiB\n  bus usb\n"
                             "  volume E: label \"STICK\" capacity 560MiB\n"
                             "disk 2\n  claimed 1200MiB\n  real 300MiB\n  beyond wrap\n  bus usb\n"
                             "  volume F: label \"FAKE\" capacity 1100MiB\n";
  const std::string devices = "--devices '" + manifest + "' ";

  const CliRun refused = Cli(devices + "--drive E: filetest");
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("answered Cancel (run it again with --yes"), std::string::npos);
  EXPECT_EQ(refused.out.find("Writing "), std::string::npos);

  const CliRun genuine = Cli(devices + "--drive E: filetest --yes");
  EXPECT_EQ(genuine.status, 0) << genuine.out << genuine.err;
  EXPECT_NE(genuine.out.find("\nPASSED: "), std::string::npos);

  const CliRun fake = Cli(devices + "--drive F: filetest --yes");
  EXPECT_EQ(fake.status, 1) << fake.out << fake.err;
  EXPECT_NE(fake.out.find("TEST FAILED: Only "), std::string::npos);

  // Nothing to clean: no output beyond start-up, success.
  const CliRun cleanup = Cli(devices + "--drive F: cleanup");
  EXPECT_EQ(cleanup.status, 0);
  EXPECT_EQ(cleanup.out.find("Deleting "), std::string::npos);
  EXPECT_EQ(Cli(devices + "--disk 1 filetest --yes").status, 2);
}

}  // namespace
}  // namespace veracap
