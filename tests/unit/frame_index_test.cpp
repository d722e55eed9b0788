// The frame index reader: valid indexes read back their frames, page by page;
// hostile ones (each field out of bounds, frames out of place or not adding
// up) are refused with the verdict that names what is wrong. Table-driven;
// also built natively.
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "frames/frames.h"
#include "test_support.h"

namespace {

struct Frame {
    uint64_t offset;
    uint32_t packed, decoded, flags;
};

// An index as the publisher writes it; the frames' digests are their numbers.
struct Index {
    uint64_t fileSize = 0, packedSize = 0;
    uint32_t count = 0, largestDecoded = 0, largestPacked = 0;
    uint32_t version = FRAME_INDEX_VERSION;
    std::vector<Frame> frames;
    uint64_t listedFileSize = 0;  // on the ARQUIVO line
    int64_t listedSizeOff = 0;    // the QUADROS line's size against the header and records
};

Index Framed(const std::vector<std::pair<uint32_t, uint32_t>>& lengths)  // (packed, decoded) each
{
    Index index;
    for (const auto& length : lengths) {
        index.frames.push_back({index.packedSize, length.first, length.second,
                                length.first == length.second ? FRAME_STORED : 0});
        index.packedSize += length.first;
        index.fileSize += length.second;
        index.largestPacked = std::max(index.largestPacked, length.first);
        index.largestDecoded = std::max(index.largestDecoded, length.second);
    }
    index.count = (uint32_t)lengths.size();
    index.listedFileSize = index.fileSize;
    return index;
}

void Put(std::string* bytes, uint64_t value, int count)
{
    for (int i = 0; i < count; i++)
        bytes->push_back((char)(value >> (8 * i)));
}

const uint8_t FILE_DIGEST[32] = {0xAB, 1, 2, 3};

std::string Bytes(const Index& index)
{
    std::string bytes = "QRVQUADR";
    Put(&bytes, index.version, 4);
    Put(&bytes, index.fileSize, 8);
    bytes.append((const char*)FILE_DIGEST, 32);
    bytes.append(32, 'p');
    Put(&bytes, index.packedSize, 8);
    Put(&bytes, index.count, 4);
    Put(&bytes, index.largestDecoded, 4);
    Put(&bytes, index.largestPacked, 4);
    for (size_t i = 0; i < index.frames.size(); i++) {
        const Frame& frame = index.frames[i];
        Put(&bytes, frame.offset, 8);
        Put(&bytes, frame.packed, 4);
        Put(&bytes, frame.decoded, 4);
        Put(&bytes, frame.flags, 4);
        Put(&bytes, i, 8);
        bytes.append(24, '\0');
    }
    return bytes;
}

// Reads an index as a launcher does: the header, then pages of pageRecords.
FrameIndexVerdict Walk(const std::string& bytes, uint32_t listedSize, uint64_t listedFileSize,
                       std::vector<FrameRecord>* frames, uint32_t pageRecords = FRAME_PAGE_RECORDS)
{
    FrameIndexHeader header;
    FrameIndexVerdict verdict = ReadFrameIndexHeader((const uint8_t*)bytes.data(), bytes.size(), listedSize,
                                                     listedFileSize, FILE_DIGEST, &header);
    if (verdict != FRAMES_GOOD)
        return verdict;
    FrameWalk walk;
    StartFrameWalk(&walk, &header);
    std::vector<FrameRecord> page(pageRecords);
    for (uint32_t at = 0; at < header.frameCount && verdict == FRAMES_GOOD; at += pageRecords) {
        uint32_t count = std::min(pageRecords, header.frameCount - at);
        if (FRAME_INDEX_HEADER_BYTES + (size_t)(at + count) * FRAME_RECORD_BYTES > bytes.size())
            return FRAMES_WRONG_SIZE;
        verdict = ReadFramePage(&walk, (const uint8_t*)bytes.data() + FRAME_INDEX_HEADER_BYTES +
                                           (size_t)at * FRAME_RECORD_BYTES, count, page.data());
        frames->insert(frames->end(), page.begin(), page.begin() + (verdict == FRAMES_GOOD ? count : 0));
    }
    return verdict == FRAMES_GOOD ? FinishFrameWalk(&walk) : verdict;
}

}  // namespace

