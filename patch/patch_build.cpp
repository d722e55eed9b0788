// The build of a patch, by its plan: a start of the new file that an
// interrupted run left is kept where its pages check; then page by page in
// the new file's order, pages and chunks the old copy holds are copied from
// it and the others fetched by single ranges of the file's object (or taken
// from its frames, frame_patch.cpp), each chunk checked against its record
// as it arrives; the whole file is judged by the manifest's digest before it
// replaces the old one.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "patch/patch.h"
#include "shell/shell.h"

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
    if (held == 0 || held >= patch->file->size || !OpenStream(&patch->rebuilt, patch->temporary, "r+b"))
        return OpenStream(&patch->rebuilt, patch->temporary, "wb");
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
        LogLine("retomando o remendo de %s a partir de %llu bytes", patch->file->path,
                (unsigned long long)patch->written);
    return _fseeki64(patch->rebuilt, patch->written, SEEK_SET) == 0;
}

// A rebuilt file that cannot be written (a full disk) or take the old copy's
// name (a game left running holds it) fails the file: its whole download
// would need the same room, or meet the same rename.
static int FailLocally(Patch* patch, const char* why)
{
    patch->localFailure = 1;
    patch->discardRebuilt = 1;
    return Refuse(patch, why);
}

static int WriteNew(Patch* patch, const void* bytes, DWORD count)
{
    if (!WriteTemporaryBytes(patch->rebuilt, patch->temporary, bytes, count))
        return FailLocally(patch, "nao consegui gravar o arquivo temporario");
    patch->written += count;
    ShowFileProgress(patch->file->path, patch->written, patch->file->size, &patch->shown);
    return 1;
}

static int CopyOldBytes(Patch* patch, uint64_t offset, uint64_t length)
{
    if (_fseeki64(patch->old, offset, SEEK_SET) != 0)
        return Refuse(patch, "copia antiga ilegivel");
    for (uint64_t copied = 0; copied < length;) {
        size_t piece = length - copied < sizeof PatchWindow ? (size_t)(length - copied) : sizeof PatchWindow;
        if (fread(PatchWindow, 1, piece, patch->old) != piece)
            return Refuse(patch, "copia antiga ilegivel");
        if (!WriteNew(patch, PatchWindow, (DWORD)piece))
            return 0;
        copied += piece;
    }
    patch->reusedBytes += length;
    return 1;
}

// Held items (pages, or chunks of a page the old copy lacks) that follow one
// another in the old copy too are copied as one run. Answers the item after
// the run, 0 on failure.
static uint32_t CopyHeldRun(Patch* patch, const uint64_t* oldOffsets, const uint32_t* lengths, uint32_t count,
                            uint32_t first)
{
    uint32_t end = first + 1;
    uint64_t length = lengths[first];
    while (end < count && oldOffsets[end] != CHUNK_NOT_HELD && oldOffsets[end] == oldOffsets[first] + length)
        length += lengths[end++];
    return CopyOldBytes(patch, oldOffsets[first], length) ? end : 0;
}

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

int TakeArrival(void* context, const char* bytes, DWORD count)
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
        patch->fetchedWritten += taken;
        arrival->received += taken;
        bytes += taken;
        count -= taken;
        if (arrival->received == patch->lengths[arrival->record] && !CheckWholeChunk(arrival))
            return 0;
    }
    return 1;
}

// The range's chunks from the object, from where the frames left it (or from its start).
static int FetchFromObject(HINTERNET internet, Patch* patch, Arrival* arrival, uint64_t end)
{
    uint64_t length = end - patch->written;
    ByteSink sink = {TakeArrival, arrival};
    DWORD refused = 0;
    int fetched = FetchRange(internet, patch->objectUrl, patch->written, length, &sink, &refused);
    patch->fetchedBytes += length;
    return fetched || RefuseRange(patch, refused, "transferencia interrompida");
}

static int FetchChunks(HINTERNET internet, Patch* patch, uint32_t first, uint32_t end)
{
    uint64_t last = patch->written;
    for (uint32_t i = first; i < end; i++)
        last += patch->lengths[i];
    Arrival arrival;
    memset(&arrival, 0, sizeof arrival);
    arrival.patch = patch;
    arrival.record = first;
    FromFrames frames = TakeFromFrames(internet, patch, &arrival, last);
    int fetched = frames == FROM_FRAMES_DONE ||
                  (frames == FROM_FRAMES_NOT_TAKEN && FetchFromObject(internet, patch, &arrival, last));
    if (arrival.hashing) {
        uint8_t unused[32];
        FinishChunkHash(&arrival.hash, unused);  // a chunk cut short: its hash is released
    }
    return fetched;
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
    return CloseTemporaryFile(rebuilt, patch->temporary) ||
           FailLocally(patch, "nao consegui gravar o arquivo temporario");
}

static int ReplaceWithRebuilt(Patch* patch)
{
    fclose(patch->old);  // the old copy is read no more, and must let go of its name
    patch->old = NULL;
    char obtained[65];
    if (!ComputeFileDigest(patch->temporary, obtained) || !DigestsMatch(patch->file->digest, obtained)) {
        DeleteFileA(patch->temporary);
        return Refuse(patch, "o arquivo remendado nao confere com o manifesto");
    }
    if (MoveWhenFree(patch->temporary, patch->file->path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    LogLine("nao consegui renomear %s para %s (%lu)", patch->temporary, patch->file->path, GetLastError());
    return FailLocally(patch, "nao consegui renomear o arquivo remendado");
}

int BuildPatch(HINTERNET internet, Patch* patch)
{
    return KeepCheckedStart(patch) && Rebuild(internet, patch) && ReplaceWithRebuilt(patch);
}
