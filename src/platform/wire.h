// The wire structures and constants that cross the platform boundary, under their published
// names. Linux and the simulator use the definitions below (fixed-width types only: an
// `unsigned long` would be 8 bytes on Linux); the Windows build takes the storage structures
// from the SDK and checks them against the same numbers.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The order matters and is kept from include sorting: windows.h first, as the others rely
// on its types; winioctl.h supplies CTL_CODE and the device-type and access constants that
// ntddscsi.h builds its control codes from (the lean windows.h leaves it out).
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
// clang-format on
#endif

// ---------------------------------------------------------------------------------------------
// Storage request structures (Windows: ntddscsi.h)
// ---------------------------------------------------------------------------------------------
#ifndef _WIN32
struct SCSI_PASS_THROUGH_DIRECT {
  uint16_t Length;
  uint8_t ScsiStatus;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
  uint8_t CdbLength;
  uint8_t SenseInfoLength;
  uint8_t DataIn;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  void* DataBuffer;
  uint32_t SenseInfoOffset;
  uint8_t Cdb[16];
};

struct ATA_PASS_THROUGH_DIRECT {
  uint16_t Length;
  uint16_t AtaFlags;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
  uint8_t ReservedAsUchar;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  uint32_t ReservedAsUlong;
  void* DataBuffer;
  uint8_t PreviousTaskFile[8];
  uint8_t CurrentTaskFile[8];
};

struct SCSI_ADDRESS {
  uint32_t Length;
  uint8_t PortNumber;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
};

struct SRB_IO_CONTROL {
  uint32_t HeaderLength;
  uint8_t Signature[8];
  uint32_t Timeout;
  uint32_t ControlCode;
  uint32_t ReturnCode;
  uint32_t Length;
};

inline constexpr uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
inline constexpr uint32_t IOCTL_ATA_PASS_THROUGH_DIRECT = 0x4D030;
inline constexpr uint32_t IOCTL_SCSI_GET_ADDRESS = 0x41018;
inline constexpr uint32_t IOCTL_SCSI_MINIPORT = 0x4D008;

inline constexpr uint8_t SCSI_IOCTL_DATA_OUT = 0;
inline constexpr uint8_t SCSI_IOCTL_DATA_IN = 1;
inline constexpr uint8_t SCSI_IOCTL_DATA_UNSPECIFIED = 2;

inline constexpr uint16_t ATA_FLAGS_DRDY_REQUIRED = 0x01;
inline constexpr uint16_t ATA_FLAGS_DATA_IN = 0x02;
inline constexpr uint16_t ATA_FLAGS_DATA_OUT = 0x04;
inline constexpr uint16_t ATA_FLAGS_48BIT_COMMAND = 0x08;
inline constexpr uint16_t ATA_FLAGS_USE_DMA = 0x10;

// The Windows error codes the backends and the simulator report (Windows: winerror.h).
inline constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_NOT_READY = 21;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_SEM_TIMEOUT = 121;
inline constexpr uint32_t ERROR_BUSY = 170;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr uint32_t ERROR_NOACCESS = 998;  // a bad buffer address
inline constexpr uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;
#endif

// The numbers the logic relies on, checked on every platform (on Windows against the SDK).
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(alignof(SCSI_PASS_THROUGH_DIRECT) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);

static_assert(sizeof(ATA_PASS_THROUGH_DIRECT) == 48);
static_assert(alignof(ATA_PASS_THROUGH_DIRECT) == 8);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, AtaFlags) == 2);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, PathId) == 4);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, TargetId) == 5);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, Lun) == 6);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, ReservedAsUchar) == 7);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, DataTransferLength) == 8);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, TimeOutValue) == 12);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, ReservedAsUlong) == 16);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, PreviousTaskFile) == 32);
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, CurrentTaskFile) == 40);

static_assert(sizeof(SCSI_ADDRESS) == 8);
static_assert(offsetof(SCSI_ADDRESS, PortNumber) == 4);
static_assert(offsetof(SCSI_ADDRESS, PathId) == 5);
static_assert(offsetof(SCSI_ADDRESS, TargetId) == 6);
static_assert(offsetof(SCSI_ADDRESS, Lun) == 7);

