// The CSMI transport: one ATA command as a SATA Register Host-to-Device FIS inside a CSMI STP
// pass-through request, sent to the adapter that holds the drive's phy.
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "platform/ata.h"
#include "platform/console.h"
#include "transport/csmi_header.h"
#include "transport/device_command.h"

namespace {

constexpr uint32_t kFixedSize = sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER);                  // 168
constexpr uint32_t kDataOffset = offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, bDataBuffer);  // 164

// FIS types whose Status and Error bytes (2 and 3) carry the drive's verdict.
constexpr uint8_t kFisRegisterD2H = 0x34;
constexpr uint8_t kFisPioSetup = 0x5F;
// A PIO Setup FIS announces a data phase: byte 2 is the Status as the phase begins, byte 15
// (E_Status) the Status the drive ends the command with.
constexpr size_t kPioSetupEndingStatus = 15;

// bConnectionStatus values of the CSMI standard, OPEN_ACCEPT (0) first.
constexpr const char* kConnectionNames[] = {
    "OPEN_ACCEPT",
    "OPEN_REJECT_BAD_DESTINATION",
    "OPEN_REJECT_RATE_NOT_SUPPORTED",
    "OPEN_REJECT_NO_DESTINATION",
    "OPEN_REJECT_PATHWAY_BLOCKED",
    "OPEN_REJECT_PROTOCOL_NOT_SUPPORTED",
    "OPEN_REJECT_RESERVE_ABANDON",
    "OPEN_REJECT_RESERVE_CONTINUE",
    "OPEN_REJECT_RESERVE_INITIALIZE",
    "OPEN_REJECT_RESERVE_STOP",
    "OPEN_REJECT_RETRY",
    "OPEN_REJECT_STP_RESOURCES_BUSY",
    "OPEN_REJECT_WRONG_DESTINATION",
};

const char* connection_name(uint8_t status) {
  return status < std::size(kConnectionNames) ? kConnectionNames[status] : "unknown";
}

void dump_fis(const uint8_t* fis) {
  console::printf("FIS:\n-----\n");
  for (int i = 0; i < 20; ++i) console::printf("\t[%d]=0x%02x\n", i, fis[i]);
  console::printf("-----\n");
}

void dump_parameters(const CSMI_SAS_STP_PASSTHRU& p) {
  console::printf("bPhyIdentifier=0x%02x\n", p.bPhyIdentifier);
  console::printf("bPortIdentifier=0x%02x\n", p.bPortIdentifier);
  console::printf("bConnectionRate=0x%02x\n", p.bConnectionRate);
  console::printf("uFlags=0x%x\n", static_cast<unsigned>(p.uFlags));
  console::printf("uDataLength=0x%x\n", static_cast<unsigned>(p.uDataLength));
  dump_fis(p.bCommandFIS);
  console::printf("\t\tSAS Address: ");
  for (uint8_t b : p.bDestinationSASAddress) console::printf("0x%02x ", b);
  console::printf("\n");
}

// A drive that aborts a command still lets the driver complete the request; only the status
// FIS tells. An all-zero FIS (a driver that returns no registers) says nothing either way.
bool status_fis_reports_error(const uint8_t* fis) {
  constexpr uint8_t kFailed = kAtaStatusErr | kAtaStatusDf;
  if (fis[0] == kFisRegisterD2H) return (fis[2] & kFailed) != 0;
  if (fis[0] == kFisPioSetup) return ((fis[2] | fis[kPioSetupEndingStatus]) & kFailed) != 0;
  return false;
}

// The registers a Register Device-to-Host or PIO Setup FIS carries (both hold the Count in
// byte 12; the PIO Setup FIS the Status the command ends with in byte 15). Any other FIS,
// an all-zero one included, carries none.
AtaOutputs registers_of(const uint8_t* fis) {
  if (fis[0] != kFisRegisterD2H && fis[0] != kFisPioSetup) return std::nullopt;
  const uint8_t status = fis[0] == kFisPioSetup ? fis[kPioSetupEndingStatus] : fis[2];
  return sat::OutputRegisters{fis[3], fis[12], fis[4], fis[5], fis[6], fis[7],
                              status, fis[13], fis[8], fis[9], fis[10]};
}

}  // namespace

