#include "platform/emulated/manifest.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/emulated_test_support.h"

namespace veracap::emulated {
namespace {

TEST(EmulatedManifest, ParsesSizesWithEverySuffix) {
  std::uint64_t v = 0;
  struct Case {
    const char* text;
    std::uint64_t bytes;
  } cases[] = {{"0", 0},
               {"8000000000", 8000000000ull},
               {"62332200s", 62332200ull * 512},
               {"4KiB", 4096},
               {"1MiB", 1048576},
               {"4GiB", 4294967296ull},
               {"2TiB", 2ull << 40},
               {"1kB", 1000},
               {"1KB", 1000},
               {"32MB", 32000000},
               {"8GB", 8000000000ull},
               {"2TB", 2000000000000ull},
               {"18446744073709551615", 18446744073709551615ull}};
  for (const Case& c : cases) {
    ASSERT_TRUE(ParseSize(c.text, &v)) << c.text;
    EXPECT_EQ(v, c.bytes) << c.text;
  }
  for (const char* bad : {"", "GB", "8 GB", "8gb", "1.5GiB", "-1", "8GiBs", "18446744073709551616",
                          "16777216TiB", "0x10"}) {
    EXPECT_FALSE(ParseSize(bad, &v)) << bad;
  }
}

// The devices' behaviour is tested through the core; here only what a
// bare disk means and where its images go.
TEST(EmulatedManifest, DefaultsOfABareDisk) {
  Manifest m;
  std::string error;
  ASSERT_TRUE(
      ParseManifest("# test\nimages imgs   # beside it\ndisk 1\n  claimed 1MiB\n", &m, &error))
      << error;
  EXPECT_EQ(m.image_dir, "imgs");
  const DiskSpec& bare = m.disks.at(0);
  EXPECT_EQ(bare.real_bytes, bare.claimed_bytes);
  EXPECT_EQ(bare.beyond, Beyond::kWrap);
  EXPECT_EQ(bare.bus_type, 7u);
  EXPECT_TRUE(bare.removable);
}

TEST(EmulatedManifest, RejectsBadInputNamingTheLine) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"claimed 1MiB\n", "line 1: 'claimed' before the first 'disk' line"},
      {"disk 1\n  claimed 1MiB\n  colour red\n", "line 3: unknown key 'colour'"},
      {"disk 1\n  claimed 8 GB\n", "line 2: 'claimed' takes exactly one value"},
      {"disk 1\n  claimed 8XB\n", "line 2: bad size '8XB'"},
      {"disk 1\n  claimed 1MiB\n  beyond sideways\n",
       "line 3: beyond must be wrap, zeros, ff, error or log, not 'sideways'"},
      {"disk 1\n  claimed 1MiB\n  vendor \"TOO LONG VENDOR\"\n",
       "line 3: vendor is longer than 8 characters"},
      {"disk 1\n  claimed 1MiB\n  product \"UNTERMINATED\n", "line 3: unterminated quoted text"},
      {"disk 1\n  claimed 1MiB\ndisk 1\n  claimed 1MiB\n", "line 3: disk 1 twice"},
      {"disk 1\n  real 1MiB\ndisk 2\n  claimed 1MiB\n", "line 1: disk 1: no 'claimed' size"},
      {"disk 1\n  claimed 1MiB\n  real 2MiB\n",
       "line 1: disk 1: real size must be above 0 and at most the claimed size"},
      {"disk 1\n  claimed 1000\n", "line 1: disk 1: sizes must be whole 512-byte sectors"},
      {"disk 1\n  claimed 1MiB\n  fault read-fail 2048\n",
       "line 1: disk 1: fault at sector 2048 lies beyond the claimed size"},
      {"disk 1\n  claimed 1MiB\n  fault short-read 5\n",
       "line 3: short-read needs the number of bytes delivered, below 512"},
      {"disk 1\n  claimed 1MiB\n  fault short-read 5 512\n",
       "line 3: short-read needs the number of bytes delivered, below 512"},
      {"disk 1\n  claimed 1MiB\n  file \"A\" 1\n", "line 3: 'file' before a 'volume' of this disk"},
      {"disk 1\n  claimed 1MiB\n  volume E: label \"X\" capacity 1MiB\n",
       "line 1: disk 1: volume E: runs past the claimed size"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 1MiB\n  volume F: capacity 1MiB offset "
       "1536KiB\n",
       "line 1: disk 1: volume E: overlaps volume F:"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 1MiB\ndisk 2\n  claimed 8MiB\n  volume e: "
       "capacity 1MiB\n",
       "line 6: volume E: twice"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 1MiB\n  file \"A*\" 1\n",
       "line 4: bad file name 'A*'"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 1MiB\n  file \"A\" 1 hiden\n",
       "line 4: unknown file attribute 'hiden'"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 1MiB\n  file \"A\" 1 link\n",
       "line 4: a folder, link or pipe has size 0"},
      {"disk 1\n  claimed 8MiB\n  volume E: capacity 8KiB\n  file \"A\" 4097\n  file \"B\" 1\n",
       "line 1: disk 1: volume E: files do not fit"},
      {"disk 1\n  claimed 8MiB\n  volume E: label \"X\"\n", "line 3: volume without capacity"},
      {"drive Z: remote\ndisk 1\n  claimed 8MiB\n  volume Z: capacity 1MiB\n",
       "line 4: volume Z: twice"},
      {"drive Y: floppy\n", "line 1: drive type must be remote, cdrom, ramdisk or unknown"},
      {"disk 1\n  claimed 8MiB\n  volume - capacity 1MiB mount \"mnt\"\n",
       "line 3: mount needs a folder such as C:\\mnt\\stick"},
  };
  for (const Case& c : cases) {
    Manifest m;
    std::string error;
    EXPECT_FALSE(ParseManifest(c.text, &m, &error)) << c.text;
    EXPECT_EQ(error, c.message) << c.text;
  }
}

TEST(EmulatedManifest, LoadResolvesTheImageFolderBesideTheManifest) {
  testing::TempDir dir;
  {
    std::ofstream out(dir.File("devices.manifest"));
    out << "images imgs\ndisk 1\n  claimed 1MiB\n";
  }
  Manifest m;
  std::string error;
  ASSERT_TRUE(LoadManifest(dir.File("devices.manifest"), &m, &error)) << error;
  EXPECT_EQ(m.image_dir, dir.File("imgs"));
  EXPECT_FALSE(LoadManifest(dir.File("missing.manifest"), &m, &error));
  EXPECT_EQ(error, dir.File("missing.manifest") + ": cannot be read");
}

}  // namespace
}  // namespace veracap::emulated