static_assert(sizeof(SRB_IO_CONTROL) == 28);
static_assert(offsetof(SRB_IO_CONTROL, Signature) == 4);
static_assert(offsetof(SRB_IO_CONTROL, Timeout) == 12);
static_assert(offsetof(SRB_IO_CONTROL, ControlCode) == 16);
static_assert(offsetof(SRB_IO_CONTROL, ReturnCode) == 20);
static_assert(offsetof(SRB_IO_CONTROL, Length) == 24);

static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);
static_assert(IOCTL_ATA_PASS_THROUGH_DIRECT == 0x4D030);
static_assert(IOCTL_SCSI_GET_ADDRESS == 0x41018);
static_assert(IOCTL_SCSI_MINIPORT == 0x4D008);

static_assert(ERROR_INVALID_FUNCTION == 1 && ERROR_FILE_NOT_FOUND == 2 &&
              ERROR_PATH_NOT_FOUND == 3);
static_assert(ERROR_TOO_MANY_OPEN_FILES == 4 && ERROR_ACCESS_DENIED == 5);
static_assert(ERROR_INVALID_HANDLE == 6 && ERROR_NOT_ENOUGH_MEMORY == 8 && ERROR_NOT_READY == 21);
static_assert(ERROR_GEN_FAILURE == 31 && ERROR_NOT_SUPPORTED == 50);
static_assert(ERROR_INVALID_PARAMETER == 87 && ERROR_SEM_TIMEOUT == 121 && ERROR_BUSY == 170);
static_assert(ERROR_FILENAME_EXCED_RANGE == 206 && ERROR_OPERATION_ABORTED == 995);
static_assert(ERROR_NOACCESS == 998 && ERROR_IO_DEVICE == 1117);
static_assert(ERROR_DEVICE_NOT_CONNECTED == 1167);

// The SCSI pass-through request as the transport sends it: header, sense area and a length
// word, one 312-byte buffer used as input and output.
struct ScsiPassThroughRequest {
  SCSI_PASS_THROUGH_DIRECT sptd;
  uint8_t sense[252];
  uint32_t total_length;
};
static_assert(sizeof(ScsiPassThroughRequest) == 312);
static_assert(offsetof(ScsiPassThroughRequest, sense) == 56);
static_assert(offsetof(ScsiPassThroughRequest, total_length) == 308);

// ---------------------------------------------------------------------------------------------
// CSMI (SNIA CSMI revision 0.90 names). No SDK ships these: ours on every platform.
// ---------------------------------------------------------------------------------------------
#pragma pack(push, 1)
struct CSMI_SAS_IDENTIFY {
  uint8_t bDeviceType;
  uint8_t bRestricted;
  uint8_t bInitiatorPortProtocol;
  uint8_t bTargetPortProtocol;
  uint8_t bRestricted2[8];
  uint8_t bSASAddress[8];
  uint8_t bPhyIdentifier;
  uint8_t bSignalClass;
  uint8_t bReserved[6];
};

struct CSMI_SAS_PHY_ENTITY {
  CSMI_SAS_IDENTIFY Identify;
  uint8_t bPortIdentifier;
  uint8_t bNegotiatedLinkRate;
  uint8_t bMinimumLinkRate;
  uint8_t bMaximumLinkRate;
  uint8_t bPhyChangeCount;
  uint8_t bAutoDiscover;
  uint8_t bPhyFeatures;
  uint8_t bReserved;
  CSMI_SAS_IDENTIFY Attached;
};
#pragma pack(pop)

struct CSMI_SAS_DRIVER_INFO {
  uint8_t szName[81];
  uint8_t szDescription[81];
  uint16_t usMajorRevision;
  uint16_t usMinorRevision;
  uint16_t usBuildRevision;
  uint16_t usReleaseRevision;
  uint16_t usCSMIMajorRevision;
  uint16_t usCSMIMinorRevision;
};

