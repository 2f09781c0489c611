// MurmurHash3, the x86_32, x86_128 and x64_128 variants.
//
// Digests are bit-identical to the published reference for the same bytes and
// seed. Blocks are loaded with memcpy, so `key` may have any alignment; all
// arithmetic is on unsigned types (wrap-around, no signed shifts); tail bytes
// are widened to the lane type before shifting. A negative `len` is treated as
// an empty input. `key` is not read when `len` is 0.
#include "MurmurHash3.h"

#include <cstddef>
#include <cstring>

namespace {

inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// Blocks are taken in the machine's byte order; the library runs on x86-64.
inline uint32_t load32(const unsigned char* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint64_t load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85ebca6bU;
    h ^= h >> 13;
    h *= 0xc2b2ae35U;
    h ^= h >> 16;
    return h;
}

inline uint64_t fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

inline size_t byte_count(int len) { return len > 0 ? static_cast<size_t>(len) : 0; }

// Tail byte `i` widened to the lane type and moved to bit position `shift`.
inline uint32_t tail32(const unsigned char* tail, int i, int shift) {
    return static_cast<uint32_t>(tail[i]) << shift;
}
inline uint64_t tail64(const unsigned char* tail, int i, int shift) {
    return static_cast<uint64_t>(tail[i]) << shift;
}

// x86_32 and x86_128 (lane 1) share these.
constexpr uint32_t c32_1 = 0xcc9e2d51U;
constexpr uint32_t c32_2 = 0x1b873593U;

// x86_128 lanes.
constexpr uint32_t c128_1 = 0x239b961bU;
constexpr uint32_t c128_2 = 0xab0e9789U;
constexpr uint32_t c128_3 = 0x38b34ae5U;
constexpr uint32_t c128_4 = 0xa1e38b93U;

inline uint32_t mix_k1_x86_128(uint32_t k) { return rotl32(k * c128_1, 15) * c128_2; }
inline uint32_t mix_k2_x86_128(uint32_t k) { return rotl32(k * c128_2, 16) * c128_3; }
inline uint32_t mix_k3_x86_128(uint32_t k) { return rotl32(k * c128_3, 17) * c128_4; }
inline uint32_t mix_k4_x86_128(uint32_t k) { return rotl32(k * c128_4, 18) * c128_1; }

// x64_128 lanes.
constexpr uint64_t c64_1 = 0x87c37b91114253d5ULL;
constexpr uint64_t c64_2 = 0x4cf5ad432745937fULL;

inline uint64_t mix_k1_x64_128(uint64_t k) { return rotl64(k * c64_1, 31) * c64_2; }
inline uint64_t mix_k2_x64_128(uint64_t k) { return rotl64(k * c64_2, 33) * c64_1; }

}  // namespace

void MurmurHash3_x86_32(const void* key, int len, uint32_t seed, void* out) {
    const auto* data = static_cast<const unsigned char*>(key);
    const size_t n = byte_count(len);
    const size_t nblocks = n / 4;

    uint32_t h1 = seed;

    for (size_t i = 0; i < nblocks; ++i) {
        const uint32_t k1 = rotl32(load32(data + i * 4) * c32_1, 15) * c32_2;
        h1 ^= k1;
        h1 = rotl32(h1, 13);
        h1 = h1 * 5 + 0xe6546b64U;
    }

    const unsigned char* tail = data + nblocks * 4;
    uint32_t k1 = 0;
    switch (n & 3) {
    case 3:
        k1 ^= tail32(tail, 2, 16);
        // fall through
    case 2:
        k1 ^= tail32(tail, 1, 8);
        // fall through
    case 1:
        k1 ^= tail32(tail, 0, 0);
        h1 ^= rotl32(k1 * c32_1, 15) * c32_2;
    }

    h1 ^= static_cast<uint32_t>(n);
    h1 = fmix32(h1);

    std::memcpy(out, &h1, sizeof h1);
}

