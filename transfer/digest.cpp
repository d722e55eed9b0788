// File digests, as the manifest writes them: SHA-256 through the processor's
// SHA instructions where it has them (the CryptoAPI's rate under Wine, about
// 225 MB/s, would make checking a 50 GB game take minutes at every start),
// else through the CryptoAPI.
#include <stdio.h>

#include "shell/platform.h"
#include "transfer/transfer.h"

static const DWORD DIGEST_READ_CHUNK = 0x8000;
static const char AES_PROVIDER[] = "Microsoft Enhanced RSA and AES Cryptographic Provider";
static const char CRYPTO_PROVIDER_DLL[] = "rsaenh.dll";  // the provider's implementation

void KeepCryptoProviderLoaded(void)
{
    Os.LoadLibraryA(CRYPTO_PROVIDER_DLL);  // never freed: it is held for the whole process
}

int AcquireShaProvider(HCRYPTPROV* provider)
{
    return Os.CryptAcquireContextA(provider, NULL, AES_PROVIDER, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
}

// Streams the file through the hash; 0 when the hash refused data.
static int HashStream(HCRYPTHASH hash, FILE* file)
{
    static thread_local BYTE chunk[DIGEST_READ_CHUNK];  // one per thread of the download phase
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (!CryptHashData(hash, chunk, (DWORD)count, 0))
            return 0;
    }
    return 1;
}

static int WriteDigestText(HCRYPTHASH hash, char* digest65)
{
    BYTE value[32];
    DWORD length = sizeof value;
    if (!CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0) || length != sizeof value)
        return 0;
    WriteDigestHex(value, digest65);
    return 1;
}

// The same through the processor's instructions; 0 when the file could not be read.
static int DigestWithInstructions(FILE* file, char* digest65)
{
    static thread_local uint8_t chunk[DIGEST_READ_CHUNK];
    Sha256 sha;
    Sha256Start(&sha);
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, file)) > 0)
        Sha256Add(&sha, chunk, count);
    if (ferror(file))
        return 0;
    uint8_t value[32];
    Sha256Finish(&sha, value);
    WriteDigestHex(value, digest65);
    return 1;
}

int ComputeFileDigest(const char* path, char* digest65)
{
    digest65[0] = '\0';
    FILE* file = fopen(path, "rb");
    if (!file)
        return 0;
    int result = 0;
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (Sha256HasInstructions())
        result = DigestWithInstructions(file, digest65);
    else if (AcquireShaProvider(&provider) && Os.CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash))
        result = HashStream(hash, file) && WriteDigestText(hash, digest65);
    if (!result)
        digest65[0] = '\0';
    if (hash)
        CryptDestroyHash(hash);
    if (provider)
        CryptReleaseContext(provider, 0);
    fclose(file);
    return result;
}
