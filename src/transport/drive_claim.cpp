// The claim that keeps two runs off one drive: what names a drive for it, and what a run
// says when it cannot have it.
#include <string>

#include "platform/console.h"
#include "platform/text.h"
#include "transport/device_command.h"

namespace {

void append_hex(std::string& key, const uint8_t* bytes, size_t count) {
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    key += kHex[bytes[i] >> 4];
    key += kHex[bytes[i] & 0x0F];
  }
}

}  // namespace

std::string claim_key(const SCSI_ADDRESS& address) {
  return "scsi-" + std::to_string(address.PortNumber) + "-" + std::to_string(address.PathId) + "-" +
         std::to_string(address.TargetId) + "-" + std::to_string(address.Lun);
}

std::string claim_key(std::u16string_view adapter_path, const CSMI_SAS_PHY_ENTITY& entry,
                      int32_t phy) {
  // The adapter as typed may hold any character; a key holds only a-z, 0-9 and '-'.
  std::string key = "csmi-";
  std::u16string_view port = adapter_path;
  if (port.substr(0, kAdapterPathPrefix.size()) == kAdapterPathPrefix)
    port.remove_prefix(kAdapterPathPrefix.size());
  if (!port.empty() && port.back() == u':') port.remove_suffix(1);
  for (char16_t c : port) {
    if (c >= u'0' && c <= u'9') {
      key += static_cast<char>(c);
    } else {
      const uint8_t bytes[2] = {static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
      key += 'x';
      append_hex(key, bytes, 2);
    }
  }
  const uint8_t* sas = entry.Attached.bSASAddress;
  bool has_address = false;
  for (int i = 0; i < 8; ++i) has_address = has_address || sas[i] != 0;
  if (has_address) {
    key += "-sas-";
    append_hex(key, sas, 8);
  } else {
    key += "-phy-" + std::to_string(phy);
  }
  return key;
}

std::string held_drive_line(std::u16string_view name, uint32_t holder_pid) {
  return "Drive " + utf16_to_utf8(console::typed_text(name)) + " is in use by another run" +
         (holder_pid != 0 ? " (process " + std::to_string(holder_pid) + ")" : std::string()) +
         "; nothing was sent to it.";
}

bool claim_drive(const std::string& key, std::u16string_view name, uint32_t wait_ms, Handle& claim,
                 DriveClaim* outcome) {
  claim = kInvalidHandle;
  const DriveClaim c = platform_claim_drive(key, wait_ms);
  if (outcome != nullptr) *outcome = c;
  switch (c.outcome) {
    case ClaimOutcome::Claimed:
      claim = c.handle;
      return true;
    case ClaimOutcome::Busy:
      // The wait was cut short by the operator: the caller stops the run as at any interrupt.
      if (platform_interrupted()) return false;
      // The cause of the run's failure: on the error stream, as every failure's.
      console::err_line(held_drive_line(name, c.holder_pid));
      return false;
    case ClaimOutcome::Unavailable:
      break;
  }
  // The claim protects; it never keeps a lone operator from the drive. A warning, so on the
  // error stream: standard output stays what it is without a claim.
  console::err_line("Warning: drive " + utf16_to_utf8(console::typed_text(name)) +
                    " is not claimed for this run (" + console::device_text(c.reason) +
                    "); another run could reach it at the same time.");
  return true;
}

void release_drive(Handle& claim) {
  if (claim != kInvalidHandle) platform_release_drive(claim);
  claim = kInvalidHandle;
}
