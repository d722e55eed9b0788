// XXH64, the hash of a frame's content checksum: four lanes over stripes
// of 32 bytes, merged, then the tail and a final avalanche.
#include "frames/zstd_internal.h"

static const uint64_t PRIME1 = 0x9E3779B185EBCA87ull;
static const uint64_t PRIME2 = 0xC2B2AE3D27D4EB4Full;
static const uint64_t PRIME3 = 0x165667B19E3779F9ull;
static const uint64_t PRIME4 = 0x85EBCA77C2B2AE63ull;
static const uint64_t PRIME5 = 0x27D4EB2F165667C5ull;
static const size_t STRIPE_BYTES = 32;

static inline uint64_t RotateLeft(uint64_t value, int bits)
{
    return value << bits | value >> (64 - bits);
}

static inline uint64_t Round(uint64_t accumulator, uint64_t lane)
{
    return RotateLeft(accumulator + lane * PRIME2, 31) * PRIME1;
}

static inline uint64_t Merge(uint64_t accumulator, uint64_t lane)
{
    return (accumulator ^ Round(0, lane)) * PRIME1 + PRIME4;
}

uint64_t Xxh64(const void* data, size_t length, uint64_t seed)
{
    const uint8_t* bytes = (const uint8_t*)data;
    const uint8_t* end = bytes + length;
    uint64_t hash;
    if (length >= STRIPE_BYTES) {
        uint64_t lanes[4] = {seed + PRIME1 + PRIME2, seed + PRIME2, seed, seed - PRIME1};
        for (; end - bytes >= (ptrdiff_t)STRIPE_BYTES; bytes += STRIPE_BYTES) {
            lanes[0] = Round(lanes[0], ReadLittle64(bytes));
            lanes[1] = Round(lanes[1], ReadLittle64(bytes + 8));
            lanes[2] = Round(lanes[2], ReadLittle64(bytes + 16));
            lanes[3] = Round(lanes[3], ReadLittle64(bytes + 24));
        }
        hash = RotateLeft(lanes[0], 1) + RotateLeft(lanes[1], 7) + RotateLeft(lanes[2], 12) +
               RotateLeft(lanes[3], 18);
        for (int i = 0; i < 4; i++)
            hash = Merge(hash, lanes[i]);
    } else {
        hash = seed + PRIME5;
    }
    hash += length;
    for (; end - bytes >= 8; bytes += 8)
        hash = RotateLeft(hash ^ Round(0, ReadLittle64(bytes)), 27) * PRIME1 + PRIME4;
    if (end - bytes >= 4) {
        hash = RotateLeft(hash ^ ReadLittle32(bytes) * PRIME1, 23) * PRIME2 + PRIME3;
        bytes += 4;
    }
    for (; bytes < end; bytes++)
        hash = RotateLeft(hash ^ *bytes * PRIME5, 11) * PRIME1;
    hash ^= hash >> 33;
    hash *= PRIME2;
    hash ^= hash >> 29;
    hash *= PRIME3;
    return hash ^ hash >> 32;
}
