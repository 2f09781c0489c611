#include "MurmurHash3.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using hash_fn = void (*)(const void*, int, uint32_t, void*);

struct variant {
    const char* name;
    hash_fn fn;
    size_t digest_size;
    uint32_t verification;
};

const variant k_variants[] = {
    {"x86_32", MurmurHash3_x86_32, 4, 0xB0F57EE3U},
    {"x86_128", MurmurHash3_x86_128, 16, 0xB3ECE62AU},
    {"x64_128", MurmurHash3_x64_128, 16, 0x6384BA69U},
};

std::vector<unsigned char> digest(const variant& v, const void* key, int len, uint32_t seed) {
    std::vector<unsigned char> out(v.digest_size);
    v.fn(key, len, seed, out.data());
    return out;
}

// The widely used cross-implementation check: digests of the prefixes
// key[0..n) of 0, 1, ..., 255 with seed 256 - n, concatenated and hashed again
// with seed 0. Covers every tail length and bytes of 0x80 and above.
uint32_t verification_value(const variant& v) {
    unsigned char key[256];
    std::vector<unsigned char> table(256 * v.digest_size);
    for (int n = 0; n < 256; ++n) {
        key[n] = static_cast<unsigned char>(n);
        v.fn(key, n, 256 - n, table.data() + n * v.digest_size);
    }
    const std::vector<unsigned char> final_digest =
        digest(v, table.data(), static_cast<int>(table.size()), 0);
    return static_cast<uint32_t>(final_digest[0]) | static_cast<uint32_t>(final_digest[1]) << 8 |
           static_cast<uint32_t>(final_digest[2]) << 16 | static_cast<uint32_t>(final_digest[3]) << 24;
}

TEST(MurmurHash3, MatchesReferenceVerificationValue) {
    for (const variant& v : k_variants) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(verification_value(v), v.verification);
    }
}

TEST(MurmurHash3, EmptyInputWithSeedZeroIsZeroAndReadsNothing) {
    for (const variant& v : k_variants) {
        SCOPED_TRACE(v.name);
        // A null key: a length of 0 must not touch it.
        EXPECT_EQ(digest(v, nullptr, 0, 0), std::vector<unsigned char>(v.digest_size, 0));
    }
}

TEST(MurmurHash3, UnalignedInputHashesLikeAlignedCopy) {
    // Longer than two 16-byte blocks, so each length has blocks and a tail.
    alignas(16) unsigned char storage[64 + 1];
    for (size_t i = 0; i < sizeof storage; ++i) storage[i] = static_cast<unsigned char>(0xA5 ^ (i * 37));
    const unsigned char* odd = storage + 1;

    for (const variant& v : k_variants) {
        for (int len = 0; len <= 48; ++len) {
            SCOPED_TRACE(testing::Message() << v.name << " len " << len);
            alignas(16) unsigned char aligned[64];
            std::memcpy(aligned, odd, len);
            EXPECT_EQ(digest(v, odd, len, 0x9747b28cU), digest(v, aligned, len, 0x9747b28cU));
        }
    }
}

TEST(MurmurHash3, DifferentSeedsGiveDifferentDigests) {
    const std::string text = "node-identity";
    for (const variant& v : k_variants) {
        SCOPED_TRACE(v.name);
        const int len = static_cast<int>(text.size());
        EXPECT_NE(digest(v, text.data(), len, 0), digest(v, text.data(), len, 1));
        EXPECT_NE(digest(v, text.data(), len, 1), digest(v, text.data(), len, 0x80000000U));
        // Empty input too: the seed alone must move the digest.
        EXPECT_NE(digest(v, "", 0, 0), digest(v, "", 0, 1));
    }
}

TEST(MurmurHash3, NegativeLengthHashesAsEmpty) {
    const char byte = 'x';
    for (const variant& v : k_variants) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(digest(v, &byte, -1, 7), digest(v, &byte, 0, 7));
    }
}

}  // namespace
