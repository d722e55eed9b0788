// The Zstandard frame decoder: frames made by Debian's zstd that reach each
// case of the format, frames written here by hand for the cases zstd never
// writes and for hostile ones, and damaged frames (cut at every byte, every
// bit flipped) that must fail cleanly. Table-driven; also built natively.
#include <string.h>

#include <string>
#include <vector>

#include "frames/frames.h"
#include "test_support.h"
#include "transfer/transfer.h"
#include "zstd_fixtures.h"

typedef std::vector<uint8_t> Bytes;

static const size_t GUARD_BYTES = 64;
static const uint8_t GUARD = 0xA5;

static ZstdDecoder* Decoder(void)
{
    static ZstdDecoder* decoder;
    if (!decoder) {
        decoder = new ZstdDecoder;
        SetUpZstdDecoder(decoder);
    }
    return decoder;
}

struct Decoded {
    ZstdResult result;
    Bytes out;
    bool guardKept;  // nothing written beyond the capacity
};

// The frame is copied to a buffer of its own length so that a read beyond it
// is a read beyond an allocation (which the sanitizers see).
static Decoded Decode(const Bytes& frame, size_t capacity)
{
    uint8_t* in = new uint8_t[frame.size() ? frame.size() : 1];
    if (!frame.empty())
        memcpy(in, frame.data(), frame.size());
    Bytes out(capacity + GUARD_BYTES, GUARD);
    size_t length = 0;
    Decoded decoded;
    decoded.result = DecodeZstdFrame(Decoder(), in, frame.size(), out.data(), capacity, &length);
    decoded.guardKept = true;
    for (size_t i = capacity; i < out.size(); i++)
        decoded.guardKept = decoded.guardKept && out[i] == GUARD;
    out.resize(length);
    decoded.out = out;
    delete[] in;
    return decoded;
}

static std::string Sha256Of(const Bytes& data)
{
    Sha256 sha;
    Sha256Start(&sha);
    if (!data.empty())
        Sha256Add(&sha, data.data(), data.size());
    uint8_t digest[32];
    Sha256Finish(&sha, digest);
    char text[65];
    WriteDigestHex(digest, text);
    return text;
}

static Bytes FrameOf(const ZstdFixture& fixture)
{
    return Bytes(fixture.frame, fixture.frame + fixture.frameLength);
}

TEST(ZstdFrames, FramesOfDebiansZstdDecodeToTheirContent)
{
    for (const ZstdFixture& fixture : ZSTD_FIXTURES) {
        Decoded decoded = Decode(FrameOf(fixture), fixture.decodedLength);
        EXPECT_EQ(decoded.result, ZSTD_DECODED) << fixture.name;
        EXPECT_EQ(decoded.out.size(), fixture.decodedLength) << fixture.name;
        EXPECT_EQ(Sha256Of(decoded.out), fixture.decodedSha256) << fixture.name;
        EXPECT_TRUE(decoded.guardKept) << fixture.name;
        // Room to spare changes nothing; one byte short is refused whole.
        EXPECT_EQ(Sha256Of(Decode(FrameOf(fixture), fixture.decodedLength + 100).out), fixture.decodedSha256)
            << fixture.name;
        if (fixture.decodedLength > 0) {
            Decoded short_ = Decode(FrameOf(fixture), fixture.decodedLength - 1);
            EXPECT_EQ(short_.result, ZSTD_TOO_LARGE) << fixture.name;
            EXPECT_TRUE(short_.guardKept) << fixture.name;
        }
    }
}

TEST(ZstdFrames, Xxh64KnownValues)
{
    const struct {
        const char* data;
        uint64_t hash;
    } cases[] = {
        {"", 0xEF46DB3751D8E999ull},
        {"a", 0xD24EC4F1A98C6E5Bull},
        {"abc", 0x44BC2CF5AD770999ull},
        {"Nobody inspects the spammish repetition", 0xFBCEA83C8A378BF1ull},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Xxh64(c.data, strlen(c.data), 0), c.hash) << c.data;
}

// Frames written by hand: a header without content size (window of 1 MB)
// or with one, and blocks.
static const uint8_t MAGIC[4] = {0x28, 0xB5, 0x2F, 0xFD};
static const uint8_t WINDOW_1MB = 0x50;
enum { RAW = 0, RLE = 1, COMPRESSED = 2, RESERVED = 3 };

static Bytes Block(int type, bool last, const Bytes& content, uint32_t size)
{
    uint32_t header = size << 3 | (uint32_t)type << 1 | (last ? 1 : 0);
    Bytes block = {(uint8_t)header, (uint8_t)(header >> 8), (uint8_t)(header >> 16)};
    block.insert(block.end(), content.begin(), content.end());
    return block;
}

static Bytes Compressed(const Bytes& content, bool last = true)
{
    return Block(COMPRESSED, last, content, (uint32_t)content.size());
}

static Bytes Frame(const std::vector<Bytes>& blocks, const Bytes& header = {0x00, WINDOW_1MB})
{
    Bytes frame(MAGIC, MAGIC + 4);
    frame.insert(frame.end(), header.begin(), header.end());
    for (const Bytes& block : blocks)
        frame.insert(frame.end(), block.begin(), block.end());
    return frame;
}

