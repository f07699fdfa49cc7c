#include "platform/linux/scsi_pass_through.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace veracap::linux_platform {
namespace {

// Field offsets of the 32-bit SCSI_PASS_THROUGH.
constexpr std::size_t kLength = 0;
constexpr std::size_t kScsiStatus = 2;
constexpr std::size_t kCdbLength = 6;
constexpr std::size_t kSenseInfoLength = 7;
constexpr std::size_t kDataIn = 8;
constexpr std::size_t kDataTransferLength = 12;
constexpr std::size_t kTimeOutValue = 16;
constexpr std::size_t kDataBufferOffset = 20;
constexpr std::size_t kSenseInfoOffset = 24;
constexpr std::size_t kCdb = 28;
constexpr std::size_t kMaxCdb = 16;

std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool Inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace

bool ParseScsiRequest(const std::uint8_t* in, std::uint32_t in_size, std::uint32_t out_size,
                      ScsiRequest* request) {
  if (in == nullptr || in_size < kScsiPassThroughBytes) return false;
  if ((in[kLength] | (in[kLength + 1] << 8)) != kScsiPassThroughBytes) return false;
  const std::size_t cdb_length = in[kCdbLength];
  if (cdb_length == 0 || cdb_length > kMaxCdb) return false;
  ScsiRequest r;
  r.cdb.assign(in + kCdb, in + kCdb + cdb_length);
  r.direction = in[kDataIn];
  if (r.direction > kScsiDataUnspecified) return false;
  r.transfer_bytes = Get32(in + kDataTransferLength);
  r.data_offset = Get32(in + kDataBufferOffset);
  r.sense_bytes = in[kSenseInfoLength];
  r.sense_offset = Get32(in + kSenseInfoOffset);
  r.timeout_ms = Get32(in + kTimeOutValue) * 1000u;
  if (r.direction == kScsiDataUnspecified) r.transfer_bytes = 0;
  if (r.transfer_bytes > 0) {
    const std::uint32_t room = r.direction == kScsiDataOut ? in_size : out_size;
    if (r.data_offset < kScsiPassThroughBytes || !Inside(r.data_offset, r.transfer_bytes, room)) {
      return false;
    }
    if (r.direction == kScsiDataOut) {
      r.data_out.assign(in + r.data_offset, in + r.data_offset + r.transfer_bytes);
    }
  }
  if (r.sense_bytes > 0 && (r.sense_offset < kScsiPassThroughBytes ||
                            !Inside(r.sense_offset, r.sense_bytes, out_size))) {
    return false;
  }
  *request = std::move(r);
  return true;
}

std::uint32_t WriteScsiReply(const ScsiRequest& request, const ScsiReply& reply,
                             const std::uint8_t* in, std::uint32_t in_size, std::uint8_t* out,
                             std::uint32_t out_size) {
  // The caller usually hands the same block as input and output; the header
  // is copied only when they differ.
  const std::uint32_t header = std::min<std::uint32_t>(
      static_cast<std::uint32_t>(kScsiPassThroughBytes), std::min(in_size, out_size));
  if (out != in) std::memmove(out, in, header);
  if (out_size < kScsiPassThroughBytes) return 0;
  out[kScsiStatus] = reply.status;
  Put32(out + kDataTransferLength, reply.transferred_bytes);
  const std::size_t sense = std::min<std::size_t>(reply.sense.size(), request.sense_bytes);
  out[kSenseInfoLength] = static_cast<std::uint8_t>(sense);
  if (sense > 0) std::memcpy(out + request.sense_offset, reply.sense.data(), sense);
  if (request.direction == kScsiDataIn) {
    const std::size_t n = std::min<std::size_t>(reply.data.size(), request.transfer_bytes);
    if (n > 0) std::memcpy(out + request.data_offset, reply.data.data(), n);
    return request.data_offset + reply.transferred_bytes;
  }
  return static_cast<std::uint32_t>(kScsiPassThroughBytes);
}

bool SendScsiRequest(int fd, const ScsiRequest& request, ScsiReply* reply, int* error_number) {
  std::vector<std::uint8_t> cdb = request.cdb;
  std::vector<std::uint8_t> data = request.direction == kScsiDataOut
                                       ? request.data_out
                                       : std::vector<std::uint8_t>(request.transfer_bytes, 0);
  std::vector<std::uint8_t> sense(std::max<std::size_t>(request.sense_bytes, 1), 0);
  sg_io_hdr_t hdr{};
  hdr.interface_id = 'S';
  hdr.cmd_len = static_cast<unsigned char>(cdb.size());
  hdr.cmdp = cdb.data();
  hdr.mx_sb_len = request.sense_bytes;
  hdr.sbp = sense.data();
  hdr.dxfer_len = request.transfer_bytes;
  hdr.dxferp = request.transfer_bytes > 0 ? data.data() : nullptr;
  hdr.dxfer_direction = request.transfer_bytes == 0         ? SG_DXFER_NONE
                        : request.direction == kScsiDataOut ? SG_DXFER_TO_DEV
                                                            : SG_DXFER_FROM_DEV;
  hdr.timeout = request.timeout_ms;
  if (::ioctl(fd, SG_IO, &hdr) != 0) {
    *error_number = errno;
    return false;
  }
  if ((hdr.info & SG_INFO_OK_MASK) != SG_INFO_OK || hdr.status != 0 || hdr.host_status != 0 ||
      hdr.driver_status != 0) {
    *error_number = EIO;
    return false;
  }
  reply->status = hdr.status;
  const int resid = std::clamp(hdr.resid, 0, static_cast<int>(request.transfer_bytes));
  reply->transferred_bytes = request.transfer_bytes - static_cast<std::uint32_t>(resid);
  if (request.direction == kScsiDataIn) {
    data.resize(reply->transferred_bytes);
    reply->data = std::move(data);
  }
  sense.resize(std::min<std::size_t>(hdr.sb_len_wr, request.sense_bytes));
  reply->sense = std::move(sense);
  return true;
}

}  // namespace veracap::linux_platform
