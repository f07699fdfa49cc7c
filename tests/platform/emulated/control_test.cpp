#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "diskio/device_queries.h"
#include "support/emulated_test_support.h"

namespace veracap::emulated {
namespace {

using testing::MakePlatform;
using testing::TempDir;

constexpr const char* kDevices = R"(disk 2
  claimed 62332200s
  real 4GiB
  bus usb
  vendor ACME
  product "FLASH DISK"
  revision 8.07
  serial ABC123
  volume F: label "FAKE32" capacity 1GiB
  volume G: label "SECOND" capacity 1GiB offset 2GiB in-use 2
disk 5
  claimed 1GiB
  bus sata
  vendor ATA
  product "SOME HDD"
  removable no
  block 4096
)";

// The pass-through block exactly as the device queries send it.
ScsiBlock PassThroughBlock(std::uint8_t opcode) {
  ScsiBlock b{};
  PrepareScsiRequest(b, opcode);
  return b;
}

class EmulatedControl : public ::testing::Test {
 protected:
  void SetUp() override {
    p_ = MakePlatform(kDevices, dir_.path());
    disk2_ = Open("\\\\.\\PhysicalDrive2");
    ASSERT_NE(disk2_, kInvalidHandle);
  }
  Handle Open(const std::string& path, std::uint32_t access = kGenericRead | kGenericWrite) {
    return p_->CreateFile(path, access, kFileShareRead | kFileShareWrite, kOpenExisting, 0);
  }
  bool Scsi(Handle h, ScsiBlock* block, std::uint32_t* returned) {
    return p_->DeviceIoControl(h, kIoctlScsiPassThrough, block->data(), kScsiRequestBytes,
                               block->data(), kScsiRequestBytes, returned);
  }

  TempDir dir_;
  std::unique_ptr<EmulatedPlatform> p_;
  Handle disk2_ = kInvalidHandle;
};

TEST_F(EmulatedControl, InquiryGivesStandardData) {
  auto block = PassThroughBlock(kScsiInquiry);
  std::uint32_t returned = 0;
  ASSERT_TRUE(Scsi(disk2_, &block, &returned));
  EXPECT_EQ(returned, 76u + 36);
  const std::uint8_t* d = &block[76];
  EXPECT_EQ(d[0], 0);
  EXPECT_EQ(d[1], 0x80);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 8), 8), "ACME    ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 16), 16), "FLASH DISK      ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 32), 4), "8.07");

  const Handle disk5 = Open("\\\\.\\PhysicalDrive5");
  block = PassThroughBlock(kScsiInquiry);
  ASSERT_TRUE(Scsi(disk5, &block, &returned));
  EXPECT_EQ(block[77], 0);  // fixed medium

  // Limited by the transfer length the caller allows.
  block = PassThroughBlock(kScsiInquiry);
  ScsiPassThroughHeader header = DecodeScsiPassThrough(block.data());
  header.data_transfer_length = 20;
  EncodeScsiPassThrough(header, block.data());
  ASSERT_TRUE(Scsi(disk2_, &block, &returned));
  EXPECT_EQ(returned, 76u + 20);
  EXPECT_EQ(block[76 + 20], 0);

  // Other commands fail.
  block = PassThroughBlock(0x28);
  EXPECT_FALSE(Scsi(disk2_, &block, &returned));
  EXPECT_EQ(returned, 0u);
}

TEST_F(EmulatedControl, StorageDescriptorTellsBusAndStrings) {
  for (int n : {2, 5}) {
    const Handle h = Open("\\\\.\\PhysicalDrive" + std::to_string(n), 0);  // query only
    ASSERT_NE(h, kInvalidHandle);
    const std::uint8_t query[12] = {};
    std::array<std::uint8_t, 512> out{};
    std::uint32_t returned = 0;
    ASSERT_TRUE(
        p_->DeviceIoControl(h, kIoctlStorageQueryProperty, query, 12, out.data(), 512, &returned));
    const StorageDeviceDescriptor d = DecodeStorageDeviceDescriptor(out.data());
    EXPECT_EQ(d.bus_type, n == 2 ? kBusTypeUsb : kBusTypeSata);
    EXPECT_EQ(d.removable_media, n == 2);
    EXPECT_EQ(d.size, returned);
    const char* text = reinterpret_cast<const char*>(out.data());
    EXPECT_STREQ(text + d.vendor_id_offset, n == 2 ? "ACME" : "ATA");
    EXPECT_STREQ(text + d.product_id_offset, n == 2 ? "FLASH DISK" : "SOME HDD");
    if (n == 2) {
      EXPECT_STREQ(text + d.serial_number_offset, "ABC123");
    }
    // Truncated to the caller's buffer.
    std::array<std::uint8_t, 30> small{};
    ASSERT_TRUE(
        p_->DeviceIoControl(h, kIoctlStorageQueryProperty, query, 12, small.data(), 30, &returned));
    EXPECT_EQ(returned, 30u);
    p_->CloseHandle(h);
  }
}

