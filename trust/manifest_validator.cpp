// The validator kept beside the accepted manifest copy, "<name>.validador":
// the ETag and Last-Modified its server gave with it, and the copy's own
// SHA-256, so that a 304 leads only to the very bytes accepted (a copy
// changed on disk since is asked for whole).
#include <stdio.h>
#include <string.h>

#include "shell/shell.h"
#include "trust/trust.h"

static const char ETAG_KEY[] = "ETag: ";
static const char LAST_MODIFIED_KEY[] = "Last-Modified: ";
static const char COPY_DIGEST_KEY[] = "SHA256: ";
static const size_t HASH_PIECE = 64 * 1024;

int ValidatorNameOf(const char* manifestName, char* name, size_t capacity)
{
    int length = snprintf(name, capacity, "%s.validador", manifestName);
    return length > 0 && (size_t)length < capacity;
}

// The value after key, to the line end, when the line starts with it.
static void TakeValue(const char* line, const char* key, char* value, size_t capacity)
{
    size_t keyLength = strlen(key);
    if (strncmp(line, key, keyLength) != 0)
        return;
    size_t length = strcspn(line + keyLength, "\r\n");
    if (length < capacity) {
        memcpy(value, line + keyLength, length);
        value[length] = '\0';
    }
}

int ReadHeldValidator(const char* manifestName, HeldCopyValidator* validator, uint8_t copyDigest[32])
{
    char name[MAX_PATH];
    char digest[65] = "";
    memset(validator, 0, sizeof *validator);
    ValidatorText* held = &validator->held;
    FILE* file = ValidatorNameOf(manifestName, name, sizeof name) ? fopen(name, "rt") : NULL;
    if (!file)
        return 0;
    char line[VALIDATOR_LONGEST + 32];
    while (fgets(line, sizeof line, file)) {
        TakeValue(line, ETAG_KEY, held->etag, sizeof held->etag);
        TakeValue(line, LAST_MODIFIED_KEY, held->lastModified, sizeof held->lastModified);
        TakeValue(line, COPY_DIGEST_KEY, digest, sizeof digest);
    }
    fclose(file);
    if (!ReadDigestHex(digest, copyDigest) || GetFileAttributesA(manifestName) == INVALID_FILE_ATTRIBUTES) {
        memset(validator, 0, sizeof *validator);
        return 0;
    }
    return held->etag[0] || held->lastModified[0];
}

void ForgetHeldValidator(const char* manifestName)
{
    char name[MAX_PATH];
    if (ValidatorNameOf(manifestName, name, sizeof name))
        DeleteFileA(name);
}

void KeepHeldValidator(const char* manifestName, const ValidatorText* validator)
{
    char name[MAX_PATH];
    char digest[65];
    if (!(validator->etag[0] || validator->lastModified[0]) || !ValidatorNameOf(manifestName, name, sizeof name) ||
        !ComputeFileDigest(manifestName, digest))
        return;  // none: the next start asks for the whole manifest
    FILE* file = fopen(name, "wt");
    if (!file)
        return;
    fprintf(file, "%s%s\n%s%s\n%s%s\n", ETAG_KEY, validator->etag, LAST_MODIFIED_KEY, validator->lastModified,
            COPY_DIGEST_KEY, digest);
    if (fclose(file) != 0)
        DeleteFileA(name);
}

int HoldsCopyOf(FILE* copy, const uint8_t digest[32])
{
    static char piece[HASH_PIECE];  // the worker's alone
    Sha256 sha;
    Sha256Start(&sha);
    size_t count;
    while ((count = fread(piece, 1, sizeof piece, copy)) > 0)
        Sha256Add(&sha, piece, count);
    uint8_t obtained[32];
    Sha256Finish(&sha, obtained);
    int read = !ferror(copy);
    rewind(copy);
    return read && memcmp(obtained, digest, sizeof obtained) == 0;
}