struct CSMI_SAS_DRIVER_INFO_BUFFER {
  SRB_IO_CONTROL IoctlHeader;
  CSMI_SAS_DRIVER_INFO Information;
};

struct CSMI_SAS_PCI_BUS_ADDRESS {
  uint8_t bBusNumber;
  uint8_t bDeviceNumber;
  uint8_t bFunctionNumber;
  uint8_t bReserved;
};

union CSMI_SAS_IO_BUS_ADDRESS {
  CSMI_SAS_PCI_BUS_ADDRESS PciAddress;
  uint8_t bReserved[32];
};

struct CSMI_SAS_CNTLR_CONFIG {
  uint32_t uBaseIoAddress;
  struct {
    uint32_t uLowPart;
    uint32_t uHighPart;
  } BaseMemoryAddress;
  uint32_t uBoardID;
  uint16_t usSlotNumber;
  uint8_t bControllerClass;
  uint8_t bIoBusType;
  CSMI_SAS_IO_BUS_ADDRESS BusAddress;
  uint8_t szSerialNumber[81];
  uint16_t usMajorRevision;
  uint16_t usMinorRevision;
  uint16_t usBuildRevision;
  uint16_t usReleaseRevision;
  uint16_t usBIOSMajorRevision;
  uint16_t usBIOSMinorRevision;
  uint16_t usBIOSBuildRevision;
  uint16_t usBIOSReleaseRevision;
  uint32_t uControllerFlags;
  uint16_t usRromMajorRevision;
  uint16_t usRromMinorRevision;
  uint16_t usRromBuildRevision;
  uint16_t usRromReleaseRevision;
  uint16_t usRromBIOSMajorRevision;
  uint16_t usRromBIOSMinorRevision;
  uint16_t usRromBIOSBuildRevision;
  uint16_t usRromBIOSReleaseRevision;
  uint8_t bReserved[7];
};

struct CSMI_SAS_CNTLR_CONFIG_BUFFER {
  SRB_IO_CONTROL IoctlHeader;
  CSMI_SAS_CNTLR_CONFIG Configuration;
};

// Entries in an adapter's phy table: the table is fixed-size, whatever bNumberOfPhys says.
inline constexpr int kCsmiPhyTableSize = 32;

struct CSMI_SAS_PHY_INFO {
  uint8_t bNumberOfPhys;
  uint8_t bReserved[3];
  CSMI_SAS_PHY_ENTITY Phy[kCsmiPhyTableSize];
};

struct CSMI_SAS_PHY_INFO_BUFFER {
  SRB_IO_CONTROL IoctlHeader;
  CSMI_SAS_PHY_INFO Information;
};

struct CSMI_SAS_STP_PASSTHRU {
  uint8_t bPhyIdentifier;
  uint8_t bPortIdentifier;
  uint8_t bConnectionRate;
  uint8_t bReserved;
  uint8_t bDestinationSASAddress[8];
  uint8_t bReserved2[4];
  uint8_t bCommandFIS[20];
  uint32_t uFlags;
  uint32_t uDataLength;
};

struct CSMI_SAS_STP_PASSTHRU_STATUS {
  uint8_t bConnectionStatus;
  uint8_t bReserved[3];
  uint8_t bStatusFIS[20];
  uint32_t uSCR[16];
  uint32_t uDataBytes;
};

struct CSMI_SAS_STP_PASSTHRU_BUFFER {
  SRB_IO_CONTROL IoctlHeader;
  CSMI_SAS_STP_PASSTHRU Parameters;
  CSMI_SAS_STP_PASSTHRU_STATUS Status;
  uint8_t bDataBuffer[1];
};

struct CSMI_SAS_SSP_PASSTHRU {
  uint8_t bPhyIdentifier;
  uint8_t bPortIdentifier;
  uint8_t bConnectionRate;
  uint8_t bReserved;
  uint8_t bDestinationSASAddress[8];
  uint8_t bLun[8];
  uint8_t bCDBLength;
  uint8_t bAdditionalCDBLength;
  uint8_t bReserved2[2];
  uint8_t bCDB[16];
  uint32_t uFlags;
  uint8_t bAdditionalCDB[24];
  uint32_t uDataLength;
};

