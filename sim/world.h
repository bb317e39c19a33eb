// The simulated storage world: the drives reachable by path, the CSMI adapters, planned
// faults, a virtual clock and a log of every request received. It implements the calls of
// platform/platform.h; tests program it directly, quillmark-sim loads its built-in world.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/firmware_wire.h"
#include "platform/wire.h"
#include "sim/drive.h"

namespace sim {

// Planned faults of a physical-drive path (a drive behind a SAT bridge and an ATA port).
struct PortFaults {
  uint32_t open_error = 0;          // nonzero: opening fails with this code (5, 2, ...)
  uint32_t address_error = 0;       // nonzero: IOCTL_SCSI_GET_ADDRESS fails with this code
  uint32_t scsi_error = 0;          // nonzero: SCSI pass-through not carried (1: invalid function)
  uint32_t ata_error = 0;           // nonzero: ATA pass-through not carried
  int scsi_status = -1;             // >= 0: SAT answers ATA commands with this SCSI status, unrun
  uint8_t scsi_status_command = 0;  // ...only for this ATA command (0: any)
  std::vector<uint8_t> sense;       // ...with these sense bytes (empty: none)
  bool fixed_sense = false;         // ATA PASS-THROUGH answers in fixed format even with CK_COND
  // Translators that do not take CK_COND: one refuses such a block (ILLEGAL REQUEST, INVALID
  // FIELD IN CDB), the other runs it and answers as if CK_COND were clear.
  bool refuse_ck_cond = false;
  bool ignore_ck_cond = false;
  bool timeout = false;  // requests time out (not carried, ERROR_SEM_TIMEOUT 121)
  // >= 0: SCSI completions report these lengths back, whatever moved (a careless driver).
  int64_t reported_transfer_length = -1;
  int reported_sense_length = -1;
  uint32_t close_error = 0;  // nonzero: closing fails with this code
};

// The storage firmware API as an inbox driver (storahci) offers it in front of an ATA drive:
// it answers GET_INFO itself and carries DOWNLOAD as DOWNLOAD MICROCODE 0x0E segments and
// ACTIVATE as 0x0F. A default driver does not offer it, as no driver did before it came.
struct FirmwareDriver {
  bool offered = false;         // false: every request fails with ERROR_INVALID_FUNCTION
  uint32_t get_info_error = 0;  // nonzero: GET_INFO is refused with this code
  bool support_upgrade = true;
  uint32_t alignment = 512;          // ImagePayloadAlignment
  uint32_t max_size = 128u * 1024u;  // ImagePayloadMaxSize
  uint8_t slot_count = 1;
  uint8_t read_only_slots = 0;  // the first this many slots are read-only
  uint8_t active_slot = 0;
  uint8_t pending_slot = STORAGE_HW_FIRMWARE_INVALID_SLOT;
  uint32_t activate_error = 0;  // nonzero: ACTIVATE is refused with this code
  // Nonzero: a pass-through DOWNLOAD MICROCODE is refused with this code, as drivers that
  // allow firmware commands only through the API do.
  uint32_t passthrough_download_error = 0;
};

// A physical drive reachable by path ("\\.\PhysicalDrive0" ...).
struct Port {
  std::u16string path;
  Drive drive;
  SCSI_ADDRESS address{8, 0, 0, 0, 0};
  PortFaults faults;
  FirmwareDriver driver;
  bool holds_system_volume = false;  // the running system's volume lives on this drive
};

// Planned faults of a CSMI adapter.
struct AdapterFaults {
  uint32_t open_error = 0;                     // nonzero: the adapter does not open
  uint32_t os_fail_control_code = 0;           // this control code fails at the OS (0: none)
  uint32_t os_fail_error = ERROR_GEN_FAILURE;  // ...with this error code
  uint32_t return_code_control_code = 0;       // this control code answers a nonzero ReturnCode
  uint32_t return_code = 1;                    // ...this one (CSMI_SAS_STATUS_FAILED)
  uint32_t driver_info_error = 0;              // nonzero: driver information leaves this last error
  uint32_t cntlr_config_error = 0;  // nonzero: controller configuration leaves this last error
  bool phy_info_fails = false;      // the phy information request fails at the OS
  // >= 0: STP replies carry a status FIS of this type in place of the Register
  // Device-to-Host FIS, same Status and Error bytes (0: all zero, no registers returned).
  // A PIO Setup FIS (0x5F) also carries the drive's Status as its ending status (byte 15).
  int status_fis_type = -1;
  // >= 0 with a PIO Setup FIS: its byte 2 holds this Status, the one the drive showed when
  // the data phase began, and only the ending status tells how the command ended.
  int pio_setup_start_status = -1;
  // STP replies report this connection status (CSMI_SAS_OPEN_ACCEPT: the frame reached the
  // drive); with any other the drive never saw the command.
  uint8_t stp_connection_status = CSMI_SAS_OPEN_ACCEPT;
};

// What sits behind one phy of an adapter.
enum class PhyDevice { None, Sata, Stp, Ssp };

struct Adapter {
  int port = 0;  // opened as "\\.\SCSI<port>:"
  CSMI_SAS_DRIVER_INFO driver_info{};
  CSMI_SAS_CNTLR_CONFIG config{};
  uint8_t number_of_phys = 8;
  std::array<CSMI_SAS_PHY_ENTITY, kCsmiPhyTableSize> phys{};
  std::array<PhyDevice, kCsmiPhyTableSize> devices{};
  std::array<Drive, kCsmiPhyTableSize> drives{};  // the drive of a Sata or Stp phy
  AdapterFaults faults;
};

// One request as the world received it, byte for byte.
struct LogEntry {
  enum class Kind {
    OpenDrive,
    OpenAdapter,
    GetAddress,
    Scsi,
    Ata,
    Csmi,
    Close,
    Sleep,
    FirmwareInfo,      // request: the query
    FirmwareDownload,  // request: the header; data_out: the segment
    FirmwareActivate,  // request: the structure
  };
  Kind kind{};
  std::u16string path;                 // the device or adapter
  std::vector<uint8_t> request;        // the request structure or CSMI buffer as sent
  std::vector<uint8_t> data_out;       // data-out bytes as sent (SCSI and ATA paths)
  const void* data_pointer = nullptr;  // the data buffer the request named
  uint32_t value = 0;                  // Sleep: milliseconds
};

struct World {
  std::vector<Port> ports;         // in the order the system presents them
  uint32_t list_drives_error = 0;  // nonzero: the system's list of drives fails with this code
  std::vector<Adapter> adapters;
  std::vector<LogEntry> log;
  // Record the requests in `log`. quillmark-sim, where nobody reads the log, turns it off: a
  // rehearsal of the largest image would otherwise keep an entry for each of 65,535 commands.
  bool keep_log = true;
  // Keep copies of the data-out bytes in the log. Off unless a test asks for them: they would
  // hold every image a second time.
  bool log_data = false;

