// A Zstandard frame: its header, its blocks (raw, RLE, compressed) up to the
// last, and the checksum of what they decode to.
#include "frames/zstd_internal.h"

static const uint32_t FRAME_MAGIC = 0xFD2FB528u;
static const uint32_t SKIPPABLE_MAGIC = 0x184D2A50u, SKIPPABLE_MASK = 0xFFFFFFF0u;
static const size_t MAGIC_BYTES = 4, BLOCK_HEADER_BYTES = 3, CHECKSUM_BYTES = 4;
static const uint8_t RESERVED_BIT = 0x08, CHECKSUM_FLAG = 0x04, SINGLE_SEGMENT_FLAG = 0x20;
static const uint64_t TWO_BYTE_SIZE_BASE = 256;  // a content size in 2 bytes counts from here

enum BlockType { BLOCK_RAW = 0, BLOCK_RLE = 1, BLOCK_COMPRESSED = 2 };

struct FrameHeader {
    size_t headerBytes;  // the magic number included
    int hasContentSize;
    uint64_t contentSize;
    int hasChecksum;
};

static uint64_t ReadLittle(const uint8_t* bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = count; i-- > 0;)
        value = value << 8 | bytes[i];
    return value;
}

// The window descriptor is skipped: the output buffer is the window.
static ZstdResult ReadFrameHeader(const uint8_t* in, size_t length, FrameHeader* header)
{
    if (length < MAGIC_BYTES + 1)
        return ZSTD_MALFORMED;
    uint32_t magic = ReadLittle32(in);
    if ((magic & SKIPPABLE_MASK) == SKIPPABLE_MAGIC)
        return ZSTD_UNSUPPORTED;
    uint8_t descriptor = in[MAGIC_BYTES];
    if (magic != FRAME_MAGIC || (descriptor & RESERVED_BIT) != 0)
        return ZSTD_MALFORMED;
    static const uint8_t DICTIONARY_BYTES[4] = {0, 1, 2, 4};
    static const uint8_t SIZE_BYTES[4] = {0, 2, 4, 8};
    int singleSegment = (descriptor & SINGLE_SEGMENT_FLAG) != 0;
    size_t windowBytes = singleSegment ? 0 : 1;
    size_t dictionaryBytes = DICTIONARY_BYTES[descriptor & 3];
    size_t sizeBytes = SIZE_BYTES[descriptor >> 6];
    if (sizeBytes == 0 && singleSegment)
        sizeBytes = 1;
    header->headerBytes = MAGIC_BYTES + 1 + windowBytes + dictionaryBytes + sizeBytes;
    if (length < header->headerBytes)
        return ZSTD_MALFORMED;
    const uint8_t* field = in + MAGIC_BYTES + 1 + windowBytes;
    if (ReadLittle(field, dictionaryBytes) != 0)
        return ZSTD_UNSUPPORTED;
    field += dictionaryBytes;
    header->hasContentSize = sizeBytes != 0;
    header->contentSize = ReadLittle(field, sizeBytes) + (sizeBytes == 2 ? TWO_BYTE_SIZE_BASE : 0);
    header->hasChecksum = (descriptor & CHECKSUM_FLAG) != 0;
    return ZSTD_DECODED;
}

static ZstdResult DecodeCompressedBlock(ZstdDecoder* decoder, const uint8_t* in, size_t length, uint8_t* out,
                                        size_t outCapacity, size_t* position)
{
    size_t literalCount = 0;
    size_t used = ReadLiterals(decoder, in, length, &literalCount);
    if (used == 0)
        return ZSTD_MALFORMED;
    return DecodeSequences(decoder, in + used, length - used, literalCount, out, outCapacity, position);
}

// The blocks from in up to the last; *blocksEnd is where they end.
static ZstdResult DecodeBlocks(ZstdDecoder* decoder, const uint8_t* in, size_t length, size_t* blocksEnd,
                               uint8_t* out, size_t outCapacity, size_t* position)
{
    size_t at = 0;
    for (int last = 0; !last;) {
        if (length - at < BLOCK_HEADER_BYTES)
            return ZSTD_MALFORMED;
        uint32_t blockHeader = in[at] | (uint32_t)in[at + 1] << 8 | (uint32_t)in[at + 2] << 16;
        at += BLOCK_HEADER_BYTES;
        last = blockHeader & 1;
        uint32_t type = blockHeader >> 1 & 3;
        size_t size = blockHeader >> 3;
        size_t stored = type == BLOCK_RLE ? 1 : size;
        if (size > ZSTD_BLOCK_MOST_BYTES || stored > length - at)
            return ZSTD_MALFORMED;
        if ((type == BLOCK_RAW || type == BLOCK_RLE) && size > outCapacity - *position)
            return ZSTD_TOO_LARGE;
        ZstdResult result = ZSTD_DECODED;
        if (type == BLOCK_COMPRESSED)
            result = DecodeCompressedBlock(decoder, in + at, size, out, outCapacity, position);
        else if (type != BLOCK_RAW && type != BLOCK_RLE)
            result = ZSTD_MALFORMED;
        else if (size == 0)
            ;  // an empty block: the output may be no buffer at all
        else if (type == BLOCK_RAW)
            memcpy(out + *position, in + at, size);
        else
            memset(out + *position, in[at], size);
        if (result != ZSTD_DECODED)
            return result;
        if (type == BLOCK_RAW || type == BLOCK_RLE)
            *position += size;
        at += stored;
    }
    *blocksEnd = at;
    return ZSTD_DECODED;
}

void SetUpZstdDecoder(ZstdDecoder* decoder)
{
    BuildPredefinedTables(decoder);
}

// What one frame hands from block to block starts afresh.
static void StartFrame(ZstdDecoder* decoder)
{
    decoder->lastLiteralLengths = 0;
    decoder->lastOffsets = 0;
    decoder->lastMatchLengths = 0;
    decoder->huffmanBits = 0;
    decoder->repeatOffsets[0] = 1;
    decoder->repeatOffsets[1] = 4;
    decoder->repeatOffsets[2] = 8;
}

ZstdResult DecodeZstdFrame(ZstdDecoder* decoder, const uint8_t* in, size_t inLength, uint8_t* out,
                           size_t outCapacity, size_t* outLength)
{
    *outLength = 0;
    FrameHeader header;
    ZstdResult result = ReadFrameHeader(in, inLength, &header);
    if (result != ZSTD_DECODED)
        return result;
    if (header.hasContentSize && header.contentSize > outCapacity)
        return ZSTD_TOO_LARGE;
    StartFrame(decoder);
    size_t position = 0, blocksEnd = 0;
    const uint8_t* blocks = in + header.headerBytes;
    result = DecodeBlocks(decoder, blocks, inLength - header.headerBytes, &blocksEnd, out, outCapacity, &position);
    if (result != ZSTD_DECODED)
        return result;
    size_t rest = inLength - header.headerBytes - blocksEnd;
    if (rest != (header.hasChecksum ? CHECKSUM_BYTES : 0))
        return ZSTD_MALFORMED;
    if (header.hasContentSize && header.contentSize != position)
        return ZSTD_MALFORMED;
    if (header.hasChecksum && ReadLittle32(blocks + blocksEnd) != (uint32_t)Xxh64(out, position, 0))
        return ZSTD_MALFORMED;
    *outLength = position;
    return ZSTD_DECODED;
}
