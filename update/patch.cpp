// Patch-sized updates: a changed file that the manifest gives a chunk index
// is rebuilt from the player's old copy into "<path>.tmp" in the new file's
// order. The index (an object, checked against its digest) lists the new
// file's pages; the old copy, cut as the publisher cuts, gives the old
// release's pages and chunks. A page the old copy holds is copied from it
// whole; the records of the others are fetched by a range of the records
// object and checked against their page, and their chunks are copied when
// the old copy holds them and fetched by single ranges of the file's object
// otherwise, each checked as it arrives. The whole file is judged by the
// manifest's digest before it replaces the old one. When any of it fails or
// would not pay, the file is fetched whole as before, continuing what was
// rebuilt so far.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "install/install.h"
#include "shell/shell.h"
#include "update/chunks.h"
#include "update/update.h"

// Bounds of what is held in memory: a 4 GB file cut into 24 KB chunks has
// 175 000 of them and 5 500 pages.
static const uint32_t MOST_PAGES = 65536;
static const uint32_t MOST_CHUNKS = 262144;
// A patch that would fetch more than three quarters of the file does not pay:
// the whole file costs one request and no scan.
static const uint64_t WORTH_NUMERATOR = 3;
static const uint64_t WORTH_DENOMINATOR = 4;
static const size_t REASON_CAPACITY = 96;

// The scan's window (at least twice the chunker's maximum), then the buffer
// of the copies and checks: one per thread that patches.
static thread_local uint8_t Window[256u << 10];

// A chunk of the old copy, looked up by its digest's first 8 bytes (a
// mistaken match would fail the whole file's digest, and the file would come
// whole: it cannot slip through).
struct OldChunk {
    uint64_t prefix;
    uint32_t offset;
    uint32_t length;
};

// A page of the old copy: the old release's page of that digest.
struct OldPage {
    uint8_t digest[32];
    uint32_t offset;
    uint32_t length;
};

struct Patch {
    const ManifestEntry* entry;
    char indexUrl[URL_CAPACITY];
    char recordsUrl[URL_CAPACITY];
    char objectUrl[URL_CAPACITY];
    char indexTarget[MAX_PATH];  // "<path>.blocos", fetched into its .tmp
    char indexName[MAX_PATH];    // "<path>.blocos.tmp"
    char temporary[MAX_PATH];    // "<path>.tmp": the file being rebuilt
    uint8_t* index;              // the whole index: header and page entries
    ChunkIndexHeader header;
    const uint8_t* pages;
    FILE* old;
    FILE* rebuilt;
    HCRYPTPROV provider;
    OldChunk* oldChunks;  // sorted by prefix after the scan
    uint32_t oldChunkCount, oldChunkRoom;
    OldPage* oldPages;    // sorted by digest after the scan
    uint32_t oldPageCount, oldPageRoom;
    PageBuilder oldPageBuilder;
    uint64_t oldPageStart;
    uint32_t* pageOldOffsets;  // per new page: where the old copy holds it, or CHUNK_NOT_HELD
    uint32_t* pageFirstMissing;  // per new page the old copy lacks: its first record among the fetched
    uint8_t* records;      // the fetched records of the pages the old copy lacks, in file order
    uint32_t* lengths;     // and per fetched record: its chunk's length
    uint32_t* oldOffsets;  // and where the old copy holds that chunk, or CHUNK_NOT_HELD
    uint32_t missingRecords;
    uint32_t firstPageToWrite;  // pages before it are in the temporary file already, checked
    DWORD written;  // bytes of the new file in the temporary file
    DWORD shown;
    uint64_t reusedBytes;
    uint64_t fetchedBytes;  // chunks and records
    int discardRebuilt;     // the temporary file holds bytes that failed their check
    char reason[REASON_CAPACITY];  // why the file is fetched whole, for the log
};

static int Refuse(Patch* patch, const char* why)
{
    CopyCut(patch->reason, sizeof patch->reason, why);
    return 0;
}

static uint64_t PrefixOf(const uint8_t* digest)
{
    uint64_t prefix;
    memcpy(&prefix, digest, sizeof prefix);
    return prefix;
}

static PageEntry PageAt(const Patch* patch, uint32_t page)
{
    PageEntry entry;
    ReadPageEntry(patch->pages + (size_t)page * PAGE_ENTRY_BYTES, &entry);
    return entry;
}