static Bytes Join(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Raw literals "ab", then one sequence whose codes come from one-symbol
// tables (literal length code 2, offset code as given, match length 3) and
// whose stream holds the offset's extra bits under the start mark.
static Bytes OneSequence(uint8_t literalCount, uint8_t literalLengthCode, uint8_t offsetCode, uint8_t stream)
{
    Bytes block = {(uint8_t)(literalCount << 3)};
    for (uint8_t i = 0; i < literalCount; i++)
        block.push_back((uint8_t)('a' + i));
    Bytes sequences = {1, 0x54, literalLengthCode, offsetCode, 0, stream};
    return Join(block, sequences);
}

static Bytes ManyRepeatSequences(void)
{
    // 32 600 sequences without literals, each a match of 3 at repeat offset
    // 2 or 1 in turn (offsets 4 and 1), after a raw block of 4 bytes; no bit
    // is read, so the stream is its start mark alone.
    uint32_t count = 32600 - 0x7F00;
    Bytes block = {0x00, 0xFF, (uint8_t)count, (uint8_t)(count >> 8), 0x54, 0, 0, 0, 0x01};
    return Frame({Block(RAW, false, {'w', 'x', 'y', 'z'}, 4), Compressed(block)});
}

static std::string Text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

TEST(ZstdFrames, HandWrittenFramesAndHostileOnes)
{
    Bytes badChecksum;
    for (const ZstdFixture& fixture : ZSTD_FIXTURES) {
        if (strcmp(fixture.name, "checksum") == 0)
            badChecksum = FrameOf(fixture);
    }
    badChecksum.back() ^= 1;
    const struct {
        const char* what;
        Bytes frame;
        size_t capacity;
        ZstdResult result;
        const char* decoded;  // 0: not checked
    } cases[] = {
        {"a match of offset 1 after two literals", Frame({Compressed(OneSequence(2, 2, 2, 0x04))}), 16, ZSTD_DECODED,
         "abbbb"},
        {"a raw, an RLE and a compressed block", Frame({Block(RAW, false, {'q', 'r'}, 2), Block(RLE, false, {'s'}, 3),
                                                        Compressed(OneSequence(2, 2, 2, 0x04))}),
         16, ZSTD_DECODED, "qrsssabbbb"},
        {"content size in two bytes (256 added)", Frame({Block(RLE, true, {'k'}, 300)}, {0x60, 44, 0}), 300,
         ZSTD_DECODED, 0},
        {"dictionary ID 0 said", Frame({Block(RAW, true, {'d'}, 1)}, {0x01, WINDOW_1MB, 0}), 4, ZSTD_DECODED, "d"},
        {"an offset before the output's start", Frame({Compressed(OneSequence(2, 2, 5, 0x20))}), 64, ZSTD_MALFORMED,
         0},
        {"repeat offset 1 less one, which is 0", Frame({Compressed(OneSequence(0, 0, 1, 0x03))}), 64, ZSTD_MALFORMED, 0},
        {"a stream with bits left over", Frame({Compressed(OneSequence(2, 2, 2, 0x09))}), 64, ZSTD_MALFORMED, 0},
        {"a stream without its start mark", Frame({Compressed(OneSequence(2, 2, 2, 0x00))}), 64, ZSTD_MALFORMED, 0},
        {"more literals taken than the block has", Frame({Compressed(OneSequence(1, 2, 2, 0x04))}), 64, ZSTD_MALFORMED,
         0},
        {"repeat mode in the frame's first block", Frame({Compressed({0x00, 1, 0xFC, 0x01})}), 64, ZSTD_MALFORMED, 0},
        {"reserved bits in the modes byte", Frame({Compressed({0x00, 1, 0x55, 0, 0, 0, 0x01})}), 64, ZSTD_MALFORMED, 0},
        {"an RLE table of a code beyond the last", Frame({Compressed({0x00, 1, 0x54, 36, 0, 0, 0x01})}), 64,
         ZSTD_MALFORMED, 0},
        {"an FSE table beyond the largest accuracy", Frame({Compressed({0x00, 1, 0x94, 0x0F, 0xFF, 0, 0, 0x01})}), 64,
         ZSTD_MALFORMED, 0},
        {"an FSE table of more symbols than codes",
         Frame({Compressed({0x00, 1, 0x64, 0, 0x10, 0x10, 0x42, 0x08, 0x21, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22,
                            0x22, 0x49, 0x92, 0xa4, 0x03, 0, 0x01})}),
         64, ZSTD_MALFORMED, 0},
        {"treeless literals with no earlier tree", Frame({Compressed({0x03, 0x10, 0x00, 0x01, 0x00})}), 64,
         ZSTD_MALFORMED, 0},
        {"Huffman weights beyond 11", Frame({Compressed({0x42, 0xC0, 0x00, 0x81, 0xC0, 0x01, 0x00})}), 64,
         ZSTD_MALFORMED, 0},
        {"four streams that do not fit their jump table",
         Frame({Compressed({0x06, 0x01, 0x03, 0x81, 0x10, 0xFF, 0xFF, 0, 0, 0, 0, 1, 1, 1, 1, 0x00})}), 64, ZSTD_MALFORMED, 0},
        {"literals beyond a block", Frame({Compressed({0x0C, 0xFF, 0xFF, 'x'})}), 1u << 20, ZSTD_MALFORMED, 0},
        {"a block beyond 128 KB", Frame({Block(RLE, true, {'z'}, (128u << 10) + 1)}), 1u << 20, ZSTD_MALFORMED, 0},
        {"a reserved block type", Frame({Block(RESERVED, true, {}, 0)}), 64, ZSTD_MALFORMED, 0},
        {"no last block", Frame({Block(RAW, false, {'a'}, 1)}), 64, ZSTD_MALFORMED, 0},
        {"a byte after the frame", Join(Frame({Block(RAW, true, {'a'}, 1)}), {0}), 64, ZSTD_MALFORMED, 0},
        {"the reserved bit of the header", Frame({Block(RAW, true, {'a'}, 1)}, {0x08, WINDOW_1MB}), 64, ZSTD_MALFORMED,
         0},
        {"another magic number", Join({0x28, 0xB5, 0x2F, 0xFE}, {0x00, WINDOW_1MB}), 64, ZSTD_MALFORMED, 0},
        {"a content size it does not decode to", Frame({Block(RAW, true, {'a'}, 1)}, {0x20, 2}), 64, ZSTD_MALFORMED,
         0},
        {"a wrong checksum", badChecksum, 1u << 20, ZSTD_MALFORMED, 0},
        {"a dictionary", Frame({Block(RAW, true, {'a'}, 1)}, {0x01, WINDOW_1MB, 7}), 64, ZSTD_UNSUPPORTED, 0},
        {"a skippable frame", {0x5A, 0x2A, 0x4D, 0x18, 1, 0, 0, 0, 'u'}, 64, ZSTD_UNSUPPORTED, 0},
        {"a content size of 2^62", Frame({Block(RAW, true, {'a'}, 1)},
                                         {0xE0, 0, 0, 0, 0, 0, 0, 0, 0x40}), 64, ZSTD_TOO_LARGE, 0},
        {"an RLE block beyond the capacity", Frame({Block(RLE, true, {'r'}, 65)}), 64, ZSTD_TOO_LARGE, 0},
        {"a match beyond the capacity", Frame({Compressed(OneSequence(2, 2, 2, 0x04))}), 4, ZSTD_TOO_LARGE, 0},
        {"nothing", {}, 64, ZSTD_MALFORMED, 0},
    };
    for (const auto& c : cases) {
        Decoded decoded = Decode(c.frame, c.capacity);
        EXPECT_EQ(decoded.result, c.result) << c.what;
        EXPECT_TRUE(decoded.guardKept) << c.what;
        if (c.decoded) {
            EXPECT_EQ(Text(decoded.out), c.decoded) << c.what;
        }
        if (c.result != ZSTD_DECODED) {
            EXPECT_TRUE(decoded.out.empty()) << c.what;
        }
    }
}

TEST(ZstdFrames, ASequenceCountInThreeBytes)
{
    Decoded decoded = Decode(ManyRepeatSequences(), 4 + 3 * 32600);
    ASSERT_EQ(decoded.result, ZSTD_DECODED);
    ASSERT_EQ(decoded.out.size(), 4u + 3 * 32600);
    // Offsets 4 and 1 in turn: "wxyz", then "wxy" (4 back), "yyy" (1 back), "yyy"...
    EXPECT_EQ(Text(Bytes(decoded.out.begin(), decoded.out.begin() + 13)), "wxyzwxyyyyyyy");
}

// Cuts of a frame (at every byte of the smaller ones) and every bit flipped
// in the smaller ones: never a read or a write out of bounds; a cut frame
// never decodes.
static const size_t EVERY_BYTE_BELOW = 2500, EVERY_BIT_BELOW = 1100, LARGER_CUT_STEP = 31;

TEST(ZstdFrames, CutAndFlippedFramesFailCleanly)
{
    for (const ZstdFixture& fixture : ZSTD_FIXTURES) {
        Bytes frame = FrameOf(fixture);
        size_t step = frame.size() < EVERY_BYTE_BELOW ? 1 : LARGER_CUT_STEP;
        for (size_t length = 0; length < frame.size(); length += step) {
            Decoded decoded = Decode(Bytes(frame.begin(), frame.begin() + length), fixture.decodedLength);
            EXPECT_NE(decoded.result, ZSTD_DECODED) << fixture.name << " cut at " << length;
            EXPECT_TRUE(decoded.guardKept) << fixture.name << " cut at " << length;
        }
        if (frame.size() >= EVERY_BIT_BELOW)
            continue;
        for (size_t bit = 0; bit < frame.size() * 8; bit++) {
            Bytes flipped = frame;
            flipped[bit / 8] ^= (uint8_t)(1u << (bit % 8));
            EXPECT_TRUE(Decode(flipped, fixture.decodedLength).guardKept) << fixture.name << " bit " << bit;
        }
    }
}
