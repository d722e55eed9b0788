// libFuzzer target: any bytes as the contents of a manifest file. The
// entries, their paths in the pool and the chunk index table must hold what
// was read, and a second parse must free what the first one held.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "trust/trust.h"

static Manifest Parsed;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* file = fmemopen((void*)data, size, "r");
    if (!file)
        return 0;
    int count = ParseManifestStream(file, &Parsed);
    fclose(file);
    if (count < 0 || count > MANIFEST_MOST_ENTRIES || count != Parsed.count || strlen(Parsed.version) > 127 ||
        (count > 0 && Parsed.entryRoom < count))
        __builtin_trap();
    for (int i = 0; i < count; i++) {
        const ManifestEntry& entry = Parsed.entries[i];
        if (strlen(entry.path) > 259 || entry.path[0] == '\0' || strpbrk(entry.path, "\r\n") ||
            entry.size > LARGEST_LISTED_SIZE || entry.state != ENTRY_UNCHECKED)
            __builtin_trap();
        const IndexListing* index = ChunkIndexOf(&Parsed, &entry);
        const IndexListing* frames = FrameIndexOf(&Parsed, &entry);
        if (!frames)
            frames = OneFrameOf(&Parsed, &entry);
        if ((FrameIndexOf(&Parsed, &entry) != NULL && OneFrameOf(&Parsed, &entry) != NULL) ||
            (entry.blocks == INDEX_LINE_LISTED) != (index != NULL) || (index && entry.blocksAt >= Parsed.indexCount) ||
            (entry.frames == INDEX_LINE_LISTED) != (frames != NULL) || (frames && entry.framesAt >= Parsed.indexCount) ||
            (index && frames && entry.blocksAt == entry.framesAt))
            __builtin_trap();
        IsSafeManifestPath(entry.path);
    }
    return 0;
}
