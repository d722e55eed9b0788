// Benchmarks of the update engine, driven by bench/update_bench.py:
//   update_bench digest FILE          ComputeFileDigest against CryptoAPI fed from memory
//   update_bench check URL            RunUpdate of a current release in the working folder,
//                                     against the digests of the same files alone
//   update_bench download URL NAME    DownloadFile of one file
//   update_bench fetch URL [N [MIRROR]]  RunUpdate that downloads every listed file, N at once
//                                     (with MIRROR: an ESPELHO line)
//   update_bench verify MANIFEST PEM  the check of a signed manifest against one key
//   update_bench scan FILE            the patch's scan of an old copy against ComputeFileDigest
//   update_bench update URL           RunUpdate in the working folder: its time, result and memory
//   update_bench manifest URL         the manifest's fetch as a start makes it: asked whole, then
//                                     asked again with the validator kept (a 304)
//   update_bench read URL async|sync  the bare read loop of one URL, bytes dropped: the asynchronous
//                                     road, or plain synchronous 256 KB reads (unbounded in time)
//   update_bench progress             what a read's progress costs: the detail line and the bar, and the
//                                     stall clock
// Each prints its figures and the process's peak working set. With QRV_BENCH_CRYPTOAPI set,
// every digest goes through the CryptoAPI, as on a processor without SHA instructions.
#include <stdlib.h>
#include <string.h>

#include "bench_support.h"

#include <psapi.h>
#include "install/install.h"
#include "shell/shell.h"
#include "update/update.h"

#include <wincrypt.h>

static void PrintPeakMemory(void)
{
    PROCESS_MEMORY_COUNTERS counters;
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        printf("  peak working set: %.1f MB\n", counters.PeakWorkingSetSize / 1048576.0);
}

