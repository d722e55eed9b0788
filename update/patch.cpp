// Patch-sized updates: a changed file that the manifest gives a chunk index
// is rebuilt from the player's old copy into "<path>.tmp" in the new file's
// order. The chunks the old copy holds are copied from it; the others are
// fetched from the file's object by single ranges. The index is an object
// too, checked against its digest; every fetched chunk is checked against
// the index as it arrives, and the whole file against the manifest's digest
// before it replaces the old one. When any of it fails or would not pay, the
// file is fetched whole as before, continuing what was rebuilt so far.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "install/install.h"
#include "shell/shell.h"
#include "update/chunks.h"
#include "update/update.h"

// Tables of 20 bytes a chunk: 5 MB at most, a 4 GB file of 16 KB chunks.
static const uint32_t MOST_CHUNKS = 262144;
// A patch that would fetch more than three quarters of the file does not pay:
// the whole file costs one request and no scan.
static const uint64_t WORTH_NUMERATOR = 3;
static const uint64_t WORTH_DENOMINATOR = 4;
static const size_t REASON_CAPACITY = 96;

// The scan's window (at least twice the chunker's maximum), then the buffer
// of the copies and checks: one at a time, on the worker thread only.
static uint8_t Window[256u << 10];

struct Patch {
    const ManifestEntry* entry;
    char indexUrl[URL_CAPACITY];
    char objectUrl[URL_CAPACITY];
    char indexTarget[MAX_PATH];    // "<path>.blocos", fetched into its .tmp
    char indexName[MAX_PATH];      // "<path>.blocos.tmp"
    char temporary[MAX_PATH];      // "<path>.tmp": the file being rebuilt
    FILE* index;
    FILE* old;
    FILE* rebuilt;
    HCRYPTPROV provider;
    uint32_t count;
    uint32_t* lengths;     // in file order
    uint32_t* oldOffsets;  // where the old copy holds each chunk, or CHUNK_NOT_HELD
    uint64_t* prefixes;    // each chunk's digest's first 8 bytes: what the old copy's chunks are looked up by
    uint32_t* byPrefix;    // chunk numbers sorted by prefix
    uint32_t firstToWrite; // chunks before it are in the temporary file already, checked
    DWORD written;         // bytes of the new file in the temporary file
    DWORD shown;
    uint64_t reusedBytes;
    uint64_t fetchedBytes;
    int discardRebuilt;    // the temporary file holds bytes that failed their check
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

static int OpenFile(FILE** file, const char* name, const char* mode)
{
    *file = fopen(name, mode);
    return *file != NULL;
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
    FileFetch fetch = {patch->indexUrl, patch->indexTarget, 0, entry->blocksDigest, entry->blocksSize, 1,
                       CACHE_ANY, NULL};
    if (!DownloadFile(internet, &fetch) || !OpenFile(&patch->index, patch->indexName, "rb"))
        return Refuse(patch, "indice de blocos indisponivel");
    return 1;
}

static int AllocateTables(Patch* patch)
{
    patch->lengths = (uint32_t*)calloc(patch->count, sizeof *patch->lengths);
    patch->oldOffsets = (uint32_t*)calloc(patch->count, sizeof *patch->oldOffsets);
    patch->prefixes = (uint64_t*)calloc(patch->count, sizeof *patch->prefixes);
    patch->byPrefix = (uint32_t*)calloc(patch->count, sizeof *patch->byPrefix);
    return patch->lengths && patch->oldOffsets && patch->prefixes && patch->byPrefix;
}

// The header against the listed file, then every record in turn: the chunk
// lengths, which must add up to the file, and the prefixes to look chunks up by.
static int ReadIndex(Patch* patch)
{
    uint8_t header[CHUNK_INDEX_HEADER_BYTES];
    uint8_t listedDigest[32];
    ChunkIndexHeader fields;
    if (fread(header, 1, sizeof header, patch->index) != sizeof header ||
        !ReadDigestHex(patch->entry->digest, listedDigest))
        return Refuse(patch, ChunkIndexVerdictText(INDEX_NOT_AN_INDEX));
    ChunkIndexVerdict verdict =
        ReadChunkIndexHeader(header, patch->entry->blocksSize, patch->entry->size, listedDigest, &fields);
    if (verdict != INDEX_GOOD)
        return Refuse(patch, ChunkIndexVerdictText(verdict));
    patch->count = fields.recordCount;
    if (patch->count > MOST_CHUNKS || patch->count == 0 || !AllocateTables(patch))
        return Refuse(patch, "indice grande demais");
    uint64_t total = 0;
    for (uint32_t i = 0; i < patch->count; i++) {
        uint8_t record[CHUNK_RECORD_BYTES];
        uint8_t digest[32];
        uint32_t length = fread(record, 1, sizeof record, patch->index) == sizeof record
                              ? ReadChunkRecord(record, i + 1 == patch->count, digest)
                              : 0;
        if (length == 0)
            return Refuse(patch, ChunkIndexVerdictText(INDEX_WRONG_LENGTHS));
        patch->lengths[i] = length;
        patch->oldOffsets[i] = CHUNK_NOT_HELD;
        patch->prefixes[i] = PrefixOf(digest);
        patch->byPrefix[i] = i;
        total += length;
    }
    if (total != fields.fileSize)
        return Refuse(patch, ChunkIndexVerdictText(INDEX_WRONG_LENGTHS));
    const uint64_t* prefixes = patch->prefixes;
    std::sort(patch->byPrefix, patch->byPrefix + patch->count,
              [prefixes](uint32_t a, uint32_t b) { return prefixes[a] < prefixes[b]; });
    return 1;
}

static int ReadRecordDigest(Patch* patch, uint32_t chunk, uint8_t digest[32])
{
    uint8_t record[CHUNK_RECORD_BYTES];
    return _fseeki64(patch->index, (__int64)(CHUNK_INDEX_HEADER_BYTES + (uint64_t)chunk * CHUNK_RECORD_BYTES),
                     SEEK_SET) == 0 &&
           fread(record, 1, sizeof record, patch->index) == sizeof record &&
           ReadChunkRecord(record, chunk + 1 == patch->count, digest) != 0;
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
    HCRYPTPROV provider;
    ChunkVisitor visit;
    void* context;
    uint64_t offset;
    int failed;
};

static size_t ReadScanned(void* context, uint8_t* buffer, size_t capacity, int* failed)
{
    Scan* scan = (Scan*)context;
    size_t count = fread(buffer, 1, capacity, scan->file);
    *failed = ferror(scan->file);
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

int DigestChunksOfFile(FILE* file, HCRYPTPROV provider, ChunkVisitor visit, void* context)
{
    Scan scan = {file, provider, visit, context, 0, 0};
    ChunkStream stream = {ReadScanned, HashScannedChunk, &scan};
    return CutIntoChunks(&stream, Window, sizeof Window) && !scan.failed;
}

// Every chunk of the new file with this chunk's digest prefix is held at its offset.
static void FindOldChunk(void* context, const uint8_t digest[32], uint32_t length, uint64_t offset)
{
    Patch* patch = (Patch*)context;
    uint64_t prefix = PrefixOf(digest);
    const uint64_t* prefixes = patch->prefixes;
    uint32_t* found = std::lower_bound(patch->byPrefix, patch->byPrefix + patch->count, prefix,
                                       [prefixes](uint32_t chunk, uint64_t value) { return prefixes[chunk] < value; });
    for (; found < patch->byPrefix + patch->count && prefixes[*found] == prefix; found++) {
        if (patch->oldOffsets[*found] == CHUNK_NOT_HELD && patch->lengths[*found] == length &&
            offset < CHUNK_NOT_HELD)
            patch->oldOffsets[*found] = (uint32_t)offset;
    }
}

static int ScanOldCopy(Patch* patch)
{
    if (!OpenFile(&patch->old, patch->entry->path, "rb"))
        return Refuse(patch, "copia antiga ilegivel");
    if (!AcquireShaProvider(&patch->provider))
        return Refuse(patch, "sem provedor de SHA-256");
    if (!DigestChunksOfFile(patch->old, patch->provider, FindOldChunk, patch))
        return Refuse(patch, "copia antiga ilegivel");
    return 1;
}

static int WorthPatching(Patch* patch)
{
    uint64_t planned = PlannedFetchBytes(patch->lengths, patch->oldOffsets, patch->count, PATCH_GAP_BYTES);
    if (planned * WORTH_DENOMINATOR <= (uint64_t)patch->entry->size * WORTH_NUMERATOR)
        return 1;
    snprintf(patch->reason, sizeof patch->reason, "o remendo buscaria %llu de %lu KB", planned >> 10,
             (unsigned long)(patch->entry->size >> 10));
    return 0;
}

// A temporary file left by an interrupted patch or download holds the new
// file's first bytes: its whole chunks that match the index are kept.
static int KeepCheckedStart(Patch* patch)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    uint64_t held = GetFileAttributesExA(patch->temporary, GetFileExInfoStandard, &attributes)
                        ? ((uint64_t)attributes.nFileSizeHigh << 32 | attributes.nFileSizeLow)
                        : 0;
    if (held == 0 || held >= patch->entry->size || !OpenFile(&patch->rebuilt, patch->temporary, "r+b"))
        return OpenFile(&patch->rebuilt, patch->temporary, "wb");
    uint8_t expected[32], obtained[32];
    while (patch->firstToWrite < patch->count && patch->written + (uint64_t)patch->lengths[patch->firstToWrite] <= held) {
        uint32_t length = patch->lengths[patch->firstToWrite];
        if (fread(Window, 1, length, patch->rebuilt) != length ||
            !ReadRecordDigest(patch, patch->firstToWrite, expected) ||
            !HashBytes(patch->provider, Window, length, obtained) || memcmp(expected, obtained, 32) != 0)
            break;
        patch->written += length;
        patch->firstToWrite++;
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

// Held chunks that follow one another in the old copy too (most of them)
// are copied as one run, in large reads and writes. Answers the chunk after it.
static uint32_t CopyHeldRun(Patch* patch, uint32_t first)
{
    uint32_t end = first + 1;
    uint64_t length = patch->lengths[first];
    while (end < patch->count && patch->oldOffsets[end] != CHUNK_NOT_HELD &&
           patch->oldOffsets[end] == patch->oldOffsets[first] + length) {
        length += patch->lengths[end];
        end++;
    }
    if (_fseeki64(patch->old, patch->oldOffsets[first], SEEK_SET) != 0)
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
    return end;
}

// The chunks of one range as they arrive: written, and each one checked
// against the index as soon as it is whole.
struct Arrival {
    Patch* patch;
    uint32_t chunk;      // the chunk the next byte belongs to
    uint32_t received;   // of its bytes
    int hashing;         // hash holds the chunk's bytes so far
    ChunkHash hash;
};

static int CheckWholeChunk(Arrival* arrival)
{
    Patch* patch = arrival->patch;
    uint8_t expected[32], obtained[32];
    int good = FinishChunkHash(&arrival->hash, obtained) && ReadRecordDigest(patch, arrival->chunk, expected) &&
               memcmp(expected, obtained, 32) == 0;
    arrival->hashing = 0;
    arrival->chunk++;
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
        uint32_t missing = patch->lengths[arrival->chunk] - arrival->received;
        DWORD taken = count < missing ? count : missing;
        if (!AddToChunkHash(&arrival->hash, bytes, taken) || !WriteNew(patch, bytes, taken))
            return 0;
        arrival->received += taken;
        bytes += taken;
        count -= taken;
        if (arrival->received == patch->lengths[arrival->chunk] && !CheckWholeChunk(arrival))
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
    arrival.chunk = first;
    RangeSink sink = {TakeArrival, &arrival};
    DWORD refused = 0;
    int fetched = FetchRange(internet, patch->objectUrl, patch->written, length, &sink, &refused);
    if (arrival.hashing) {
        uint8_t unused[32];
        FinishChunkHash(&arrival.hash, unused);  // a chunk cut short: its hash is released
    }
    patch->fetchedBytes += length;
    if (fetched)
        return 1;
    if (refused && !patch->reason[0])
        snprintf(patch->reason, sizeof patch->reason, "o servidor nao atende faixas (HTTP %lu)", refused);
    return patch->reason[0] ? 0 : Refuse(patch, "transferencia interrompida");
}

static int Rebuild(HINTERNET internet, Patch* patch)
{
    for (uint32_t i = patch->firstToWrite; i < patch->count;) {
        if (patch->oldOffsets[i] != CHUNK_NOT_HELD) {
            if (!(i = CopyHeldRun(patch, i)))
                return 0;
            continue;
        }
        uint32_t end = EndOfFetchRange(patch->lengths, patch->oldOffsets, patch->count, i, PATCH_GAP_BYTES);
        if (!FetchChunks(internet, patch, i, end))
            return 0;
        i = end;
    }
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
    if (patch->index)
        fclose(patch->index);
    if (patch->old)
        fclose(patch->old);
    if (patch->rebuilt)
        fclose(patch->rebuilt);
    if (patch->discardRebuilt)
        DeleteFileA(patch->temporary);  // the whole download starts afresh
    if (patch->provider)
        CryptReleaseContext(patch->provider, 0);
    free(patch->lengths);
    free(patch->oldOffsets);
    free(patch->prefixes);
    free(patch->byPrefix);
    if (patch->indexName[0])
        DeleteFileA(patch->indexName);  // never left in the game folder
}

int PatchFile(HINTERNET internet, const ManifestEntry* entry, const char* objectsFolder)
{
    static Patch patch;  // worker thread only: a few KB of names and URLs
    memset(&patch, 0, sizeof patch);
    patch.entry = entry;
    int patched = FetchIndex(internet, &patch, objectsFolder) && ReadIndex(&patch) && ScanOldCopy(&patch) &&
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
