// The lines that say more of a file listed just before them, each naming an
// index of it, an object of its own: "BLOCOS" its chunk index, "QUADROS" its
// frame index, "QUADRO" the compressed object of a file that is one frame. A line that is malformed, names no file listed just before, or
// repeats another is ignored, counted and the first one kept for the log: the
// file then comes without that index. No Windows headers.
#include <stdio.h>
#include <string.h>

#include "trust/trust.h"

// Which of the entry's indexes a line names, and where the lines ignored are
// counted.
struct IndexLineKind {
    int frames;    // 1: QUADROS or QUADRO, the file's compressed form; 0: BLOCOS, the chunk index
    int oneFrame;  // QUADRO: the form is one frame, named without an index
    int* ignored;
    char* ignoredText;
    size_t ignoredCapacity;
};

static IndexLine* StateOf(ManifestEntry* entry, const IndexLineKind* kind)
{
    return kind->frames ? &entry->frames : &entry->blocks;
}

static void IgnoreLine(const IndexLineKind* kind, const char* why, const char* rest)
{
    if ((*kind->ignored)++ == 0)
        snprintf(kind->ignoredText, kind->ignoredCapacity, "%s: %.80s", why, SkipBlanks(rest));
}

// The publisher writes these lines right after their ARQUIVO line: the entry
// is looked for among the last few only, so that a manifest of many such
// lines that name no entry cannot make the parse take hours.
static const int INDEX_LINE_SEARCH_WINDOW = 16;

static ManifestEntry* EntryOfPath(Manifest* manifest, const char* path)
{
    int stop = manifest->count > INDEX_LINE_SEARCH_WINDOW ? manifest->count - INDEX_LINE_SEARCH_WINDOW : 0;
    for (int i = manifest->count - 1; i >= stop; i--) {
        if (strcmp(manifest->entries[i].path, path) == 0)
            return &manifest->entries[i];
    }
    return NULL;
}

// "<keyword> <index digest> <index size> <path>", the path as on its ARQUIVO line.
static void ReadIndexLine(const char* rest, Manifest* manifest, const IndexLineKind* kind)
{
    const char* digest = SkipBlanks(rest);
    size_t digestLength = strcspn(digest, " \t\r\n");
    uint32_t size = 0;
    char path[260];
    const char* afterSize = IsDigestText(digest, digestLength) ? ReadDecimal32(SkipBlanks(digest + digestLength), &size)
                                                               : NULL;
    if (!afterSize || !TakeRestOfLine(afterSize, path, sizeof path)) {
        IgnoreLine(kind, "malformada", rest);
        return;
    }
    ManifestEntry* entry = EntryOfPath(manifest, path);
    if (!entry) {
        IgnoreLine(kind, "sem linha ARQUIVO", rest);
        return;
    }
    IndexLine* state = StateOf(entry, kind);
    if (*state != INDEX_LINE_NONE) {
        *state = INDEX_LINE_REPEATED;
        IgnoreLine(kind, "repetida", rest);
        return;
    }
    IndexListing* listing = AddIndexListing(manifest, kind->frames ? &entry->framesAt : &entry->blocksAt);
    if (!listing)
        return;
    *state = INDEX_LINE_LISTED;
    entry->oneFrame |= (uint8_t)kind->oneFrame;
    ReadDigestToken(digest, digestLength, listing->digest);
    listing->size = size;
}

void ReadBlocksLine(const char* rest, Manifest* manifest)
{
    IndexLineKind kind = {0, 0, &manifest->ignoredBlocks, manifest->ignoredBlocksText, sizeof manifest->ignoredBlocksText};
    ReadIndexLine(rest, manifest, &kind);
}

void ReadFramesLine(const char* rest, Manifest* manifest)
{
    IndexLineKind kind = {1, 0, &manifest->ignoredFrames, manifest->ignoredFramesText,
                          sizeof manifest->ignoredFramesText};
    ReadIndexLine(rest, manifest, &kind);
}

void ReadOneFrameLine(const char* rest, Manifest* manifest)
{
    IndexLineKind kind = {1, 1, &manifest->ignoredFrames, manifest->ignoredFramesText,
                          sizeof manifest->ignoredFramesText};
    ReadIndexLine(rest, manifest, &kind);
}
