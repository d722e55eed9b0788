// The decoder's parts as its files share them: the backward bit reader of
// FSE and Huffman streams, and the sections of a compressed block.
#pragma once
#include <string.h>

#include "frames/frames.h"
#include "shell/byte_order.h"

static inline uint32_t HighestBit(uint32_t value)  // value > 0
{
    return 31 - (uint32_t)__builtin_clz(value);
}

// The bit reader's word: the machine's, since a 64-bit word's shifts cost a
// 32-bit processor branches and spills. ZSTD_WORD_BITS_32 forces the 32-bit
// word, so that a 64-bit test build checks the product's 32-bit road.
#if defined(ZSTD_WORD_BITS_32) || UINTPTR_MAX == 0xFFFFFFFFu
typedef uint32_t BitWord;
#else
typedef uint64_t BitWord;
#endif
static const uint32_t WORD_BITS = sizeof(BitWord) * 8;
static const uint32_t BITS_AFTER_RELOAD = WORD_BITS - 7;  // 25 or 57

static inline BitWord ReadWord(const uint8_t* bytes)
{
    BitWord value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

// A stream written forward and read from its end: the last byte's highest
// set bit marks where the bits begin. container holds the word at cursor
// (or the whole stream when it is shorter), consumed counts the bits taken
// from its top. The stream is used up exactly when cursor is at its start
// and consumed is WORD_BITS; beyond that it is overread.
struct BackwardBits {
    const uint8_t* start;
    const uint8_t* cursor;
    BitWord container;
    uint32_t consumed;
};

// 0 when the stream is empty or its last byte is 0 (no start mark).
static inline int StartBackwardBits(BackwardBits* bits, const uint8_t* stream, size_t length)
{
    if (length == 0 || stream[length - 1] == 0)
        return 0;
    bits->start = stream;
    uint32_t mark = 8 - HighestBit(stream[length - 1]);
    if (length >= sizeof(BitWord)) {
        bits->cursor = stream + length - sizeof(BitWord);
        bits->container = ReadWord(bits->cursor);
        bits->consumed = mark;
        return 1;
    }
    bits->cursor = stream;
    bits->container = 0;
    for (size_t i = length; i-- > 0;)
        bits->container = bits->container << 8 | stream[i];
    bits->consumed = (uint32_t)(sizeof(BitWord) - length) * 8 + mark;
    return 1;
}

// The next count bits (0 to BITS_AFTER_RELOAD after a reload) without taking
// them; bits beyond the stream's start read as zeros until it is overread.
static inline BitWord PeekBits(const BackwardBits* bits, uint32_t count)
{
    return ((bits->container << (bits->consumed & (WORD_BITS - 1))) >> 1) >> (WORD_BITS - 1 - count);
}

static inline BitWord TakeBits(BackwardBits* bits, uint32_t count)
{
    BitWord value = PeekBits(bits, count);
    bits->consumed += count;
    return value;
}

// Moves the container back over the bytes fully taken; after it at least
// BITS_AFTER_RELOAD bits are at hand unless the stream's start is near.
static inline void ReloadBits(BackwardBits* bits)
{
    size_t step = bits->consumed >> 3;
    size_t before = (size_t)(bits->cursor - bits->start);
    if (step > before)
        step = before;
    if (step == 0)
        return;
    bits->cursor -= step;
    bits->consumed -= (uint32_t)step * 8;
    bits->container = ReadWord(bits->cursor);
}

// A reload that need not watch for the stream's start: the caller knows it is
// further back than all the bits it takes until its next check.
static inline void ReloadBitsFar(BackwardBits* bits)
{
    bits->cursor -= bits->consumed >> 3;
    bits->consumed &= 7;
    bits->container = ReadWord(bits->cursor);
}

// 1 while a reload leaves a word before the cursor: a round of reads that
// takes at most BITS_AFTER_RELOAD bits cannot reach the stream's start.
static inline int FarFromStart(const BackwardBits* bits)
{
    return bits->cursor - bits->start >= (ptrdiff_t)sizeof(BitWord);
}

static inline int BitsUsedUp(const BackwardBits* bits)
{
    return bits->cursor == bits->start && bits->consumed == WORD_BITS;
}

static inline int BitsOverread(const BackwardBits* bits)
{
    return bits->cursor == bits->start && bits->consumed > WORD_BITS;
}

// FSE: a distribution read from its description, and the decoding table
// built from it. codeBase and codeExtra, when given, turn each symbol into
// its code's baseline and extra bits; otherwise base is the symbol.
// ReadFseTable answers the bytes the description took, 0 when it is malformed.
size_t ReadFseTable(const uint8_t* in, size_t length, uint32_t mostLog, uint32_t mostSymbol, const uint32_t* codeBase,
                    const uint8_t* codeExtra, FseTable* table);
// The table of a distribution given in full (the predefined ones).
int BuildFseTable(const int16_t* counts, uint32_t symbols, uint32_t accuracyLog, const uint32_t* codeBase,
                  const uint8_t* codeExtra, FseTable* table);
// A table of one symbol (RLE mode).
void OneSymbolFseTable(uint32_t symbol, const uint32_t* codeBase, const uint8_t* codeExtra, FseTable* table);

// Huffman: a tree description read into decoder->huffman (answers the bytes
// it took, 0 when malformed), and streams decoded with it.
size_t ReadHuffmanTree(ZstdDecoder* decoder, const uint8_t* in, size_t length);
int DecodeHuffmanStream(const ZstdDecoder* decoder, const uint8_t* in, size_t length, uint8_t* out, size_t count);
int DecodeHuffmanStreams4(const ZstdDecoder* decoder, const uint8_t* in, size_t length, uint8_t* out, size_t count);

// The predefined tables of the sequences' codes, made once per workspace.
void BuildPredefinedTables(ZstdDecoder* decoder);

// The sections of a compressed block. ReadLiterals puts the literals into
// decoder->literals and answers the bytes the section took (0: malformed).
size_t ReadLiterals(ZstdDecoder* decoder, const uint8_t* in, size_t length, size_t* literalCount);
ZstdResult DecodeSequences(ZstdDecoder* decoder, const uint8_t* in, size_t length, size_t literalCount,
                           uint8_t* out, size_t outCapacity, size_t* position);
