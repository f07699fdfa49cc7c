// What the core's identification tests cannot see of the emulated control
// requests: answers cut to the caller's buffer, refused requests, and the
// volume lock's rules. The answers themselves are proven through the core
// (tests/diskio, tests/drives).
#include <gtest/gtest.h>

#include <array>

#include "diskio/device_queries.h"
#include "support/emulated_test_support.h"

namespace veracap::emulated {
namespace {

TEST(EmulatedControl, AnswersFitTheCallersBufferAndUnknownRequestsFail) {
  testing::TempDir dir;
  auto p = testing::MakePlatform(
      "disk 2\n  claimed 8MiB\n  vendor ACME\n  product \"FLASH DISK\"\n  serial ABC123\n"
      "  volume F: label \"FAKE\" capacity 1MiB\n",
      dir.path());
  const Handle disk =
      p->CreateFile("\\\\.\\PhysicalDrive2", kGenericRead | kGenericWrite, 3, kOpenExisting, 0);
  ScsiBlock block{};
  PrepareScsiRequest(block, kScsiInquiry);
  ScsiPassThroughHeader header = DecodeScsiPassThrough(block.data());
  header.data_transfer_length = 20;
  EncodeScsiPassThrough(header, block.data());
  std::uint32_t returned = 0;
  ASSERT_TRUE(p->DeviceIoControl(disk, kIoctlScsiPassThrough, block.data(), kScsiRequestBytes,
                                 block.data(), kScsiRequestBytes, &returned));
  EXPECT_EQ(returned, 76u + 20);
  EXPECT_EQ(block[76 + 20], 0);
  PrepareScsiRequest(block, 0x28);  // READ (10): not answered
  EXPECT_FALSE(p->DeviceIoControl(disk, kIoctlScsiPassThrough, block.data(), kScsiRequestBytes,
                                  block.data(), kScsiRequestBytes, &returned));
  EXPECT_EQ(returned, 0u);
  // The descriptor cut to 30 bytes (AddressSanitizer sees any byte beyond).
  const std::uint8_t query[12] = {};
  std::array<std::uint8_t, 30> small{};
  ASSERT_TRUE(
      p->DeviceIoControl(disk, kIoctlStorageQueryProperty, query, 12, small.data(), 30, &returned));
  EXPECT_EQ(returned, 30u);

  // A volume unlocks only once locked, and only volumes lock.
  const Handle a = p->CreateFile("\\\\.\\F:", kGenericRead | kGenericWrite, 3, kOpenExisting, 0);
  const auto request = [&](Handle h, std::uint32_t code) {
    return p->DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned);
  };
  EXPECT_FALSE(request(a, kFsctlUnlockVolume));
  EXPECT_TRUE(request(a, kFsctlLockVolume));
  EXPECT_TRUE(request(a, kFsctlUnlockVolume));
  EXPECT_FALSE(request(disk, kFsctlLockVolume));  // not a volume
}

}  // namespace
}  // namespace veracap::emulated
