// DOWNLOAD MICROCODE (0x92) as the drive model runs it. Sub-command 0x07 takes a whole image
// in one command; 0x03 and 0x0E take it in segments whose block offsets follow each other from
// 0; 0x0F switches to a complete image that 0x0E left waiting. The drive is strict: a transfer
// whose byte length is not its block count x 512 is aborted, as is a segment out of order, a
// block count outside words 234/235, or an image it does not accept.
#include <algorithm>
#include <cstring>

#include "platform/ata.h"
#include "sim/drive.h"
#include "sim/image_format.h"
#include "sim/world.h"

namespace sim {
namespace {

// The drive never pre-allocates more than this for an image a header announces.
constexpr size_t kMaxReserve = 64u << 20;

OutputRegisters aborted() {
  OutputRegisters out{};
  out.status = kAtaStatusAborted;
  out.error = kAtaErrorAbort;
  return out;
}

OutputRegisters done(uint32_t& moved, uint32_t bytes) {
  moved = bytes;
  OutputRegisters out{};
  out.status = kAtaStatusReady;
  return out;
}

void reset_assembly(Drive& drive) {
  drive.assembly.clear();
  drive.next_block = 0;
  drive.assembly_mode = 0;
}

// A complete image arrived: run it now (0x03, 0x07) or keep it for 0x0F (0x0E).
void take_image(Drive& drive, uint8_t mode, const std::string& revision) {
  if (mode == kAtaDmDeferred) {
    drive.pending_revision = revision;
    drive.pending_ready = true;
  } else {
    drive.pending_revision.clear();
    drive.pending_ready = false;
    if (!revision.empty()) drive.firmware = revision;
  }
  // A drive keeps what it took the moment it takes it.
  note_firmware_change();
}

bool data_transfer_ok(DataDir dir, const uint8_t* data, uint32_t length, uint32_t blocks) {
  return dir == DataDir::Out && data != nullptr && blocks != 0 && length == blocks * 512u;
}

OutputRegisters download_whole(Drive& drive, DataDir dir, const uint8_t* data, uint32_t length,
                               uint32_t blocks, uint32_t& moved) {
  if (!data_transfer_ok(dir, data, length, blocks)) return aborted();
  reset_assembly(drive);
  const auto info = parse_image(data, length, !drive.accept_any_image);
  if (info && info->complete && (info->valid || drive.accept_any_image)) {
    drive.last_image.assign(data, data + info->length);
    take_image(drive, kAtaDmImmediate, info->revision);
    return done(moved, length);
  }
  if (!drive.accept_any_image) return aborted();
  // Any bytes will do; without a complete header the running revision stays.
  drive.last_image.assign(data, data + length);
  take_image(drive, kAtaDmImmediate, info && info->complete ? info->revision : std::string());
  return done(moved, length);
}

OutputRegisters download_segment(Drive& drive, uint8_t mode, DataDir dir, const uint8_t* data,
                                 uint32_t length, uint32_t blocks, uint32_t offset,
                                 uint32_t& moved) {
  if (!data_transfer_ok(dir, data, length, blocks)) return aborted();

  const bool first = offset == 0;
  if (!first &&
      (offset != drive.next_block || mode != drive.assembly_mode || drive.assembly.empty()))
    return aborted();

  // The image's own header (in the first segment) says how long it is.
  const uint8_t* head = first ? data : drive.assembly.data();
  const size_t head_size = first ? length : drive.assembly.size();
  const auto header = parse_image(head, std::min(head_size, kImageHeaderSize));
  if (first && !header && !drive.accept_any_image) return aborted();

  const size_t have = (first ? 0 : drive.assembly.size()) + length;
  const bool completes = header && have >= header->length;
  // The segment that ends an image may be shorter than the drive's minimum.
  if (drive.word234 != 0 && blocks < drive.word234 && !completes) return aborted();
  if (drive.word235 != 0 && blocks > drive.word235) return aborted();

  if (first) {
    reset_assembly(drive);
    drive.assembly_mode = mode;
    if (header) drive.assembly.reserve(std::min<size_t>(header->length + 511u, kMaxReserve));
  }
  drive.assembly.insert(drive.assembly.end(), data, data + length);
  drive.next_block = offset + blocks;

  if (!header) {
    // A drive that takes any bytes sees an image after every segment.
    if (first) drive.last_image.clear();
    drive.last_image.insert(drive.last_image.end(), data, data + length);
    take_image(drive, mode, std::string());
    return done(moved, length);
  }
  // In mode 0x03 the drive tells after each segment whether it expects more (01h) or has the
  // whole image (02h), as its header counts it.
  if (!completes) {
    OutputRegisters more = done(moved, length);
    if (mode == kAtaDmSegmented) more.count = kAtaDmExpectsMore;
    return more;
  }

  const auto info =
      parse_image(drive.assembly.data(), drive.assembly.size(), !drive.accept_any_image);
  if (!info || !(info->valid || drive.accept_any_image)) {
    reset_assembly(drive);
    return aborted();
  }
  drive.assembly.resize(info->length);
  // The previous image's buffer becomes the next assembly: no fresh allocation per download.
  drive.last_image.swap(drive.assembly);
  reset_assembly(drive);
  take_image(drive, mode, info->revision);
  OutputRegisters whole = done(moved, length);
  if (mode == kAtaDmSegmented) whole.count = kAtaDmTransferComplete;
  return whole;
}

OutputRegisters activate(Drive& drive, uint32_t& moved) {
  // Nothing deferred is waiting: a strict drive refuses, one that takes anything shrugs.
  if (!drive.pending_ready) return drive.accept_any_image ? done(moved, 0) : aborted();
  if (!drive.pending_revision.empty()) drive.firmware = drive.pending_revision;
  drive.pending_revision.clear();
  drive.pending_ready = false;
  note_firmware_change();
  return done(moved, 0);
}

}  // namespace

OutputRegisters execute_download_microcode(Drive& drive, const InputRegisters& in, DataDir dir,
                                           const uint8_t* data, uint32_t length, uint32_t& moved) {
  if (++drive.download_commands == 1 && download_started != nullptr) download_started(drive);
  if (drive.faults.abort_every_download ||
      drive.faults.abort_download_nth == drive.download_commands)
    return aborted();

  const uint32_t blocks = download_block_count(in);
  const uint32_t offset = download_block_offset(in);

  switch (in.features_7_0) {
    case kAtaDmImmediate:
      return download_whole(drive, dir, data, length, blocks, moved);
    case kAtaDmSegmented:
    case kAtaDmDeferred:
      return download_segment(drive, in.features_7_0, dir, data, length, blocks, offset, moved);
    case kAtaDmActivate:
      return activate(drive, moved);
    default:
      return aborted();
  }
}

}  // namespace sim