int issue_stp_passthru(DeviceCommand& cmd, AtaOutputs* outputs) {
  // An adapter that never opened gets no request and no message.
  if (cmd.handle == kInvalidHandle) return kResultNotCarried;

  uint32_t data_length = 0;
  uint32_t flags = CSMI_SAS_STP_PIO;
  switch (cmd.direction) {
    case kDirNone:
      break;
    case kDirIn:
      data_length = cmd.data_length;
      flags |= CSMI_SAS_STP_READ;
      break;
    case kDirOut:
      data_length = cmd.data_length;
      flags |= CSMI_SAS_STP_WRITE;
      break;
    default:
      return kResultNotSent;
  }

  // The data area always has room for the whole transfer; a length that does not fit the
  // request's 32-bit size cannot be obtained.
  const uint64_t wanted = uint64_t{kFixedSize} + data_length;
  std::unique_ptr<uint8_t[]> buffer;
  if (wanted <= UINT32_MAX) buffer.reset(new (std::nothrow) uint8_t[wanted]);
  if (!buffer) {
    console::printf("Error allocating memory for stp command\n");
    return kResultNotSent;
  }
  const uint32_t size = static_cast<uint32_t>(wanted);
  const uint8_t command = cmd.regs.command;
  if (cmd.verbosity == 2) console::printf("Allocated %d bytes for cmd 0x%x\n", size, command);

  std::memset(buffer.get(), 0, size);

  CSMI_SAS_STP_PASSTHRU_BUFFER request;
  std::memset(&request, 0, sizeof request);
  SRB_IO_CONTROL& header = request.IoctlHeader;
  fill_csmi_header(header, CSMI_SAS_SIGNATURE, cmd.timeout, CC_CSMI_SAS_STP_PASSTHRU, size);

  CSMI_SAS_STP_PASSTHRU& p = request.Parameters;
  p.bPhyIdentifier = cmd.phy.Identify.bPhyIdentifier;
  p.bPortIdentifier = cmd.phy.bPortIdentifier;
  p.bConnectionRate = CSMI_SAS_LINK_RATE_NEGOTIATED;
  std::memcpy(p.bDestinationSASAddress, cmd.phy.Attached.bSASAddress,
              sizeof p.bDestinationSASAddress);
  p.uDataLength = data_length;
  p.uFlags = flags;
  if (cmd.direction == kDirOut && data_length != 0)
    std::memcpy(buffer.get() + kDataOffset, cmd.data, data_length);

  // Register Host-to-Device FIS. The extended bytes go out whatever the register set says.
  const AtaRegisters& r = cmd.regs;
  uint8_t* fis = p.bCommandFIS;
  fis[0] = 0x27;
  fis[1] = 0x80;
  fis[2] = r.command;
  fis[3] = r.features_7_0;
  fis[4] = r.lba_7_0;
  fis[5] = r.lba_15_8;
  fis[6] = r.lba_23_16;
  fis[7] = r.device;
  fis[8] = r.lba_31_24;
  fis[9] = r.lba_39_32;
  fis[10] = r.lba_47_40;
  fis[11] = r.features_15_8;
  fis[12] = r.count_7_0;
  fis[13] = r.count_15_8;

  // Everything but the data area comes from the built structure.
  std::memcpy(buffer.get(), &request, kDataOffset);

  if (cmd.verbosity == 2) {
    console::printf("------\n\n");
    dump_parameters(p);
    console::printf("------\n\n");
  }

  const bool ok = platform_csmi_request(cmd.handle, buffer.get(), size);
  const uint32_t os_error = platform_get_last_error();
  cmd.last_os_error = os_error;

  std::memcpy(&request, buffer.get(), kDataOffset);
  const uint8_t* status_fis = request.Status.bStatusFIS;
  const uint8_t connection = request.Status.bConnectionStatus;

  // A request the driver completed can still have failed on the way: a refused connection
  // means the drive never saw the command, and an error in the status FIS that it refused it.
  int result = kResultSuccess;
  if (!ok || header.ReturnCode != CSMI_SAS_STATUS_SUCCESS)
    result = kResultNotCarried;
  else if (connection != CSMI_SAS_OPEN_ACCEPT || status_fis_reports_error(status_fis))
    result = kResultDriveError;

  if (result != kResultSuccess) {
    console::printf("%s: CMD=0x%x failed. ioret=%d GetLastErr=0x%x, IoctlHeader->ReturnCode=%d\n",
                    "issue_stp_passthru", command, ok ? 1 : 0, os_error,
                    static_cast<int>(header.ReturnCode));
    if (result == kResultDriveError && connection != CSMI_SAS_OPEN_ACCEPT) {
      console::printf("Connection Status: 0x%02x (%s)\n", connection, connection_name(connection));
    } else if (result == kResultDriveError && status_fis[0] == kFisPioSetup) {
      console::printf("Status FIS: Status=0x%02x Error=0x%02x E_Status=0x%02x\n", status_fis[2],
                      status_fis[3], status_fis[kPioSetupEndingStatus]);
    } else if (result == kResultDriveError) {
      console::printf("Status FIS: Status=0x%02x Error=0x%02x\n", status_fis[2], status_fis[3]);
    }
  } else {
    if (cmd.direction == kDirIn && data_length != 0) {
      // The requested length, not the count the driver reports.
      std::memcpy(cmd.data, buffer.get() + kDataOffset, data_length);
    }
    if (outputs != nullptr) *outputs = registers_of(status_fis);
  }

  if (cmd.verbosity == 2) {
    console::printf("Status ");
    dump_fis(status_fis);
  }
  return result;
}