void MurmurHash3_x86_128(const void* key, int len, uint32_t seed, void* out) {
    const auto* data = static_cast<const unsigned char*>(key);
    const size_t n = byte_count(len);
    const size_t nblocks = n / 16;

    uint32_t h1 = seed;
    uint32_t h2 = seed;
    uint32_t h3 = seed;
    uint32_t h4 = seed;

    for (size_t i = 0; i < nblocks; ++i) {
        const unsigned char* block = data + i * 16;

        h1 ^= mix_k1_x86_128(load32(block));
        h1 = rotl32(h1, 19);
        h1 += h2;
        h1 = h1 * 5 + 0x561ccd1bU;

        h2 ^= mix_k2_x86_128(load32(block + 4));
        h2 = rotl32(h2, 17);
        h2 += h3;
        h2 = h2 * 5 + 0x0bcaa747U;

        h3 ^= mix_k3_x86_128(load32(block + 8));
        h3 = rotl32(h3, 15);
        h3 += h4;
        h3 = h3 * 5 + 0x96cd1c35U;

        h4 ^= mix_k4_x86_128(load32(block + 12));
        h4 = rotl32(h4, 13);
        h4 += h1;
        h4 = h4 * 5 + 0x32ac3b17U;
    }

    const unsigned char* tail = data + nblocks * 16;
    uint32_t k1 = 0;
    uint32_t k2 = 0;
    uint32_t k3 = 0;
    uint32_t k4 = 0;
    switch (n & 15) {
    case 15:
        k4 ^= tail32(tail, 14, 16);
        // fall through
    case 14:
        k4 ^= tail32(tail, 13, 8);
        // fall through
    case 13:
        k4 ^= tail32(tail, 12, 0);
        h4 ^= mix_k4_x86_128(k4);
        // fall through
    case 12:
        k3 ^= tail32(tail, 11, 24);
        // fall through
    case 11:
        k3 ^= tail32(tail, 10, 16);
        // fall through
    case 10:
        k3 ^= tail32(tail, 9, 8);
        // fall through
    case 9:
        k3 ^= tail32(tail, 8, 0);
        h3 ^= mix_k3_x86_128(k3);
        // fall through
    case 8:
        k2 ^= tail32(tail, 7, 24);
        // fall through
    case 7:
        k2 ^= tail32(tail, 6, 16);
        // fall through
    case 6:
        k2 ^= tail32(tail, 5, 8);
        // fall through
    case 5:
        k2 ^= tail32(tail, 4, 0);
        h2 ^= mix_k2_x86_128(k2);
        // fall through
    case 4:
        k1 ^= tail32(tail, 3, 24);
        // fall through
    case 3:
        k1 ^= tail32(tail, 2, 16);
        // fall through
    case 2:
        k1 ^= tail32(tail, 1, 8);
        // fall through
    case 1:
        k1 ^= tail32(tail, 0, 0);
        h1 ^= mix_k1_x86_128(k1);
    }

    const auto length = static_cast<uint32_t>(n);
    h1 ^= length;
    h2 ^= length;
    h3 ^= length;
    h4 ^= length;

    h1 += h2 + h3 + h4;
    h2 += h1;
    h3 += h1;
    h4 += h1;

    h1 = fmix32(h1);
    h2 = fmix32(h2);
    h3 = fmix32(h3);
    h4 = fmix32(h4);

    h1 += h2 + h3 + h4;
    h2 += h1;
    h3 += h1;
    h4 += h1;

    const uint32_t digest[4] = {h1, h2, h3, h4};
    std::memcpy(out, digest, sizeof digest);
}

void MurmurHash3_x64_128(const void* key, int len, uint32_t seed, void* out) {
    const auto* data = static_cast<const unsigned char*>(key);
    const size_t n = byte_count(len);
    const size_t nblocks = n / 16;

    uint64_t h1 = seed;
    uint64_t h2 = seed;

    for (size_t i = 0; i < nblocks; ++i) {
        const unsigned char* block = data + i * 16;

        h1 ^= mix_k1_x64_128(load64(block));
        h1 = rotl64(h1, 27);
        h1 += h2;
        h1 = h1 * 5 + 0x52dce729U;

        h2 ^= mix_k2_x64_128(load64(block + 8));
        h2 = rotl64(h2, 31);
        h2 += h1;
        h2 = h2 * 5 + 0x38495ab5U;
    }

    const unsigned char* tail = data + nblocks * 16;
    uint64_t k1 = 0;
    uint64_t k2 = 0;
    switch (n & 15) {
    case 15:
        k2 ^= tail64(tail, 14, 48);
        // fall through
    case 14:
        k2 ^= tail64(tail, 13, 40);
        // fall through
    case 13:
        k2 ^= tail64(tail, 12, 32);
        // fall through
    case 12:
        k2 ^= tail64(tail, 11, 24);
        // fall through
    case 11:
        k2 ^= tail64(tail, 10, 16);
        // fall through
    case 10:
        k2 ^= tail64(tail, 9, 8);
        // fall through
    case 9:
        k2 ^= tail64(tail, 8, 0);
        h2 ^= mix_k2_x64_128(k2);
        // fall through
    case 8:
        k1 ^= tail64(tail, 7, 56);
        // fall through
    case 7:
        k1 ^= tail64(tail, 6, 48);
        // fall through
    case 6:
        k1 ^= tail64(tail, 5, 40);
        // fall through
    case 5:
        k1 ^= tail64(tail, 4, 32);
        // fall through
    case 4:
        k1 ^= tail64(tail, 3, 24);
        // fall through
    case 3:
        k1 ^= tail64(tail, 2, 16);
        // fall through
    case 2:
        k1 ^= tail64(tail, 1, 8);
        // fall through
    case 1:
        k1 ^= tail64(tail, 0, 0);
        h1 ^= mix_k1_x64_128(k1);
    }

    const auto length = static_cast<uint64_t>(n);
    h1 ^= length;
    h2 ^= length;

    h1 += h2;
    h2 += h1;

    h1 = fmix64(h1);
    h2 = fmix64(h2);

    h1 += h2;
    h2 += h1;

    const uint64_t digest[2] = {h1, h2};
    std::memcpy(out, digest, sizeof digest);
}
