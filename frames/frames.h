// The frames room: a file's compressed frames turned back into its bytes.
// A Zstandard frame decoder (RFC 8878) written here: the frame header, raw,
// RLE and compressed blocks, Huffman-coded literals, FSE-coded sequences and
// their execution, the content checksum (XXH64). It is pure: it calls no
// other room, no Windows, no network and allocates nothing; it includes only
// the C and C++ standard headers and its own.
//
// One call decodes one whole frame into the caller's buffer, which is also
// the frame's window: a match reaches back into what the frame itself wrote,
// never before the buffer's start, so a frame written with any window (the
// long-distance mode's included) needs no memory beyond its output. The
// decoder never writes beyond outCapacity nor reads beyond inLength, whatever
// the bytes.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum ZstdResult {
    ZSTD_DECODED = 0,   // the frame decoded whole; *outLength says how long it is
    ZSTD_MALFORMED,     // the bytes are not a well-formed frame (or its checksum fails)
    ZSTD_TOO_LARGE,     // the frame decodes to more than outCapacity
    ZSTD_UNSUPPORTED,   // a well-formed frame this decoder does not take: a dictionary, a skippable frame
};

// The format's limits that size the workspace.
static const uint32_t ZSTD_BLOCK_MOST_BYTES = 128u << 10;
static const uint32_t ZSTD_HUFFMAN_MOST_BITS = 11;
static const uint32_t ZSTD_SEQUENCE_MOST_LOG = 9;  // literal and match lengths; offsets take 8
// Bytes beyond the decoded literals that a copy of 16 bytes at a time may read.
static const uint32_t ZSTD_LITERALS_SLACK = 32;

// An FSE decoding cell: the next state is next plus bits read from the
// stream. For the sequences' codes, base and extra are the code's baseline and
// its count of extra bits; for Huffman weights, base is the weight.
struct FseCell {
    uint32_t base;
    uint16_t next;
    uint8_t bits;
    uint8_t extra;
};

struct FseTable {
    FseCell cells[1u << ZSTD_SEQUENCE_MOST_LOG];
    uint32_t accuracyLog;
};

// A Huffman decoding entry, indexed by the stream's next mostBits bits.
struct HuffmanEntry {
    uint8_t symbol;
    uint8_t bits;
};

// The workspace of one thread's decoding: the fixed tables made once by
// SetUpZstdDecoder, the tables a frame's blocks hand on to the next, and the
// block's decoded literals. About 150 KB; set up once, reused for every frame.
struct ZstdDecoder {
    FseTable predefinedLiteralLengths, predefinedOffsets, predefinedMatchLengths;
    FseTable literalLengths, offsets, matchLengths;  // the last block's own tables
    // The tables the last block with sequences used (predefined or its own), 0 before any.
    const FseTable* lastLiteralLengths;
    const FseTable* lastOffsets;
    const FseTable* lastMatchLengths;
    HuffmanEntry huffman[1u << ZSTD_HUFFMAN_MOST_BITS];
    uint32_t huffmanBits;  // 0 while the frame has no Huffman table
    uint32_t repeatOffsets[3];
    uint8_t literals[ZSTD_BLOCK_MOST_BYTES + ZSTD_LITERALS_SLACK];
};

// Makes the predefined tables; the workspace is then ready for any number of frames.
void SetUpZstdDecoder(ZstdDecoder* decoder);

// Decodes the one Zstandard frame that fills in[0, inLength) (nothing may
// follow it) into out. When the frame says its decoded size, it must be
// what the frame decodes to; when it carries a checksum, the checksum must
// match. Skippable frames are refused as ZSTD_UNSUPPORTED: a frame index
// names Zstandard frames only. out[*outLength, outCapacity) may be written
// over (copies go 16 bytes at a time), and on failure so may all of out.
ZstdResult DecodeZstdFrame(ZstdDecoder* decoder, const uint8_t* in, size_t inLength, uint8_t* out,
                           size_t outCapacity, size_t* outLength);

// XXH64 of data with the given seed (the frame's checksum takes its low 32 bits, seed 0).
uint64_t Xxh64(const void* data, size_t length, uint64_t seed);
