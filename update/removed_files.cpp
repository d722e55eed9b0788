// Files a release no longer lists (its REMOVIDO lines) leave the player's
// folder, but only where the file there is byte for byte one the studio
// shipped: a file the player changed, or made, stays. A file that stays held
// stays too; neither blocks the game.
#include <stdlib.h>
#include <string.h>

#include "install/install.h"
#include "shell/shell.h"
#include "update/update.h"

// A removal under its folded path, the form two paths of one file share.
struct RemovalKey {
    const char* folded;
    const RemovedFile* removed;
    int listed;  // the release lists the path again: never deleted
};

static int CompareKeys(const void* a, const void* b)
{
    return strcmp(((const RemovalKey*)a)->folded, ((const RemovalKey*)b)->folded);
}

// The removals sorted by folded path; the folded texts in one block of
// *pool. NULL when memory is short.
static RemovalKey* SortedKeys(const Manifest* manifest, char** pool)
{
    size_t poolSize = 0;
    for (int i = 0; i < manifest->removedCount; i++)
        poolSize += strlen(manifest->removed[i].path) + 1;
    RemovalKey* keys = (RemovalKey*)malloc((size_t)manifest->removedCount * sizeof *keys);
    *pool = (char*)malloc(poolSize);
    if (!keys || !*pool) {
        free(keys);
        free(*pool);
        return NULL;
    }
    char* next = *pool;
    for (int i = 0; i < manifest->removedCount; i++) {
        size_t room = strlen(manifest->removed[i].path) + 1;
        FoldFileName(manifest->removed[i].path, next, room);  // never longer than the path
        keys[i] = {next, &manifest->removed[i], 0};
        next += room;
    }
    qsort(keys, (size_t)manifest->removedCount, sizeof *keys, CompareKeys);
    return keys;
}

// Every removal whose path the release lists again is marked.
static void MarkListed(const Manifest* manifest, RemovalKey* keys, int count)
{
    char folded[MAX_PATH];
    for (int i = 0; i < manifest->count; i++) {
        if (!FoldFileName(manifest->entries[i].path, folded, sizeof folded))
            continue;  // longer than any file the folder can hold
        RemovalKey wanted = {folded, NULL, 0};
        RemovalKey* found = (RemovalKey*)bsearch(&wanted, keys, (size_t)count, sizeof *keys, CompareKeys);
        if (!found)
            continue;
        while (found > keys && strcmp(found[-1].folded, folded) == 0)
            found--;
        for (; found < keys + count && strcmp(found->folded, folded) == 0; found++)
            found->listed = 1;
    }
}

// The launcher's own files are never a game file to remove, whatever a
// release once shipped under their names (launcher.cfg above all).
static int IsLauncherFile(const char* path, const char* ownName)
{
    char validator[MAX_PATH];
    const char* const names[] = {CONFIG_FILE_NAME, SERIAL_FILE_NAME, LauncherConfig.manifestName, RUN_LOG_NAME,
                                 OLD_RUN_LOG_NAME};
    if ((ownName[0] && NamesLauncherFile(path, ownName)) ||
        (ValidatorNameOf(LauncherConfig.manifestName, validator, sizeof validator) &&
         NamesLauncherFile(path, validator)))
        return 1;
    for (const char* name : names) {
        if (NamesLauncherFile(path, name))
            return 1;
    }
    return 0;
}

// One path and the digests it had ([first, end) share its folded path).
static void RemoveIfShipped(const RemovalKey* first, const RemovalKey* end, const char* ownName)
{
    const char* path = first->removed->path;
    if (!IsSafeManifestPath(path)) {
        LogLine("remocao recusada, caminho inseguro: %s", path);
        return;
    }
    if (IsLauncherFile(path, ownName)) {
        LogLine("remocao recusada, arquivo do atualizador: %s", path);
        return;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;  // gone already
    char text[65];
    uint8_t digest[32];
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || !ComputeFileDigest(path, text) || !ReadDigestHex(text, digest)) {
        LogLine("nao consegui ler %s, que o lancamento removeu: mantido", path);
        return;
    }
    const RemovalKey* key = first;
    while (key < end && memcmp(key->removed->digest, digest, sizeof digest) != 0)
        key++;
    if (key == end)
        LogLine("mantido: %s foi removido do lancamento, mas difere do que foi publicado", path);
    else if (DeleteWhenFree(path))
        LogLine("removido: %s", path);
    else
        LogLine("nao consegui remover %s (%lu): fica para a proxima vez", path, GetLastError());
}

void RemoveDroppedFiles(const Manifest* manifest, const char* ownName)
{
    if (manifest->ignoredRemovals > 0)
        LogLine("%d linha(s) REMOVIDO ignorada(s)", manifest->ignoredRemovals);
    if (manifest->removedCount == 0)
        return;
    char* pool = NULL;
    RemovalKey* keys = SortedKeys(manifest, &pool);
    if (!keys) {
        LogLine("memoria insuficiente para os arquivos removidos: nenhum apagado");
        return;
    }
    int count = manifest->removedCount;
    MarkListed(manifest, keys, count);
    for (int first = 0, end = 0; first < count; first = end) {
        for (end = first + 1; end < count && strcmp(keys[end].folded, keys[first].folded) == 0; end++) {
        }
        if (!keys[first].listed)  // marked with all of its path's
            RemoveIfShipped(&keys[first], &keys[end], ownName);
    }
    free(keys);
    free(pool);
}