TEST(FrameIndex, ValidIndexesGiveEveryFrameInOrder)
{
    const struct {
        const char* name;
        std::vector<std::pair<uint32_t, uint32_t>> lengths;
        uint32_t pageRecords;
    } cases[] = {
        {"one small file, one frame", {{90, 300}}, FRAME_PAGE_RECORDS},
        {"a frame stored as it is", {{5000, 5000}}, FRAME_PAGE_RECORDS},
        {"compressed and stored frames", {{100000, 262144}, {300000, 300000}, {7, 12}}, FRAME_PAGE_RECORDS},
        {"the largest frame a decoder holds", {{1, FRAME_MOST_DECODED_BYTES}}, FRAME_PAGE_RECORDS},
        {"pages of two records", {{10, 20}, {30, 40}, {50, 60}, {70, 80}, {90, 100}}, 2},
        {"many pages", std::vector<std::pair<uint32_t, uint32_t>>(2500, {1000, 4096}), FRAME_PAGE_RECORDS},
    };
    for (const auto& c : cases) {
        Index index = Framed(c.lengths);
        std::string bytes = Bytes(index);
        std::vector<FrameRecord> frames;
        ASSERT_EQ(Walk(bytes, (uint32_t)bytes.size(), index.fileSize, &frames, c.pageRecords), FRAMES_GOOD) << c.name;
        ASSERT_EQ(frames.size(), c.lengths.size()) << c.name;
        uint64_t packed = 0, decoded = 0;
        for (size_t i = 0; i < frames.size(); i++) {
            EXPECT_EQ(frames[i].packedOffset, packed) << c.name;
            EXPECT_EQ(frames[i].decodedOffset, decoded) << c.name;
            EXPECT_EQ(frames[i].packedLength, c.lengths[i].first) << c.name;
            EXPECT_EQ(frames[i].decodedLength, c.lengths[i].second) << c.name;
            EXPECT_EQ(frames[i].flags, c.lengths[i].first == c.lengths[i].second ? FRAME_STORED : 0u) << c.name;
            EXPECT_EQ(frames[i].digest[0], (uint8_t)i) << c.name;
            packed += frames[i].packedLength;
            decoded += frames[i].decodedLength;
        }
    }
}

