// The manifest of emulated devices: sizes in every unit, bad input refused
// naming its line, the image folder beside the manifest. What the devices do
// is tested through the core.
#include "platform/emulated/manifest.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/harness.h"

namespace veracap::emulated {
namespace {

TEST(EmulatedManifest, ParsesSizesWithEverySuffix) {
  std::uint64_t v = 0;
  const std::pair<const char*, std::uint64_t> sizes[] = {
      {"0", 0},
      {"62332200s", 62332200ull * 512},
      {"4KiB", 4096},
      {"2TiB", 2ull << 40},
      {"1kB", 1000},
      {"2TB", 2000000000000ull},
      {"18446744073709551615", 18446744073709551615ull}};
  for (const auto& [text, bytes] : sizes) {
    ASSERT_TRUE(ParseSize(text, &v)) << text;
    EXPECT_EQ(v, bytes) << text;
  }
  for (const char* bad :
       {"", "GB", "8 GB", "8gb", "1.5GiB", "-1", "18446744073709551616", "16777216TiB", "0x10"}) {
    EXPECT_FALSE(ParseSize(bad, &v)) << bad;
  }
}

TEST(EmulatedManifest, RejectsBadInputNamingTheLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"claimed 1MiB\n", "line 1: 'claimed' before the first 'disk' line"},
      {"disk 1\n  claimed 1MiB\n  colour red\n", "line 3: unknown key 'colour'"},
      {"disk 1\n  claimed 8XB\n", "line 2: bad size '8XB'"},
      {"disk 1\n  claimed 1MiB\n  product \"UNTERMINATED\n", "line 3: unterminated quoted text"},
      {"disk 1\n  claimed 1MiB\ndisk 1\n  claimed 1MiB\n", "line 3: disk 1 twice"},
      {"disk 1\n  claimed 1MiB\n  real 2MiB\n",
       "line 1: disk 1: real size must be above 0 and at most the claimed size"},
      {"disk 1\n  claimed 1000\n", "line 1: disk 1: sizes must be whole 512-byte sectors"},
      {"disk 1\n  claimed 1MiB\n  fault read-fail 2048\n",
       "line 1: disk 1: fault at sector 2048 lies beyond the claimed size"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 1MiB\n  volume F: capacity 1MiB offset "
       "1536KiB\n",
       "line 1: disk 1: volume E: overlaps volume F:"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 8KiB\n  file \"A\" 4097\n  file \"B\" 1\n",
       "line 1: disk 1: volume E: files do not fit"},
  };
  for (const auto& [text, message] : cases) {
    Manifest m;
    std::string error;
    EXPECT_FALSE(ParseManifest(text, &m, &error)) << text;
    EXPECT_EQ(error, message) << text;
  }
}

TEST(EmulatedManifest, LoadResolvesTheImageFolderBesideTheManifest) {
  testing::TempDir dir;
  std::ofstream(dir.File("devices.manifest")) << "images imgs\ndisk 1\n  claimed 1MiB\n";
  Manifest m;
  std::string error;
  ASSERT_TRUE(LoadManifest(dir.File("devices.manifest"), &m, &error)) << error;
  EXPECT_EQ(m.image_dir, dir.File("imgs"));
  EXPECT_FALSE(LoadManifest(dir.File("missing.manifest"), &m, &error));
  EXPECT_EQ(error, dir.File("missing.manifest") + ": cannot be read");
}

}  // namespace
}  // namespace veracap::emulated