  // Process.
  std::optional<std::vector<std::u16string>> args;  // the wide argument vector, if programmed
  bool args_fail = false;
  bool real_sleep = false;  // true in quillmark-sim; tests use the virtual clock
  uint64_t clock_ms = 0;    // virtual time slept
  uint32_t last_error = 0;
  bool administrator = false;  // the process runs with administrator rights (root)
  bool csmi_supported = true;  // false: a system without CSMI drivers, as Linux is

  // Image file reads: at most this many bytes are read from any file (-1: no limit).
  int64_t file_read_limit = -1;

  // Drive claims: every claim this run made, by handle, and whether it is still held.
  struct Claim {
    std::string key;
    bool held = true;
  };
  std::vector<Claim> claims;
  std::map<std::string, uint32_t> claims_elsewhere;  // keys another run holds: its process id
  std::string claims_unavailable;  // not empty: no claim can be made, for this reason
  // quillmark-sim: a file whose byte-range locks (one byte per key) carry the claims between
  // processes, or -1; and what happens once the run may touch the drives' state, waiting up to
  // the claim's wait: false, with the holder's process id, when another run keeps that state.
  int claim_file = -1;
  std::function<bool(uint32_t wait_ms, uint32_t& holder_pid)> on_claim;

  // Interruption: the operator's interrupt comes while the Nth drive request (SCSI, ATA or
  // CSMI) is in flight, or at the start of the Nth pause (0: never). Real signals are taken
  // only when quillmark-sim asks for them.
  int interrupt_at_request = 0;
  int interrupt_at_pause = 0;
  int requests = 0;
  int pauses = 0;
  bool interrupted = false;
  bool real_signals = false;

  // Called whenever a drive's firmware state (running, pending, ready) may have changed.
  std::function<void()> on_firmware_change;
  // Called at the start of every pause (a test replaces the image between two passes here).
  std::function<void()> on_pause;

  // The records of the system log, "info " or "error " and the record's line.
  std::vector<std::string> system_log;
};

// Handles of drive claims: the offset is the index in World::claims.
inline constexpr std::intptr_t kClaimHandleBase = 0x3000;

// The drives whose firmware state may just have changed tell the world here.
void note_firmware_change();

// Handles the world gives out: the range tells a drive port from an adapter, the offset is
// the index in `ports` or `adapters`.
inline constexpr std::intptr_t kPortHandleBase = 0x1000;
inline constexpr std::intptr_t kAdapterHandleBase = 0x2000;
inline constexpr std::intptr_t kHandleRange = 0x1000;

// The port or adapter a handle names, or null when it names none.
Port* port_of(std::intptr_t handle);
Adapter* adapter_of(std::intptr_t handle);

// The one world of the process.
World& world();
// The one way a request enters the log: a new entry at the end with its kind and the device
// or adapter it named (empty for none), for the caller to add the bytes; a scratch entry,
// overwritten by the next request, when the world keeps no log.
LogEntry& log_entry(LogEntry::Kind kind, std::u16string_view path = {});
// Back to an empty world (no drives, no adapters, empty log, clock 0).
void reset_world();

// Helpers for tests.
Port& add_port(const std::u16string& path);
Adapter& add_adapter(int port);
Port* find_port(const std::u16string& path);

// A text field of a driver or controller record: NUL-terminated, the rest zero.
template <size_t N>
void set_csmi_text(uint8_t (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::strncpy(reinterpret_cast<char*>(field), text, N - 1);
}

// The adapter's driver record: its name, description and version, speaking CSMI 0.90.
struct DriverVersion {
  uint16_t major, minor, build, release;
};
void set_driver(Adapter& adapter, const char* name, const char* description, DriverVersion version);

}  // namespace sim
