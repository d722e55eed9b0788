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

const char* SkipBlanks(const char* text)
{
    while (IsBlank(*text))
        text++;
    return text;
}

// The rest of the line after any blanks, up to the line end, cut to the
// field; 0 when nothing but blanks is left.
int TakeRestOfLine(const char* text, char* field, size_t capacity)
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

// Plain decimal digits up to most: no sign, no wrap-around.
static const char* ReadDecimalUpTo(const char* text, uint64_t most, uint64_t* value)
{
    uint64_t read = 0;
    const char* digits = text;
    for (; *text >= '0' && *text <= '9'; text++) {
        uint64_t digit = (uint64_t)(*text - '0');
        if (read > (most - digit) / 10)
            return NULL;
        read = read * 10 + digit;
    }
    if (text == digits || (*text != '\0' && !IsBlank(*text)))
        return NULL;
    *value = read;
    return text;
}

const char* ReadDecimal32(const char* text, uint32_t* value)
{
    uint64_t read = 0;
    const char* after = ReadDecimalUpTo(text, UINT32_MAX, &read);
    if (after)
        *value = (uint32_t)read;
    return after;
}

const char* ReadDecimal64(const char* text, uint64_t* value)
{
    return ReadDecimalUpTo(text, LARGEST_LISTED_SIZE, value);
}

// The digest token's first 64 characters as bytes, when they are hexadecimal
// (a longer token is cut, as the manifest has always been read).
int ReadDigestToken(const char* token, size_t length, uint8_t digest[32])
{
    char text[65];
    if (length < 64)
        return 0;
    memcpy(text, token, 64);
    text[64] = '\0';
    return ReadDigestHex(text, digest);
}

// "ARQUIVO <digest> <size> <path>": the path runs to the line end, inner and
// trailing blanks kept, cut to 259 characters. A digest token that is not
// hexadecimal still makes an entry, one that can never check.
static void ReadFileLine(const char* rest, Manifest* manifest)
{
    const char* token = SkipBlanks(rest);
    size_t tokenLength = 0;
    while (token[tokenLength] && !IsBlank(token[tokenLength]))
        tokenLength++;
    uint64_t size = 0;
    char path[260];
    const char* afterSize = tokenLength ? ReadDecimal64(SkipBlanks(token + tokenLength), &size) : NULL;
    if (!afterSize || !TakeRestOfLine(afterSize, path, sizeof path))
        return;
    const char* kept = KeepManifestPath(manifest, path, strlen(path));
    ManifestEntry* entry = kept ? AddManifestEntry(manifest) : NULL;
    if (!entry)
        return;
    entry->digestRead = (uint8_t)ReadDigestToken(token, tokenLength, entry->digest);
    entry->size = size;
    entry->path = kept;
    entry->state = ENTRY_UNCHECKED;
    manifest->count++;
}

// "ARQUIVO-LIMITES <most entries> <bits of a size> <why>": a release that
// needs more than older launchers read says so here. Older launchers take the
// line for a file whose path holds ":" and refuse it, which keeps them from
// starting the game once they failed to replace themselves; this build goes on
// when it meets what the line asks. Sizes are read to 63 bits and fetched,
// checked and patched in 64.
static const uint32_t FETCHED_SIZE_BITS = 64;

