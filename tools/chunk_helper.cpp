// The publisher's native helper for patch-sized updates, built from the
// launcher's own chunker and index sources (publish_release.py compiles it
// into build/tools on first use; chunks are cut by chunk_reader.cpp, in the
// publisher's own process):
//
//   qrv_blocos plan OLD_INDEX OLD_RECORDS NEW_INDEX NEW_RECORDS
//                                         what a player holding OLD's file fetches for NEW's
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "patch/patch.h"

static int Fail(const char* what, const char* name)
{
    fprintf(stderr, "qrv_blocos: %s: %s\n", what, name);
    return 1;
}

static int LoadWhole(const char* name, std::vector<uint8_t>* bytes)
{
    FILE* file = fopen(name, "rb");
    if (!file)
        return 0;
    uint8_t buffer[1 << 16];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes->insert(bytes->end(), buffer, buffer + count);
    fclose(file);
    return 1;
}

// An index and its records, checked page by page as a launcher checks them.
struct Release {
    std::vector<uint8_t> index, records;
    ChunkIndexHeader header;
    std::vector<PageEntry> pages;
    std::vector<uint32_t> firstRecords;
};

static int LoadRelease(const char* indexName, const char* recordsName, Release* release)
{
    if (!LoadWhole(indexName, &release->index) || !LoadWhole(recordsName, &release->records) ||
        release->index.size() < CHUNK_INDEX_HEADER_BYTES)
        return 0;
    uint8_t digest[32];  // an index names its own file here: what it says of it is taken
    memcpy(digest, release->index.data() + 44, 32);
    uint64_t size = 0;
    for (int i = 7; i >= 0; i--)
        size = size << 8 | release->index[36 + i];
    const uint8_t* pages;
    if (ReadChunkIndex(release->index.data(), release->index.size(), size, digest, &release->header, &pages) !=
            INDEX_GOOD ||
        release->records.size() != (size_t)release->header.recordCount * CHUNK_RECORD_BYTES)
        return 0;
    uint32_t first = 0;
    for (uint32_t i = 0; i < release->header.pageCount; i++) {
        PageEntry page;
        ReadPageEntry(pages + (size_t)i * PAGE_ENTRY_BYTES, &page);
        if (CheckPageRecords(release->records.data() + (size_t)first * CHUNK_RECORD_BYTES, &page,
                             i + 1 == release->header.pageCount) != INDEX_GOOD)
            return 0;
        release->pages.push_back(page);
        release->firstRecords.push_back(first);
        first += page.records;
    }
    return 1;
}

static int DigestLess(const uint8_t* a, const uint8_t* b)
{
    return memcmp(a, b, 32) < 0;
}

// What a launcher holding OLD's file fetches for NEW's: the records of the
// pages it does not hold, and the chunks of those pages it does not hold, by
// the launcher's plan.
static int Plan(const char* oldIndex, const char* oldRecords, const char* newIndex, const char* newRecords)
{
    Release old, fresh;
    if (!LoadRelease(oldIndex, oldRecords, &old))
        return Fail("not a chunk index with its records", oldIndex);
    if (!LoadRelease(newIndex, newRecords, &fresh))
        return Fail("not a chunk index with its records", newIndex);
    std::vector<const uint8_t*> oldPages, oldChunks;
    for (const PageEntry& page : old.pages)
        oldPages.push_back(page.digest);
    for (uint32_t i = 0; i < old.header.recordCount; i++)
        oldChunks.push_back(old.records.data() + (size_t)i * CHUNK_RECORD_BYTES + 4);
    std::sort(oldPages.begin(), oldPages.end(), DigestLess);
    std::sort(oldChunks.begin(), oldChunks.end(), DigestLess);
    uint64_t fetched = 0, recordBytes = 0;
    uint32_t newPages = 0, newChunks = 0;
    // Each run of pages the old copy lacks is one segment of the new file.
    for (uint32_t i = 0; i < fresh.pages.size();) {
        if (std::binary_search(oldPages.begin(), oldPages.end(), fresh.pages[i].digest, DigestLess)) {
            i++;
            continue;
        }
        std::vector<uint32_t> lengths;
        std::vector<uint64_t> held;
        for (; i < fresh.pages.size() &&
               !std::binary_search(oldPages.begin(), oldPages.end(), fresh.pages[i].digest, DigestLess);
             i++) {
            newPages++;
            recordBytes += (uint64_t)fresh.pages[i].records * CHUNK_RECORD_BYTES;
            for (uint32_t r = 0; r < fresh.pages[i].records; r++) {
                const uint8_t* record = fresh.records.data() + (size_t)(fresh.firstRecords[i] + r) * CHUNK_RECORD_BYTES;
                uint8_t digest[32];
                lengths.push_back(ReadChunkRecord(record, 1, digest));
                int found = std::binary_search(oldChunks.begin(), oldChunks.end(), record + 4, DigestLess);
                held.push_back(found ? 0 : CHUNK_NOT_HELD);  // held: where does not matter to the plan
                newChunks += !found;
            }
        }
        fetched += PlannedFetchBytes(lengths.data(), held.data(), (uint32_t)lengths.size(), PATCH_GAP_BYTES);
    }
    printf("%u of %u chunks new in %u of %u pages, %llu bytes to fetch and %llu bytes of records\n", newChunks,
           fresh.header.recordCount, newPages, fresh.header.pageCount, (unsigned long long)fetched,
           (unsigned long long)recordBytes);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 6 && strcmp(argv[1], "plan") == 0)
        return Plan(argv[2], argv[3], argv[4], argv[5]);
    fprintf(stderr, "usage: qrv_blocos plan OLD_INDEX OLD_RECORDS NEW_INDEX NEW_RECORDS\n");
    return 2;
}
