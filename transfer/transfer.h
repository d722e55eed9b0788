// The transfer room: what crosses the network and lands on disk. Requests
// on WinINet's asynchronous road and their flags; the one read loop (stall
// clock, bounds, size caps, progress) that
// serves whole files, single ranges and manifests alike, each through a sink
// that takes the bytes; retries that resume; a file fetched into its ".tmp",
// judged by its digest and moved into place; the waits for a file another
// program holds; the file digest that judges what arrived. It is the lowest
// room: it calls none of the others (nor ui/ or install/), only shell/ for the
// log, the status board and the platform table. The first half is pure (the
// texts of digests, the names and URLs of what is fetched) and also builds
// natively; the rest needs Windows.
#pragma once
#include <stddef.h>
#include <stdint.h>

// SHA-256 in plain C++, or through the processor's SHA instructions where it
// has them: eight times the CryptoAPI's rate under Wine.
struct Sha256 {
    uint32_t state[8];
    uint64_t length;
    uint8_t block[64];
    size_t buffered;
};

// 1 when the processor's SHA instructions are used, 0 for plain C++; -1
// until the processor is asked. Tests set it to check both ways.
extern int Sha256Instructions;
int Sha256HasInstructions(void);

void Sha256Start(Sha256* sha);
void Sha256Add(Sha256* sha, const void* data, size_t length);
void Sha256Finish(Sha256* sha, uint8_t digest[32]);

// Digest texts compared without regard to case.
int DigestsMatch(const char* expected, const char* obtained);
// 64 hexadecimal characters, either case, at text.
int IsDigestText(const char* text, size_t length);
// 64 hexadecimal characters, either case, as 32 bytes; 0 otherwise.
int ReadDigestHex(const char* text, uint8_t digest[32]);
// 32 bytes as 64 lowercase hexadecimal characters and a terminating zero.
void WriteDigestHex(const uint8_t digest[32], char text[65]);

// "<path>.tmp", the name a file is fetched under; 0 when it would not fit.
int TemporaryNameOf(const char* path, char* temporary, size_t capacity);
// "<path>.blocos", the name a file's chunk index is fetched as (into its
// temporary name, and deleted after use); 0 when it would not fit.
int ChunkIndexNameOf(const char* path, char* name, size_t capacity);
// "<path>.quadros", the same for a file's frame index.
int FrameIndexNameOf(const char* path, char* name, size_t capacity);
// URL_BASE followed by the name, every backslash turned into a slash.
void BuildFileUrl(char* url, size_t capacity, const char* baseUrl, const char* name);
// URL_BASE + folder + the digest in lower case: the entry's immutable copy.
// 0 when the digest is not 64 hexadecimal characters or the URL does not fit.
int BuildObjectUrl(char* url, size_t capacity, const char* baseUrl, const char* folder, const char* digest);

// How long an answer that must arrive whole within withinMs may take once it
// announces its length: a second more per 100 KB announced, so that a long
// manifest asks no more than 100 KB/s of the line.
uint32_t AnswerWithinMs(uint32_t withinMs, uint64_t announced);

// The room that fetching files takes on the disk at its peak, with up to
// inFlight of them fetched at once, started in the order counted. Start from a
// tally zeroed but for inFlight and count every file in that order: its new
// size, the size of the copy it replaces (0: none) and of what its temporary
// file already holds from an earlier run (continued, not fetched again).
static const int FETCH_ROOM_MOST_IN_FLIGHT = 16;
struct FetchRoomTally {
    int64_t grown;  // what the files counted so far add to the disk (less than 0: free)
    uint64_t peak;
    int inFlight;   // files fetched at once, 1 to FETCH_ROOM_MOST_IN_FLIGHT
    uint64_t largestOld[FETCH_ROOM_MOST_IN_FLIGHT - 1];  // of the files counted, largest first
};
void CountFetchRoom(FetchRoomTally* tally, uint64_t newSize, uint64_t oldSize, uint64_t heldSize);