struct CSMI_SAS_SSP_PASSTHRU_STATUS {
  uint8_t bConnectionStatus;
  uint8_t bSSPStatus;
  uint8_t bReserved[2];
  uint8_t bDataPresent;
  uint8_t bStatus;
  uint8_t bResponseLength[2];
  uint8_t bResponse[256];
  uint32_t uDataBytes;
};

struct CSMI_SAS_SSP_PASSTHRU_BUFFER {
  SRB_IO_CONTROL IoctlHeader;
  CSMI_SAS_SSP_PASSTHRU Parameters;
  CSMI_SAS_SSP_PASSTHRU_STATUS Status;
  uint8_t bDataBuffer[1];
};

static_assert(sizeof(CSMI_SAS_IDENTIFY) == 28);
static_assert(offsetof(CSMI_SAS_IDENTIFY, bTargetPortProtocol) == 3);
static_assert(offsetof(CSMI_SAS_IDENTIFY, bSASAddress) == 12);
static_assert(offsetof(CSMI_SAS_IDENTIFY, bPhyIdentifier) == 20);
static_assert(offsetof(CSMI_SAS_IDENTIFY, bSignalClass) == 21);
static_assert(sizeof(CSMI_SAS_PHY_ENTITY) == 64);
static_assert(offsetof(CSMI_SAS_PHY_ENTITY, bPortIdentifier) == 28);
static_assert(offsetof(CSMI_SAS_PHY_ENTITY, bPhyFeatures) == 34);
static_assert(offsetof(CSMI_SAS_PHY_ENTITY, Attached) == 36);

static_assert(sizeof(CSMI_SAS_DRIVER_INFO) == 174);
static_assert(offsetof(CSMI_SAS_DRIVER_INFO, szDescription) == 81);
static_assert(offsetof(CSMI_SAS_DRIVER_INFO, usMajorRevision) == 162);
static_assert(offsetof(CSMI_SAS_DRIVER_INFO, usReleaseRevision) == 168);
static_assert(offsetof(CSMI_SAS_DRIVER_INFO, usCSMIMinorRevision) == 172);
static_assert(sizeof(CSMI_SAS_DRIVER_INFO_BUFFER) == 204);
static_assert(offsetof(CSMI_SAS_DRIVER_INFO_BUFFER, Information) == 28);

static_assert(sizeof(CSMI_SAS_CNTLR_CONFIG) == 180);
static_assert(offsetof(CSMI_SAS_CNTLR_CONFIG, uBoardID) == 12);
static_assert(offsetof(CSMI_SAS_CNTLR_CONFIG, BusAddress) == 20);
static_assert(offsetof(CSMI_SAS_CNTLR_CONFIG, szSerialNumber) == 52);
static_assert(offsetof(CSMI_SAS_CNTLR_CONFIG, usMajorRevision) == 134);
static_assert(offsetof(CSMI_SAS_CNTLR_CONFIG, uControllerFlags) == 152);
static_assert(offsetof(CSMI_SAS_CNTLR_CONFIG, bReserved) == 172);
static_assert(sizeof(CSMI_SAS_CNTLR_CONFIG_BUFFER) == 208);
static_assert(offsetof(CSMI_SAS_CNTLR_CONFIG_BUFFER, Configuration) == 28);

static_assert(sizeof(CSMI_SAS_PHY_INFO) == 2052);
static_assert(offsetof(CSMI_SAS_PHY_INFO, Phy) == 4);
static_assert(sizeof(CSMI_SAS_PHY_INFO_BUFFER) == 2080);
static_assert(offsetof(CSMI_SAS_PHY_INFO_BUFFER, Information) == 28);

static_assert(sizeof(CSMI_SAS_STP_PASSTHRU) == 44);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU, bCommandFIS) == 16);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU, uFlags) == 36);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU, uDataLength) == 40);
static_assert(sizeof(CSMI_SAS_STP_PASSTHRU_STATUS) == 92);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU_STATUS, bStatusFIS) == 4);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU_STATUS, uSCR) == 24);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU_STATUS, uDataBytes) == 88);
static_assert(sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER) == 168);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, Parameters) == 28);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, Status) == 72);
static_assert(offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, bDataBuffer) == 164);