static int OpenFile(FILE** file, const char* name, const char* mode)
{
    *file = fopen(name, mode);
    return *file != NULL;
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

// A chunk's SHA-256: through the processor's SHA instructions where it has
// them (eight times the CryptoAPI's rate under Wine: the scan of a 4 GB copy
// takes seconds, not half a minute), else through the CryptoAPI provider that
// digests every file.
struct ChunkHash {
    Sha256 sha;
    HCRYPTHASH crypto;
};

static int StartChunkHash(HCRYPTPROV provider, ChunkHash* hash)
{
    hash->crypto = 0;
    if (Sha256HasInstructions()) {
        Sha256Start(&hash->sha);
        return 1;
    }
    return CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash->crypto);
}

static int AddToChunkHash(ChunkHash* hash, const void* bytes, DWORD length)
{
    if (!hash->crypto) {
        Sha256Add(&hash->sha, bytes, length);
        return 1;
    }
    return CryptHashData(hash->crypto, (const BYTE*)bytes, length, 0);
}

// Always releases what StartChunkHash took.
static int FinishChunkHash(ChunkHash* hash, uint8_t digest[32])
{
    if (!hash->crypto) {
        Sha256Finish(&hash->sha, digest);
        return 1;
    }
    DWORD size = 32;
    int finished = CryptGetHashParam(hash->crypto, HP_HASHVAL, digest, &size, 0) && size == 32;
    CryptDestroyHash(hash->crypto);
    hash->crypto = 0;
    return finished;
}

static int HashBytes(HCRYPTPROV provider, const uint8_t* bytes, uint32_t length, uint8_t digest[32])
{
    ChunkHash hash;
    if (!StartChunkHash(provider, &hash))
        return 0;
    int added = AddToChunkHash(&hash, bytes, length);
    return FinishChunkHash(&hash, digest) && added;
}

// A file cut as the publisher cuts it, each chunk hashed as it passes.
struct Scan {
    FILE* file;
    uint64_t left;  // bytes the scan may still read
    HCRYPTPROV provider;
    ChunkVisitor visit;
    void* context;
    uint64_t offset;
    int failed;
};

static size_t ReadScanned(void* context, uint8_t* buffer, size_t capacity, int* failed)
{
    Scan* scan = (Scan*)context;
    size_t wanted = capacity < scan->left ? capacity : (size_t)scan->left;
    size_t count = fread(buffer, 1, wanted, scan->file);
    *failed = ferror(scan->file);
    scan->left -= count;
    return count;
}

static void HashScannedChunk(void* context, const uint8_t* bytes, uint32_t length)
{
    Scan* scan = (Scan*)context;
    uint8_t digest[32];
    if (!HashBytes(scan->provider, bytes, length, digest))
        scan->failed = 1;
    else
        scan->visit(scan->context, digest, length, scan->offset);
    scan->offset += length;
}

static int ScanBytes(FILE* file, uint64_t length, HCRYPTPROV provider, ChunkVisitor visit, void* context)
{
    Scan scan = {file, length, provider, visit, context, 0, 0};
    ChunkStream stream = {ReadScanned, HashScannedChunk, &scan};
    return CutIntoChunks(&stream, Window, sizeof Window) && !scan.failed;
}

int DigestChunksOfFile(FILE* file, HCRYPTPROV provider, ChunkVisitor visit, void* context)
{
    return ScanBytes(file, UINT64_MAX, provider, visit, context);
}

static int FetchIndex(HINTERNET internet, Patch* patch, const char* objectsFolder)
{
    const ManifestEntry* entry = patch->entry;
    if (!BuildObjectUrl(patch->indexUrl, sizeof patch->indexUrl, LauncherConfig.baseUrl, objectsFolder,
                        entry->blocksDigest) ||
        !BuildObjectUrl(patch->objectUrl, sizeof patch->objectUrl, LauncherConfig.baseUrl, objectsFolder,
                        entry->digest) ||
        !ChunkIndexNameOf(entry->path, patch->indexTarget, sizeof patch->indexTarget) ||
        !TemporaryNameOf(patch->indexTarget, patch->indexName, sizeof patch->indexName) ||
        !TemporaryNameOf(entry->path, patch->temporary, sizeof patch->temporary))
        return Refuse(patch, "nomes longos demais");
    if (entry->blocksSize > CHUNK_INDEX_HEADER_BYTES + (size_t)MOST_PAGES * PAGE_ENTRY_BYTES)
        return Refuse(patch, "indice grande demais");
    FileFetch fetch = {patch->indexUrl, patch->indexTarget, 0, entry->blocksDigest, entry->blocksSize, 1,
                       CACHE_ANY, NULL};
    FILE* file = NULL;
    patch->index = (uint8_t*)malloc(entry->blocksSize ? entry->blocksSize : 1);
    int read = patch->index && DownloadFile(internet, &fetch) && OpenFile(&file, patch->indexName, "rb") &&
               fread(patch->index, 1, entry->blocksSize, file) == entry->blocksSize;
    if (file)
        fclose(file);
    return read || Refuse(patch, "indice de blocos indisponivel");
}

