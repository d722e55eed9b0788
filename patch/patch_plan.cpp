// The plan of a patch: the chunk index fetched (an object, checked against
// its digest) and read against the listed file, the old copy cut as the
// publisher cuts (which gives the old release's pages and chunks), the new
// pages matched against the old ones, the records of the pages the old copy
// lacks fetched by ranges of the records object and checked against their
// pages, and the verdict on whether the chunks left to fetch make the patch
// worth it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "patch/patch.h"

// A patch that would fetch more than three quarters of the file does not pay:
// the whole file costs one request and no scan.
static const uint64_t WORTH_NUMERATOR = 3;
static const uint64_t WORTH_DENOMINATOR = 4;

// What memory holds grows with the file and is bounded by it: no chunk but
// the last is shorter than the minimum, so an index of the listed file has
// at most this many records, and as many pages. (A 5 GB file cut into 24 KB
// chunks has 220 000 records and 7 000 pages.)
uint64_t MostChunksOf(uint64_t fileSize)
{
    return fileSize / CHUNK_PARAMETERS.minimum + 1;
}

static uint64_t PrefixOf(const uint8_t* digest)
{
    uint64_t prefix;
    memcpy(&prefix, digest, sizeof prefix);
    return prefix;
}

// Grows an array of records by doubling its room; 0 when memory is short.
static int MakeRoom(void** items, uint32_t* room, uint32_t count, size_t itemSize)
{
    if (count < *room)
        return 1;
    uint32_t grown = *room ? *room * 2 : 4096;
    void* moved = realloc(*items, (size_t)grown * itemSize);
    if (!moved)
        return 0;
    *items = moved;
    *room = grown;
    return 1;
}

static int FetchIndex(HINTERNET internet, Patch* patch)
{
    const PatchTarget* file = patch->file;
    if (!BuildObjectUrl(patch->indexUrl, sizeof patch->indexUrl, file->baseUrl, file->objectsFolder,
                        file->indexDigest) ||
        !BuildObjectUrl(patch->objectUrl, sizeof patch->objectUrl, file->baseUrl, file->objectsFolder,
                        file->digest) ||
        !ChunkIndexNameOf(file->path, patch->indexTarget, sizeof patch->indexTarget) ||
        !TemporaryNameOf(patch->indexTarget, patch->indexName, sizeof patch->indexName) ||
        !TemporaryNameOf(file->path, patch->temporary, sizeof patch->temporary))
        return Refuse(patch, "nomes longos demais");
    if (file->indexSize > CHUNK_INDEX_HEADER_BYTES + MostChunksOf(file->size) * PAGE_ENTRY_BYTES)
        return Refuse(patch, "indice grande demais");
    FileFetch fetch = {patch->indexUrl, patch->indexTarget, 0, file->indexDigest, file->indexSize, KEEP_IN_TEMPORARY,
                       CACHE_ANY, NULL, NULL};
    FILE* stream = NULL;
    patch->index = (uint8_t*)malloc(file->indexSize ? file->indexSize : 1);
    int read = patch->index && DownloadFile(internet, &fetch) && OpenStream(&stream, patch->indexName, "rb") &&
               fread(patch->index, 1, file->indexSize, stream) == file->indexSize;
    if (stream)
        fclose(stream);
    return read || Refuse(patch, "indice de blocos indisponivel");
}

// The index against the listed file: its pages must add up to the file.
static int ReadIndex(Patch* patch)
{
    uint8_t listedDigest[32];
    if (!ReadDigestHex(patch->file->digest, listedDigest))
        return Refuse(patch, ChunkIndexVerdictText(INDEX_OTHER_FILE));
    ChunkIndexVerdict verdict = ReadChunkIndex(patch->index, patch->file->indexSize, patch->file->size,
                                               listedDigest, &patch->header, &patch->pages);
    if (verdict != INDEX_GOOD)
        return Refuse(patch, ChunkIndexVerdictText(verdict));
    if (patch->header.recordCount > MostChunksOf(patch->file->size) || patch->header.pageCount == 0)
        return Refuse(patch, "indice grande demais");
    char recordsDigest[65];
    WriteDigestHex(patch->header.recordsDigest, recordsDigest);
    if (!BuildObjectUrl(patch->recordsUrl, sizeof patch->recordsUrl, patch->file->baseUrl,
                        patch->file->objectsFolder, recordsDigest))
        return Refuse(patch, "nomes longos demais");
    patch->pageOldOffsets = (uint64_t*)calloc(patch->header.pageCount, sizeof *patch->pageOldOffsets);
    patch->pageFirstMissing = (uint32_t*)calloc(patch->header.pageCount, sizeof *patch->pageFirstMissing);
    return (patch->pageOldOffsets && patch->pageFirstMissing) || Refuse(patch, "memoria insuficiente");
}

