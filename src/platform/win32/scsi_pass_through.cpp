#include "platform/win32/scsi_pass_through.h"

#include <algorithm>
#include <cstring>

namespace veracap::win32 {
namespace {

using L32 = ScsiLayout32;
using L64 = ScsiLayout64;

// An offset into the block that points past the header moves with the bytes
// it points at.
std::uint32_t MoveOffset(std::uint32_t offset) {
  return offset >= L32::kHeaderBytes ? offset + kScsiHeaderGrowth : offset;
}

// The single-byte fields sit at the same place in both layouts.
constexpr std::uint32_t kByteFields[] = {L32::kScsiStatus, L32::kPathId,    L32::kTargetId,
                                         L32::kLun,        L32::kCdbLength, L32::kSenseInfoLength,
                                         L32::kDataIn};

}  // namespace

std::vector<std::uint8_t> ScsiRequestToNative(const std::uint8_t* block, std::uint32_t size) {
  if (size < L32::kHeaderBytes) return {};
  std::vector<std::uint8_t> native(size + kScsiHeaderGrowth, 0);
  std::uint8_t* n = native.data();
  n[L64::kLength] = static_cast<std::uint8_t>(L64::kHeaderBytes);
  n[L64::kLength + 1] = 0;
  for (std::uint32_t field : kByteFields) n[field] = block[field];
  PutLe32(n + L64::kDataTransferLength, GetLe32(block + L32::kDataTransferLength));
  PutLe32(n + L64::kTimeOutValue, GetLe32(block + L32::kTimeOutValue));
  PutLe64(n + L64::kDataBufferOffset, MoveOffset(GetLe32(block + L32::kDataBufferOffset)));
  PutLe32(n + L64::kSenseInfoOffset, MoveOffset(GetLe32(block + L32::kSenseInfoOffset)));
  std::memcpy(n + L64::kCdb, block + L32::kCdb, 16);
  std::memcpy(n + L64::kHeaderBytes, block + L32::kHeaderBytes, size - L32::kHeaderBytes);
  return native;
}

void ScsiReplyFromNative(const std::vector<std::uint8_t>& native, std::uint8_t* block,
                         std::uint32_t size) {
  if (size < L32::kHeaderBytes || native.size() < L64::kHeaderBytes) return;
  const std::uint8_t* n = native.data();
  for (std::uint32_t field : kByteFields) block[field] = n[field];
  PutLe32(block + L32::kDataTransferLength, GetLe32(n + L64::kDataTransferLength));
  PutLe32(block + L32::kTimeOutValue, GetLe32(n + L64::kTimeOutValue));
  std::memcpy(block + L32::kCdb, n + L64::kCdb, 16);
  const std::size_t tail =
      std::min<std::size_t>(size - L32::kHeaderBytes, native.size() - L64::kHeaderBytes);
  std::memcpy(block + L32::kHeaderBytes, n + L64::kHeaderBytes, tail);
}

std::uint32_t ScsiBytesReturnedForCaller(std::uint32_t native_bytes_returned) {
  if (native_bytes_returned >= L64::kHeaderBytes) return native_bytes_returned - kScsiHeaderGrowth;
  return std::min(native_bytes_returned, L32::kHeaderBytes);
}

}  // namespace veracap::win32