// The index against the listed file: its pages must add up to the file.
static int ReadIndex(Patch* patch, const char* objectsFolder)
{
    uint8_t listedDigest[32];
    if (!ReadDigestHex(patch->entry->digest, listedDigest))
        return Refuse(patch, ChunkIndexVerdictText(INDEX_OTHER_FILE));
    ChunkIndexVerdict verdict = ReadChunkIndex(patch->index, patch->entry->blocksSize, patch->entry->size,
                                               listedDigest, &patch->header, &patch->pages);
    if (verdict != INDEX_GOOD)
        return Refuse(patch, ChunkIndexVerdictText(verdict));
    if (patch->header.recordCount > MOST_CHUNKS || patch->header.pageCount == 0)
        return Refuse(patch, "indice grande demais");
    char recordsDigest[65];
    WriteDigestHex(patch->header.recordsDigest, recordsDigest);
    if (!BuildObjectUrl(patch->recordsUrl, sizeof patch->recordsUrl, LauncherConfig.baseUrl, objectsFolder,
                        recordsDigest))
        return Refuse(patch, "nomes longos demais");
    patch->pageOldOffsets = (uint32_t*)calloc(patch->header.pageCount, sizeof *patch->pageOldOffsets);
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
    old->offset = (uint32_t)patch->oldPageStart;
    old->length = page->length;
    patch->oldPageStart += page->length;
}

// Each chunk of the old copy is kept for lookup, and goes into the old copy's pages.
static void TakeOldChunk(void* context, const uint8_t digest[32], uint32_t length, uint64_t offset)
{
    Patch* patch = (Patch*)context;
    if (patch->oldChunkCount == UINT32_MAX || offset + length > UINT32_MAX)
        return;  // memory ran short, or beyond what a listed file can hold
    if (!MakeRoom((void**)&patch->oldChunks, &patch->oldChunkRoom, patch->oldChunkCount, sizeof *patch->oldChunks)) {
        patch->oldChunkCount = UINT32_MAX;
        return;
    }
    OldChunk* chunk = &patch->oldChunks[patch->oldChunkCount++];
    chunk->prefix = PrefixOf(digest);
    chunk->offset = (uint32_t)offset;
    chunk->length = length;
    uint8_t record[CHUNK_RECORD_BYTES];
    PageEntry page;
    WriteChunkRecord(record, length, digest);
    if (AddChunkToPage(&patch->oldPageBuilder, record, &page))
        AddOldPage(patch, &page);
}

static int ScanOldCopy(Patch* patch)
{
    if (!OpenFile(&patch->old, patch->entry->path, "rb"))
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

static uint32_t OldOffsetOfPage(const Patch* patch, const PageEntry* page)
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

static uint32_t OldOffsetOfChunk(const Patch* patch, const uint8_t* digest, uint32_t length)
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
    if (planned * WORTH_DENOMINATOR <= (uint64_t)patch->entry->size * WORTH_NUMERATOR)
        return 0;
    snprintf(patch->reason, sizeof patch->reason, "o remendo buscaria %llu de %lu KB", planned >> 10,
             (unsigned long)(patch->entry->size >> 10));
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
    if (patch->missingRecords > MOST_CHUNKS)
        return Refuse(patch, "indice grande demais");
    patch->records = (uint8_t*)malloc((size_t)patch->missingRecords * CHUNK_RECORD_BYTES + 1);
    patch->lengths = (uint32_t*)calloc(patch->missingRecords + 1, sizeof *patch->lengths);
    patch->oldOffsets = (uint32_t*)calloc(patch->missingRecords + 1, sizeof *patch->oldOffsets);
    return (patch->records && patch->lengths && patch->oldOffsets) || Refuse(patch, "memoria insuficiente");
}

