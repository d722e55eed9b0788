// A compressed block's sequences section: the count, each code's table
// (predefined, one symbol, FSE-described or the previous block's), then the
// sequences decoded from their interleaved backward stream and executed at
// once: literals copied, matches copied from what the frame already wrote.
#include "frames/zstd_internal.h"
#include "frames/zstd_copy.h"

enum TableMode { MODE_PREDEFINED = 0, MODE_RLE = 1, MODE_COMPRESSED = 2, MODE_REPEAT = 3 };

static const uint32_t LITERAL_LENGTH_CODES = 36, MATCH_LENGTH_CODES = 53, OFFSET_CODES = 32;
static const uint32_t OFFSETS_MOST_LOG = 8;
static const uint32_t LONG_COUNT = 0x7F00;  // added to a count written in three bytes
static const uint32_t NARROW_MOST_EXTRA = 24;
static const ptrdiff_t SEQUENCE_MOST_BYTES = 16;  // a sequence's bits (at most 89), and the word's slack  // an offset's extra bits a 32-bit word takes at once

static const uint32_t LITERAL_LENGTH_BASE[LITERAL_LENGTH_CODES] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,   10,  11,  12,  13,   14,   15,   16,   18,
    20, 22, 24, 28, 32, 40, 48, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
static const uint8_t LITERAL_LENGTH_EXTRA[LITERAL_LENGTH_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,
                                                                   0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3,  3,
                                                                   4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
static const uint32_t MATCH_LENGTH_BASE[MATCH_LENGTH_CODES] = {
    3,  4,  5,  6,  7,  8,  9,  10, 11, 12,  13,  14,  15,  16,   17,   18,   19,   20,
    21, 22, 23, 24, 25, 26, 27, 28, 29, 30,  31,  32,  33,  34,   35,   37,   39,   41,
    43, 47, 51, 59, 67, 83, 99, 131, 259, 515, 1027, 2051, 4099, 8195, 16387, 32771, 65539};
static const uint8_t MATCH_LENGTH_EXTRA[MATCH_LENGTH_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                               0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 4, 4,
                                                               5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
// An offset code is its own count of extra bits, over a baseline of 2^code.
static const uint32_t OFFSET_BASE[OFFSET_CODES] = {0x1u, 0x2u, 0x4u, 0x8u, 0x10u, 0x20u, 0x40u, 0x80u, 0x100u, 0x200u, 0x400u, 0x800u, 0x1000u, 0x2000u, 0x4000u, 0x8000u, 0x10000u, 0x20000u, 0x40000u, 0x80000u, 0x100000u, 0x200000u, 0x400000u, 0x800000u, 0x1000000u, 0x2000000u, 0x4000000u, 0x8000000u, 0x10000000u, 0x20000000u, 0x40000000u, 0x80000000u};
static const uint8_t OFFSET_EXTRA[OFFSET_CODES] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// The predefined distributions, of accuracy 6, 6 and 5.
static const int16_t LITERAL_LENGTH_COUNTS[LITERAL_LENGTH_CODES] = {
    4, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 2, 1, 1, 1, 1, 1, -1, -1, -1, -1};
static const int16_t MATCH_LENGTH_COUNTS[MATCH_LENGTH_CODES] = {
    1, 4, 3, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1, -1, -1};
static const int16_t OFFSET_COUNTS[29] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 1, 1, 1, 1, 1, 1,
                                          1, 1, 1, 1, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1};

void BuildPredefinedTables(ZstdDecoder* decoder)
{
    BuildFseTable(LITERAL_LENGTH_COUNTS, LITERAL_LENGTH_CODES, 6, LITERAL_LENGTH_BASE, LITERAL_LENGTH_EXTRA,
                  &decoder->predefinedLiteralLengths);
    BuildFseTable(MATCH_LENGTH_COUNTS, MATCH_LENGTH_CODES, 6, MATCH_LENGTH_BASE, MATCH_LENGTH_EXTRA,
                  &decoder->predefinedMatchLengths);
    BuildFseTable(OFFSET_COUNTS, 29, 5, OFFSET_BASE, OFFSET_EXTRA, &decoder->predefinedOffsets);
}

// One code's table as the block's mode says; answers the bytes its
// description took through *used, 0 when malformed.
struct CodeKind {
    const FseTable* predefined;
    FseTable* own;
    const FseTable** last;
    uint32_t mostLog, codes;
    const uint32_t* base;
    const uint8_t* extra;
};

static int ChooseTable(const CodeKind* kind, uint32_t mode, const uint8_t* in, size_t length, size_t* used)
{
    *used = 0;
    if (mode == MODE_PREDEFINED) {
        *kind->last = kind->predefined;
    } else if (mode == MODE_RLE) {
        if (length < 1 || in[0] >= kind->codes)
            return 0;
        OneSymbolFseTable(in[0], kind->base, kind->extra, kind->own);
        *kind->last = kind->own;
        *used = 1;
    } else if (mode == MODE_COMPRESSED) {
        *used = ReadFseTable(in, length, kind->mostLog, kind->codes - 1, kind->base, kind->extra, kind->own);
        if (*used == 0)
            return 0;
        *kind->last = kind->own;
    }
    return *kind->last != 0;  // repeat mode needs an earlier block's table
}

// The count of sequences and the three tables; answers the bytes taken, 0 when malformed.
static size_t ReadSequencesHeader(ZstdDecoder* decoder, const uint8_t* in, size_t length, uint32_t* count)
{
    if (length < 1)
        return 0;
    size_t used = 1;
    if (in[0] < 128) {
        *count = in[0];
    } else if (in[0] < 255) {
        if (length < 2)
            return 0;
        *count = (uint32_t)(in[0] - 128) << 8 | in[1];
        used = 2;
    } else {
        if (length < 3)
            return 0;
        *count = (in[1] | (uint32_t)in[2] << 8) + LONG_COUNT;
        used = 3;
    }
    if (*count == 0)
        return used;
    if (used >= length || (in[used] & 3) != 0)
        return 0;
    uint32_t modes = in[used++];
    const CodeKind kinds[3] = {
        {&decoder->predefinedLiteralLengths, &decoder->literalLengths, &decoder->lastLiteralLengths,
         ZSTD_SEQUENCE_MOST_LOG, LITERAL_LENGTH_CODES, LITERAL_LENGTH_BASE, LITERAL_LENGTH_EXTRA},
        {&decoder->predefinedOffsets, &decoder->offsets, &decoder->lastOffsets, OFFSETS_MOST_LOG, OFFSET_CODES,
         OFFSET_BASE, OFFSET_EXTRA},
        {&decoder->predefinedMatchLengths, &decoder->matchLengths, &decoder->lastMatchLengths,
         ZSTD_SEQUENCE_MOST_LOG, MATCH_LENGTH_CODES, MATCH_LENGTH_BASE, MATCH_LENGTH_EXTRA},
    };
    for (int k = 0; k < 3; k++) {
        size_t tableBytes = 0;
        if (!ChooseTable(&kinds[k], modes >> (6 - 2 * k) & 3, in + used, length - used, &tableBytes))
            return 0;
        used += tableBytes;
    }
    return used;
}

static inline void Reload(BackwardBits* bits, int far)
{
    if (far)
        ReloadBitsFar(bits);
    else
        ReloadBits(bits);
}

// The offset a sequence means: a new one, or one of the three recent ones
// (shifted by one when the sequence has no literals), kept in recency order.
static inline size_t ResolveOffset(uint32_t* repeats, uint32_t offsetValue, size_t literalLength)
{
    if (offsetValue > 3) {
        repeats[2] = repeats[1];
        repeats[1] = repeats[0];
        repeats[0] = offsetValue - 3;
        return repeats[0];
    }
    uint32_t which = offsetValue - 1 + (literalLength == 0);
    if (which == 0)
        return repeats[0];
    uint32_t offset = which == 3 ? repeats[0] - 1 : repeats[which];
    if (which != 1)
        repeats[2] = repeats[1];
    repeats[1] = repeats[0];
    repeats[0] = offset;
    return offset;
}

ZstdResult DecodeSequences(ZstdDecoder* decoder, const uint8_t* in, size_t length, size_t literalCount,
                           uint8_t* out, size_t outCapacity, size_t* position)
{
    uint32_t count = 0;
    size_t used = ReadSequencesHeader(decoder, in, length, &count);
    if (used == 0)
        return ZSTD_MALFORMED;
    const uint8_t* literal = decoder->literals;
    const uint8_t* literalEnd = literal + literalCount;
    uint8_t* op = out + *position;
    uint8_t* outEnd = out + outCapacity;
    if (count == 0) {
        if (used != length)
            return ZSTD_MALFORMED;
    } else {
        BackwardBits bits;
        if (!StartBackwardBits(&bits, in + used, length - used))
            return ZSTD_MALFORMED;
        const FseTable* tables[3] = {decoder->lastLiteralLengths, decoder->lastOffsets, decoder->lastMatchLengths};
        // A 64-bit word takes 31 + 16 bits, a reload, then 16 + 9 + 9 + 8; a
        // 32-bit word (25 bits after a reload) reloads after each field but
        // the states, and takes an offset's extra bits beyond 24 in two.
        const int narrow = WORD_BITS == 32;
        uint32_t literalState = (uint32_t)TakeBits(&bits, tables[0]->accuracyLog);
        uint32_t offsetState = (uint32_t)TakeBits(&bits, tables[1]->accuracyLog);
        if (narrow)
            ReloadBits(&bits);
        uint32_t matchState = (uint32_t)TakeBits(&bits, tables[2]->accuracyLog);
        ReloadBits(&bits);
        for (uint32_t n = 0; n < count; n++) {
            // A sequence takes at most 89 bits: far from the stream's start,
            // its reloads need not watch for it.
            const int far = bits.cursor - bits.start >= SEQUENCE_MOST_BYTES;
            const FseCell literalCell = tables[0]->cells[literalState];
            const FseCell offsetCell = tables[1]->cells[offsetState];
            const FseCell matchCell = tables[2]->cells[matchState];
            uint32_t offsetValue = offsetCell.base;
            if (narrow && offsetCell.extra > NARROW_MOST_EXTRA) {
                uint32_t high = offsetCell.extra - NARROW_MOST_EXTRA;
                offsetValue += (uint32_t)TakeBits(&bits, high) << NARROW_MOST_EXTRA;
                Reload(&bits, far);
                offsetValue += (uint32_t)TakeBits(&bits, NARROW_MOST_EXTRA);
            } else {
                offsetValue += (uint32_t)TakeBits(&bits, offsetCell.extra);
            }
            if (narrow)
                Reload(&bits, far);
            size_t matchLength = matchCell.base + (size_t)TakeBits(&bits, matchCell.extra);
            Reload(&bits, far);
            size_t literalLength = literalCell.base + (size_t)TakeBits(&bits, literalCell.extra);
            if (narrow)
                Reload(&bits, far);
            if (n + 1 < count) {
                literalState = literalCell.next + (uint32_t)TakeBits(&bits, literalCell.bits);
                matchState = matchCell.next + (uint32_t)TakeBits(&bits, matchCell.bits);
                if (narrow)
                    Reload(&bits, far);
                offsetState = offsetCell.next + (uint32_t)TakeBits(&bits, offsetCell.bits);
            }
            Reload(&bits, far);
            size_t offset = ResolveOffset(decoder->repeatOffsets, offsetValue, literalLength);
            if (literalLength > (size_t)(literalEnd - literal))
                return ZSTD_MALFORMED;
            if (literalLength + matchLength > (size_t)(outEnd - op))
                return ZSTD_TOO_LARGE;
            CopyLiterals(op, literal, literalLength, outEnd);
            op += literalLength;
            literal += literalLength;
            if (offset == 0 || offset > (size_t)(op - out))
                return ZSTD_MALFORMED;
            CopyMatch(op, offset, matchLength, outEnd);
            op += matchLength;
        }
        if (!BitsUsedUp(&bits))
            return ZSTD_MALFORMED;
    }
    size_t rest = (size_t)(literalEnd - literal);
    if (rest > (size_t)(outEnd - op))
        return ZSTD_TOO_LARGE;
    if (rest != 0)
        memcpy(op, literal, rest);
    *position = (size_t)(op + rest - out);
    return ZSTD_DECODED;
}
