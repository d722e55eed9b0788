// Huffman-coded literals: the tree's description (weights given directly or
// FSE-coded), the decoding table of 2^mostBits entries it gives, and the
// streams decoded with it, one or four at once.
#include "frames/zstd_internal.h"

static const uint32_t WEIGHTS_MOST_LOG = 6;
static const uint32_t WEIGHTS_MOST = 255;  // the last symbol's weight is never written
static const uint8_t DIRECT_WEIGHTS = 128;  // a header byte from here gives 4-bit weights
static const size_t JUMP_TABLE_BYTES = 6;
// Symbols of at most 11 bits a reload allows: 2 with a 32-bit word, 5 with a 64-bit one.
static const size_t SYMBOLS_PER_RELOAD = BITS_AFTER_RELOAD / ZSTD_HUFFMAN_MOST_BITS;

// Weights written as an FSE stream of two interleaved states: the stream
// ends when a state's update would read beyond it, and the other state then
// gives the last weight. Answers the count of weights, 0 when malformed.
static uint32_t DecodeWeights(const uint8_t* in, size_t length, uint8_t* weights)
{
    FseTable table;
    size_t used = ReadFseTable(in, length, WEIGHTS_MOST_LOG, ZSTD_HUFFMAN_MOST_BITS, 0, 0, &table);
    BackwardBits bits;
    if (used == 0 || !StartBackwardBits(&bits, in + used, length - used))
        return 0;
    uint32_t states[2];
    states[0] = (uint32_t)TakeBits(&bits, table.accuracyLog);
    states[1] = (uint32_t)TakeBits(&bits, table.accuracyLog);
    uint32_t count = 0;
    for (int turn = 0;; turn ^= 1) {
        if (count + 2 > WEIGHTS_MOST)
            return 0;
        const FseCell* cell = &table.cells[states[turn]];
        weights[count++] = (uint8_t)cell->base;
        states[turn] = cell->next + (uint32_t)TakeBits(&bits, cell->bits);
        ReloadBits(&bits);
        if (BitsOverread(&bits)) {
            weights[count++] = (uint8_t)table.cells[states[turn ^ 1]].base;
            return count;
        }
    }
}

// The weights, however written, into weights[0, *count); answers the bytes taken.
static size_t ReadWeights(const uint8_t* in, size_t length, uint8_t* weights, uint32_t* count)
{
    if (length == 0)
        return 0;
    uint32_t header = in[0];
    if (header >= DIRECT_WEIGHTS) {
        *count = header - (DIRECT_WEIGHTS - 1);
        size_t bytes = (*count + 1) / 2;
        if (1 + bytes > length)
            return 0;
        for (uint32_t i = 0; i < *count; i++)
            weights[i] = i % 2 == 0 ? in[1 + i / 2] >> 4 : in[1 + i / 2] & 15;
        return 1 + bytes;
    }
    if (header == 0 || 1 + (size_t)header > length)
        return 0;
    *count = DecodeWeights(in + 1, header, weights);
    return *count == 0 ? 0 : 1 + (size_t)header;
}

// Completes the weights with the last symbol's and fills the decoding table:
// codes go out from the lightest weight up, symbols in order within a weight.
static int BuildHuffmanTable(ZstdDecoder* decoder, uint8_t* weights, uint32_t count)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (weights[i] > ZSTD_HUFFMAN_MOST_BITS)
            return 0;
        sum += weights[i] ? 1u << (weights[i] - 1) : 0;
    }
    if (sum == 0)
        return 0;
    uint32_t mostBits = HighestBit(sum) + 1;
    uint32_t rest = (1u << mostBits) - sum;
    if (mostBits > ZSTD_HUFFMAN_MOST_BITS || (rest & (rest - 1)) != 0)
        return 0;
    weights[count++] = (uint8_t)(HighestBit(rest) + 1);
    uint32_t position = 0;
    for (uint32_t weight = 1; weight <= mostBits; weight++) {
        for (uint32_t symbol = 0; symbol < count; symbol++) {
            if (weights[symbol] != weight)
                continue;
            HuffmanEntry entry = {(uint8_t)symbol, (uint8_t)(mostBits + 1 - weight)};
            for (uint32_t i = 0; i < 1u << (weight - 1); i++)
                decoder->huffman[position++] = entry;
        }
    }
    decoder->huffmanBits = mostBits;
    return 1;
}