// Why a range did not come: the answer's status when it was no range at all.
static int RefuseRange(Patch* patch, DWORD refused, const char* otherwise)
{
    if (patch->reason[0])
        return 0;  // the sink stopped it, and said why
    if (!refused)
        return Refuse(patch, otherwise);
    snprintf(patch->reason, sizeof patch->reason, "o servidor nao atende faixas (HTTP %lu)", refused);
    return 0;
}

struct Collected {
    uint8_t* at;
};

static int CollectRecords(void* context, const char* bytes, DWORD count)
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
        RangeSink sink = {CollectRecords, &collected};
        DWORD refused = 0;
        DWORD length = records * (DWORD)CHUNK_RECORD_BYTES;
        if (!FetchRange(internet, patch->recordsUrl, firstRecord * (DWORD)CHUNK_RECORD_BYTES, length, &sink, &refused))
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

// The records of the run of pages the old copy lacks that starts at page
// first: [*firstRecord, *endRecord). Answers the page after the run.
static uint32_t MissingRun(const Patch* patch, uint32_t first, uint32_t* firstRecord, uint32_t* endRecord)
{
    uint32_t end = first;
    while (end < patch->header.pageCount && patch->pageOldOffsets[end] == CHUNK_NOT_HELD)
        end++;
    *firstRecord = patch->pageFirstMissing[first];
    *endRecord = end < patch->header.pageCount ? patch->pageFirstMissing[end] : patch->missingRecords;
    return end;
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
    return !TooMuch(patch, planned);
}

// A page's bytes cut again into chunks: they must give back its records.
struct PageCheck {
    PageBuilder builder;
    uint32_t expected;  // the page's bytes
    uint32_t seen;
    int ended;
    int failed;
    PageEntry made;
};

static void AddToPageCheck(void* context, const uint8_t digest[32], uint32_t length, uint64_t offset)
{
    (void)offset;
    PageCheck* check = (PageCheck*)context;
    uint8_t record[CHUNK_RECORD_BYTES];
    WriteChunkRecord(record, length, digest);
    check->seen += length;
    if (AddChunkToPage(&check->builder, record, &check->made)) {
        if (check->ended || check->seen != check->expected)
            check->failed = 1;  // a page ended before its last byte: these are not its bytes
        check->ended = 1;
    }
}

// A temporary file left by an interrupted patch or download holds the new
// file's first bytes: its whole pages that match the index are kept (cut
// again into chunks, a page's bytes give back its records).
static int KeepCheckedStart(Patch* patch)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    uint64_t held = GetFileAttributesExA(patch->temporary, GetFileExInfoStandard, &attributes)
                        ? ((uint64_t)attributes.nFileSizeHigh << 32 | attributes.nFileSizeLow)
                        : 0;
    if (held == 0 || held >= patch->entry->size || !OpenFile(&patch->rebuilt, patch->temporary, "r+b"))
        return OpenFile(&patch->rebuilt, patch->temporary, "wb");
    while (patch->firstPageToWrite < patch->header.pageCount) {
        PageEntry page = PageAt(patch, patch->firstPageToWrite);
        if (patch->written + (uint64_t)page.length > held)
            break;
        PageCheck check;
        memset(&check, 0, sizeof check);
        StartPages(&check.builder);
        check.expected = page.length;
        if (_fseeki64(patch->rebuilt, patch->written, SEEK_SET) != 0 ||
            !ScanBytes(patch->rebuilt, page.length, patch->provider, AddToPageCheck, &check) || check.failed ||
            (!check.ended && !FinishPages(&check.builder, &check.made)) || check.made.records != page.records ||
            memcmp(check.made.digest, page.digest, 32) != 0)
            break;
        patch->written += page.length;
        patch->firstPageToWrite++;
    }
    if (patch->written > 0)
        LogLine("retomando o remendo de %s a partir de %lu bytes", patch->entry->path, patch->written);
    return _fseeki64(patch->rebuilt, patch->written, SEEK_SET) == 0;
}

