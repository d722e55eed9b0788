// A compressed block's literals section: its header (type, sizes, streams)
// and the literals, raw, repeated, or Huffman-coded with a new tree or the
// previous block's (treeless).
#include "frames/zstd_internal.h"

enum LiteralsType { LITERALS_RAW = 0, LITERALS_RLE = 1, LITERALS_COMPRESSED = 2, LITERALS_TREELESS = 3 };

struct LiteralsHeader {
    uint32_t type;
    size_t headerBytes;
    size_t regenerated;
    size_t compressed;  // Huffman-coded sections only: tree and streams
    int fourStreams;
};

static int ReadLiteralsHeader(const uint8_t* in, size_t length, LiteralsHeader* header)
{
    if (length == 0)
        return 0;
    header->type = in[0] & 3;
    uint32_t sizeFormat = in[0] >> 2 & 3;
    header->compressed = 0;
    header->fourStreams = 0;
    if (header->type == LITERALS_RAW || header->type == LITERALS_RLE) {
        header->headerBytes = sizeFormat == 1 ? 2 : sizeFormat == 3 ? 3 : 1;
        if (length < header->headerBytes)
            return 0;
        if (header->headerBytes == 1)
            header->regenerated = in[0] >> 3;
        else if (header->headerBytes == 2)
            header->regenerated = (size_t)(in[0] >> 4) | (size_t)in[1] << 4;
        else
            header->regenerated = (size_t)(in[0] >> 4) | (size_t)in[1] << 4 | (size_t)in[2] << 12;
        return 1;
    }
    // Both sizes in 10, 10, 14 or 18 bits, after the 4 bits of type and format.
    static const uint8_t HEADER_BYTES[4] = {3, 3, 4, 5};
    static const uint8_t SIZE_BITS[4] = {10, 10, 14, 18};
    header->headerBytes = HEADER_BYTES[sizeFormat];
    if (length < header->headerBytes)
        return 0;
    uint64_t fields = 0;
    for (size_t i = header->headerBytes; i-- > 0;)
        fields = fields << 8 | in[i];
    uint32_t bits = SIZE_BITS[sizeFormat];
    header->regenerated = (size_t)(fields >> 4 & ((1u << bits) - 1));
    header->compressed = (size_t)(fields >> (4 + bits) & ((1u << bits) - 1));
    header->fourStreams = sizeFormat != 0;
    return 1;
}

static int DecodeCodedLiterals(ZstdDecoder* decoder, const LiteralsHeader* header, const uint8_t* in)
{
    size_t treeBytes = 0;
    if (header->type == LITERALS_COMPRESSED) {
        treeBytes = ReadHuffmanTree(decoder, in, header->compressed);
        if (treeBytes == 0)
            return 0;
    } else if (decoder->huffmanBits == 0) {
        return 0;  // treeless, with no earlier tree in the frame
    }
    const uint8_t* streams = in + treeBytes;
    size_t streamBytes = header->compressed - treeBytes;
    if (header->fourStreams)
        return DecodeHuffmanStreams4(decoder, streams, streamBytes, decoder->literals, header->regenerated);
    return DecodeHuffmanStream(decoder, streams, streamBytes, decoder->literals, header->regenerated);
}

size_t ReadLiterals(ZstdDecoder* decoder, const uint8_t* in, size_t length, size_t* literalCount)
{
    LiteralsHeader header;
    if (!ReadLiteralsHeader(in, length, &header) || header.regenerated > ZSTD_BLOCK_MOST_BYTES)
        return 0;
    const uint8_t* body = in + header.headerBytes;
    size_t bodyLength = length - header.headerBytes;
    size_t used = 0;
    if (header.type == LITERALS_RAW) {
        if (header.regenerated > bodyLength)
            return 0;
        memcpy(decoder->literals, body, header.regenerated);
        used = header.regenerated;
    } else if (header.type == LITERALS_RLE) {
        if (bodyLength < 1)
            return 0;
        memset(decoder->literals, body[0], header.regenerated);
        used = 1;
    } else {
        if (header.compressed == 0 || header.compressed > bodyLength || !DecodeCodedLiterals(decoder, &header, body))
            return 0;
        used = header.compressed;
    }
    *literalCount = header.regenerated;
    return header.headerBytes + used;
}
