// The manifest parser: one line at a time, with fixed buffers. No Windows
// headers.
#include "trust/trust.h"

#include <string.h>
#include <strings.h>

#include "shell/shell_rules.h"

static int IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static const char* SkipBlanks(const char* text)
{
    while (IsBlank(*text))
        text++;
    return text;
}

// The rest of the line after any blanks, up to the line end, cut to the
// field; 0 when nothing but blanks is left.
static int TakeRestOfLine(const char* text, char* field, size_t capacity)
{
    text = SkipBlanks(text);
    size_t length = strcspn(text, "\r\n");
    if (length == 0)
        return 0;
    if (length > capacity - 1)
        length = capacity - 1;
    memcpy(field, text, length);
    field[length] = '\0';
    return 1;
}

// Plain decimal digits that fit 32 bits: no sign, no wrap-around.
const char* ReadDecimal32(const char* text, uint32_t* size)
{
    uint64_t value = 0;
    const char* digits = text;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (uint64_t)(*text - '0');
        if (value > UINT32_MAX)
            return NULL;
        text++;
    }
    if (text == digits || (*text != '\0' && !IsBlank(*text)))
        return NULL;
    *size = (uint32_t)value;
    return text;
}

// "ARQUIVO <digest> <size> <path>": the digest token keeps its first 64
// characters; the path runs to the line end, inner and trailing blanks kept.
static int ReadFileLine(const char* rest, ManifestEntry* entry)
{
    const char* token = SkipBlanks(rest);
    size_t tokenLength = 0;
    while (token[tokenLength] && !IsBlank(token[tokenLength]))
        tokenLength++;
    if (tokenLength == 0)
        return 0;
    const char* afterSize = ReadDecimal32(SkipBlanks(token + tokenLength), &entry->size);
    if (!afterSize || !TakeRestOfLine(afterSize, entry->path, sizeof entry->path))
        return 0;
    size_t kept = tokenLength < sizeof entry->digest - 1 ? tokenLength : sizeof entry->digest - 1;
    memcpy(entry->digest, token, kept);
    entry->digest[kept] = '\0';
    entry->state = ENTRY_UNCHECKED;
    entry->blocks = BLOCKS_NONE;
    return 1;
}

// "OBJETOS <folder>": one word after the keyword and blanks.
static void ReadObjectsLine(const char* rest, Manifest* manifest)
{
    const char* word = SkipBlanks(rest);
    size_t length = 0;
    while (word[length] && !IsBlank(word[length]))
        length++;
    int single = *SkipBlanks(word + length) == '\0';
    char folder[OBJECTS_FOLDER_LONGEST + 2];
    CopyCut(folder, length < sizeof folder ? length + 1 : sizeof folder, word);
    if (manifest->objects != OBJECTS_NONE) {
        manifest->objects = OBJECTS_REPEATED;
        return;
    }
    if (single && length <= OBJECTS_FOLDER_LONGEST && IsValidObjectsFolder(folder)) {
        manifest->objects = OBJECTS_VALID;
        CopyCut(manifest->objectsFolder, sizeof manifest->objectsFolder, folder);
    } else {
        manifest->objects = OBJECTS_INVALID;
        CopyCut(manifest->objectsText, sizeof manifest->objectsText, folder);
    }
}

static void IgnoreBlocksLine(Manifest* manifest, const char* why, const char* rest)
{
    if (manifest->ignoredBlocks++ == 0)
        snprintf(manifest->ignoredBlocksText, sizeof manifest->ignoredBlocksText, "%s: %.80s", why,
                 SkipBlanks(rest));
}

// The listed entry of that path, searched from the last one: the publisher
// writes each BLOCOS line right after its ARQUIVO line.
static ManifestEntry* EntryOfPath(Manifest* manifest, const char* path)
{
    for (int i = manifest->count - 1; i >= 0; i--) {
        if (strcmp(manifest->entries[i].path, path) == 0)
            return &manifest->entries[i];
    }
    return NULL;
}

// "BLOCOS <index digest> <index size> <path>", the path as on its ARQUIVO line.
static void ReadBlocksLine(const char* rest, Manifest* manifest)
{
    const char* digest = SkipBlanks(rest);
    size_t digestLength = strcspn(digest, " \t\r\n");
    uint32_t size = 0;
    char path[260];
    const char* afterSize = IsDigestText(digest, digestLength) ? ReadDecimal32(SkipBlanks(digest + digestLength), &size)
                                                               : NULL;
    if (!afterSize || !TakeRestOfLine(afterSize, path, sizeof path)) {
        IgnoreBlocksLine(manifest, "malformada", rest);
        return;
    }
    ManifestEntry* entry = EntryOfPath(manifest, path);
    if (!entry) {
        IgnoreBlocksLine(manifest, "sem linha ARQUIVO", rest);
        return;
    }
    if (entry->blocks != BLOCKS_NONE) {
        entry->blocks = BLOCKS_REPEATED;
        IgnoreBlocksLine(manifest, "repetida", rest);
        return;
    }
    entry->blocks = BLOCKS_LISTED;
    CopyCut(entry->blocksDigest, digestLength + 1, digest);
    entry->blocksSize = size;
}

static int StartsWithWord(const char* line, const char* keyword)
{
    size_t length = strlen(keyword);
    return strncasecmp(line, keyword, length) == 0 && (line[length] == '\0' || IsBlank(line[length]));
}

static void ReadManifestLine(const char* line, Manifest* manifest)
{
    if (line[0] == '#' || line[0] == '\n' || line[0] == '\r')
        return;
    if (StartsWithWord(line, "OBJETOS")) {
        ReadObjectsLine(line + 7, manifest);
        return;
    }
    if (StartsWithWord(line, "BLOCOS")) {
        ReadBlocksLine(line + 6, manifest);
        return;
    }
    if (strncasecmp(line, "VERSAO", 6) == 0) {
        char version[sizeof manifest->version];
        if (TakeRestOfLine(line + 6, version, sizeof version))
            CopyCut(manifest->version, sizeof manifest->version, version);  // the last one wins
        return;
    }
    if (strncasecmp(line, "ARQUIVO", 7) == 0 && manifest->count < MANIFEST_CAPACITY) {
        if (ReadFileLine(line + 7, &manifest->entries[manifest->count]))
            manifest->count++;
    }
}

// Lines longer than the read buffer arrive in pieces; each piece is a line.
static void ResetManifest(Manifest* manifest)
{
    manifest->count = 0;
    manifest->version[0] = '\0';
    manifest->objects = OBJECTS_NONE;
    manifest->objectsFolder[0] = '\0';
    manifest->objectsText[0] = '\0';
    manifest->ignoredBlocks = 0;
    manifest->ignoredBlocksText[0] = '\0';
}

int ParseManifestStream(FILE* file, Manifest* manifest)
{
    ResetManifest(manifest);
    char line[1024];
    while (fgets(line, sizeof line, file))
        ReadManifestLine(line, manifest);
    return manifest->count;
}

int ParseManifest(const char* fileName, Manifest* manifest)
{
    FILE* file = fopen(fileName, "rt");
    if (!file) {
        ResetManifest(manifest);
        return 0;
    }
    int count = ParseManifestStream(file, manifest);
    fclose(file);
    return count;
}

static const uint64_t ANSWER_SLACK_BYTES = 16u << 20;

uint32_t AnswerLimitForListedSize(uint32_t listedSize)
{
    uint64_t limit = 2 * (uint64_t)listedSize + ANSWER_SLACK_BYTES;
    return limit > UINT32_MAX ? UINT32_MAX : (uint32_t)limit;
}
