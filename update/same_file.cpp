// Entries that name one file on Windows (".\big.pak" and "big.pak", two
// letter cases, a trailing dot): fetched at once, both would write its
// temporary file, and the disk-room check would count its old copy twice. A
// later entry with the earlier one's digest is settled with it; one with
// another digest makes the manifest inconsistent, and fails.
#include <stdlib.h>
#include <string.h>

#include "shell/shell.h"
#include "update/update.h"

static const uint32_t NO_ENTRY = UINT32_MAX;
static const size_t FOLDED_NAME_CAPACITY = 2 * MAX_PATH;

static uint32_t HashOf(const char* text)
{
    uint32_t hash = 2166136261u;  // FNV-1a
    for (; *text; text++)
        hash = (hash ^ (uint8_t)*text) * 16777619u;
    return hash;
}

int NameSameFile(const char* one, const char* other)
{
    char a[FOLDED_NAME_CAPACITY];
    char b[FOLDED_NAME_CAPACITY];
    return FoldFileName(one, a, sizeof a) && FoldFileName(other, b, sizeof b) && strcmp(a, b) == 0;
}

// The later entry of two that name one file.
static int SettleLater(const ManifestEntry* earlier, ManifestEntry* later)
{
    if (memcmp(earlier->digest, later->digest, sizeof later->digest) == 0) {
        later->state = ENTRY_SAME_FILE;
        return 0;
    }
    LogLine("manifesto inconsistente: %s e %s sao o mesmo arquivo com hashes diferentes", earlier->path,
            later->path);
    later->state = ENTRY_REFUSED;
    return 1;
}

// Open addressing over the entries' folded names: a table twice as large as
// the list, each place an entry's index.
int SettleEntriesNamingOneFile(Manifest* manifest)
{
    uint32_t places = 2;
    while (places < 2 * (uint32_t)manifest->count)
        places *= 2;
    uint32_t* table = (uint32_t*)malloc(places * sizeof *table);
    uint32_t* hashes = (uint32_t*)malloc((size_t)manifest->count * sizeof *hashes + 1);
    int failures = 0;
    if (!table || !hashes)  // the download phase still never fetches one file twice at once
        LogLine("memoria insuficiente para comparar os caminhos do manifesto");
    for (uint32_t i = 0; table && hashes && i < places; i++)
        table[i] = NO_ENTRY;
    for (int i = 0; table && hashes && i < manifest->count; i++) {
        ManifestEntry* entry = &manifest->entries[i];
        char folded[FOLDED_NAME_CAPACITY];
        if (!IsSafeManifestPath(entry->path) || !FoldFileName(entry->path, folded, sizeof folded))
            continue;  // refused by the check, or too long for any file to have
        hashes[i] = HashOf(folded);
        uint32_t at = hashes[i] & (places - 1);
        for (; table[at] != NO_ENTRY; at = (at + 1) & (places - 1)) {
            const ManifestEntry* earlier = &manifest->entries[table[at]];
            if (hashes[table[at]] == hashes[i] && NameSameFile(earlier->path, entry->path))
                break;
        }
        if (table[at] == NO_ENTRY)
            table[at] = (uint32_t)i;
        else
            failures += SettleLater(&manifest->entries[table[at]], entry);
    }
    free(table);
    free(hashes);
    return failures;
}
