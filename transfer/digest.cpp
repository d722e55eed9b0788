// File digests, as the manifest writes them: SHA-256 through the processor's
// SHA instructions where it has them (the CryptoAPI's rate under Wine, about
// 225 MB/s, would make checking a 50 GB game take minutes at every start),
// else through the CryptoAPI.
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

// Where the file's bytes go: the CryptoAPI's hash or the processor's instructions.
struct DigestFeed {
    HCRYPTHASH hash;  // 0: the instructions
    Sha256 sha;
};

static int Feed(DigestFeed* feed, const BYTE* bytes, DWORD count)
{
    if (feed->hash)
        return CryptHashData(feed->hash, bytes, count, 0);
    Sha256Add(&feed->sha, bytes, count);
    return 1;
}

// The whole file through the feed; 0 when a read failed or the hash refused data.
static int FeedFile(DigestFeed* feed, HANDLE file)
{
    static thread_local BYTE chunk[DIGEST_READ_CHUNK];  // one per thread of the download phase
    for (;;) {
        DWORD count = 0;
        if (!Os.ReadFile(file, chunk, sizeof chunk, &count, NULL))
            return 0;
        if (count == 0)
            return 1;
        if (!Feed(feed, chunk, count))
            return 0;
    }
}

static int WriteDigestText(DigestFeed* feed, char* digest65)
{
    BYTE value[32];
    DWORD length = sizeof value;
    if (!feed->hash)
        Sha256Finish(&feed->sha, value);
    else if (!CryptGetHashParam(feed->hash, HP_HASHVAL, value, &length, 0) || length != sizeof value)
        return 0;
    WriteDigestHex(value, digest65);
    return 1;
}

int ComputeFileDigest(const char* path, char* digest65)
{
    digest65[0] = '\0';
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    HCRYPTPROV provider = 0;
    DigestFeed feed;
    feed.hash = 0;
    Sha256Start(&feed.sha);
    int ready = Sha256HasInstructions() ||
                (AcquireShaProvider(&provider) && Os.CryptCreateHash(provider, CALG_SHA_256, 0, 0, &feed.hash));
    int result = ready && FeedFile(&feed, file) && WriteDigestText(&feed, digest65);
    if (!result)
        digest65[0] = '\0';
    if (feed.hash)
        CryptDestroyHash(feed.hash);
    if (provider)
        CryptReleaseContext(provider, 0);
    CloseHandle(file);
    return result;
}
