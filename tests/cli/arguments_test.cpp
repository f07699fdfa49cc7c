// The runner's arguments: every misuse refused with its reason, the old
// forms still accepted.
#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace veracap::cli {
namespace {

bool Parse(const std::string& line, Options* o, std::string* error) {
  std::vector<std::string> words{"veracap-cli"};
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w == "''" ? "" : w);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  return ParseArguments(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(RunnerArguments, MisuseIsRefusedWithItsReason) {
  struct Case {
    const char* line;
    const char* error;  // a piece of the message
  };
  const Case cases[] = {
      {"", "no command given"},
      {"erase /dev/sdb", "unknown command 'erase'"},
      {"--disk 2 --disk 3 quick", "--disk is given more than once"},
      {"--all --all-drives list", "--all-drives is given more than once"},
      {"--disk 81 quick", "from 1 to 80"},
      {"--entry 0 quick", "from 1 to 999"},
      {"--drive 7: quick", "drive letter"},
      {"--disk 2 list", "list takes no device"},
      {"list F:", "unexpected argument 'F:'"},
      {"quick", "quick needs one device"},
      {"--drive F: quick G:", "needs one device"},
      {"--disk 2 filetest", "filetest works on a volume"},
      {"--json", "--json needs a value"},
      {"quick F: --force", "unknown option --force"},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(c.line, &o, &error)) << c.line;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.line << ": " << error;
  }
}

TEST(RunnerArguments, DevicesByPathLetterOrNumberAndTheOldForms) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse("quick /dev/sdb --yes --json - --quiet", &o, &error)) << error;
  EXPECT_EQ(o.command, "quick");
  EXPECT_EQ(o.device, "/dev/sdb");
  EXPECT_TRUE(o.yes && o.quiet);
  EXPECT_EQ(o.json, "-");

  Options old;
  ASSERT_TRUE(Parse("--all-drives --disk 5 quick", &old, &error)) << error;
  EXPECT_EQ(old.disk, 5);
  EXPECT_TRUE(old.all_drives);

  Options letter;
  ASSERT_TRUE(Parse("--drive f filetest", &letter, &error)) << error;
  EXPECT_EQ(letter.drive, "F:");
  Options help;
  ASSERT_TRUE(Parse("quick --help", &help, &error));
  EXPECT_EQ(help.command, "help");
}

TEST(RunnerArguments, NumbersAreDigitsWithinTheirRange) {
  long v = -1;
  for (const char* bad :
       {"", " 2", "2 ", "+2", "-0", "0x2", "1e2", "81", "4294967298", "99999999999999999999"}) {
    EXPECT_FALSE(ParseNumber(bad, 1, 80, &v)) << "'" << bad << "'";
  }
  EXPECT_TRUE(ParseNumber("080", 1, 80, &v));
  EXPECT_EQ(v, 80);
}

}  // namespace
}  // namespace veracap::cli
