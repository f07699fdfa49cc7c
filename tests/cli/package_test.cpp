// The Debian package as a user gets it: made by CPack from this build,
// unpacked into a temporary root, and the runner run from there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/harness.h"

namespace veracap {
namespace {

#ifdef VERACAP_BUILD_DIR
std::string Output(const std::string& command) {
  std::string text;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    ::pclose(p);
  }
  return text;
}

TEST(DebianPackage, InstallsTheRunnerItsManPageAndCompletion) {
  if (std::system("command -v cpack >/dev/null && command -v dpkg-deb >/dev/null") != 0) {
    GTEST_SKIP() << "SKIP: needs cpack and dpkg-deb";
  }
  testing::TempDir dir;
  const std::string pack = "cd '" VERACAP_BUILD_DIR "' && cpack -G DEB -B '" + dir.path() +
                           "/out' >'" + dir.path() + "/cpack.log' 2>&1";
  ASSERT_EQ(std::system(pack.c_str()), 0) << Output("cat '" + dir.path() + "/cpack.log'");
  const std::string deb = dir.path() + "/out/veracap_1.1.1_" +
                          Output("dpkg --print-architecture | tr -d '\\n'") + ".deb";
  EXPECT_NE(Output("dpkg-deb -f '" + deb + "' Depends").find("libblkid1"), std::string::npos);

  const std::string root = dir.path() + "/root";
  ASSERT_EQ(std::system(("dpkg-deb -x '" + deb + "' '" + root + "'").c_str()), 0);
  EXPECT_EQ(Output("'" + root + "/usr/bin/veracap-cli' --version"), "veracap-cli 1.1.1\n");
  const std::string man = root + "/usr/share/man/man1/veracap-cli.1";
  EXPECT_NE(Output("MANWIDTH=80 man -l '" + man + "' 2>&1").find("EXIT STATUS"), std::string::npos);
  const std::string completion = root + "/usr/share/bash-completion/completions/veracap-cli";
  EXPECT_EQ(std::system(("bash -n '" + completion + "'").c_str()), 0);
}
#endif

}  // namespace
}  // namespace veracap
