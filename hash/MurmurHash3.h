// MurmurHash3: fast, stable, non-cryptographic digests of byte buffers.
#ifndef NESK_MURMURHASH3_H
#define NESK_MURMURHASH3_H

#include <cstdint>

#include "nesk_export.h"

// Each reads `len` bytes from `key` (any alignment) and writes the digest to
// `out`: 4 bytes for x86_32, 16 bytes (four 32-bit or two 64-bit words in
// native byte order) for the 128-bit variants. No allocation, no system calls.
NESK_EXPORT void MurmurHash3_x86_32(const void* key, int len, uint32_t seed, void* out);
NESK_EXPORT void MurmurHash3_x86_128(const void* key, int len, uint32_t seed, void* out);
NESK_EXPORT void MurmurHash3_x64_128(const void* key, int len, uint32_t seed, void* out);

#endif