static_assert(sizeof(CSMI_SAS_SSP_PASSTHRU) == 72);
static_assert(offsetof(CSMI_SAS_SSP_PASSTHRU, bLun) == 12);
static_assert(offsetof(CSMI_SAS_SSP_PASSTHRU, bCDBLength) == 20);
static_assert(offsetof(CSMI_SAS_SSP_PASSTHRU, bCDB) == 24);
static_assert(offsetof(CSMI_SAS_SSP_PASSTHRU, uFlags) == 40);
static_assert(offsetof(CSMI_SAS_SSP_PASSTHRU, uDataLength) == 68);
static_assert(sizeof(CSMI_SAS_SSP_PASSTHRU_STATUS) == 268);
static_assert(offsetof(CSMI_SAS_SSP_PASSTHRU_STATUS, uDataBytes) == 264);
static_assert(sizeof(CSMI_SAS_SSP_PASSTHRU_BUFFER) == 372);
static_assert(offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, Status) == 100);
static_assert(offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, bDataBuffer) == 368);

inline constexpr uint32_t CC_CSMI_SAS_GET_DRIVER_INFO = 1;
inline constexpr uint32_t CC_CSMI_SAS_GET_CNTLR_CONFIG = 2;
inline constexpr uint32_t CC_CSMI_SAS_GET_PHY_INFO = 20;
inline constexpr uint32_t CC_CSMI_SAS_SSP_PASSTHRU = 24;
inline constexpr uint32_t CC_CSMI_SAS_STP_PASSTHRU = 25;

inline constexpr char CSMI_ALL_SIGNATURE[8] = "CSMIALL";
inline constexpr char CSMI_SAS_SIGNATURE[8] = "CSMISAS";

inline constexpr uint32_t CSMI_SAS_STATUS_SUCCESS = 0;
inline constexpr uint32_t CSMI_SAS_STATUS_FAILED = 1;
inline constexpr uint32_t CSMI_SAS_STATUS_BAD_CNTL_CODE = 2;
inline constexpr uint32_t CSMI_SAS_STATUS_INVALID_PARAMETER = 3;

inline constexpr uint8_t CSMI_SAS_PROTOCOL_SATA = 0x01;
inline constexpr uint8_t CSMI_SAS_PROTOCOL_SMP = 0x02;
inline constexpr uint8_t CSMI_SAS_PROTOCOL_STP = 0x04;
inline constexpr uint8_t CSMI_SAS_PROTOCOL_SSP = 0x08;

inline constexpr uint8_t CSMI_SAS_NO_DEVICE_ATTACHED = 0x00;
inline constexpr uint8_t CSMI_SAS_END_DEVICE = 0x10;
inline constexpr uint8_t CSMI_SAS_EDGE_EXPANDER_DEVICE = 0x20;
inline constexpr uint8_t CSMI_SAS_FANOUT_EXPANDER_DEVICE = 0x30;

inline constexpr uint8_t CSMI_SAS_LINK_RATE_NEGOTIATED = 0x00;

inline constexpr uint32_t CSMI_SAS_STP_READ = 0x01;
inline constexpr uint32_t CSMI_SAS_STP_WRITE = 0x02;
inline constexpr uint32_t CSMI_SAS_STP_UNSPECIFIED = 0x04;
inline constexpr uint32_t CSMI_SAS_STP_PIO = 0x10;
inline constexpr uint32_t CSMI_SAS_STP_DMA = 0x20;

inline constexpr uint32_t CSMI_SAS_SSP_READ = 0x01;
inline constexpr uint32_t CSMI_SAS_SSP_WRITE = 0x02;

inline constexpr uint8_t CSMI_SAS_OPEN_ACCEPT = 0;
inline constexpr uint8_t CSMI_SAS_IGNORE_PORT = 0xFF;