#ifdef _WIN32
#include <stdio.h>
#include <windows.h>
#include <wininet.h>

#include <wincrypt.h>

// SHA-256 of a file as 64 lowercase hexadecimal characters; 1 on success. The
// output is the empty text after any failure.
int ComputeFileDigest(const char* path, char* digest65);
// A digest taken as the bytes go by (a fetched file's, as it is written):
// the processor's instructions, else the CryptoAPI. running is 0 once
// something failed or the digest was finished; finishing then fails. Every
// start is ended by EndRunningDigest, finished or not.
struct RunningDigest {
    HCRYPTPROV provider;  // its own context, when the run holds none
    HCRYPTHASH hash;  // 0: the instructions
    Sha256 sha;
    int running;
};
int StartRunningDigest(RunningDigest* digest);
int AddToRunningDigest(RunningDigest* digest, const void* bytes, DWORD count);
int FinishRunningDigest(RunningDigest* digest, char* digest65);
void EndRunningDigest(RunningDigest* digest);
// The provider's DLL is loaded at every acquire of a context and unloaded at
// every release unless someone else holds it: under Wine that costs about
// 3 ms per file digest. One reference held for the whole process makes it a
// few hundredths of a millisecond; without it only the speed changes. Even
// then acquiring a context costs a registry lookup, about 0.27 ms under Wine
// (more than the digest of a small file): one context is also held for the
// run, on which every digest makes its hash object. Called once at start-up,
// before any other thread; ReleaseRunProvider once they have all ended.
void KeepCryptoProviderLoaded(void);
void ReleaseRunProvider(void);
// A context of the provider that does SHA-256 and RSA, with no key container.
int AcquireShaProvider(HCRYPTPROV* provider);

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
    DWORD slowWindowMs;       // a file (or a range of one) that receives less than
    DWORD slowMinimumBytes;   // this over any stretch that long is stalled too
    DWORD manifestWithinMs;   // the whole manifest, every attempt included, arrives within this
};
extern const TransferPolicyRecord DEFAULT_TRANSFER_POLICY;
extern TransferPolicyRecord TransferPolicy;

// Sets the policy's time-outs on the run's internet handle.
void ApplyTransferTimeouts(HINTERNET internet);

// The run's internet handle, on WinINet's asynchronous road: the thread that
// drives a transfer never waits on the network more than a second at a time.
// NULL on failure (GetLastError says why).
HINTERNET OpenInternet(const char* userAgent);
// MoveFileExA, tried again for about 2 s while another program holds a file
// (a virus scanner looking at what was just written, an indexer, a game left
// running).
int MoveWhenFree(const char* from, const char* to, DWORD flags);
// DeleteFileA, tried again as long as a move while another program holds the file.
int DeleteWhenFree(const char* path);
// 1 once nothing holds the file: it opens without sharing (tried as long as a
// move); 0 when it stays held or cannot be opened.
int WaitUntilFree(const char* path);
// An existing file opened for reading, sharing reads only, tried as long as a
// move while another program holds it. INVALID_HANDLE_VALUE on failure, with
// the error in *error; *held says whether another program held it to the end.
HANDLE OpenForReadingWhenFree(const char* path, DWORD* error, int* held);
// Writes what the system still caches of the file to the disk; 0, with the
// error kept, when it cannot.
int FlushToDisk(const char* path);

// Room for URL_BASE (511 characters) and a name of 259, or an objects folder
// of 200 and a digest.
static const size_t URL_CAPACITY = 1024;

// Which caches may answer a request.
enum CacheUse {
    CACHE_NONE,        // never WinINet's own (a file by its path: the URL's bytes change)
    CACHE_NONE_ASKED,  // and every cache on the way is asked for a fresh copy (the manifest)
    CACHE_ANY          // an immutable object: a proxy or CDN may answer from its cache
};

