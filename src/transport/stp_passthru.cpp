// The CSMI transport: one ATA command as a SATA Register Host-to-Device FIS inside a CSMI STP
// pass-through request, sent to the adapter that holds the drive's phy.
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>

#include "platform/ata.h"
#include "platform/console.h"
#include "platform/fis.h"
#include "transport/csmi_header.h"
#include "transport/device_command.h"

namespace {

constexpr uint32_t kFixedSize = sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER);                  // 168
constexpr uint32_t kDataOffset = offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, bDataBuffer);  // 164

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

void dump_fis(const uint8_t* frame) {
  console::printf("FIS:\n-----\n");
  for (size_t i = 0; i < fis::kSize; ++i)
    console::printf("\t[%d]=0x%02x\n", static_cast<int>(i), frame[i]);
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
// FIS tells. A FIS of no register type (a driver that returns no registers) says nothing
// either way.
bool reports_error(const std::optional<fis::DeviceToHost>& answer) {
  constexpr uint8_t kFailed = kAtaStatusErr | kAtaStatusDf;
  return answer && ((answer->initial_status | answer->registers.status) & kFailed) != 0;
}

// The transfer's length and direction flags, or false for a direction the record cannot have.
bool transfer_of(const DeviceCommand& cmd, uint32_t& data_length, uint32_t& flags) {
  data_length = cmd.direction == DataDirection::None ? 0 : cmd.data_length;
  flags = CSMI_SAS_STP_PIO;
  if (cmd.direction == DataDirection::In) flags |= CSMI_SAS_STP_READ;
  if (cmd.direction == DataDirection::Out) flags |= CSMI_SAS_STP_WRITE;
  return cmd.direction == DataDirection::None || cmd.direction == DataDirection::In ||
         cmd.direction == DataDirection::Out;
}

// The request in `buffer` (`size` bytes, zero-filled): header, target, the command FIS and,
// for data-out, the data.
void build_request(const DeviceCommand& cmd, uint32_t data_length, uint32_t flags, uint32_t size,
                   uint8_t* buffer) {
  CSMI_SAS_STP_PASSTHRU_BUFFER request;
  std::memset(&request, 0, sizeof request);
  fill_csmi_header(request.IoctlHeader, CSMI_SAS_SIGNATURE, cmd.timeout, CC_CSMI_SAS_STP_PASSTHRU,
                   size);
  CSMI_SAS_STP_PASSTHRU& p = request.Parameters;
  p.bPhyIdentifier = cmd.phy.Identify.bPhyIdentifier;
  p.bPortIdentifier = cmd.phy.bPortIdentifier;
  p.bConnectionRate = CSMI_SAS_LINK_RATE_NEGOTIATED;
  std::memcpy(p.bDestinationSASAddress, cmd.phy.Attached.bSASAddress,
              sizeof p.bDestinationSASAddress);
  p.uDataLength = data_length;
  p.uFlags = flags;
  fis::encode_register_h2d(cmd.regs, p.bCommandFIS);
  // Everything but the data area comes from the built structure.
  std::memcpy(buffer, &request, kDataOffset);
  if (cmd.direction == DataDirection::Out && data_length != 0)
    std::memcpy(buffer + kDataOffset, cmd.data, data_length);
  if (cmd.verbosity == 2) {
    console::printf("------\n\n");
    dump_parameters(p);
    console::printf("------\n\n");
  }
}

void report_failure(const DeviceCommand& cmd, int result, bool ok,
                    const CSMI_SAS_STP_PASSTHRU_BUFFER& answer) {
  const uint8_t connection = answer.Status.bConnectionStatus;
  console::printf("%s: CMD=0x%x failed. ioret=%d GetLastErr=0x%x, IoctlHeader->ReturnCode=%d\n",
                  "issue_stp_passthru", cmd.regs.command, ok ? 1 : 0, cmd.last_os_error,
                  static_cast<int>(answer.IoctlHeader.ReturnCode));
  if (result != kResultDriveError) return;
  const auto status = fis::decode_device_to_host(answer.Status.bStatusFIS);
  if (connection != CSMI_SAS_OPEN_ACCEPT) {
    console::printf("Connection Status: 0x%02x (%s)\n", connection, connection_name(connection));
  } else if (status->type == fis::kTypePioSetup) {
    console::printf("Status FIS: Status=0x%02x Error=0x%02x E_Status=0x%02x\n",
                    status->initial_status, status->registers.error, status->registers.status);
  } else {
    console::printf("Status FIS: Status=0x%02x Error=0x%02x\n", status->registers.status,
                    status->registers.error);
  }
}

}  // namespace

int issue_stp_passthru(DeviceCommand& cmd, ReturnedRegisters* returned) {
  if (returned != nullptr) returned->reset();
  // An adapter that never opened gets no request and no message.
  if (cmd.handle == kInvalidHandle) return kResultNotCarried;
  uint32_t data_length = 0;
  uint32_t flags = 0;
  if (!transfer_of(cmd, data_length, flags)) return kResultNotSent;

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
  if (cmd.verbosity == 2)
    console::printf("Allocated %d bytes for cmd 0x%x\n", size, cmd.regs.command);
  std::memset(buffer.get(), 0, size);
  build_request(cmd, data_length, flags, size, buffer.get());

  const bool ok = platform_csmi_request(cmd.handle, buffer.get(), size);
  cmd.last_os_error = platform_get_last_error();

  CSMI_SAS_STP_PASSTHRU_BUFFER answer;
  std::memcpy(&answer, buffer.get(), kDataOffset);
  const auto status = fis::decode_device_to_host(answer.Status.bStatusFIS);

  // A request the driver completed can still have failed on the way: a refused connection
  // means the drive never saw the command, and an error in the status FIS that it refused it.
  int result = kResultSuccess;
  if (!ok || answer.IoctlHeader.ReturnCode != CSMI_SAS_STATUS_SUCCESS)
    result = kResultNotCarried;
  else if (answer.Status.bConnectionStatus != CSMI_SAS_OPEN_ACCEPT || reports_error(status))
    result = kResultDriveError;

  if (result != kResultSuccess) {
    report_failure(cmd, result, ok, answer);
  } else if (cmd.direction == DataDirection::In && data_length != 0) {
    // The requested length, not the count the driver reports.
    std::memcpy(cmd.data, buffer.get() + kDataOffset, data_length);
  }
  if (result != kResultNotCarried && returned != nullptr && status) *returned = status->registers;

  if (cmd.verbosity == 2) {
    console::printf("Status ");
    dump_fis(answer.Status.bStatusFIS);
  }
  return result;
}