TEST_F(EmulatedControl, DeviceNumbersOfDisksAndVolumes) {
  auto number = [this](const std::string& path, std::uint32_t* partition) {
    const Handle h = Open(path, 0);
    std::uint8_t out[12] = {};
    std::uint32_t returned = 0;
    const bool ok =
        p_->DeviceIoControl(h, kIoctlStorageGetDeviceNumber, nullptr, 0, out, 12, &returned);
    p_->CloseHandle(h);
    EXPECT_TRUE(ok) << path;
    EXPECT_EQ(returned, 12u);
    const StorageDeviceNumber n = DecodeStorageDeviceNumber(out);
    EXPECT_EQ(n.device_type, kFileDeviceDisk);
    *partition = n.partition_number;
    return n.device_number;
  };
  std::uint32_t partition = 99;
  EXPECT_EQ(number("\\\\.\\PhysicalDrive5", &partition), 5u);
  EXPECT_EQ(partition, 0u);
  EXPECT_EQ(number("\\\\.\\f:", &partition), 2u);
  EXPECT_EQ(partition, 1u);
  EXPECT_EQ(number("\\\\.\\G:", &partition), 2u);
  EXPECT_EQ(partition, 2u);
  EXPECT_EQ(p_->GetLogicalDrives(), (1u << 5) | (1u << 6));
}

TEST_F(EmulatedControl, VolumeLockDismountUnlockAreRecorded) {
  const Handle a = Open("\\\\.\\F:");
  const Handle b = Open("\\\\.\\F:");
  std::uint32_t returned = 0;
  auto request = [&](Handle h, std::uint32_t code) {
    return p_->DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned);
  };
  EXPECT_FALSE(request(a, kFsctlUnlockVolume));  // not locked
  EXPECT_TRUE(request(a, kFsctlLockVolume));
  EXPECT_TRUE(request(a, kFsctlDismountVolume));
  EXPECT_TRUE(request(b, kFsctlLockVolume));
  EXPECT_TRUE(request(b, kFsctlUnlockVolume));
  EXPECT_TRUE(request(a, kFsctlUnlockVolume));
  EXPECT_FALSE(request(disk2_, kFsctlLockVolume));  // not a volume
  // G: is held by another program for 2 seconds from the first request.
  const Handle g = Open("\\\\.\\G:");
  EXPECT_FALSE(request(g, kFsctlLockVolume));
  EXPECT_EQ(p_->GetLastError(), kErrorAccessDenied);
  p_->Sleep(1999);
  EXPECT_FALSE(request(g, kFsctlLockVolume));
  p_->Sleep(1);
  EXPECT_TRUE(request(g, kFsctlLockVolume));
  p_->ShellExecuteOpen("https://example.org/");
  const std::vector<std::string> expected = {
      "FSCTL_UNLOCK_VOLUME F:",   "FSCTL_LOCK_VOLUME F:",
      "FSCTL_DISMOUNT_VOLUME F:", "FSCTL_LOCK_VOLUME F:",
      "FSCTL_UNLOCK_VOLUME F:",   "FSCTL_UNLOCK_VOLUME F:",
      "FSCTL_LOCK_VOLUME G:",     "FSCTL_LOCK_VOLUME G:",
      "FSCTL_LOCK_VOLUME G:",     "ShellExecute open https://example.org/"};
  EXPECT_EQ(p_->requests(), expected);
}

}  // namespace
}  // namespace veracap::emulated