// Where a fetched body ends up.
enum FilePlacement {
    PLACE_AS_TARGET,
    // Flushed to the disk before it takes the target's name: a file the
    // launcher cannot do without (a new launcher, launcher.cfg), which a power
    // cut must not leave empty under its name. Game files need no flush: the
    // next start judges every one by its digest.
    PLACE_AS_TARGET_DURABLY,
    KEEP_IN_TEMPORARY  // the body stays in "<target>.tmp", for the caller to judge
};

// What names a copy of a URL's answer, as the server gave it (ETag,
// Last-Modified; "" for either that it did not give).
static const size_t VALIDATOR_LONGEST = 255;
struct ValidatorText {
    char etag[VALIDATOR_LONGEST + 1];
    char lastModified[VALIDATOR_LONGEST + 1];
};
// A request that carries held asks whether the copy it names is still the
// server's ("If-None-Match", else "If-Modified-Since"); a 304 answers yes and
// sends no body. Any other answer's own validator lands in answered.
struct HeldCopyValidator {
    ValidatorText held;
    ValidatorText answered;
    int notModified;  // the last answer was 304: nothing was fetched
};

// One file to fetch and where it lands.
struct FileFetch {
    const char* url;
    const char* target;          // where it lands; also the name the detail line shows
    uint64_t expectedSize;       // as listed; 0 when unknown
    const char* expectedDigest;  // NULL or empty: the body is taken as it comes
    uint64_t maxBytes;           // an answer that would make the file larger fails
    FilePlacement placement;
    CacheUse cache;
    const char* fallbackUrl;     // asked once, caches bypassed, when url answers 400 or more
    // NULL, or the copy held (when it names one): the request asks whether it
    // changed, and afterwards this holds what the answer says.
    HeldCopyValidator* validator;
};

// Writes to a file's temporary copy. One that fails is logged ("nao consegui
// gravar %s (%lu)"); one that found the disk full is also counted in
// FullDiskWrites, so that the update run names the disk, not the connection.
int WriteTemporaryBytes(FILE* stream, const char* temporary, const void* bytes, size_t count);
int CloseTemporaryFile(FILE* stream, const char* temporary);
// Logs a failed write or flush of a temporary file, counting a full disk.
void NoteFailedWrite(const char* temporary);
extern volatile LONG FullDiskWrites;
// fopen of a temporary file; when that fails, the folders along its path are
// made and it is tried once more.
FILE* OpenTemporaryFile(const char* temporary, const char* mode);

// Fetches the file into target through target.tmp, verified against the
// digest when one is given; 1 when target (or, kept there, target.tmp) now
// holds the body. A broken transfer is tried twice more; with a digest to
// check, each attempt continues what arrived, and a temporary file left by an
// earlier run is continued too.
int DownloadFile(HINTERNET internet, const FileFetch* fetch);
// The same for an answer that must arrive whole (every attempt included)
// within withinMs, or is not had: the manifest. The slow-file rule does not
// apply to it.
int DownloadFileWithin(HINTERNET internet, const FileFetch* fetch, DWORD withinMs);
// A judged temporary file where the fetch places it (KEEP_IN_TEMPORARY: left
// there; durably: flushed first); 1 when it stands there. On failure the
// temporary file is deleted.
int PlaceFetchedFile(const FileFetch* fetch, const char* temporary);

// What the calling thread's transfers find of their server, from
// StartServerNote on. With another server to go to, a request that gets no
// answer in time is not asked again here (askUnansweredAgain 0): a dead
// server then costs one time-out, not one per attempt.
void StartServerNote(int askUnansweredAgain);
// After a fetch that failed: 1 when its server failed (could not be reached,
// did not answer in time, broke off, answered 5xx); reason says how ("HTTP
// 404" for a refusal that is no failure of the server).
int ServerFailed(char* reason, size_t capacity);

// The detail line of a file being written ("%s  -  %llu of %llu KB", or "%s
// -  %llu KB" when its size is unknown) and the bar, which never goes back:
// *shown is the most this file ever showed.
void ShowFileProgress(const char* target, uint64_t written, uint64_t expectedSize, uint64_t* shown);

