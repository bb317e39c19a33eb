// SCSI / ATA Translation in bytes: the ATA PASS-THROUGH command blocks and the sense data that
// bring the ATA registers back. No system calls, so the SCSI transport (which builds the block
// from a DeviceCommand), the Linux backend (which builds it from an ATA request and reads the
// sense) and the simulated bridge (which reads the block and writes the sense) share one
// reading of every bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/ata.h"

namespace sat {

// SCSI operation codes.
inline constexpr uint8_t kOpTestUnitReady = 0x00;
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr uint8_t kOpAtaPassThrough16 = 0x85;
inline constexpr uint8_t kOpAtaPassThrough12 = 0xA1;

// SCSI status bytes.
inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;
inline constexpr uint8_t kStatusConditionMet = 0x04;
inline constexpr uint8_t kStatusBusy = 0x08;
inline constexpr uint8_t kStatusTaskSetFull = 0x28;

// Sense keys, and the additional sense codes a translator answers with.
inline constexpr uint8_t kSenseRecoveredError = 0x01;
inline constexpr uint8_t kSenseIllegalRequest = 0x05;
inline constexpr uint8_t kSenseAbortedCommand = 0x0B;
inline constexpr uint8_t kAscInvalidOpcode = 0x20;
inline constexpr uint8_t kAscInvalidField = 0x24;
inline constexpr uint8_t kAscqAtaInfoAvailable = 0x1D;  // with ASC 0x00

// PROTOCOL field values (byte 1, bits 4:1).
inline constexpr uint8_t kProtocolNonData = 3;
inline constexpr uint8_t kProtocolPioIn = 4;
inline constexpr uint8_t kProtocolPioOut = 5;
inline constexpr uint8_t kProtocolDma = 6;
inline constexpr uint8_t kProtocolUdmaIn = 10;
inline constexpr uint8_t kProtocolUdmaOut = 11;
inline constexpr uint8_t kProtocolFpdma = 12;

// T_LENGTH value (byte 2, bits 1:0) naming the Count field as the transfer length.
inline constexpr uint8_t kTLengthInCount = 2;

// INQUIRY (6): standard data, or the vital product data page `page` with EVPD.
struct Inquiry {
  bool evpd = false;
  uint8_t page = 0;
  uint16_t allocation_length = 0;
};
inline constexpr uint8_t kInquiryCdbLength = 6;
// Writes the block into `cdb` (room for kInquiryCdbLength bytes).
void build_inquiry(const Inquiry& fields, uint8_t* cdb);
// Reads a block of `length` bytes: nullopt when it is no INQUIRY or too short for one.
std::optional<Inquiry> parse_inquiry(const uint8_t* cdb, size_t length);

// The fields of ATA PASS-THROUGH (16) or (12).
struct PassThrough {
  bool long_form = true;       // (16); (12) carries only the bits-7:0 bytes
  uint8_t multiple_count = 0;  // byte 1 bits 7:5
  uint8_t protocol = 0;        // byte 1 bits 4:1
  bool extend = false;         // byte 1 bit 0
  uint8_t off_line = 0;        // byte 2 bits 7:6
  bool ck_cond = false;        // byte 2 bit 5
  bool t_type = false;         // byte 2 bit 4
  bool t_dir_in = false;       // byte 2 bit 3
  bool byt_blok = false;       // byte 2 bit 2
  uint8_t t_length = 0;        // byte 2 bits 1:0
  InputRegisters registers{};
};

// Writes the block into `cdb` (room for 16 bytes) and returns its length, 16 or 12.
uint8_t build_ata_passthrough(const PassThrough& fields, uint8_t* cdb);

// Reads a block of `length` bytes as a translator does: false when it is neither form or
// shorter than its form. EXTEND counts in the 16-byte form only, and without it the upper
// register bytes are read as zero, since they never reach the drive.
bool parse_ata_passthrough(const uint8_t* cdb, size_t length, PassThrough& out);

// The registers carried in sense data of either format, or nullopt when there are none.
// `sense` is what the device wrote.
std::optional<OutputRegisters> decode_ata_registers(std::span<const uint8_t> sense);

// Sense key, ASC and ASCQ of fixed or descriptor sense data (0 where absent).
struct SenseCode {
  uint8_t key;
  uint8_t asc;
  uint8_t ascq;
};
SenseCode sense_code(std::span<const uint8_t> sense);

// --- One SCSI answer, judged ------------------------------------------------------------------
// Every caller that sends a SCSI request (the SCSI transport, the Linux backend's SG_IO
// requests) judges what came back here, in one order: the system call and the host first, then
// the SCSI status, then the sense.

// What came back for one SCSI request, as the system hands it over.
struct Answer {
  bool call_failed = false;          // the system call itself failed
  uint32_t os_error = 0;             // and its error code (Windows numbering)
  uint16_t host_status = 0;          // the host adapter's and the driver's status where the
  uint16_t driver_status = 0;        // system gives them (Linux SG_IO), else 0
  uint8_t status = kStatusGood;      // the SCSI status
  std::span<const uint8_t> sense{};  // the sense bytes the device wrote, no more
};

enum class Verdict {
  Success,        // GOOD, CONDITION MET, or the clean report that CK_COND asked for
  DriveError,     // the device ran the command and it failed, or failed without saying how
  RefusedCkCond,  // a translator refused the block for its CK_COND bit: it may go without it
  NotCarried,     // the command never ran: see Outcome::answered and Outcome::error
};

struct Outcome {
  Verdict verdict = Verdict::NotCarried;
  // A SCSI status came back from the device. A command not carried without one never reached
  // it (the call failed, the host adapter or the driver gave up); with one, the device or its
  // translator would not run it (BUSY, RESERVATION CONFLICT, ..., an ATA PASS-THROUGH block
  // it does not take).
  bool answered = false;
  uint32_t error = 0;     // NotCarried and RefusedCkCond: the system's code for it
  bool deferred = false;  // the sense speaks of an earlier command (0x71, 0x73)
  SenseCode code{};
  std::optional<OutputRegisters> registers;  // the ATA registers the sense carries, any status
};

// `registers_asked`: CK_COND went out so that the registers come back, and a CHECK CONDITION
// that only brings them (RECOVERED ERROR, ATA PASS-THROUGH INFORMATION AVAILABLE, an ATA
// Status without ERR or DF) is success. Without it every CHECK CONDITION is a failure.
Outcome judge_answer(const Answer& answer, bool registers_asked);

// Fixed-format sense data (0x70, 18 bytes) with a sense key and additional sense code.
std::vector<uint8_t> fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq);

// Fixed-format sense data for an ATA PASS-THROUGH command: the registers in the INFORMATION
// and COMMAND-SPECIFIC INFORMATION fields (no upper bytes).
std::vector<uint8_t> ata_fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq,
                                     const OutputRegisters& registers, bool extend);

// Descriptor-format sense data (0x72) carrying the ATA Status Return descriptor (0x09).
std::vector<uint8_t> ata_descriptor_sense(uint8_t key, uint8_t asc, uint8_t ascq,
                                          const OutputRegisters& registers, bool extend);

}  // namespace sat
