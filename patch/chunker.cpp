// The content-defined chunker: a gear rolling hash, cut where its masked
// bits are zero, with a backup cut for chunks that reach the maximum. No
// Windows headers.
#include <string.h>

#include "patch/patch.h"

// Measured on a 1 GB pack of assets whose next release replaces 4 % of them
// (bench/make_pack.py): smaller chunks waste less around each change and cost
// a larger index, 36 bytes a chunk. Fetched, index included, against the new
// content: 8/16/64 KB 1.067 (chunks of 24 KB on average), 4/16/64 KB 1.070,
// 8/32/128 KB 1.081, 16/64/256 KB 1.20. A mask that hardens before the average
// (normalized chunking) fell back into step more slowly after a change.
const ChunkParameters CHUNK_PARAMETERS = {
    8u << 10,   // minimum
    16u << 10,  // average: a mask of 14 bits
    CHUNK_MAXIMUM_BYTES,  // maximum: 64 KB
    2,          // the backup mask, of 12 bits, matches four times as often
    0x51554F5256414E45ull,  // "QUORVANE" in ASCII: the seed of the gear values
};

static const uint32_t HASH_WINDOW = 64;  // bytes a 64-bit hash shifted left by one per byte depends on

// SplitMix64: each gear value is the next output from the seed.
static uint64_t NextSplitMix(uint64_t* state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct GearTable {
    uint64_t values[256];
    uint64_t mask;
    uint64_t backupMask;
};

static int Log2(uint32_t value)
{
    int bits = 0;
    while (value > 1) {
        value >>= 1;
        bits++;
    }
    return bits;
}

// bits one-bits spread evenly from bit 63 down to bit 16, so a match depends
// on bytes across the whole window.
static uint64_t SpreadMask(int bits)
{
    uint64_t mask = 0;
    for (int i = 0; i < bits; i++)
        mask |= 1ull << (63 - (i * 48) / bits);
    return mask;
}

static GearTable MakeGear(void)
{
    GearTable table;
    uint64_t state = CHUNK_PARAMETERS.gearSeed;
    for (uint64_t& value : table.values)
        value = NextSplitMix(&state);
    int bits = Log2(CHUNK_PARAMETERS.average);
    table.mask = SpreadMask(bits);
    table.backupMask = SpreadMask(bits - (int)CHUNK_PARAMETERS.backupShift);
    return table;
}

// Made once, by whichever thread cuts first; the others wait for it.
static const GearTable* Gear(void)
{
    static const GearTable table = MakeGear();
    return &table;
}

uint32_t NextChunkLength(const uint8_t* data, size_t available)
{
    const GearTable* gear = Gear();
    const uint32_t minimum = CHUNK_PARAMETERS.minimum;
    size_t end = available < CHUNK_PARAMETERS.maximum ? available : CHUNK_PARAMETERS.maximum;
    if (end <= minimum)
        return (uint32_t)end;
    // The hash at each place after the minimum depends on the 64 bytes before it alone.
    uint64_t hash = 0;
    for (size_t i = minimum - HASH_WINDOW; i < minimum; i++)
        hash = (hash << 1) + gear->values[data[i]];
    size_t backup = 0;
    for (size_t i = minimum; i < end; i++) {
        hash = (hash << 1) + gear->values[data[i]];
        if ((hash & gear->mask) == 0)
            return (uint32_t)(i + 1);
        if ((hash & gear->backupMask) == 0)
            backup = i + 1;
    }
    if (end < CHUNK_PARAMETERS.maximum)
        return (uint32_t)end;  // the end of the file
    return (uint32_t)(backup ? backup : end);
}

int CutIntoChunks(const ChunkStream* stream, uint8_t* window, size_t windowSize)
{
    size_t start = 0;
    size_t filled = 0;
    int atEnd = 0;
    for (;;) {
        if (!atEnd && filled - start < CHUNK_PARAMETERS.maximum) {
            memmove(window, window + start, filled - start);
            filled -= start;
            start = 0;
            while (!atEnd && filled < windowSize) {
                int failed = 0;
                size_t count = stream->read(stream->context, window + filled, windowSize - filled, &failed);
                if (failed)
                    return 0;
                atEnd = count == 0;
                filled += count;
            }
        }
        if (start == filled)
            return 1;
        uint32_t length = NextChunkLength(window + start, filled - start);
        stream->chunk(stream->context, window + start, length);
        start += length;
    }
}