static void AddOldPage(Patch* patch, const PageEntry* page)
{
    if (!MakeRoom((void**)&patch->oldPages, &patch->oldPageRoom, patch->oldPageCount, sizeof *patch->oldPages)) {
        patch->oldChunkCount = UINT32_MAX;  // the scan is lost for want of memory
        return;
    }
    OldPage* old = &patch->oldPages[patch->oldPageCount++];
    memcpy(old->digest, page->digest, 32);
    old->offset = patch->oldPageStart;
    old->length = page->length;
    patch->oldPageStart += page->length;
}

// Each chunk of the old copy is kept for lookup, and goes into the old copy's pages.
static void TakeOldChunk(void* context, const uint8_t digest[32], uint32_t length, uint64_t offset)
{
    Patch* patch = (Patch*)context;
    if (patch->oldChunkCount == UINT32_MAX)
        return;  // memory ran short
    if (!MakeRoom((void**)&patch->oldChunks, &patch->oldChunkRoom, patch->oldChunkCount, sizeof *patch->oldChunks)) {
        patch->oldChunkCount = UINT32_MAX;
        return;
    }
    OldChunk* chunk = &patch->oldChunks[patch->oldChunkCount++];
    chunk->prefix = PrefixOf(digest);
    chunk->offset = offset;
    chunk->length = length;
    uint8_t record[CHUNK_RECORD_BYTES];
    PageEntry page;
    WriteChunkRecord(record, length, digest);
    if (AddChunkToPage(&patch->oldPageBuilder, record, &page))
        AddOldPage(patch, &page);
}

static int ScanOldCopy(Patch* patch)
{
    if (!OpenStream(&patch->old, patch->file->path, "rb"))
        return Refuse(patch, "copia antiga ilegivel");
    if (!AcquireShaProvider(&patch->provider))
        return Refuse(patch, "sem provedor de SHA-256");
    StartPages(&patch->oldPageBuilder);
    if (!DigestChunksOfFile(patch->old, patch->provider, TakeOldChunk, patch))
        return Refuse(patch, "copia antiga ilegivel");
    PageEntry last;
    if (FinishPages(&patch->oldPageBuilder, &last))
        AddOldPage(patch, &last);
    if (patch->oldChunkCount == UINT32_MAX)
        return Refuse(patch, "memoria insuficiente");
    std::sort(patch->oldChunks, patch->oldChunks + patch->oldChunkCount,
              [](const OldChunk& a, const OldChunk& b) { return a.prefix < b.prefix; });
    std::sort(patch->oldPages, patch->oldPages + patch->oldPageCount,
              [](const OldPage& a, const OldPage& b) { return memcmp(a.digest, b.digest, 32) < 0; });
    return 1;
}

static uint64_t OldOffsetOfPage(const Patch* patch, const PageEntry* page)
{
    const OldPage* begin = patch->oldPages;
    const OldPage* end = begin + patch->oldPageCount;
    const uint8_t* digest = page->digest;
    const OldPage* found = std::lower_bound(begin, end, digest, [](const OldPage& old, const uint8_t* d) {
        return memcmp(old.digest, d, 32) < 0;
    });
    return found < end && memcmp(found->digest, page->digest, 32) == 0 && found->length == page->length
               ? found->offset
               : CHUNK_NOT_HELD;
}

static uint64_t OldOffsetOfChunk(const Patch* patch, const uint8_t* digest, uint32_t length)
{
    uint64_t prefix = PrefixOf(digest);
    const OldChunk* begin = patch->oldChunks;
    const OldChunk* end = begin + patch->oldChunkCount;
    const OldChunk* found = std::lower_bound(begin, end, prefix,
                                             [](const OldChunk& chunk, uint64_t value) { return chunk.prefix < value; });
    for (; found < end && found->prefix == prefix; found++) {
        if (found->length == length)
            return found->offset;
    }
    return CHUNK_NOT_HELD;
}

static int TooMuch(Patch* patch, uint64_t planned)
{
    uint64_t size = patch->file->size;  // three quarters of it, without overflow
    if (planned <= size / WORTH_DENOMINATOR * WORTH_NUMERATOR + size % WORTH_DENOMINATOR * WORTH_NUMERATOR / WORTH_DENOMINATOR)
        return 0;
    snprintf(patch->reason, sizeof patch->reason, "o remendo buscaria %llu de %llu KB",
             (unsigned long long)(planned >> 10), (unsigned long long)(patch->file->size >> 10));
    return 1;
}

