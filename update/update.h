// The update engine: brings the game folder into line with the distribution
// server (manifest, digests, verified downloads, self-replacement) and decides
// whether the game may start.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <wincrypt.h>

#include "update/manifest.h"

extern const char USER_AGENT[];  // "QRV-Launcher/1.0"

// SHA-256 of a file as 64 lowercase hexadecimal characters; 1 on success. The
// output is the empty text after any failure.
int ComputeFileDigest(const char* path, char* digest65);
// The provider's DLL is loaded at every acquire of a context and unloaded at
// every release unless someone else holds it: under Wine that costs about
// 3 ms per file digest. One reference held for the whole process makes it a
// few hundredths of a millisecond; without it only the speed changes. Called
// once at start-up, before the update.
void KeepCryptoProviderLoaded(void);
// A context of the provider that does SHA-256 and RSA, with no key container.
int AcquireShaProvider(HCRYPTPROV* provider);

// The public keys (PEM, "BEGIN PUBLIC KEY", RSA) that manifests must be signed
// with. None: manifests are taken as they come, unsigned, as they always were.
struct ManifestKeyList {
    const char* const* pems;
    int count;
};
extern ManifestKeyList ManifestKeys;  // the launcher starts with BUILT_IN_MANIFEST_KEYS
extern const ManifestKeyList BUILT_IN_MANIFEST_KEYS;  // generated from QRV_MANIFEST_KEYS
extern const char SERIAL_FILE_NAME[];  // "launcher.serie": one copy of the serial floor

// Today's date in UTC, as yyyymmdd.
int TodayUtc(void);

// With keys: 1 when the manifest (an open file, read from its first byte) is
// signed by one of them, names itself askedName, is no older than the floor
// and has not expired; *accepted then holds its serial and expiry. 0 after
// logging why it was refused. Records nothing.
int JudgeManifest(FILE* manifest, const char* askedName, const AcceptedRelease* floor, AcceptedRelease* accepted);

// The floor of the release last accepted, from the higher readable of its two
// copies (serial 0 when there is none yet); a missing, damaged or lower copy
// is rewritten from it. 0, logged, when a copy exists but none can be read.
int ReadSerialFloor(AcceptedRelease* floor);
// Both copies hold the accepted release afterwards (a copy is never lowered).
void RaiseSerialFloor(const AcceptedRelease* accepted);
// The uninstall's part: the registry copy of this game folder goes.
void ForgetSerialFloor(void);

// The manifest that the run goes by. It is fetched under its temporary name,
// judged and parsed from that same open file, and moved over the local copy
// only once it is accepted, so the local copy is always the last manifest
// accepted.
enum ManifestOutcome {
    MANIFEST_ACCEPTED,
    MANIFEST_UNAVAILABLE,  // not fetched: the reason is in the log
    MANIFEST_REFUSED,      // not what the studio published (signature, name, serial, expiry)
    MANIFEST_EMPTY         // no valid file line
};
// *frozenSince: when no manifest was accepted and the EXPIRA of the last one
// accepted has passed, that date (yyyymmdd); else 0.
ManifestOutcome FetchManifest(HINTERNET internet, const char* url, Manifest* manifest, int* frozenSince);

// Creates every folder along a relative path, not its last component.
void MakeParentDirectories(const char* path);

// How long a transfer waits and how it is tried again. The launcher keeps
// DEFAULT_TRANSFER_POLICY (the time-outs Windows uses by default; pauses of 1 s
// and 3 s before the two further attempts); tests may shorten them.
struct TransferPolicyRecord {
    DWORD connectTimeoutMs;
    DWORD sendTimeoutMs;
    DWORD receiveTimeoutMs;
    DWORD stallWindowMs;      // a transfer that receives less than
    DWORD stallMinimumBytes;  // this over a stretch that long is stalled
    DWORD retryPausesMs[2];
};
extern const TransferPolicyRecord DEFAULT_TRANSFER_POLICY;
extern TransferPolicyRecord TransferPolicy;

// Sets the policy's time-outs on the run's internet handle.
void ApplyTransferTimeouts(HINTERNET internet);

// A file that another program holds open (a virus scanner looking at what was
// just written, an indexer, a game left running) is tried again for about 2 s.
static const int MOVE_ATTEMPTS = 10;
static const DWORD MOVE_PAUSE_MS = 200;
// The errors of a file that another program holds.
int IsHeldByAnotherProgram(DWORD error);
// MoveFileExA, tried again while another program holds a file.
int MoveWhenFree(const char* from, const char* to, DWORD flags);