static int WriteNew(Patch* patch, const void* bytes, DWORD count)
{
    if (fwrite(bytes, 1, count, patch->rebuilt) != count)
        return Refuse(patch, "nao consegui escrever o arquivo temporario");
    patch->written += count;
    ShowFileProgress(patch->entry->path, patch->written, patch->entry->size, &patch->shown);
    return 1;
}

static int CopyOldBytes(Patch* patch, uint32_t offset, uint64_t length)
{
    if (_fseeki64(patch->old, offset, SEEK_SET) != 0)
        return Refuse(patch, "copia antiga ilegivel");
    for (uint64_t copied = 0; copied < length;) {
        size_t piece = length - copied < sizeof Window ? (size_t)(length - copied) : sizeof Window;
        if (fread(Window, 1, piece, patch->old) != piece)
            return Refuse(patch, "copia antiga ilegivel");
        if (!WriteNew(patch, Window, (DWORD)piece))
            return 0;
        copied += piece;
    }
    patch->reusedBytes += length;
    return 1;
}

// Held items (pages, or chunks of a page the old copy lacks) that follow one
// another in the old copy too are copied as one run. Answers the item after
// the run, 0 on failure.
static uint32_t CopyHeldRun(Patch* patch, const uint32_t* oldOffsets, const uint32_t* lengths, uint32_t count,
                            uint32_t first)
{
    uint32_t end = first + 1;
    uint64_t length = lengths[first];
    while (end < count && oldOffsets[end] != CHUNK_NOT_HELD && oldOffsets[end] == oldOffsets[first] + length)
        length += lengths[end++];
    return CopyOldBytes(patch, oldOffsets[first], length) ? end : 0;
}

// The chunks of one range as they arrive: written, and each one checked
// against its record as soon as it is whole.
struct Arrival {
    Patch* patch;
    uint32_t record;     // among the fetched: the chunk the next byte belongs to
    uint32_t received;   // of its bytes
    int hashing;         // hash holds the chunk's bytes so far
    ChunkHash hash;
};

static int CheckWholeChunk(Arrival* arrival)
{
    Patch* patch = arrival->patch;
    uint8_t obtained[32];
    const uint8_t* expected = patch->records + (size_t)arrival->record * CHUNK_RECORD_BYTES + 4;
    int good = FinishChunkHash(&arrival->hash, obtained) && memcmp(expected, obtained, 32) == 0;
    arrival->hashing = 0;
    arrival->record++;
    arrival->received = 0;
    if (good)
        return 1;
    patch->discardRebuilt = 1;
    return Refuse(patch, "bloco recebido nao confere com o indice");
}

static int TakeArrival(void* context, const char* bytes, DWORD count)
{
    Arrival* arrival = (Arrival*)context;
    Patch* patch = arrival->patch;
    while (count > 0) {
        if (!arrival->hashing && !(arrival->hashing = StartChunkHash(patch->provider, &arrival->hash)))
            return Refuse(patch, "sem provedor de SHA-256");
        uint32_t missing = patch->lengths[arrival->record] - arrival->received;
        DWORD taken = count < missing ? count : missing;
        if (!AddToChunkHash(&arrival->hash, bytes, taken) || !WriteNew(patch, bytes, taken))
            return 0;
        arrival->received += taken;
        bytes += taken;
        count -= taken;
        if (arrival->received == patch->lengths[arrival->record] && !CheckWholeChunk(arrival))
            return 0;
    }
    return 1;
}

static int FetchChunks(HINTERNET internet, Patch* patch, uint32_t first, uint32_t end)
{
    DWORD length = 0;
    for (uint32_t i = first; i < end; i++)
        length += patch->lengths[i];
    Arrival arrival;
    memset(&arrival, 0, sizeof arrival);
    arrival.patch = patch;
    arrival.record = first;
    RangeSink sink = {TakeArrival, &arrival};
    DWORD refused = 0;
    int fetched = FetchRange(internet, patch->objectUrl, patch->written, length, &sink, &refused);
    if (arrival.hashing) {
        uint8_t unused[32];
        FinishChunkHash(&arrival.hash, unused);  // a chunk cut short: its hash is released
    }
    patch->fetchedBytes += length;
    return fetched || RefuseRange(patch, refused, "transferencia interrompida");
}