size_t ReadHuffmanTree(ZstdDecoder* decoder, const uint8_t* in, size_t length)
{
    uint8_t weights[WEIGHTS_MOST + 1];
    uint32_t count = 0;
    size_t used = ReadWeights(in, length, weights, &count);
    if (used == 0 || !BuildHuffmanTable(decoder, weights, count)) {
        decoder->huffmanBits = 0;
        return 0;
    }
    return used;
}

static inline uint8_t DecodeSymbol(BackwardBits* bits, const HuffmanEntry* table, uint32_t mostBits)
{
    HuffmanEntry entry = table[PeekBits(bits, mostBits)];
    bits->consumed += entry.bits;
    return entry.symbol;
}

// The symbols from..to of a stream, one reload each: the stream's end.
static int DecodeTail(BackwardBits* bits, const ZstdDecoder* decoder, uint8_t* out, size_t from, size_t to)
{
    for (size_t i = from; i < to; i++) {
        ReloadBits(bits);
        out[i] = DecodeSymbol(bits, decoder->huffman, decoder->huffmanBits);
    }
    ReloadBits(bits);
    return BitsUsedUp(bits);
}

int DecodeHuffmanStream(const ZstdDecoder* decoder, const uint8_t* in, size_t length, uint8_t* out, size_t count)
{
    BackwardBits bits;
    if (!StartBackwardBits(&bits, in, length))
        return 0;
    const HuffmanEntry* table = decoder->huffman;
    uint32_t mostBits = decoder->huffmanBits;
    size_t i = 0;
    for (; i + SYMBOLS_PER_RELOAD <= count && FarFromStart(&bits); i += SYMBOLS_PER_RELOAD) {
        ReloadBitsFar(&bits);
        for (size_t j = 0; j < SYMBOLS_PER_RELOAD; j++)
            out[i + j] = DecodeSymbol(&bits, table, mostBits);
    }
    return DecodeTail(&bits, decoder, out, i, count);
}

// Four streams, each a quarter of the literals (the last up to 3 fewer),
// their sizes in a jump table of three 16-bit lengths; decoded side by side.
int DecodeHuffmanStreams4(const ZstdDecoder* decoder, const uint8_t* in, size_t length, uint8_t* out, size_t count)
{
    size_t quarter = (count + 3) / 4;
    if (length < JUMP_TABLE_BYTES || count < 3 * quarter)
        return 0;
    size_t sizes[4], left = length - JUMP_TABLE_BYTES;
    for (int k = 0; k < 3; k++) {
        sizes[k] = (size_t)in[2 * k] | (size_t)in[2 * k + 1] << 8;
        if (sizes[k] > left)
            return 0;
        left -= sizes[k];
    }
    sizes[3] = left;
    BackwardBits bits[4];
    const uint8_t* stream = in + JUMP_TABLE_BYTES;
    for (int k = 0; k < 4; k++) {
        if (!StartBackwardBits(&bits[k], stream, sizes[k]))
            return 0;
        stream += sizes[k];
    }
    const HuffmanEntry* table = decoder->huffman;
    uint32_t mostBits = decoder->huffmanBits;
    size_t lastCount = count - 3 * quarter, i = 0;
    uint8_t* outs[4] = {out, out + quarter, out + 2 * quarter, out + 3 * quarter};
    for (; i + SYMBOLS_PER_RELOAD <= lastCount && FarFromStart(&bits[0]) && FarFromStart(&bits[1]) &&
           FarFromStart(&bits[2]) && FarFromStart(&bits[3]);
         i += SYMBOLS_PER_RELOAD) {
        for (int k = 0; k < 4; k++)
            ReloadBitsFar(&bits[k]);
        for (size_t j = 0; j < SYMBOLS_PER_RELOAD; j++) {
            outs[0][i + j] = DecodeSymbol(&bits[0], table, mostBits);
            outs[1][i + j] = DecodeSymbol(&bits[1], table, mostBits);
            outs[2][i + j] = DecodeSymbol(&bits[2], table, mostBits);
            outs[3][i + j] = DecodeSymbol(&bits[3], table, mostBits);
        }
    }
    for (int k = 0; k < 4; k++) {
        if (!DecodeTail(&bits[k], decoder, outs[k], i, k == 3 ? lastCount : quarter))
            return 0;
    }
    return 1;
}
