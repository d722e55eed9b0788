// Where a parsed manifest keeps what it lists: the entries in one array (made
// at the size the parser counted, grown by doubling past it), their paths in a pool of blocks that never move (so an
// entry's path stays where it points), and the indexes of BLOCOS and QUADROS
// lines in a table of their own (not every file has one), as are the files a
// release removed. Nothing grows beyond MANIFEST_MOST_ENTRIES, and a failed
// allocation is a limit like any other, never a crash. No Windows headers.
#include <stdlib.h>
#include <string.h>

#include "trust/trust.h"

static const int FIRST_ENTRY_ROOM = 1024;
static const size_t PATH_BLOCK_BYTES = 256u << 10;  // a path is at most 260 bytes
static const uint32_t FIRST_TABLE_ROOM = 16;

// Grows an array to hold one more item, doubling its room from first; 0 when
// memory is short.
static int GrowArray(void** items, size_t* room, size_t count, size_t first, size_t most, size_t itemSize)
{
    if (*items && count < *room)
        return 1;
    size_t grown = *items ? *room * 2 : first;
    if (grown > most)
        grown = most;
    void* moved = realloc(*items, grown * itemSize);
    if (!moved)
        return 0;
    *items = moved;
    *room = grown;
    return 1;
}

void ReserveManifestEntries(Manifest* manifest, int count)
{
    if (count < 1 || count > MANIFEST_MOST_ENTRIES || manifest->entries)
        return;
    manifest->entries = (ManifestEntry*)malloc((size_t)count * sizeof *manifest->entries);
    manifest->entryRoom = manifest->entries ? count : 0;
}

ManifestEntry* AddManifestEntry(Manifest* manifest)
{
    if (manifest->count >= MANIFEST_MOST_ENTRIES) {
        manifest->limit = MANIFEST_TOO_MANY_ENTRIES;
        return NULL;
    }
    size_t room = (size_t)manifest->entryRoom;
    if (!GrowArray((void**)&manifest->entries, &room, (size_t)manifest->count, FIRST_ENTRY_ROOM, MANIFEST_MOST_ENTRIES,
                   sizeof *manifest->entries)) {
        manifest->limit = MANIFEST_OUT_OF_MEMORY;
        return NULL;
    }
    manifest->entryRoom = (int)room;
    ManifestEntry* entry = &manifest->entries[manifest->count];
    memset(entry, 0, sizeof *entry);
    return entry;
}

const char* KeepManifestPath(Manifest* manifest, const char* path, size_t length)
{
    if (manifest->pathBlockCount == 0 || PATH_BLOCK_BYTES - manifest->pathBlockUsed < length + 1) {
        size_t room = manifest->pathBlockRoom;
        char* block = NULL;
        if (!GrowArray((void**)&manifest->pathBlocks, &room, manifest->pathBlockCount, FIRST_TABLE_ROOM, UINT32_MAX,
                       sizeof *manifest->pathBlocks) ||
            !(block = (char*)malloc(PATH_BLOCK_BYTES))) {
            manifest->limit = MANIFEST_OUT_OF_MEMORY;
            return NULL;
        }
        manifest->pathBlockRoom = (uint32_t)room;
        manifest->pathBlocks[manifest->pathBlockCount++] = block;
        manifest->pathBlockUsed = 0;
    }
    char* kept = manifest->pathBlocks[manifest->pathBlockCount - 1] + manifest->pathBlockUsed;
    memcpy(kept, path, length);
    kept[length] = '\0';
    manifest->pathBlockUsed += length + 1;
    return kept;
}

// Two a file at most: its chunk index and its frame index.
static const size_t MOST_INDEXES = 2 * (size_t)MANIFEST_MOST_ENTRIES;

IndexListing* AddIndexListing(Manifest* manifest, uint32_t* at)
{
    size_t room = manifest->indexRoom;
    if (!GrowArray((void**)&manifest->indexes, &room, manifest->indexCount, FIRST_TABLE_ROOM, MOST_INDEXES,
                   sizeof *manifest->indexes)) {
        manifest->limit = MANIFEST_OUT_OF_MEMORY;
        return NULL;
    }
    manifest->indexRoom = (uint32_t)room;
    *at = manifest->indexCount++;
    return &manifest->indexes[*at];
}

RemovedFile* AddRemovedFile(Manifest* manifest)
{
    size_t room = (size_t)manifest->removedRoom;
    if (manifest->removedCount >= MANIFEST_MOST_ENTRIES)
        return NULL;  // the rest stay where they are: nothing is lost by keeping a file
    if (!GrowArray((void**)&manifest->removed, &room, (size_t)manifest->removedCount, FIRST_TABLE_ROOM,
                   MANIFEST_MOST_ENTRIES, sizeof *manifest->removed)) {
        manifest->limit = MANIFEST_OUT_OF_MEMORY;
        return NULL;
    }
    manifest->removedRoom = (int)room;
    return &manifest->removed[manifest->removedCount++];
}

const IndexListing* ChunkIndexOf(const Manifest* manifest, const ManifestEntry* entry)
{
    return entry->blocks == INDEX_LINE_LISTED ? &manifest->indexes[entry->blocksAt] : NULL;
}

const IndexListing* FrameIndexOf(const Manifest* manifest, const ManifestEntry* entry)
{
    return entry->frames == INDEX_LINE_LISTED && !entry->oneFrame ? &manifest->indexes[entry->framesAt] : NULL;
}

const IndexListing* OneFrameOf(const Manifest* manifest, const ManifestEntry* entry)
{
    return entry->frames == INDEX_LINE_LISTED && entry->oneFrame ? &manifest->indexes[entry->framesAt] : NULL;
}

void ReleaseManifest(Manifest* manifest)
{
    for (uint32_t i = 0; i < manifest->pathBlockCount; i++)
        free(manifest->pathBlocks[i]);
    free(manifest->pathBlocks);
    free(manifest->entries);
    free(manifest->indexes);
    free(manifest->removed);
    manifest->pathBlocks = NULL;
    manifest->pathBlockCount = manifest->pathBlockRoom = 0;
    manifest->pathBlockUsed = 0;
    manifest->entries = NULL;
    manifest->entryRoom = 0;
    manifest->indexes = NULL;
    manifest->indexCount = manifest->indexRoom = 0;
    manifest->removed = NULL;
    manifest->removedCount = manifest->removedRoom = 0;
    manifest->count = 0;
}
