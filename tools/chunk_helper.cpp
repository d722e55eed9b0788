// The publisher's native helper for patch-sized updates, built from the
// launcher's own chunker and index sources (publish_release.py compiles it
// into build/tools on first use):
//
//   qrv_blocos index FILE INDEX      writes FILE's chunk index
//   qrv_blocos plan OLD NEW          what a player holding OLD's file fetches for NEW's
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "update/chunks.h"

static const size_t READ_WINDOW = 4 << 20;  // reads of 4 MB; twice the chunker's maximum at least

static int Fail(const char* what, const char* name)
{
    fprintf(stderr, "qrv_blocos: %s: %s\n", what, name);
    return 1;
}

struct Indexing {
    FILE* file;
    Sha256 whole;
    std::vector<uint8_t> records;
};

static size_t ReadFile(void* context, uint8_t* buffer, size_t capacity, int* failed)
{
    Indexing* indexing = (Indexing*)context;
    size_t count = fread(buffer, 1, capacity, indexing->file);
    *failed = ferror(indexing->file);
    Sha256Add(&indexing->whole, buffer, count);
    return count;
}

static void AddRecord(void* context, const uint8_t* bytes, uint32_t length)
{
    Indexing* indexing = (Indexing*)context;
    Sha256 chunk;
    uint8_t digest[32];
    Sha256Start(&chunk);
    Sha256Add(&chunk, bytes, length);
    Sha256Finish(&chunk, digest);
    uint8_t record[CHUNK_RECORD_BYTES];
    WriteChunkRecord(record, length, digest);
    indexing->records.insert(indexing->records.end(), record, record + sizeof record);
}

static int WriteIndex(const char* fileName, const char* indexName)
{
    Indexing indexing;
    indexing.file = fopen(fileName, "rb");
    if (!indexing.file)
        return Fail("cannot read", fileName);
    Sha256Start(&indexing.whole);
    std::vector<uint8_t> window(READ_WINDOW);
    ChunkStream stream = {ReadFile, AddRecord, &indexing};
    int read = CutIntoChunks(&stream, window.data(), window.size());
    long long size = read ? ftell(indexing.file) : -1;
    fclose(indexing.file);
    if (!read || size < 0)
        return Fail("cannot read", fileName);
    ChunkIndexHeader header = {CHUNK_PARAMETERS, (uint64_t)size, {0},
                               (uint32_t)(indexing.records.size() / CHUNK_RECORD_BYTES)};
    Sha256Finish(&indexing.whole, header.fileDigest);
    uint8_t head[CHUNK_INDEX_HEADER_BYTES];
    WriteChunkIndexHeader(head, &header);
    FILE* index = fopen(indexName, "wb");
    if (!index || fwrite(head, 1, sizeof head, index) != sizeof head ||
        fwrite(indexing.records.data(), 1, indexing.records.size(), index) != indexing.records.size() ||
        fclose(index) != 0)
        return Fail("cannot write", indexName);
    printf("%u chunks\n", header.recordCount);
    return 0;
}

static int LoadIndex(const char* name, std::vector<uint8_t>* index, ChunkIndexHeader* header)
{
    FILE* file = fopen(name, "rb");
    if (!file)
        return 0;
    uint8_t buffer[1 << 16];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        index->insert(index->end(), buffer, buffer + count);
    fclose(file);
    if (index->size() < CHUNK_INDEX_HEADER_BYTES)
        return 0;
    uint8_t digest[32];  // an index names its own file here: what it says of it is taken
    memcpy(digest, index->data() + 44, 32);
    uint64_t size = 0;
    for (int i = 7; i >= 0; i--)
        size = size << 8 | (*index)[36 + i];
    return ReadChunkIndex(index->data(), index->size(), size, digest, header) == INDEX_GOOD;
}

static const uint8_t* RecordDigest(const std::vector<uint8_t>& index, uint32_t record)
{
    return index.data() + CHUNK_INDEX_HEADER_BYTES + (size_t)record * CHUNK_RECORD_BYTES + 4;
}

static int DigestLess(const uint8_t* a, const uint8_t* b)
{
    return memcmp(a, b, 32) < 0;
}

// The chunks of NEW that OLD's file holds, and the ranges the launcher fetches.
static int Plan(const char* oldName, const char* newName)
{
    std::vector<uint8_t> oldIndex, newIndex;
    ChunkIndexHeader oldHeader, newHeader;
    if (!LoadIndex(oldName, &oldIndex, &oldHeader))
        return Fail("not a chunk index", oldName);
    if (!LoadIndex(newName, &newIndex, &newHeader))
        return Fail("not a chunk index", newName);
    std::vector<const uint8_t*> held;
    for (uint32_t i = 0; i < oldHeader.recordCount; i++)
        held.push_back(RecordDigest(oldIndex, i));
    std::sort(held.begin(), held.end(), DigestLess);
    std::vector<uint32_t> lengths(newHeader.recordCount);
    std::vector<uint32_t> oldOffsets(newHeader.recordCount, CHUNK_NOT_HELD);
    uint32_t newChunks = 0;
    uint8_t digest[32];
    for (uint32_t i = 0; i < newHeader.recordCount; i++) {
        lengths[i] = ReadChunkRecord(RecordDigest(newIndex, i) - 4, i + 1 == newHeader.recordCount, digest);
        if (std::binary_search(held.begin(), held.end(), RecordDigest(newIndex, i), DigestLess))
            oldOffsets[i] = 0;  // held: where does not matter to the plan
        else
            newChunks++;
    }
    uint64_t fetched = PlannedFetchBytes(lengths.data(), oldOffsets.data(), newHeader.recordCount, PATCH_GAP_BYTES);
    printf("%u of %u chunks new, %llu bytes to fetch\n", newChunks, newHeader.recordCount,
           (unsigned long long)fetched);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "index") == 0)
        return WriteIndex(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "plan") == 0)
        return Plan(argv[2], argv[3]);
    fprintf(stderr, "usage: qrv_blocos index FILE INDEX | plan OLD_INDEX NEW_INDEX\n");
    return 2;
}
