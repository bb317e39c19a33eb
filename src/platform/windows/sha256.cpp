// SHA-256 through CNG, the system's own implementation.
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>

#include "platform/host.h"

bool platform_sha256(const void* data, size_t size, uint8_t (&digest)[32]) {
  // BCryptHash takes at most 4 GiB at once; an image is far smaller.
  if (size > 0xFFFFFFFFu) return false;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
    return false;
  auto* input = static_cast<PUCHAR>(const_cast<void*>(data));
  const NTSTATUS status =
      BCryptHash(algorithm, nullptr, 0, input, static_cast<ULONG>(size), digest, sizeof digest);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return status == 0;
}