// Room for URL_BASE (511 characters) and a name of 259, or an objects folder
// of 200 and a digest.
static const size_t URL_CAPACITY = 1024;

// Which caches may answer a request.
enum CacheUse {
    CACHE_NONE,        // never WinINet's own (a file by its path: the URL's bytes change)
    CACHE_NONE_ASKED,  // and every cache on the way is asked for a fresh copy (the manifest)
    CACHE_ANY          // an immutable object: a proxy or CDN may answer from its cache
};

// One file to fetch and where it lands.
struct FileFetch {
    const char* url;
    const char* target;          // where it lands; also the name the detail line shows
    uint32_t expectedSize;       // as listed; 0 when unknown
    const char* expectedDigest;  // NULL or empty: the body is taken as it comes
    DWORD maxBytes;              // an answer that would make the file larger fails
    int keepInTemporary;         // the body stays in "<target>.tmp", for the caller to judge
    CacheUse cache;
    const char* fallbackUrl;     // asked once, caches bypassed, when url answers 400 or more
};

// Where a listed file comes from: its immutable object under the manifest's
// objects folder when there is one (its path URL then the fallback), else its
// path URL. Both buffers hold URL_CAPACITY bytes.
void ChooseFileSource(FileFetch* fetch, char* pathUrl, char* objectUrl, const char* name, const char* digest,
                      const char* objectsFolder);

// Fetches the file into target through target.tmp, verified against the
// digest when one is given; 1 when target (or, kept there, target.tmp) now
// holds the body. A broken transfer is tried twice more; with a digest to
// check, each attempt continues what arrived, and a temporary file left by an
// earlier run is continued too.
int DownloadFile(HINTERNET internet, const FileFetch* fetch);

// The detail line of a file being written ("%s  -  %lu of %lu KB", or "%s  -
// %lu KB" when its size is unknown) and the bar, which never goes back:
// *shown is the most this file ever showed.
void ShowFileProgress(const char* target, DWORD written, uint32_t expectedSize, DWORD* shown);

// Where the bytes of a range go as they arrive; take answers 0 to stop.
struct RangeSink {
    int (*take)(void* context, const char* bytes, DWORD count);
    void* context;
};
// Bytes [first, first + length) of url into the sink, in one request with a
// single Range, never read beyond; a broken transfer goes on from where it
// stopped, tried twice more. 1 when every byte arrived. *refusedStatus is set
// when the answer was anything but a 206 that starts at first.
int FetchRange(HINTERNET internet, const char* url, DWORD first, DWORD length, const RangeSink* sink,
               DWORD* refusedStatus);

// Cuts the file as the publisher's helper does and hands each chunk's SHA-256
// (through the provider), length and offset to visit; 0 when a read or a
// digest failed.
typedef void (*ChunkVisitor)(void* context, const uint8_t digest[32], uint32_t length, uint64_t offset);
int DigestChunksOfFile(FILE* file, HCRYPTPROV provider, ChunkVisitor visit, void* context);

// A changed file rebuilt from its old copy: the chunks the old copy holds are
// copied, the others fetched by single ranges of its object, every piece
// checked, the whole file judged by its digest before it replaces the old one.
// 1 when it did; 0 when the file is to be fetched whole instead (the reason
// is logged: that is no failure).
int PatchFile(HINTERNET internet, const ManifestEntry* entry, const char* objectsFolder);

// 1 when a new launcher stands under ownName and has been started; it comes
// from the objects folder when the manifest names one (NULL: by its path).
int ReplaceLauncher(HINTERNET internet, const char* ownName, const char* expectedDigest, const char* objectsFolder);

// The download phase: every entry marked to fetch, up to connections files at
// once, each through its whole road; answers how many failed. The status
// line, the detail line and the log go in manifest order, as one file at a
// time would have them.
int FetchFilesInTurns(HINTERNET internet, const Manifest* manifest, int toFetch, const char* objectsFolder,
                      int connections);
// WinINet's limit of connections to one server, raised to connections when it
// is lower. WinINet takes it for the whole process only (the NULL handle).
void AllowConnectionsPerServer(int connections);

// 1: the game may start; 0: it must not (the failure text says why);
// -1: the launcher replaced itself and started its new copy.
int RunUpdate(void);
