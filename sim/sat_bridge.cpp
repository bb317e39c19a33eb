#include "sim/sat_bridge.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/ata.h"
#include "platform/sat.h"
#include "sim/inquiry.h"
#include "sim/world.h"

namespace sim {
namespace {

struct Outcome {
  uint8_t status = sat::kStatusGood;
  std::vector<uint8_t> sense;
  uint32_t moved = 0;
};

Outcome check_condition(std::vector<uint8_t> sense) {
  Outcome o;
  o.status = sat::kStatusCheckCondition;
  o.sense = std::move(sense);
  return o;
}

Outcome illegal_request(uint8_t asc) {
  return check_condition(sat::fixed_sense(sat::kSenseIllegalRequest, asc, 0));
}

std::vector<uint8_t> vpd_page(const Drive& drive, uint8_t page) {
  if (page == 0x00) return {0x00, 0x00, 0x00, 0x02, 0x00, 0x80};
  if (page == 0x80) {
    std::vector<uint8_t> d(4 + 20, 0);
    d[1] = 0x80;
    d[3] = 20;
    put_ascii(d, 4, 20, drive.serial);
    return d;
  }
  return {};
}

Outcome inquiry(const Port& port, const ScsiPassThroughRequest& req) {
  const SCSI_PASS_THROUGH_DIRECT& h = req.sptd;
  const auto cdb = sat::parse_inquiry(h.Cdb, h.CdbLength);
  if (!cdb || (!cdb->evpd && cdb->page != 0)) return illegal_request(sat::kAscInvalidField);
  const uint32_t allocation = cdb->allocation_length;
  // As a SAT layer names an ATA drive: vendor "ATA", SPC-3, the 36 bytes every initiator reads.
  const std::vector<uint8_t> data =
      cdb->evpd ? vpd_page(port.drive, cdb->page) : standard_inquiry(port.drive, "ATA", 0x05, 36);
  if (data.empty()) return illegal_request(sat::kAscInvalidField);
  Outcome o;
  if (h.DataIn == SCSI_IOCTL_DATA_IN && h.DataBuffer != nullptr) {
    o.moved =
        std::min<uint32_t>({allocation, h.DataTransferLength, static_cast<uint32_t>(data.size())});
    std::memcpy(h.DataBuffer, data.data(), o.moved);
  }
  return o;
}

// Which way the data of an ATA PASS-THROUGH go; false for a protocol this bridge refuses.
bool protocol_direction(const sat::PassThrough& pt, DataDir& dir) {
  switch (pt.protocol) {
    case sat::kProtocolNonData:
      dir = DataDir::None;
      return true;
    case sat::kProtocolPioIn:
    case sat::kProtocolUdmaIn:
      dir = DataDir::In;
      return true;
    case sat::kProtocolPioOut:
    case sat::kProtocolUdmaOut:
      dir = DataDir::Out;
      return true;
    case sat::kProtocolDma:
    case sat::kProtocolFpdma:
      dir = pt.t_dir_in ? DataDir::In : DataDir::Out;
      return true;
    default:  // resets, DEVICE DIAGNOSTIC, RETURN RESPONSE INFORMATION, ...
      return false;
  }
}

Outcome ata_passthrough(Port& port, const ScsiPassThroughRequest& req) {
  const SCSI_PASS_THROUGH_DIRECT& h = req.sptd;
  sat::PassThrough pt;
  if (!sat::parse_ata_passthrough(h.Cdb, h.CdbLength, pt))
    return illegal_request(sat::kAscInvalidField);

  const PortFaults& f = port.faults;
  if (pt.ck_cond && f.refuse_ck_cond) return illegal_request(sat::kAscInvalidField);
  if (f.ignore_ck_cond) pt.ck_cond = false;
  if (f.scsi_status >= 0 &&
      (f.scsi_status_command == 0 || f.scsi_status_command == pt.registers.command)) {
    Outcome o;
    o.status = static_cast<uint8_t>(f.scsi_status);
    o.sense = f.sense;
    return o;
  }

  DataDir dir = DataDir::None;
  if (!protocol_direction(pt, dir)) return illegal_request(sat::kAscInvalidField);

  // Like libata and the Windows translator, the transfer is as long as the request's data
  // buffer; T_LENGTH only says whether there is one.
  uint32_t length = 0;
  uint8_t* buffer = static_cast<uint8_t*>(h.DataBuffer);
  const bool buffer_fits = (dir == DataDir::In && h.DataIn == SCSI_IOCTL_DATA_IN) ||
                           (dir == DataDir::Out && h.DataIn == SCSI_IOCTL_DATA_OUT);
  if (pt.t_length != 0 && buffer_fits && buffer != nullptr) length = h.DataTransferLength;
  if (length == 0) buffer = nullptr;

  uint32_t moved = 0;
  const OutputRegisters out = execute_ata(port.drive, pt.registers, dir, buffer, length, moved);

  Outcome o;
  o.moved = std::min(moved, length);
  const bool failed = (out.status & (kAtaStatusErr | kAtaStatusDf)) != 0;
  // Descriptor format where CK_COND asks for the registers, unless the translator is one of
  // those that only ever answer in fixed format.
  const auto sense =
      pt.ck_cond && !f.fixed_sense ? sat::ata_descriptor_sense : sat::ata_fixed_sense;
  if (failed) {
    o.status = sat::kStatusCheckCondition;
    o.sense = sense(sat::kSenseAbortedCommand, 0, 0, out, pt.extend);
  } else if (pt.ck_cond) {
    o.status = sat::kStatusCheckCondition;
    o.sense = sense(sat::kSenseRecoveredError, 0, sat::kAscqAtaInfoAvailable, out, pt.extend);
  }
  return o;
}

}  // namespace

void sat_execute(Port& port, ScsiPassThroughRequest& request) {
  SCSI_PASS_THROUGH_DIRECT& h = request.sptd;
  Outcome o;
  switch (h.Cdb[0]) {
    case sat::kOpTestUnitReady:
      break;
    case sat::kOpInquiry:
      o = inquiry(port, request);
      break;
    case sat::kOpAtaPassThrough16:
    case sat::kOpAtaPassThrough12:
      o = ata_passthrough(port, request);
      break;
    default:
      o = illegal_request(sat::kAscInvalidOpcode);
      break;
  }
  h.ScsiStatus = o.status;
  h.DataTransferLength = o.moved;
  // The sense area was checked to lie inside the request before the bridge saw it.
  const size_t sense_bytes = std::min<size_t>(o.sense.size(), h.SenseInfoLength);
  if (sense_bytes != 0)
    std::memcpy(reinterpret_cast<uint8_t*>(&request) + h.SenseInfoOffset, o.sense.data(),
                sense_bytes);
  h.SenseInfoLength = static_cast<uint8_t>(sense_bytes);
}

}  // namespace sim
