// The manifest parser, digest comparison, file URLs and the safe-path rule.
#include "trust/trust.h"

#include <ctype.h>
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

static int IsHexDigest(const char* text, size_t length)
{
    return length == 64 && strspn(text, "0123456789abcdefABCDEF") >= 64;
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
    const char* afterSize = IsHexDigest(digest, digestLength) ? ReadDecimal32(SkipBlanks(digest + digestLength), &size)
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

int DigestsMatch(const char* expected, const char* obtained)
{
    return strcasecmp(expected, obtained) == 0;
}

int TemporaryNameOf(const char* path, char* temporary, size_t capacity)
{
    int length = snprintf(temporary, capacity, "%s.tmp", path);
    return length >= 0 && (size_t)length < capacity;
}

int ChunkIndexNameOf(const char* path, char* name, size_t capacity)
{
    int length = snprintf(name, capacity, "%s.blocos", path);
    return length >= 0 && (size_t)length < capacity;
}

static const uint64_t ANSWER_SLACK_BYTES = 16u << 20;

uint32_t AnswerLimitForListedSize(uint32_t listedSize)
{
    uint64_t limit = 2 * (uint64_t)listedSize + ANSWER_SLACK_BYTES;
    return limit > UINT32_MAX ? UINT32_MAX : (uint32_t)limit;
}

void BuildFileUrl(char* url, size_t capacity, const char* baseUrl, const char* name)
{
    snprintf(url, capacity, "%s%s", baseUrl, name);
    for (char* c = url; *c; c++) {
        if (*c == '\\')
            *c = '/';
    }
}

static const char* const DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
static const char* const NUMBERED_DEVICE_NAMES[] = {"COM", "LPT"};

// COM and LPT take a digit from 1 to 9, or a superscript 1, 2 or 3 (code page 1252).
static int IsDeviceNumber(char c)
{
    return (c >= '1' && c <= '9') || c == '\xB9' || c == '\xB2' || c == '\xB3';
}

// The platform ignores an extension and trailing dots and blanks on a device name.
static int NamesDevice(const char* component, size_t length)
{
    size_t base = 0;
    while (base < length && component[base] != '.' && component[base] != ' ')
        base++;
    for (const char* device : DEVICE_NAMES) {
        if (base == strlen(device) && strncasecmp(component, device, base) == 0)
            return 1;
    }
    for (const char* device : NUMBERED_DEVICE_NAMES) {
        if (base == 4 && strncasecmp(component, device, 3) == 0 && IsDeviceNumber(component[3]))
            return 1;
    }
    return 0;
}

// "..", and anything the platform would shorten to it (trailing dots and blanks).
static int ClimbsUp(const char* component, size_t length)
{
    size_t dots = 0;
    for (size_t i = 0; i < length; i++) {
        if (component[i] == '.')
            dots++;
        else if (component[i] != ' ')
            return 0;
    }
    return dots >= 2 || (dots == 1 && length > 1);
}

int IsSafeManifestPath(const char* path)
{
    if (path[0] == '\0' || path[0] == '\\' || path[0] == '/' || strchr(path, ':'))
        return 0;
    const char* component = path;
    for (;;) {
        size_t length = strcspn(component, "\\/");
        if (ClimbsUp(component, length) || NamesDevice(component, length))
            return 0;
        if (component[length] == '\0')
            return 1;
        component += length + 1;
    }
}

int NamesLauncherFile(const char* path, const char* fileName)
{
    for (;;) {
        size_t length = strcspn(path, "\\/");
        if (path[length] == '\0')
            break;
        if (length != 1 || path[0] != '.')
            return 0;  // only ".\" leads back to the same folder
        path += length + 1;
    }
    size_t nameLength = strlen(fileName);
    if (strncasecmp(path, fileName, nameLength) != 0)
        return 0;
    return strspn(path + nameLength, ". ") == strlen(path + nameLength);
}

int IsValidObjectsFolder(const char* folder)
{
    size_t length = strlen(folder);
    if (length == 0 || length > OBJECTS_FOLDER_LONGEST || folder[0] == '/' || folder[length - 1] != '/' ||
        strpbrk(folder, "\\:?#%"))
        return 0;
    for (const char* c = folder; *c; c++) {
        if (*c <= ' ' || *c > '~')
            return 0;
    }
    for (const char* component = folder; *component;) {
        size_t componentLength = strcspn(component, "/");
        if (componentLength == 0 || ClimbsUp(component, componentLength))
            return 0;
        component += componentLength + 1;
    }
    return 1;
}

int BuildObjectUrl(char* url, size_t capacity, const char* baseUrl, const char* folder, const char* digest)
{
    char lower[65];
    size_t length = strlen(digest);
    if (!IsHexDigest(digest, length))
        return 0;
    for (size_t i = 0; i <= length; i++)
        lower[i] = (char)tolower((unsigned char)digest[i]);
    int written = snprintf(url, capacity, "%s%s%s", baseUrl, folder, lower);
    return written > 0 && (size_t)written < capacity;
}