TEST(FrameIndex, HostileIndexesAreRefused)
{
    const std::vector<std::pair<uint32_t, uint32_t>> three = {{100, 200}, {300, 300}, {50, 70}};
    const struct {
        const char* name;
        std::function<void(Index*)> change;
        FrameIndexVerdict verdict;
    } cases[] = {
        {"another version", [](Index* i) { i->version = 2; }, FRAMES_UNKNOWN_VERSION},
        {"a size other than listed", [](Index* i) { i->listedSizeOff = 1; }, FRAMES_WRONG_SIZE},
        {"more frames than listed records", [](Index* i) { i->count = 4; i->listedSizeOff = -52; },
         FRAMES_WRONG_SIZE},
        {"another file's size", [](Index* i) { i->fileSize++; }, FRAMES_OTHER_FILE},
        {"no frames", [](Index* i) { i->frames.clear(); i->count = 0; }, FRAMES_WRONG_HEADER},
        {"a largest frame beyond a decoder",
         [](Index* i) { i->largestDecoded = FRAME_MOST_DECODED_BYTES + 1; }, FRAMES_WRONG_HEADER},
        {"a largest compressed above the largest decoded", [](Index* i) { i->largestPacked = 301; },
         FRAMES_WRONG_HEADER},
        {"compressed bigger than the file", [](Index* i) { i->packedSize = 571; }, FRAMES_WRONG_HEADER},
        {"frames that cannot fill the file", [](Index* i) { i->largestDecoded = 100; i->largestPacked = 100; },
         FRAMES_WRONG_HEADER},
        {"a gap between frames", [](Index* i) { i->frames[1].offset++; }, FRAMES_WRONG_FRAME},
        {"frames that overlap", [](Index* i) { i->frames[2].offset--; }, FRAMES_WRONG_FRAME},
        {"a first frame not at 0", [](Index* i) { i->frames[0].offset = 1; }, FRAMES_WRONG_FRAME},
        {"an empty frame", [](Index* i) { i->frames[2].decoded = 0; }, FRAMES_WRONG_FRAME},
        {"a frame of no bytes", [](Index* i) { i->frames[2].packed = 0; }, FRAMES_WRONG_FRAME},
        {"a frame beyond the largest", [](Index* i) { i->largestDecoded = 299; i->largestPacked = 299; },
         FRAMES_WRONG_FRAME},
        {"a stored frame that would grow", [](Index* i) { i->frames[1].decoded = 301; }, FRAMES_WRONG_FRAME},
        {"a compressed frame as long as its bytes", [](Index* i) { i->frames[0].packed = 200; },
         FRAMES_WRONG_FRAME},
        {"an unknown flag", [](Index* i) { i->frames[0].flags = 2; }, FRAMES_WRONG_FRAME},
        {"a frame past the compressed object", [](Index* i) { i->packedSize = 449; }, FRAMES_WRONG_FRAME},
        {"a frame past the file", [](Index* i) { i->fileSize = i->listedFileSize = 569; }, FRAMES_WRONG_FRAME},
        {"frames short of the compressed object", [](Index* i) { i->packedSize = 451; }, FRAMES_WRONG_TOTALS},
        {"frames short of the file", [](Index* i) { i->fileSize = i->listedFileSize = 571; }, FRAMES_WRONG_TOTALS},
        {"an offset that wraps around",
         [](Index* i) { i->frames[1].offset = UINT64_MAX - 50; }, FRAMES_WRONG_FRAME},
    };
    for (const auto& c : cases) {
        Index index = Framed(three);
        c.change(&index);
        std::string bytes = Bytes(index);
        uint32_t listedSize = (uint32_t)(FRAME_INDEX_HEADER_BYTES + index.count * FRAME_RECORD_BYTES +
                                         index.listedSizeOff);
        std::vector<FrameRecord> frames;
        EXPECT_EQ(Walk(bytes, listedSize, index.listedFileSize, &frames), c.verdict) << c.name;
    }
}