// Where the bytes of an answer go as they arrive; take answers 0 to stop.
struct ByteSink {
    int (*take)(void* context, const char* bytes, DWORD count);
    void* context;
};
// Bytes [first, first + length) of url into the sink, in one request with a
// single Range, never read beyond; a broken transfer goes on from where it
// stopped, tried twice more. 1 when every byte arrived. *refusedStatus is set
// when the answer was anything but a 206 that starts at first.
int FetchRange(HINTERNET internet, const char* url, uint64_t first, uint64_t length, const ByteSink* sink,
               DWORD* refusedStatus);

// Inside the room: the road the bytes come by, and the one read loop and the
// retries that files and ranges share.

// One request's answer, read in small steps on WinINet's asynchronous road
// (async_request.cpp); only these steps know WinINet. Each request reports
// through a slot of a table that lasts the process: WinINet may report on a
// request after it was closed.
struct RequestSlot;
struct ByteSource {
    HINTERNET connection;  // of its own: it carries the run's time-outs
    HINTERNET request;
    RequestSlot* slot;
    int readPending;     // a read went to WinINet's thread and has not come back
    int ended;           // the body was read to its end
    ULONGLONG received;  // body bytes handed over so far
    int announced;       // read only when the request is let go before its end:
    ULONGLONG length;    // the answer's Content-Length,
    int chunked;         // or its body comes in chunks
};
// What one read can hand over. Measured under Wine on loopback, this read
// loop alone over 256 MB from nginx with each size: 32 KB moved about
// 500 MB/s, 64 KB 900, 128 KB 1 100, 256 KB 1 500 to 2 100, 512 KB 1 700 to
// 2 000 (update_bench read times the size chosen).
static const DWORD READ_BYTES = 256 * 1024;
// No single wait on WinINet is longer.
static const DWORD LONGEST_WAIT_MS = 1000;
// Requests in use or whose WinINet state outlives them: closed while a read
// was still with WinINet, whose buffer stays WinINet's until WinINet lets go
// of the request (which a silent server can put off until the process ends).
// A process never holds more; a request asked beyond that fails at once. Room
// for the download phase's most files in flight (16) and a few requests given
// up while a read was pending.
static const int REQUEST_SLOTS = 16 + 8;
// Sends a GET (with "Range: bytes=<range>" when range is given) and waits for
// the answer's headers, at most giveUpMs in all. 0 on failure, with the error
// code kept (ERROR_INTERNET_TIMEOUT when the wait ran out) and nothing left
// to close.
int OpenSource(HINTERNET internet, const char* url, CacheUse cache, const char* range,
               const HeldCopyValidator* validator, DWORD giveUpMs, ByteSource* source);
// The same with the request's own flags and extra headers ("" for none).
int SendRequest(HINTERNET internet, const char* url, const char* headers, DWORD flags, DWORD giveUpMs,
                ByteSource* source);
