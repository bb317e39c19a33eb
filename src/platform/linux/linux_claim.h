// The drive claim of the Linux backend, with its folder as a parameter so that tests can put
// it anywhere; the tool always uses /run/lock, or the claim socket where that is missing.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace linux_claim {

inline constexpr const char* kLockFolder = "/run/lock";

// The claim file "quillmark-<key>.lock" in the folder, locked with flock; where the folder
// does not exist, the claim socket.
DriveClaim claim_in(const std::string& folder, std::string_view key, uint32_t wait_ms);

// The abstract Unix socket "quillmark-<key>", bound and listened on while the claim is held.
// A holder of another user that is not root is reported (Unavailable), not waited for.
DriveClaim claim_socket(std::string_view key, uint32_t wait_ms);

// The process holding a flock on the file (device and inode), as /proc/locks lists it; 0 when
// none is listed. locks_text is that file's text.
uint32_t flock_holder(std::string_view locks_text, uint64_t device_major, uint64_t device_minor,
                      uint64_t inode);

}  // namespace linux_claim