TEST(FrameIndex, HeadersThatAreNoIndexOrNameAnotherFile)
{
    Index index = Framed({{100, 200}});
    std::string good = Bytes(index);
    FrameIndexHeader header;
    const uint8_t other[32] = {0xAC};
    EXPECT_EQ(ReadFrameIndexHeader((const uint8_t*)good.data(), FRAME_INDEX_HEADER_BYTES - 1, (uint32_t)good.size(),
                                   200, FILE_DIGEST, &header), FRAMES_NOT_AN_INDEX);
    std::string blocks = "QRVBLOCO" + good.substr(8);
    EXPECT_EQ(ReadFrameIndexHeader((const uint8_t*)blocks.data(), blocks.size(), (uint32_t)blocks.size(), 200,
                                   FILE_DIGEST, &header), FRAMES_NOT_AN_INDEX);
    EXPECT_EQ(ReadFrameIndexHeader((const uint8_t*)good.data(), good.size(), (uint32_t)good.size(), 200, other,
                                   &header), FRAMES_OTHER_FILE);
    EXPECT_EQ(ReadFrameIndexHeader((const uint8_t*)good.data(), good.size(), (uint32_t)good.size() + 1, 200,
                                   FILE_DIGEST, &header), FRAMES_WRONG_SIZE);
    // A count whose records would pass 4 GB is never the size of a QUADROS line.
    Index huge = index;
    huge.count = UINT32_MAX;
    std::string hugeBytes = Bytes(huge);
    EXPECT_EQ(ReadFrameIndexHeader((const uint8_t*)hugeBytes.data(), hugeBytes.size(),
                                   (uint32_t)(FRAME_INDEX_HEADER_BYTES + (uint64_t)UINT32_MAX * FRAME_RECORD_BYTES),
                                   200, FILE_DIGEST, &header), FRAMES_WRONG_SIZE);
    EXPECT_EQ(ReadFrameIndexHeader((const uint8_t*)good.data(), good.size(), (uint32_t)good.size(), 200, FILE_DIGEST,
                                   &header), FRAMES_GOOD);
    EXPECT_EQ(header.packedSize, 100u);
    EXPECT_EQ(header.frameCount, 1u);
    EXPECT_EQ(header.packedDigest[0], 'p');
    FrameWalk walk;
    StartFrameWalk(&walk, &header);
    std::vector<FrameRecord> frames(2);
    EXPECT_EQ(ReadFramePage(&walk, (const uint8_t*)good.data() + FRAME_INDEX_HEADER_BYTES, 2, frames.data()),
              FRAMES_WRONG_SIZE) << "a page of more records than are left";
    EXPECT_EQ(FinishFrameWalk(&walk), FRAMES_WRONG_TOTALS) << "records left unread";
    EXPECT_STREQ(FrameIndexVerdictText(FRAMES_WRONG_FRAME), "quadro invalido");
}

// A QUADRO line's compressed object as the index of one frame: a frame the
// decoder can hold, shorter than the file it decodes to.
TEST(FrameIndex, OneFrameListings)
{
    const uint8_t packed[32] = {0x5A, 7};
    const struct {
        const char* name;
        uint32_t packedSize;
        uint64_t fileSize;
        FrameIndexVerdict verdict;
    } cases[] = {
        {"a small file", 90, 300, FRAMES_GOOD},
        {"the largest a decoder holds", 1000, FRAME_MOST_DECODED_BYTES, FRAMES_GOOD},
        {"a file beyond a decoder", 1000, FRAME_MOST_DECODED_BYTES + 1ull, FRAMES_WRONG_HEADER},
        {"a file whose size takes 64 bits", 1000, (1ull << 32) + 300, FRAMES_WRONG_HEADER},
        {"as long as the file", 300, 300, FRAMES_WRONG_HEADER},
        {"longer than the file", 301, 300, FRAMES_WRONG_HEADER},
        {"no bytes", 0, 300, FRAMES_WRONG_HEADER},
        {"an empty file", 0, 0, FRAMES_WRONG_HEADER},
    };
    for (const auto& c : cases) {
        FrameIndexHeader header;
        FrameRecord frame;
        ASSERT_EQ(OneFrameIndex(packed, c.packedSize, c.fileSize, FILE_DIGEST, &header, &frame), c.verdict) << c.name;
        if (c.verdict != FRAMES_GOOD)
            continue;
        EXPECT_EQ(header.frameCount, 1u) << c.name;
        EXPECT_EQ(header.packedSize, c.packedSize) << c.name;
        EXPECT_EQ(header.largestDecoded, c.fileSize) << c.name;
        EXPECT_EQ(header.largestPacked, c.packedSize) << c.name;
        EXPECT_EQ(memcmp(header.fileDigest, FILE_DIGEST, 32), 0) << c.name;
        EXPECT_EQ(frame.packedOffset + frame.decodedOffset + frame.flags, 0u) << c.name;
        EXPECT_EQ(frame.packedLength, c.packedSize) << c.name;
        EXPECT_EQ(frame.decodedLength, c.fileSize) << c.name;
        EXPECT_EQ(memcmp(frame.digest, packed, 32), 0) << c.name << ": the frame is checked by the line's digest";
        EXPECT_EQ(memcmp(header.packedDigest, packed, 32), 0) << c.name;
    }
}