static void ReadLimitsLine(const char* rest, Manifest* manifest)
{
    uint32_t entries = 0;
    uint32_t bits = 0;
    const char* afterEntries = ReadDecimal32(SkipBlanks(rest), &entries);
    const char* afterBits = afterEntries ? ReadDecimal32(SkipBlanks(afterEntries), &bits) : NULL;
    if (!afterBits || entries > (uint32_t)MANIFEST_MOST_ENTRIES || bits > FETCHED_SIZE_BITS)
        manifest->limit = MANIFEST_NEEDS_NEWER;
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

// "REMOVIDO <digest> <path>", the path as on an ARQUIVO line. A line that
// does not read is passed over: the file it names stays.
static void ReadRemovedLine(const char* rest, Manifest* manifest)
{
    const char* digest = SkipBlanks(rest);
    size_t digestLength = strcspn(digest, " \t\r\n");
    char path[260];
    uint8_t value[32];
    if (digestLength != 64 || !ReadDigestToken(digest, digestLength, value) ||
        !TakeRestOfLine(digest + digestLength, path, sizeof path)) {
        manifest->ignoredRemovals++;
        return;
    }
    const char* kept = KeepManifestPath(manifest, path, strlen(path));
    RemovedFile* removed = kept ? AddRemovedFile(manifest) : NULL;
    if (!removed) {
        manifest->ignoredRemovals += manifest->limit == MANIFEST_WITHIN_LIMITS;
        return;
    }
    memcpy(removed->digest, value, sizeof value);
    removed->path = kept;
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
    if (StartsWithWord(line, "QUADROS")) {
        ReadFramesLine(line + 7, manifest);
        return;
    }
    if (StartsWithWord(line, "QUADRO")) {
        ReadOneFrameLine(line + 6, manifest);
        return;
    }
    if (StartsWithWord(line, "REMOVIDO")) {
        ReadRemovedLine(line + 8, manifest);
        return;
    }
    if (StartsWithWord(line, "ARQUIVO-LIMITES")) {
        ReadLimitsLine(line + 15, manifest);
        return;
    }
    if (strncasecmp(line, "VERSAO", 6) == 0) {
        char version[sizeof manifest->version];
        if (TakeRestOfLine(line + 6, version, sizeof version))
            CopyCut(manifest->version, sizeof manifest->version, version);  // the last one wins
        return;
    }
    if (strncasecmp(line, "ARQUIVO", 7) == 0)
        ReadFileLine(line + 7, manifest);
}

static void ResetManifest(Manifest* manifest)
{
    ReleaseManifest(manifest);
    manifest->limit = MANIFEST_WITHIN_LIMITS;
    manifest->version[0] = '\0';
    manifest->objects = OBJECTS_NONE;
    manifest->objectsFolder[0] = '\0';
    manifest->objectsText[0] = '\0';
    manifest->ignoredBlocks = 0;
    manifest->ignoredBlocksText[0] = '\0';
    manifest->ignoredFrames = 0;
    manifest->ignoredFramesText[0] = '\0';
    manifest->ignoredRemovals = 0;
}

static const size_t LINE_PIECE = 1024;

// The lines that may be entries, counted first (at most one more than an
// entry table may hold): the table is then made once at its size, where
// doubling would hold the old and the new table at once.
static int CountFileLines(FILE* file)
{
    char line[LINE_PIECE];
    int count = 0;
    while (count <= MANIFEST_MOST_ENTRIES && fgets(line, sizeof line, file))
        count += strncasecmp(line, "ARQUIVO", 7) == 0;
    return count;
}

// Lines longer than the read buffer arrive in pieces; each piece is a line.
// Past a limit nothing more is read: what was read stays for the run, which
// may still replace the launcher from it but never starts the game by it.
int ParseManifestStream(FILE* file, Manifest* manifest)
{
    ResetManifest(manifest);
    long start = ftell(file);
    int lines = CountFileLines(file);
    if (start < 0 || fseek(file, start, SEEK_SET) != 0)
        return 0;
    ReserveManifestEntries(manifest, lines < MANIFEST_MOST_ENTRIES ? lines : MANIFEST_MOST_ENTRIES);
    char line[LINE_PIECE];
    while (manifest->limit == MANIFEST_WITHIN_LIMITS && fgets(line, sizeof line, file))
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

uint64_t AnswerLimitForListedSize(uint64_t listedSize)
{
    if (listedSize > (UINT64_MAX - ANSWER_SLACK_BYTES) / 2)
        return UINT64_MAX;  // no wrap-around
    return 2 * listedSize + ANSWER_SLACK_BYTES;
}

const char MANIFEST_LIMITS_MARK[] = "QRV-LIMITES-DO-MANIFESTO 1000000 64";
