// Chunks of a file as the publisher's helper cuts them, each hashed as it
// passes: through the processor's SHA instructions where it has them, else
// through the CryptoAPI provider that digests every file.
#include <stdio.h>

#include "patch/patch.h"

thread_local uint8_t PatchWindow[PATCH_WINDOW_BYTES];

// The processor's SHA instructions hash eight times the CryptoAPI's rate
// under Wine: the scan of a 4 GB copy takes seconds, not half a minute.
int StartChunkHash(HCRYPTPROV provider, ChunkHash* hash)
{
    hash->crypto = 0;
    if (Sha256HasInstructions()) {
        Sha256Start(&hash->sha);
        return 1;
    }
    return CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash->crypto);
}

int AddToChunkHash(ChunkHash* hash, const void* bytes, DWORD length)
{
    if (!hash->crypto) {
        Sha256Add(&hash->sha, bytes, length);
        return 1;
    }
    return CryptHashData(hash->crypto, (const BYTE*)bytes, length, 0);
}

int FinishChunkHash(ChunkHash* hash, uint8_t digest[32])
{
    if (!hash->crypto) {
        Sha256Finish(&hash->sha, digest);
        return 1;
    }
    DWORD size = 32;
    int finished = CryptGetHashParam(hash->crypto, HP_HASHVAL, digest, &size, 0) && size == 32;
    CryptDestroyHash(hash->crypto);
    hash->crypto = 0;
    return finished;
}

static int HashBytes(HCRYPTPROV provider, const uint8_t* bytes, uint32_t length, uint8_t digest[32])
{
    ChunkHash hash;
    if (!StartChunkHash(provider, &hash))
        return 0;
    int added = AddToChunkHash(&hash, bytes, length);
    return FinishChunkHash(&hash, digest) && added;
}

// A file cut as the publisher cuts it, each chunk hashed as it passes.
struct Scan {
    FILE* file;
    uint64_t left;  // bytes the scan may still read
    HCRYPTPROV provider;
    ChunkVisitor visit;
    void* context;
    uint64_t offset;
    int failed;
};

static size_t ReadScanned(void* context, uint8_t* buffer, size_t capacity, int* failed)
{
    Scan* scan = (Scan*)context;
    size_t wanted = capacity < scan->left ? capacity : (size_t)scan->left;
    size_t count = fread(buffer, 1, wanted, scan->file);
    *failed = ferror(scan->file);
    scan->left -= count;
    return count;
}

static void HashScannedChunk(void* context, const uint8_t* bytes, uint32_t length)
{
    Scan* scan = (Scan*)context;
    uint8_t digest[32];
    if (!HashBytes(scan->provider, bytes, length, digest))
        scan->failed = 1;
    else
        scan->visit(scan->context, digest, length, scan->offset);
    scan->offset += length;
}

int ScanBytes(FILE* file, uint64_t length, HCRYPTPROV provider, ChunkVisitor visit, void* context)
{
    Scan scan = {file, length, provider, visit, context, 0, 0};
    ChunkStream stream = {ReadScanned, HashScannedChunk, &scan};
    return CutIntoChunks(&stream, PatchWindow, sizeof PatchWindow) && !scan.failed;
}

int DigestChunksOfFile(FILE* file, HCRYPTPROV provider, ChunkVisitor visit, void* context)
{
    return ScanBytes(file, UINT64_MAX, provider, visit, context);
}

