// SHA-256 over nettle, Debian's own cryptographic library, linked statically so that the
// package keeps depending on the C library alone.
#include <nettle/sha2.h>

#include "platform/host.h"

bool platform_sha256(const void* data, size_t size, uint8_t (&digest)[32]) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, size, static_cast<const uint8_t*>(data));
  sha256_digest(&ctx, sizeof digest, digest);
  return true;
}