enum ReadStep {
    READ_ARRIVED,      // *count bytes at *bytes, good until the next step
    READ_NOTHING_YET,  // nothing arrived within the wait; the read stays with WinINet
    READ_END,          // the body ended (a server that closes early ends it too)
    READ_FAILED        // the error code is kept
};
// Whatever of the body has arrived, at most READ_BYTES, waiting for it at most
// waitMs: a drip is handed over as it drips.
ReadStep ReadArrived(ByteSource* source, DWORD waitMs, const char** bytes, DWORD* count);
// Lets the request go within milliseconds. An answer left with more than a
// little unread is cut off with its connection and never read further
// (connection_cut.cpp); the connection of one read to its end, or nearly,
// serves the next request.
void CloseSource(ByteSource* source);
// Watches WinINet's reads so that a connection given up can be cut off;
// once a process, before its first request.
void WatchAnswerReads(void);
// The calling thread's reads of WinINet's connections note the connection at
// *socket from now on (NULL: they note nothing).
void NoteConnectionOf(volatile UINT_PTR* socket);
// Between the two, on the thread that closes a request given up, every read
// of that request's connection fails, also a read of socket (0: not known)
// that comes later on WinINet's own threads, until WinINet closes it.
void BeginCutOff(UINT_PTR socket);
void EndCutOff(void);
// How many requests' WinINet state outlives them now.
int RequestsLeftBehind(void);
// A number of the answer's headers (HTTP_QUERY_...), 0 when it has none.
DWORD AnswerNumber(const ByteSource* source, DWORD query);
// The body's length as the answer announces it (Content-Length, 64 bits); 0
// when it announces none.
uint64_t AnswerLength(ByteSource* source);
// "Content-Range: bytes <first>-..." starts at first.
int AnswerStartsAt(const ByteSource* source, uint64_t first);
// The answer to a request that carried the validator: 1 for a 304 (the copy
// held is still the server's); otherwise the validator now names the copy
// being fetched (its ETag and Last-Modified, "" for those it lacks).
int AnswerNotModified(const ByteSource* source, DWORD status, HeldCopyValidator* validator);

enum TransferEnd {
    TRANSFER_COMPLETE,
    TRANSFER_BROKEN,    // cut short or timed out: worth another attempt
    TRANSFER_FAILED,    // no connection, or the bytes could not be taken or would grow too large
    TRANSFER_REFUSED,   // the server refused: 400 or more, or a range answered otherwise
    TRANSFER_UNRESUMED  // the server did not continue where the temporary file ends
};

// One transfer, through every attempt. receive takes each answer: a file's
// goes into its temporary file, a range's into its sink.
struct Transfer {
    const char* url;
    CacheUse cache;
    DWORD status;    // of the last answer
    uint64_t held;      // where the next request starts: bytes already taken
    uint64_t end;       // a range: the byte after its last; 0: the whole answer
    uint64_t maxBytes;  // the most the answer may reach
    const char* resumedName;  // a file that resumes says so under this name; a range goes on silently
    TransferEnd (*receive)(ByteSource* source, Transfer* transfer);
    void* context;   // what receive works with
    DWORD withinMs;  // the manifest: every attempt ends by deadline; 0: the slow-file rule instead
    DWORD deadline;  // started + withinMs, later once the answer announces a long body
    DWORD started;
    HeldCopyValidator* validator;  // NULL, or each request asks whether the copy it names changed
};
// An answer that must arrive within withinMs and announces its length gets
// the time that length needs (AnswerWithinMs), never beyond its cap's.
void AllowForLength(Transfer* transfer, uint64_t announced);

// An answer that would grow beyond the transfer's maxBytes is refused whole
// (a hostile or broken server could otherwise fill the disk): 0, logged.
int FitsCap(const Transfer* transfer, uint64_t have, uint64_t more);
// The one read loop: the body into the sink from *received on, at most up to
// the transfer's end, never beyond its maxBytes, watched for a stall and the
// transfer's deadline. A read that fails, a stall or the deadline is a broken
// transfer, a sink that refuses or an answer beyond the cap a failed one;
// complete when the body or the range ended.
TransferEnd ReadBody(ByteSource* source, const Transfer* transfer, const ByteSink* sink, uint64_t* received);
// A request per attempt, up to two more after a broken one, after pauses;
// none once the transfer's deadline has passed, nor after a request left
// unanswered when the server note says so.
TransferEnd TransferWithRetries(HINTERNET internet, Transfer* transfer);
// The server note's entries (server_note.cpp): a request with no answer
// (unanswered: none in time, else no connection), an answer that ended the
// transfer short of complete, a transfer complete.
void NoteServerUnreached(DWORD error, int unanswered);
void NoteServerAnswer(DWORD status, TransferEnd end);
void ClearServerNote(void);
// Whether a broken transfer is asked again of its server.
int AskAgainHere(void);
#endif
