// Patch-sized updates, the pure part: SHA-256 both ways, the chunker's cuts,
// the chunk index reader and the fetch plan. Table-driven; also built natively.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "patch/patch.h"
#include "test_support.h"

static std::string Hex(const uint8_t* bytes, size_t count)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; i++)
        text += std::string(1, DIGITS[bytes[i] >> 4]) + DIGITS[bytes[i] & 15];
    return text;
}

static std::string Sha(const std::string& data, size_t piece)
{
    Sha256 sha;
    Sha256Start(&sha);
    for (size_t at = 0; at < data.size(); at += piece)
        Sha256Add(&sha, data.data() + at, std::min(piece, data.size() - at));
    uint8_t digest[32];
    Sha256Finish(&sha, digest);
    return Hex(digest, 32);
}

static std::vector<uint8_t> Noise(size_t count, uint32_t seed)
{
    std::string bytes = NoiseBytes(count, seed);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

TEST(Sha256, KnownDigestsWithAndWithoutTheProcessorsInstructions)
{
    const struct {
        std::string data;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (int instructions : {0, -1}) {  // plain C++, then whatever the processor has
        Sha256Instructions = instructions;
        for (const auto& c : cases) {
            for (size_t piece : {(size_t)1, (size_t)63, (size_t)64, (size_t)1000, (size_t)1 << 20})
                EXPECT_EQ(Sha(c.data, piece), c.digest) << c.data.size() << " bytes in pieces of " << piece;
        }
    }
}

static std::vector<uint32_t> Cuts(const std::vector<uint8_t>& data)
{
    std::vector<uint32_t> lengths;
    for (size_t at = 0; at < data.size();) {
        uint32_t length = NextChunkLength(data.data() + at, data.size() - at);
        lengths.push_back(length);
        at += length;
    }
    return lengths;
}

TEST(Chunker, CutsDependOnTheContentAlone)
{
    const std::vector<uint8_t> file = Noise(3 << 20, 1);
    const std::vector<uint32_t> cuts = Cuts(file);
    // The same bytes give the same cuts in every build: this sum is the
    // same under the Windows build and the native one.
    uint64_t checksum = 0;
    for (uint32_t length : cuts)
        checksum = checksum * 31 + length;
    EXPECT_EQ(cuts.size(), 123u);
    EXPECT_EQ(checksum, 16609944003764458ull);
    for (size_t i = 0; i + 1 < cuts.size(); i++) {
        EXPECT_GT(cuts[i], CHUNK_PARAMETERS.minimum) << i;
        EXPECT_LE(cuts[i], CHUNK_PARAMETERS.maximum) << i;
    }

    // 5 000 bytes inserted at 1 MB: only the chunks around the insertion change.
    std::vector<uint8_t> inserted(file.begin(), file.begin() + (1 << 20));
    const std::vector<uint8_t> extra = Noise(5000, 2);
    inserted.insert(inserted.end(), extra.begin(), extra.end());
    inserted.insert(inserted.end(), file.begin() + (1 << 20), file.end());
    std::vector<uint32_t> after = Cuts(inserted);
    size_t same = 0;
    while (same < cuts.size() && cuts[same] == after[same])
        same++;
    size_t sameAtEnd = 0;
    while (sameAtEnd < cuts.size() && cuts[cuts.size() - 1 - sameAtEnd] == after[after.size() - 1 - sameAtEnd])
        sameAtEnd++;
    EXPECT_GE(same + sameAtEnd + 4, cuts.size()) << "more than the chunks next to the insertion changed";

    // Data the mask never meets (one byte over and over) is cut at the maximum.
    std::vector<uint8_t> flat(200000, 0x5A);
    EXPECT_EQ(Cuts(flat), (std::vector<uint32_t>{65536, 65536, 65536, 3392}));
    // A file smaller than the minimum is one chunk; an empty one has none.
    EXPECT_EQ(Cuts(Noise(5000, 3)), std::vector<uint32_t>{5000});
    EXPECT_TRUE(Cuts(std::vector<uint8_t>()).empty());
}

TEST(ChunkIndex, ReaderRules)
{
    const std::string file = NoiseBytes(3 << 20, 4);
    std::string records;
    const std::string good = ChunkIndexOf(file, &records);
    uint8_t digest[32];
    memcpy(digest, good.data() + 44, 32);
    auto changed = [&good](size_t at, char value) {
        std::string index = good;
        index[at] = value;
        return index;
    };
    const size_t firstPage = CHUNK_INDEX_HEADER_BYTES;
    // The format holds no offsets (a page's place is the sum of the lengths
    // before it) and the file's size in 64 bits: it carries a file over 4 GiB
    // as it is, pages of the longest chunks adding up to 5 GiB.
    const uint64_t bigSize = 5ull << 30;
    const PageEntry fullPage = {PAGE_MOST_RECORDS, PAGE_MOST_RECORDS * CHUNK_MAXIMUM_BYTES, {0}};
    const uint32_t bigPages = (uint32_t)(bigSize / fullPage.length);
    ChunkIndexHeader bigHeader = {CHUNK_PARAMETERS, bigSize, {0}, bigPages * PAGE_MOST_RECORDS, bigPages, {0}};
    memcpy(bigHeader.fileDigest, digest, 32);
    std::string big(CHUNK_INDEX_HEADER_BYTES + (size_t)bigPages * PAGE_ENTRY_BYTES, '\0');
    WriteChunkIndexHeader((uint8_t*)&big[0], &bigHeader);
    for (uint32_t i = 0; i < bigPages; i++)
        WritePageEntry((uint8_t*)&big[CHUNK_INDEX_HEADER_BYTES + (size_t)i * PAGE_ENTRY_BYTES], &fullPage);
    const struct {
        const char* name;
        std::string index;
        uint64_t listedSize;
        ChunkIndexVerdict verdict;
    } cases[] = {
        {"good", good, file.size(), INDEX_GOOD},
        {"a file of 5 GiB", big, bigSize, INDEX_GOOD},
        {"a file of 5 GiB listed as 1 GiB", big, bigSize - (4ull << 30), INDEX_OTHER_FILE},
        {"another magic", changed(0, 'X'), file.size(), INDEX_NOT_AN_INDEX},
        {"shorter than a header", good.substr(0, CHUNK_INDEX_HEADER_BYTES - 1), file.size(), INDEX_NOT_AN_INDEX},
        {"another version", changed(8, 1), file.size(), INDEX_UNKNOWN_VERSION},
        {"another minimum", changed(13, 0x10), file.size(), INDEX_UNKNOWN_PARAMETERS},
        {"another gear seed", changed(30, 0), file.size(), INDEX_UNKNOWN_PARAMETERS},
        {"cut in a page entry", good.substr(0, good.size() - 1), file.size(), INDEX_WRONG_PAGE_COUNT},
        {"a page entry short", good.substr(0, good.size() - PAGE_ENTRY_BYTES), file.size(), INDEX_WRONG_PAGE_COUNT},
        {"another file's size", good, file.size() + 1, INDEX_OTHER_FILE},
        {"another file's digest", changed(44, (char)(digest[0] ^ 1)), file.size(), INDEX_OTHER_FILE},
        {"a page of no records", changed(firstPage, 0), file.size(), INDEX_WRONG_PAGES},
        {"a page longer than its records can be", changed(firstPage + 6, 0x7F), file.size(), INDEX_WRONG_PAGES},
        {"pages not adding up to the file", changed(firstPage + 4, (char)(good[firstPage + 4] + 1)), file.size(),
         INDEX_WRONG_PAGES},
    };
    for (const auto& c : cases) {
        ChunkIndexHeader header;
        const uint8_t* pages;
        EXPECT_EQ(ReadChunkIndex((const uint8_t*)c.index.data(), c.index.size(), c.listedSize, digest, &header, &pages),
                  c.verdict)
            << c.name;
    }

    // Each page's records, as fetched, against its entry.
    ChunkIndexHeader header;
    const uint8_t* pages;
    ASSERT_EQ(ReadChunkIndex((const uint8_t*)good.data(), good.size(), file.size(), digest, &header, &pages),
              INDEX_GOOD);
    ASSERT_GT(header.pageCount, 2u);
    PageEntry first;
    ReadPageEntry(pages, &first);
    std::string firstRecords = records.substr(0, first.records * CHUNK_RECORD_BYTES);
    EXPECT_EQ(CheckPageRecords((const uint8_t*)firstRecords.data(), &first, 0), INDEX_GOOD);
    std::string tampered = firstRecords;
    tampered[5] ^= 1;  // a chunk digest
    EXPECT_EQ(CheckPageRecords((const uint8_t*)tampered.data(), &first, 0), INDEX_WRONG_RECORDS);
    PageEntry lying = first;
    lying.length += 1;
    EXPECT_EQ(CheckPageRecords((const uint8_t*)firstRecords.data(), &lying, 0), INDEX_WRONG_RECORDS);
}

// Pages end where a record's digest says, so an insertion changes only the
// pages around it.
TEST(ChunkIndex, PagesDependOnTheContentAlone)
{
    const std::string file = NoiseBytes(4 << 20, 8);
    const std::string inserted = file.substr(0, 2 << 20) + NoiseBytes(3000, 9) + file.substr(2 << 20);
    std::string records;
    const std::string before = ChunkIndexOf(file, &records);
    const std::string after = ChunkIndexOf(inserted, &records);
    auto pages = [](const std::string& index) {
        std::vector<std::string> digests;
        for (size_t at = CHUNK_INDEX_HEADER_BYTES; at < index.size(); at += PAGE_ENTRY_BYTES)
            digests.push_back(index.substr(at + 8, 32));
        return digests;
    };
    std::vector<std::string> old = pages(before), fresh = pages(after);
    size_t changedPages = 0;
    for (const std::string& page : fresh)
        changedPages += std::find(old.begin(), old.end(), page) == old.end();
    EXPECT_GT(fresh.size(), 4u);
    EXPECT_LE(changedPages, 2u) << "of " << fresh.size();
}

TEST(PatchPlan, HeldRunsShorterThanTheGapAreFetchedAlong)
{
    const uint32_t K = 1024;
    const uint64_t N = CHUNK_NOT_HELD;
    const uint64_t G = 5ull << 30;  // past 4 GiB in the old copy
    const struct {
        const char* name;
        std::vector<uint32_t> lengths;
        std::vector<uint64_t> held;  // an old offset, or N
        uint64_t fetched;
        uint32_t firstRangeEnd;      // the range that starts at the first chunk not held
    } cases[] = {
        {"nothing missing", {20 * K, 20 * K}, {0, 20 * K}, 0, 0},
        {"adjacent chunks in one range", {20 * K, 20 * K, 20 * K}, {N, N, 0}, 40 * K, 2},
        {"a short held run bridged", {20 * K, 20 * K, 20 * K}, {N, 0, N}, 60 * K, 3},
        {"a held run longer than the gap", {20 * K, 20 * K, 20 * K, 20 * K}, {N, 0, 20 * K, N}, 40 * K, 1},
        {"held to the end: not fetched", {20 * K, 20 * K}, {N, 0}, 20 * K, 1},
        {"everything missing", {20 * K, 20 * K, 5 * K}, {N, N, N}, 45 * K, 3},
        {"held past 4 GiB", {20 * K, 20 * K, 20 * K}, {N, G, N}, 60 * K, 3},
        {"held at 4 GiB less one", {20 * K, 20 * K}, {0xFFFFFFFFu, N}, 20 * K, 2},
    };
    for (const auto& c : cases) {
        uint32_t count = (uint32_t)c.lengths.size();
        EXPECT_EQ(PlannedFetchBytes(c.lengths.data(), c.held.data(), count, PATCH_GAP_BYTES), c.fetched) << c.name;
        uint32_t first = 0;
        while (first < count && c.held[first] != N)
            first++;
        if (first < count) {
            EXPECT_EQ(EndOfFetchRange(c.lengths.data(), c.held.data(), count, first, PATCH_GAP_BYTES),
                      c.firstRangeEnd)
                << c.name;
        }
    }
}
