// The names a fetch gives what it fetches: the URL of a file by its path or
// by its digest, and the names it leaves beside a file while it works. No
// Windows headers.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "transfer/transfer.h"

static int NameWithSuffix(const char* path, const char* suffix, char* name, size_t capacity)
{
    int length = snprintf(name, capacity, "%s%s", path, suffix);
    return length >= 0 && (size_t)length < capacity;
}

int TemporaryNameOf(const char* path, char* temporary, size_t capacity)
{
    return NameWithSuffix(path, ".tmp", temporary, capacity);
}

int ChunkIndexNameOf(const char* path, char* name, size_t capacity)
{
    return NameWithSuffix(path, ".blocos", name, capacity);
}

int FrameIndexNameOf(const char* path, char* name, size_t capacity)
{
    return NameWithSuffix(path, ".quadros", name, capacity);
}

void BuildFileUrl(char* url, size_t capacity, const char* baseUrl, const char* name)
{
    snprintf(url, capacity, "%s%s", baseUrl, name);
    for (char* c = url; *c; c++) {
        if (*c == '\\')
            *c = '/';
    }
}

int BuildObjectUrl(char* url, size_t capacity, const char* baseUrl, const char* folder, const char* digest)
{
    char lower[65];
    size_t length = strlen(digest);
    if (!IsDigestText(digest, length))
        return 0;
    for (size_t i = 0; i <= length; i++)
        lower[i] = (char)tolower((unsigned char)digest[i]);
    int written = snprintf(url, capacity, "%s%s%s", baseUrl, folder, lower);
    return written > 0 && (size_t)written < capacity;
}
