// File digests, as the manifest writes them: SHA-256 through the processor's
// SHA instructions where it has them (the CryptoAPI's rate under Wine, about
// 225 MB/s, would make checking a 50 GB game take minutes at every start),
// else through the CryptoAPI.
#include "shell/platform.h"
#include "transfer/transfer.h"

static const DWORD DIGEST_READ_CHUNK = 0x8000;
static const char AES_PROVIDER[] = "Microsoft Enhanced RSA and AES Cryptographic Provider";
static const char CRYPTO_PROVIDER_DLL[] = "rsaenh.dll";  // the provider's implementation

// The run's one context, shared by every digest's hash object (each hash
// stays with one thread; a context may serve several at once). 0 outside a
// run, where each digest acquires its own.
static HCRYPTPROV RunProvider;

void KeepCryptoProviderLoaded(void)
{
    Os.LoadLibraryA(CRYPTO_PROVIDER_DLL);  // never freed: it is held for the whole process
    if (!RunProvider && !AcquireShaProvider(&RunProvider))
        RunProvider = 0;  // each digest tries for itself
}

void ReleaseRunProvider(void)
{
    if (RunProvider)
        CryptReleaseContext(RunProvider, 0);
    RunProvider = 0;
}

int AcquireShaProvider(HCRYPTPROV* provider)
{
    return Os.CryptAcquireContextA(provider, NULL, AES_PROVIDER, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
}

// Through the CryptoAPI, a hash object on the run's context, or on a context
// of the digest's own (which it then releases).
static int StartCryptoHash(RunningDigest* digest)
{
    HCRYPTPROV provider = RunProvider;
    if (!provider && !AcquireShaProvider(&digest->provider))
        return 0;
    return Os.CryptCreateHash(provider ? provider : digest->provider, CALG_SHA_256, 0, 0, &digest->hash);
}

int StartRunningDigest(RunningDigest* digest)
{
    digest->provider = 0;
    digest->hash = 0;
    Sha256Start(&digest->sha);
    digest->running = Sha256HasInstructions() || StartCryptoHash(digest);
    return digest->running;
}

int AddToRunningDigest(RunningDigest* digest, const void* bytes, DWORD count)
{
    if (digest->hash && !CryptHashData(digest->hash, (const BYTE*)bytes, count, 0))
        digest->running = 0;
    if (!digest->hash)
        Sha256Add(&digest->sha, bytes, count);
    return digest->running;
}

int FinishRunningDigest(RunningDigest* digest, char* digest65)
{
    BYTE value[32];
    DWORD length = sizeof value;
    digest65[0] = '\0';
    if (!digest->running)
        return 0;
    digest->running = 0;  // a digest is finished once
    if (!digest->hash)
        Sha256Finish(&digest->sha, value);
    else if (!CryptGetHashParam(digest->hash, HP_HASHVAL, value, &length, 0) || length != sizeof value)
        return 0;
    WriteDigestHex(value, digest65);
    return 1;
}

void EndRunningDigest(RunningDigest* digest)
{
    if (digest->hash)
        CryptDestroyHash(digest->hash);
    if (digest->provider)
        CryptReleaseContext(digest->provider, 0);
    digest->provider = 0;
    digest->hash = 0;
    digest->running = 0;
}

// The whole file through the digest; 0 when a read failed or the hash refused data.
static int FeedFile(RunningDigest* digest, HANDLE file)
{
    static thread_local BYTE chunk[DIGEST_READ_CHUNK];  // one per thread of the download phase
    for (;;) {
        DWORD count = 0;
        if (!Os.ReadFile(file, chunk, sizeof chunk, &count, NULL))
            return 0;
        if (count == 0)
            return 1;
        if (!AddToRunningDigest(digest, chunk, count))
            return 0;
    }
}

int ComputeFileDigest(const char* path, char* digest65)
{
    digest65[0] = '\0';
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    RunningDigest digest;
    int result = StartRunningDigest(&digest) && FeedFile(&digest, file) && FinishRunningDigest(&digest, digest65);
    EndRunningDigest(&digest);
    CloseHandle(file);
    return result;
}