// Which new pages the old copy holds. The chunks of the others may still be
// in it (a small file is a page or two): the plan decides once their records
// are in.
static int MatchPages(Patch* patch)
{
    for (uint32_t i = 0; i < patch->header.pageCount; i++) {
        PageEntry page = PageAt(patch, i);
        patch->pageOldOffsets[i] = OldOffsetOfPage(patch, &page);
        patch->pageFirstMissing[i] = patch->missingRecords;
        if (patch->pageOldOffsets[i] == CHUNK_NOT_HELD)
            patch->missingRecords += page.records;
    }
    if (patch->missingRecords >= SIZE_MAX / CHUNK_RECORD_BYTES)
        return Refuse(patch, "memoria insuficiente");
    patch->records = (uint8_t*)malloc((size_t)patch->missingRecords * CHUNK_RECORD_BYTES + 1);
    patch->lengths = (uint32_t*)calloc(patch->missingRecords + 1, sizeof *patch->lengths);
    patch->oldOffsets = (uint64_t*)calloc(patch->missingRecords + 1, sizeof *patch->oldOffsets);
    return (patch->records && patch->lengths && patch->oldOffsets) || Refuse(patch, "memoria insuficiente");
}

int CollectBytes(void* context, const char* bytes, DWORD count)
{
    Collected* collected = (Collected*)context;
    memcpy(collected->at, bytes, count);
    collected->at += count;
    return 1;
}

// The records of each run of pages the old copy lacks, in one range of the
// records object; each page checked against its entry, each chunk looked up
// in the old copy.
static int FetchMissingRecords(HINTERNET internet, Patch* patch)
{
    uint32_t firstRecord = 0;
    for (uint32_t i = 0; i < patch->header.pageCount;) {
        if (patch->pageOldOffsets[i] != CHUNK_NOT_HELD) {
            firstRecord += PageAt(patch, i++).records;
            continue;
        }
        uint32_t end = i, records = 0;
        for (; end < patch->header.pageCount && patch->pageOldOffsets[end] == CHUNK_NOT_HELD; end++)
            records += PageAt(patch, end).records;
        uint8_t* into = patch->records + (size_t)patch->pageFirstMissing[i] * CHUNK_RECORD_BYTES;
        Collected collected = {into};
        ByteSink sink = {CollectBytes, &collected};
        DWORD refused = 0;
        uint64_t first = (uint64_t)firstRecord * CHUNK_RECORD_BYTES;
        uint64_t length = (uint64_t)records * CHUNK_RECORD_BYTES;
        if (!FetchRange(internet, patch->recordsUrl, first, length, &sink, &refused))
            return RefuseRange(patch, refused, "registros de blocos indisponiveis");
        patch->fetchedBytes += length;
        for (; i < end; i++) {
            PageEntry page = PageAt(patch, i);
            uint8_t* pageRecords = patch->records + (size_t)patch->pageFirstMissing[i] * CHUNK_RECORD_BYTES;
            ChunkIndexVerdict verdict = CheckPageRecords(pageRecords, &page, i + 1 == patch->header.pageCount);
            if (verdict != INDEX_GOOD)
                return Refuse(patch, ChunkIndexVerdictText(verdict));
            for (uint32_t r = 0; r < page.records; r++) {
                uint32_t record = patch->pageFirstMissing[i] + r;
                uint8_t digest[32];
                patch->lengths[record] = ReadChunkRecord(pageRecords + (size_t)r * CHUNK_RECORD_BYTES, 1, digest);
                patch->oldOffsets[record] = OldOffsetOfChunk(patch, digest, patch->lengths[record]);
            }
            firstRecord += page.records;
        }
    }
    return 1;
}

// The chunks to fetch, by the plan the build follows: run by run.
static int WorthPatching(Patch* patch)
{
    uint64_t planned = patch->fetchedBytes;  // the records already
    for (uint32_t i = 0; i < patch->header.pageCount;) {
        if (patch->pageOldOffsets[i] != CHUNK_NOT_HELD) {
            i++;
            continue;
        }
        uint32_t firstRecord, endRecord;
        i = MissingRun(patch, i, &firstRecord, &endRecord);
        planned += PlannedFetchBytes(patch->lengths + firstRecord, patch->oldOffsets + firstRecord,
                                     endRecord - firstRecord, PATCH_GAP_BYTES);
    }
    patch->plannedBytes = planned;
    return !TooMuch(patch, planned);
}

int PlanPatch(HINTERNET internet, Patch* patch)
{
    return FetchIndex(internet, patch) && ReadIndex(patch) && ScanOldCopy(patch) && MatchPages(patch) &&
           FetchMissingRecords(internet, patch) && WorthPatching(patch);
}
