// The frames room: files that travel compressed, as independently decodable
// frames, and their bytes turned back. Two parts: the frame index that lists
// a file's frames (read and checked here; the caller fetches, hashes and
// writes), and a Zstandard frame decoder (RFC 8878) written here: the frame
// header, raw, RLE and compressed blocks, Huffman-coded literals, FSE-coded
// sequences and their execution, the content checksum (XXH64); and the
// proof that joins them, a frame's SHA-256 against its record before its
// bytes are decoded. It is pure: it calls transfer/'s SHA-256 and no other
// room, no Windows, no network, and allocates nothing.
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

// The frame index, little-endian, the object a manifest's QUADROS line names
// (its SHA-256 and size there, checked by whoever fetches it, as for any
// object): a 104-byte header, then one 52-byte record a frame, in the order
// of the compressed object.
//   header: magic "QRVQUADR"; version (u32, 1); the file's size (u64) and
//     SHA-256; the compressed object's SHA-256 and size (u64); the frame
//     count (u32); the largest decoded length and the largest compressed
//     length of a frame (u32 each)
//   record: the frame's offset in the compressed object (u64), its
//     compressed length (u32), its decoded length (u32), flags (u32), the
//     SHA-256 of its compressed bytes
// The compressed object is the frames one after another. A frame flagged
// FRAME_STORED holds its bytes as they are (both lengths equal); any other is
// a Zstandard frame, shorter than what it decodes to. Frames are runs of whole
// chunks of the chunker, so a patch fetches the frames that hold its chunks.
static const size_t FRAME_INDEX_HEADER_BYTES = 104;
static const size_t FRAME_RECORD_BYTES = 52;
static const uint32_t FRAME_INDEX_VERSION = 1;
static const uint32_t FRAME_STORED = 1;
// The most a frame may decode to: the publisher's frames close at the first
// chunk seam past their target (64 KB unless told), and a decoder's buffer
// holds one.
static const uint32_t FRAME_MOST_DECODED_BYTES = 4u << 20;
// The most records read at once: a page of the index, about 52 KB.
static const uint32_t FRAME_PAGE_RECORDS = 1024;

struct FrameIndexHeader {
    uint64_t fileSize;
    uint8_t fileDigest[32];
    uint8_t packedDigest[32];  // of the compressed object
    uint64_t packedSize;
    uint32_t frameCount;
    uint32_t largestDecoded;
    uint32_t largestPacked;
};

struct FrameRecord {
    uint64_t packedOffset;   // in the compressed object
    uint64_t decodedOffset;  // in the file: the decoded lengths of the frames before it
    uint32_t packedLength;
    uint32_t decodedLength;
    uint32_t flags;          // FRAME_STORED or 0
    uint8_t digest[32];      // of the frame's compressed bytes: checked before a byte is decoded
};

enum FrameIndexVerdict {
    FRAMES_GOOD,
    FRAMES_NOT_AN_INDEX,      // too short for its header, or another magic
    FRAMES_UNKNOWN_VERSION,
    FRAMES_WRONG_SIZE,        // not the size its QUADROS line gives, or not its header and records
    FRAMES_OTHER_FILE,        // names another file than the ARQUIVO line's
    FRAMES_WRONG_HEADER,      // counts or bounds that no frames could meet
    FRAMES_WRONG_FRAME,       // a record out of bounds, out of place or beyond the header's largest
    FRAMES_WRONG_TOTALS       // the frames do not add up to the file and the compressed object
};

// Checks the header (the index's first FRAME_INDEX_HEADER_BYTES, length the
// bytes at hand) against what the manifest lists: the index's size from its
// QUADROS line, the file's size and SHA-256 from its ARQUIVO line.
FrameIndexVerdict ReadFrameIndexHeader(const uint8_t* head, size_t length, uint32_t listedIndexSize,
                                       uint64_t listedFileSize, const uint8_t listedFileDigest[32],
                                       FrameIndexHeader* header);

// What a QUADRO line stands for, as the index of one frame: the compressed
// object (its SHA-256 and size from that line) is one Zstandard frame that
// decodes to the whole file (its size and SHA-256 from the ARQUIVO line).
// FRAMES_WRONG_HEADER when no such frame could be: empty, not shorter than
// the file, or the file longer than a frame may decode to.
FrameIndexVerdict OneFrameIndex(const uint8_t packedDigest[32], uint32_t packedSize, uint64_t fileSize,
                                const uint8_t fileDigest[32], FrameIndexHeader* header, FrameRecord* frame);

// The records read in order, a page at a time, in bounded memory: each page
// checked against the frames before it and the header. After the last,
// FinishFrameWalk says whether they add up.
struct FrameWalk {
    FrameIndexHeader header;
    uint32_t read;           // records read so far
    uint64_t packedOffset;   // where the next frame must begin
    uint64_t decodedOffset;
};
void StartFrameWalk(FrameWalk* walk, const FrameIndexHeader* header);
// count records (at most FRAME_PAGE_RECORDS, and no more than are left) from
// records into frames; any verdict but FRAMES_GOOD ends the walk.
FrameIndexVerdict ReadFramePage(FrameWalk* walk, const uint8_t* records, uint32_t count, FrameRecord* frames);
FrameIndexVerdict FinishFrameWalk(const FrameWalk* walk);

const char* FrameIndexVerdictText(FrameIndexVerdict verdict);

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

// The bytes a frame gathered whole (packed, its record's packedLength)
// stands for, once its SHA-256 is its record's: a stored frame's own bytes
// (packed itself), else the frame decoded into decoded, which has room for
// the record's decodedLength. NULL when the digest differs or the frame does
// not decode to exactly that length: no unproven byte reaches the decoder.
const uint8_t* ProvenFrameBytes(ZstdDecoder* decoder, const FrameRecord* frame, const uint8_t* packed,
                                uint8_t* decoded);

// XXH64 of data with the given seed (the frame's checksum takes its low 32 bits, seed 0).
uint64_t Xxh64(const void* data, size_t length, uint64_t seed);
