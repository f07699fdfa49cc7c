#include "platform/linux/scsi_pass_through.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace veracap::linux_platform {
namespace {

constexpr std::size_t kMaxCdb = ScsiPassThroughLayout::kCdbBytes;

bool Inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace

bool ParseScsiRequest(const std::uint8_t* in, std::uint32_t in_size, std::uint32_t out_size,
                      ScsiRequest* request) {
  if (in == nullptr || in_size < kScsiPassThroughBytes) return false;
  const ScsiPassThroughHeader header = DecodeScsiPassThrough(in);
  if (header.length != kScsiPassThroughBytes) return false;
  const std::size_t cdb_length = header.cdb_length;
  if (cdb_length == 0 || cdb_length > kMaxCdb) return false;
  ScsiRequest r;
  r.cdb.assign(header.cdb.begin(), header.cdb.begin() + cdb_length);
  r.direction = header.data_in;
  if (r.direction > kScsiDataUnspecified) return false;
  r.transfer_bytes = header.data_transfer_length;
  r.data_offset = header.data_buffer_offset;
  r.sense_bytes = header.sense_info_length;
  r.sense_offset = header.sense_info_offset;
  r.timeout_ms = header.time_out_value * 1000u;
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
  ScsiPassThroughHeader answered = DecodeScsiPassThrough(out);
  answered.scsi_status = reply.status;
  answered.data_transfer_length = reply.transferred_bytes;
  const std::size_t sense = std::min<std::size_t>(reply.sense.size(), request.sense_bytes);
  answered.sense_info_length = static_cast<std::uint8_t>(sense);
  EncodeScsiPassThrough(answered, out);
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