static long long FileSize(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return -1;
    return ((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// SHA-256 of `total` bytes fed from one memory block: the rate file reading can approach.
static double HashFromMemory(long long total)
{
    const size_t block = 8 << 20;
    BYTE* bytes = (BYTE*)malloc(block);
    memset(bytes, 0x5A, block);
    HCRYPTPROV provider;
    HCRYPTHASH hash;
    CryptAcquireContextA(&provider, NULL, "Microsoft Enhanced RSA and AES Cryptographic Provider", PROV_RSA_AES,
                         CRYPT_VERIFYCONTEXT);
    CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    double start = SecondsNow();
    for (long long done = 0; done < total; done += block)
        CryptHashData(hash, bytes, (DWORD)(total - done < (long long)block ? total - done : block), 0);
    double seconds = SecondsNow() - start;
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    free(bytes);
    return seconds;
}

static int Digest(const char* path)
{
    long long size = FileSize(path);
    char digest[65];
    double start = SecondsNow();
    if (!ComputeFileDigest(path, digest))
        return 1;
    double fromFile = SecondsNow() - start;
    double fromMemory = HashFromMemory(size);
    double mb = size / 1048576.0;
    printf("digest of %.0f MB: %s\n", mb, digest);
    printf("  ComputeFileDigest:        %7.1f MB/s\n", mb / fromFile);
    printf("  CryptoAPI from memory:    %7.1f MB/s\n", mb / fromMemory);
    printf("  ratio file / memory:      %7.2f\n", fromMemory / fromFile);
    return 0;
}

static Manifest Listed;

// One update run against url in the working folder; *seconds is its wall time,
// and Listed holds the manifest it fetched.
static int TimedUpdateRun(const char* url, double* seconds)
{
    snprintf(LauncherConfig.baseUrl, sizeof LauncherConfig.baseUrl, "%s", url);
    ResetStatusBoard();
    double start = SecondsNow();
    int result = RunUpdate();
    *seconds = SecondsNow() - start;
    ParseManifest(LauncherConfig.manifestName, &Listed);
    return result;
}

static long long ListedBytes(void)
{
    long long bytes = 0;
    for (int i = 0; i < Listed.count; i++)
        bytes += Listed.entries[i].size;
    return bytes;
}

static int Check(const char* url)
{
    double run;
    int result = TimedUpdateRun(url, &run);
    double digests = 0;
    long long bytes = ListedBytes();
    char digest[65];
    for (int i = 0; i < Listed.count; i++) {
        double one = SecondsNow();
        ComputeFileDigest(Listed.entries[i].path, digest);
        digests += SecondsNow() - one;
    }
    printf("check of %d current files, %.0f MB: result %d, \"%s\"\n", Listed.count, bytes / 1048576.0, result,
           StatusBoard.status);
    printf("  RunUpdate:                %7.2f s\n", run);
    printf("  digests of the same files:%7.2f s\n", digests);
    printf("  overhead of the run:      %7.1f %%\n", (run - digests) / digests * 100);
    PrintPeakMemory();
    return 0;
}

static int Download(const char* url, const char* name)
{
    HINTERNET internet = OpenInternet(USER_AGENT);
    char full[1024];
    snprintf(full, sizeof full, "%s%s", url, name);
    ResetStatusBoard();
    double start = SecondsNow();
    FileFetch fetch = {full, name, 0, NULL, 0xFFFFFFFFu, PLACE_AS_TARGET, CACHE_NONE, NULL, NULL};
    int ok = DownloadFile(internet, &fetch);
    double seconds = SecondsNow() - start;
    InternetCloseHandle(internet);
    double mb = FileSize(name) / 1048576.0;
    printf("download of %s (%.0f MB): %s, %.2f s, %.1f MB/s\n", name, mb, ok ? "ok" : "FAILED", seconds,
           mb / seconds);
    PrintPeakMemory();
    return ok ? 0 : 1;
}

static int Fetch(const char* url, int connections, const char* mirror)
{
    LauncherConfig.connections = connections;
    LauncherConfig.mirrorCount = mirror ? 1 : 0;
    if (mirror)
        snprintf(LauncherConfig.mirrors[0], sizeof LauncherConfig.mirrors[0], "%s", mirror);
    double seconds;
    int result = TimedUpdateRun(url, &seconds);
    long long bytes = ListedBytes();
    printf("fetch of %d files, %.1f MB, CONEXOES %d: result %d, %.2f s, %.0f files/s, %.1f MB/s\n", Listed.count,
           bytes / 1048576.0, connections, result, seconds, Listed.count / seconds, bytes / 1048576.0 / seconds);
    PrintPeakMemory();
    return result == 1 ? 0 : 1;
}

// The signature, serial and expiry check of a signed manifest, as a run with
// keys makes it before it parses the manifest.
static int Verify(const char* manifest, const char* keyFile)
{
    static char pem[4096];
    FILE* file = fopen(keyFile, "rb");
    size_t length = file ? fread(pem, 1, sizeof pem - 1, file) : 0;
    if (file)
        fclose(file);
    pem[length] = '\0';
    const char* pems[] = {pem};
    ManifestKeys = ManifestKeyList{pems, 1};
    const int runs = 50;
    int accepted = 0;
    AcceptedRelease floor = {0, 0};
    AcceptedRelease release;
    const char* lastBackslash = strrchr(manifest, '\\');
    const char* name = lastBackslash ? lastBackslash + 1 : manifest;
    double start = SecondsNow();
    for (int i = 0; i < runs; i++) {
        FILE* opened = fopen(manifest, "rb");
        accepted += opened && JudgeManifest(opened, name, &floor, &release);
        if (opened)
            fclose(opened);
    }
    double each = (SecondsNow() - start) / runs;
    printf("signed-manifest check of %s (%.0f KB): %d of %d accepted, %.2f ms each\n", manifest,
           FileSize(manifest) / 1024.0, accepted, runs, each * 1000);
    return accepted == runs ? 0 : 1;
}

static void CountChunk(void* context, const uint8_t* digest, uint32_t length, uint64_t offset)
{
    (void)digest;
    (void)length;
    (void)offset;
    (*(uint32_t*)context)++;
}

// What a patch reads of the old copy before it fetches anything: the file cut
// into chunks and each hashed, beside the digest of the same file.
static int Scan(const char* path)
{
    double mb = FileSize(path) / 1048576.0;
    char digest[65];
    double start = SecondsNow();
    ComputeFileDigest(path, digest);
    double digestSeconds = SecondsNow() - start;
    HCRYPTPROV provider;
    AcquireShaProvider(&provider);
    FILE* file = fopen(path, "rb");
    uint32_t chunks = 0;
    start = SecondsNow();
    int scanned = file && DigestChunksOfFile(file, provider, CountChunk, &chunks);
    double scanSeconds = SecondsNow() - start;
    if (file)
        fclose(file);
    CryptReleaseContext(provider, 0);
    printf("scan of %.0f MB: %u chunks\n", mb, chunks);
    printf("  old-copy scan:            %7.1f MB/s\n", mb / scanSeconds);
    printf("  ComputeFileDigest:        %7.1f MB/s\n", mb / digestSeconds);
    printf("  ratio scan / digest:      %7.2f\n", digestSeconds / scanSeconds);
    return scanned ? 0 : 1;
}

static int Update(const char* url)
{
    double seconds;
    int result = TimedUpdateRun(url, &seconds);
    printf("update run: result %d, \"%s\", %.2f s\n", result, StatusBoard.status, seconds);
    PrintPeakMemory();
    return result == 1 ? 0 : 1;
}

static int ManifestFetches(const char* url)
{
    char full[URL_CAPACITY];
    BuildFileUrl(full, sizeof full, url, LauncherConfig.manifestName);
    ResetStatusBoard();
    HINTERNET internet = OpenInternet(USER_AGENT);
    ForgetHeldValidator(LauncherConfig.manifestName);
    int failed = !internet;
    const char* const ways[] = {"whole", "revalidated"};
    for (const char* way : ways) {
        int frozenSince = 0;
        double start = SecondsNow();
        ManifestOutcome outcome = internet ? FetchManifest(internet, full, &Listed, &frozenSince) : MANIFEST_UNAVAILABLE;
        printf("  manifest %-12s%7.3f s, %d files\n", way, SecondsNow() - start, Listed.count);
        failed |= outcome != MANIFEST_ACCEPTED;
    }
    if (internet)
        InternetCloseHandle(internet);
    return failed;
}

// The road every transfer reads by, without the read loop's work.
static long long ReadAsynchronously(const char* url, long long* reads)
{
    HINTERNET internet = OpenInternet(USER_AGENT);
    ByteSource source;
    long long total = 0;
    if (internet && OpenSource(internet, url, CACHE_NONE, NULL, NULL, 60000, &source)) {
        const char* bytes;
        DWORD count;
        for (ReadStep step; (step = ReadArrived(&source, LONGEST_WAIT_MS, &bytes, &count)) == READ_ARRIVED ||
                            step == READ_NOTHING_YET;) {
            total += count;
            *reads += 1;
        }
        CloseSource(&source);
    }
    if (internet)
        InternetCloseHandle(internet);
    return total;
}

// Plain synchronous 256 KB reads: each waits until its buffer is full.
static long long ReadSynchronously(const char* url, long long* reads)
{
    static char chunk[256 * 1024];
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
    HINTERNET internet = InternetOpenA(USER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    HINTERNET request = InternetOpenUrlA(internet, url, NULL, 0, flags, 0);
    long long total = 0;
    DWORD count;
    while (request && InternetReadFile(request, chunk, sizeof chunk, &count) && count > 0) {
        total += count;
        *reads += 1;
    }
    if (request)
        InternetCloseHandle(request);
    InternetCloseHandle(internet);
    return total;
}

static int ReadLoop(const char* url, const char* road)
{
    int async = strcmp(road, "async") == 0;
    long long reads = 0;
    double start = SecondsNow();
    long long total = async ? ReadAsynchronously(url, &reads) : ReadSynchronously(url, &reads);
    double seconds = SecondsNow() - start;
    double mb = total / 1048576.0;
    printf("%s read loop of %.0f MB: %.2f s, %.1f MB/s, %lld reads\n", async ? "asynchronous" : "synchronous 256 KB",
           mb, seconds, mb / seconds, reads);
    PrintPeakMemory();
    return total > 0 ? 0 : 1;
}

// The work each read of a download does beside the read and the write.
static int Progress(void)
{
    const int calls = 200000;
    ResetStatusBoard();
    BytesToFetch = 1e12;
    uint64_t shown = 0;
    double start = SecondsNow();
    for (int i = 0; i < calls; i++)
        ShowFileProgress("data\\ost_fell_textures.pack", (uint64_t)i * 4096, 0xF0000000u, &shown);
    double progress = (SecondsNow() - start) / calls;
    volatile DWORD sink = 0;
    start = SecondsNow();
    for (int i = 0; i < calls; i++)
        sink += GetTickCount();
    double clock = (SecondsNow() - start) / calls;
    printf("per read: detail line and bar %.2f us, stall clock %.3f us\n", progress * 1e6, clock * 1e6);
    return 0;
}

int main(int argc, char** argv)
{
    if (getenv("QRV_BENCH_CRYPTOAPI"))
        Sha256Instructions = 0;  // digests through the CryptoAPI, as on a processor without SHA instructions
    KeepCryptoProviderLoaded();  // as launcher.exe does before its update
    if (argc == 3 && strcmp(argv[1], "digest") == 0)
        return Digest(argv[2]);
    if (argc == 3 && strcmp(argv[1], "check") == 0)
        return Check(argv[2]);
    if (argc == 4 && strcmp(argv[1], "download") == 0)
        return Download(argv[2], argv[3]);
    if (argc >= 3 && argc <= 5 && strcmp(argv[1], "fetch") == 0)
        return Fetch(argv[2], argc >= 4 ? atoi(argv[3]) : DEFAULT_CONNECTIONS, argc == 5 ? argv[4] : NULL);
    if (argc == 4 && strcmp(argv[1], "verify") == 0)
        return Verify(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "scan") == 0)
        return Scan(argv[2]);
    if (argc == 3 && strcmp(argv[1], "update") == 0)
        return Update(argv[2]);
    if (argc == 3 && strcmp(argv[1], "manifest") == 0)
        return ManifestFetches(argv[2]);
    if (argc == 4 && strcmp(argv[1], "read") == 0)
        return ReadLoop(argv[2], argv[3]);
    if (argc == 2 && strcmp(argv[1], "progress") == 0)
        return Progress();
    fprintf(stderr, "usage: update_bench digest FILE | check URL | download URL NAME | fetch URL [N [MIRROR]] | verify MANIFEST PEM"
                    " | scan FILE | update URL | manifest URL | read URL async|sync | progress\n");
    return 2;
}
