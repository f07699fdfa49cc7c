// The runner's arguments: every misuse refused with its reason, the old
// forms still accepted.
#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace veracap::cli {
namespace {

// What the words of a line parse to, as one line: the command, the device
// and the options, or the reason they were refused.
std::string Parsed(const std::string& line) {
  std::vector<std::string> words{"veracap-cli"};
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  Options o;
  std::string error;
  if (!ParseArguments(static_cast<int>(argv.size()), argv.data(), &o, &error)) {
    return "refused: " + error;
  }
  return o.command + " " + o.device + " disk=" + std::to_string(o.disk) + " drive=" + o.drive +
         " json=" + o.json + (o.yes ? " yes" : "") + (o.quiet ? " quiet" : "") +
         (o.all_drives ? " all" : "") + ";";
}

TEST(RunnerArguments, MisuseIsRefusedWithItsReasonAndTheOldFormsAccepted) {
  const std::pair<const char*, const char*> cases[] = {
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
      // Devices by path, letter or number, and the old forms.
      {"quick /dev/sdb --yes --json - --quiet", "quick /dev/sdb disk=-1 drive= json=- yes quiet;"},
      {"--all-drives --disk 5 quick", "quick  disk=5 drive= json= all;"},
      {"--drive f filetest", "filetest  disk=-1 drive=F: json=;"},
      {"quick --help", "help "},
  };
  for (const auto& [line, said] : cases) {
    const std::string parsed = Parsed(line);
    EXPECT_TRUE(parsed.starts_with(said) ||
                (parsed.starts_with("refused: ") && parsed.find(said) != std::string::npos))
        << line << ": " << parsed;
  }
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
