// libFuzzer target: any bytes as the contents of a manifest file.
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
    if (count < 0 || count > MANIFEST_CAPACITY || strlen(Parsed.version) > 127)
        __builtin_trap();
    for (int i = 0; i < count; i++) {
        const ManifestEntry& entry = Parsed.entries[i];
        if (strlen(entry.digest) > 64 || strlen(entry.path) > 259 || entry.path[0] == '\0' ||
            strpbrk(entry.path, "\r\n"))
            __builtin_trap();
        IsSafeManifestPath(entry.path);
    }
    return 0;
}