// A run of pages the old copy lacks: its chunks, copied or fetched.
static int BuildMissingPages(HINTERNET internet, Patch* patch, uint32_t firstRecord, uint32_t endRecord)
{
    for (uint32_t i = firstRecord; i < endRecord;) {
        if (patch->oldOffsets[i] != CHUNK_NOT_HELD) {
            if (!(i = CopyHeldRun(patch, patch->oldOffsets, patch->lengths, endRecord, i)))
                return 0;
            continue;
        }
        uint32_t end = EndOfFetchRange(patch->lengths, patch->oldOffsets, endRecord, i, PATCH_GAP_BYTES);
        if (!FetchChunks(internet, patch, i, end))
            return 0;
        i = end;
    }
    return 1;
}

static int Rebuild(HINTERNET internet, Patch* patch)
{
    uint32_t count = patch->header.pageCount;
    uint32_t* pageLengths = (uint32_t*)calloc(count, sizeof *pageLengths);
    if (!pageLengths)
        return Refuse(patch, "memoria insuficiente");
    for (uint32_t i = 0; i < count; i++)
        pageLengths[i] = PageAt(patch, i).length;
    int built = 1;
    for (uint32_t i = patch->firstPageToWrite; built && i < count;) {
        if (patch->pageOldOffsets[i] != CHUNK_NOT_HELD) {
            built = (i = CopyHeldRun(patch, patch->pageOldOffsets, pageLengths, count, i)) != 0;
            continue;
        }
        uint32_t firstRecord, endRecord;
        i = MissingRun(patch, i, &firstRecord, &endRecord);
        built = BuildMissingPages(internet, patch, firstRecord, endRecord);
    }
    free(pageLengths);
    if (!built)
        return 0;
    FILE* rebuilt = patch->rebuilt;
    patch->rebuilt = NULL;
    return fclose(rebuilt) == 0 || Refuse(patch, "nao consegui escrever o arquivo temporario");
}

static int ReplaceWithRebuilt(Patch* patch)
{
    fclose(patch->old);  // the old copy is read no more, and must let go of its name
    patch->old = NULL;
    char obtained[65];
    if (!ComputeFileDigest(patch->temporary, obtained) || !DigestsMatch(patch->entry->digest, obtained)) {
        DeleteFileA(patch->temporary);
        return Refuse(patch, "o arquivo remendado nao confere com o manifesto");
    }
    if (MoveWhenFree(patch->temporary, patch->entry->path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    snprintf(patch->reason, sizeof patch->reason, "nao consegui renomear %s (%lu)", patch->temporary,
             GetLastError());
    return 0;
}

static void ReleasePatch(Patch* patch)
{
    if (patch->old)
        fclose(patch->old);
    if (patch->rebuilt)
        fclose(patch->rebuilt);
    if (patch->discardRebuilt)
        DeleteFileA(patch->temporary);  // the whole download starts afresh
    if (patch->provider)
        CryptReleaseContext(patch->provider, 0);
    free(patch->index);
    free(patch->oldChunks);
    free(patch->oldPages);
    free(patch->pageOldOffsets);
    free(patch->pageFirstMissing);
    free(patch->records);
    free(patch->lengths);
    free(patch->oldOffsets);
    if (patch->indexName[0])
        DeleteFileA(patch->indexName);  // never left in the game folder
}

int PatchFile(HINTERNET internet, const ManifestEntry* entry, const char* objectsFolder)
{
    static thread_local Patch patch;  // a few KB of names and URLs, one per thread that patches
    memset(&patch, 0, sizeof patch);
    patch.entry = entry;
    int patched = FetchIndex(internet, &patch, objectsFolder) && ReadIndex(&patch, objectsFolder) &&
                  ScanOldCopy(&patch) && MatchPages(&patch) && FetchMissingRecords(internet, &patch) &&
                  WorthPatching(&patch) && KeepCheckedStart(&patch) && Rebuild(internet, &patch) &&
                  ReplaceWithRebuilt(&patch);
    if (patched)
        LogLine("remendo de %s: %llu KB reaproveitados, %llu KB baixados, indice de %lu KB", entry->path,
                patch.reusedBytes >> 10, patch.fetchedBytes >> 10, (unsigned long)(entry->blocksSize >> 10));
    else
        LogLine("sem remendo para %s (%s); baixo o arquivo inteiro", entry->path, patch.reason);
    ReleasePatch(&patch);
    return patched;
}
