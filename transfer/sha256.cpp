// SHA-256 (FIPS 180-4): plain C++, and the processor's SHA instructions
// where it has them (about 8 times as fast). The file digests and the chunk
// hashes use it on such processors; the publisher's native helper, which has
// no CryptoAPI, always.
// No Windows headers.
#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define QRV_SHA_INSTRUCTIONS 1
#endif

#include "transfer/transfer.h"

static const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

static inline uint32_t RotateRight(uint32_t value, int bits)
{
    return (value >> bits) | (value << (32 - bits));
}

static void CompressBlock(uint32_t* state, const uint8_t* block)
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)block[4 * i] << 24 | (uint32_t)block[4 * i + 1] << 16 | (uint32_t)block[4 * i + 2] << 8 |
               block[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = RotateRight(w[i - 15], 7) ^ RotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = RotateRight(w[i - 2], 17) ^ RotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = h + (RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25)) + ((e & f) ^ (~e & g)) +
                      ROUND_CONSTANTS[i] + w[i];
        uint32_t t2 = (RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

#ifdef QRV_SHA_INSTRUCTIONS
// Intel's SHA extensions: two rounds per sha256rnds2, the message schedule
// by sha256msg1/msg2. The state is kept as ABEF and CDGH.
__attribute__((target("sha,sse4.1"))) static void CompressBlocksWithInstructions(uint32_t* state,
                                                                                const uint8_t* data,
                                                                                size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    __m128i state0 = _mm_loadu_si128((const __m128i*)&state[0]);  // DCBA
    __m128i state1 = _mm_loadu_si128((const __m128i*)&state[4]);  // HGFE
    __m128i swapped = _mm_shuffle_epi32(state0, 0xB1);            // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);                     // EFGH
    state0 = _mm_alignr_epi8(swapped, state1, 8);                 // ABEF
    state1 = _mm_blend_epi16(state1, swapped, 0xF0);              // CDGH
    for (; blocks > 0; blocks--, data += 64) {
        __m128i saved0 = state0, saved1 = state1;
        __m128i message[4];
        for (int i = 0; i < 4; i++)
            message[i] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(data + 16 * i)), byteSwap);
        for (int round = 0; round < 16; round++) {
            __m128i& current = message[round % 4];
            if (round >= 4) {
                // w[i] = w[i-16] + s0(w[i-15]) + w[i-7] + s1(w[i-2]), four at a time
                __m128i previous = message[(round + 3) % 4];
                __m128i beforePrevious = message[(round + 2) % 4];
                current = _mm_sha256msg1_epu32(current, message[(round + 1) % 4]);
                current = _mm_add_epi32(current, _mm_alignr_epi8(previous, beforePrevious, 4));
                current = _mm_sha256msg2_epu32(current, previous);
            }
            __m128i words = _mm_add_epi32(current, _mm_loadu_si128((const __m128i*)&ROUND_CONSTANTS[4 * round]));
            state1 = _mm_sha256rnds2_epu32(state1, state0, words);
            state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(words, 0x0E));
        }
        state0 = _mm_add_epi32(state0, saved0);
        state1 = _mm_add_epi32(state1, saved1);
    }
    swapped = _mm_shuffle_epi32(state0, 0x1B);                    // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);                     // DCHG
    state0 = _mm_blend_epi16(swapped, state1, 0xF0);              // DCBA
    state1 = _mm_alignr_epi8(state1, swapped, 8);                 // HGFE
    _mm_storeu_si128((__m128i*)&state[0], state0);
    _mm_storeu_si128((__m128i*)&state[4], state1);
}

static int HasShaInstructions(void)
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1))
        return 0;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29));
}
#endif

int Sha256Instructions = -1;

int Sha256HasInstructions(void)
{
#ifdef QRV_SHA_INSTRUCTIONS
    if (Sha256Instructions < 0)
        Sha256Instructions = HasShaInstructions();
    return Sha256Instructions;
#else
    return 0;
#endif
}

static void CompressBlocks(uint32_t* state, const uint8_t* data, size_t blocks)
{
#ifdef QRV_SHA_INSTRUCTIONS
    if (Sha256HasInstructions()) {
        CompressBlocksWithInstructions(state, data, blocks);
        return;
    }
#endif
    for (; blocks > 0; blocks--, data += 64)
        CompressBlock(state, data);
}

void Sha256Start(Sha256* sha)
{
    static const uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(sha->state, INITIAL, sizeof sha->state);
    sha->length = 0;
    sha->buffered = 0;
}

void Sha256Add(Sha256* sha, const void* data, size_t length)
{
    const uint8_t* bytes = (const uint8_t*)data;
    sha->length += length;
    if (sha->buffered > 0) {
        size_t taken = 64 - sha->buffered < length ? 64 - sha->buffered : length;
        memcpy(sha->block + sha->buffered, bytes, taken);
        sha->buffered += taken;
        bytes += taken;
        length -= taken;
        if (sha->buffered < 64)
            return;
        CompressBlocks(sha->state, sha->block, 1);
        sha->buffered = 0;
    }
    CompressBlocks(sha->state, bytes, length / 64);
    bytes += length - length % 64;
    length %= 64;
    memcpy(sha->block, bytes, length);
    sha->buffered = length;
}

void Sha256Finish(Sha256* sha, uint8_t digest[32])
{
    uint64_t bits = sha->length * 8;
    static const uint8_t PADDING[64] = {0x80};
    Sha256Add(sha, PADDING, sha->buffered < 56 ? 56 - sha->buffered : 120 - sha->buffered);
    uint8_t length[8];
    for (int i = 0; i < 8; i++)
        length[i] = (uint8_t)(bits >> (56 - 8 * i));
    Sha256Add(sha, length, sizeof length);
    for (int i = 0; i < 8; i++) {
        digest[4 * i] = (uint8_t)(sha->state[i] >> 24);
        digest[4 * i + 1] = (uint8_t)(sha->state[i] >> 16);
        digest[4 * i + 2] = (uint8_t)(sha->state[i] >> 8);
        digest[4 * i + 3] = (uint8_t)sha->state[i];
    }
}
