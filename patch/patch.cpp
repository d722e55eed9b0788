// Patch-sized updates: a changed file that the manifest gives a chunk index
// is rebuilt from the player's old copy into "<path>.tmp" in the new file's
// order, by a plan (patch_plan.cpp) and a build (patch_build.cpp). When any
// of it fails or would not pay, the file is fetched whole as before,
// continuing what was rebuilt so far; when the rebuilt file cannot be written
// or take its name, the file fails as its whole download would.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "patch/patch.h"
#include "shell/shell.h"

int Refuse(Patch* patch, const char* why)
{
    CopyCut(patch->reason, sizeof patch->reason, why);
    return 0;
}

PageEntry PageAt(const Patch* patch, uint32_t page)
{
    PageEntry entry;
    ReadPageEntry(patch->pages + (size_t)page * PAGE_ENTRY_BYTES, &entry);
    return entry;
}

int OpenStream(FILE** file, const char* name, const char* mode)
{
    *file = fopen(name, mode);
    return *file != NULL;
}

// Why a range did not come: the answer's status when it was no range at all.
int RefuseRange(Patch* patch, DWORD refused, const char* otherwise)
{
    if (patch->reason[0])
        return 0;  // the sink stopped it, and said why
    if (!refused)
        return Refuse(patch, otherwise);
    snprintf(patch->reason, sizeof patch->reason, "o servidor nao atende faixas (HTTP %lu)", refused);
    return 0;
}

// The records of the run of pages the old copy lacks that starts at page
// first: [*firstRecord, *endRecord). Answers the page after the run.
uint32_t MissingRun(const Patch* patch, uint32_t first, uint32_t* firstRecord, uint32_t* endRecord)
{
    uint32_t end = first;
    while (end < patch->header.pageCount && patch->pageOldOffsets[end] == CHUNK_NOT_HELD)
        end++;
    *firstRecord = patch->pageFirstMissing[first];
    *endRecord = end < patch->header.pageCount ? patch->pageFirstMissing[end] : patch->missingRecords;
    return end;
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
    ReleasePatchFrames(patch);
}

static void LogPatched(const Patch* patch)
{
    char reused[32];
    char fetched[32];
    char index[32];
    FormatByteSize(reused, sizeof reused, patch->reusedBytes);
    FormatByteSize(fetched, sizeof fetched, patch->fetchedBytes);
    FormatByteSize(index, sizeof index, patch->file->indexSize);
    uint64_t received = patch->fetchedBytes + patch->file->indexSize + patch->frames.indexBytes;
    LogLine("remendo de %s: %s reaproveitados, %s baixados, indice de %s (%llu bytes recebidos, %llu gravados)",
            patch->file->path, reused, fetched, index, (unsigned long long)received,
            (unsigned long long)patch->fetchedWritten);
}

PatchOutcome PatchFile(HINTERNET internet, const PatchTarget* file)
{
    static thread_local Patch patch;  // a few KB of names and URLs, one per thread that patches
    memset(&patch, 0, sizeof patch);
    patch.file = file;
    PatchOutcome outcome = PATCH_NOT_MADE;
    if (PlanPatch(internet, &patch) && BuildPatch(internet, &patch)) {
        LogPatched(&patch);
        outcome = PATCH_MADE;
    } else if (patch.localFailure) {
        outcome = PATCH_FILE_FAILED;  // the reason is logged where it happened
    } else {
        LogLine("sem remendo para %s (%s); baixo o arquivo inteiro", file->path, patch.reason);
    }
    ReleasePatch(&patch);
    return outcome;
}
