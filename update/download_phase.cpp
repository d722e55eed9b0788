// The download phase: the files to fetch, up to CONEXOES at once, each on a
// thread of its own that runs the whole road of one file (its source, the
// patch road, retries that resume, the digest, the replacement). What a file
// writes reaches the log and the player in its turn, in manifest order, as
// when one file was fetched at a time; the run's own thread fetches too.
#include <string.h>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "update/download_turns.h"
#include "update/update.h"

// Shared by the phase's threads, under its lock.
struct DownloadPhaseRecord {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE fileEnded;  // a turn may have passed, a file may start
    DownloadTurns turns;
    const Manifest* manifest;
    int nextEntry;  // the search for the next entry to fetch goes on from here
    const ManifestEntry* inFlight[MOST_CONNECTIONS];  // per thread of the phase
    HINTERNET internet;
    const char* objectsFolder;
};

static DownloadPhaseRecord Phase;  // one phase per process; large: the held lines of files ahead

static void AnnounceTurn(void* context, int ordinal, int total)
{
    (void)context;
    SetStatusLine("Downloading %d of %d...", ordinal, total);
}

static void WriteTurnLine(void* context, const char* text)
{
    (void)context;
    LogLine("%s", text);
}

static void ShowTurnDetail(void* context, const char* text)
{
    (void)context;
    SetDetailLine("%s", text);
}

static void ShowTurnProgress(void* context, float fraction)
{
    (void)context;
    SetProgress(fraction);
}

static const TurnOutput TURN_OUTPUT = {AnnounceTurn, WriteTurnLine, ShowTurnDetail, ShowTurnProgress, NULL};

// A file ahead whose held lines are full waits for its turn.
static void HoldLine(void* context, const char* text)
{
    int file = *(const int*)context;
    EnterCriticalSection(&Phase.lock);
    while (!PassLine(&Phase.turns, file, text))
        SleepConditionVariableCS(&Phase.fileEnded, &Phase.lock, INFINITE);
    LeaveCriticalSection(&Phase.lock);
}

static void HoldDetail(void* context, const char* text)
{
    EnterCriticalSection(&Phase.lock);
    PassDetail(&Phase.turns, *(const int*)context, text);
    LeaveCriticalSection(&Phase.lock);
}

static void CountReceived(void* context, double bytes)
{
    EnterCriticalSection(&Phase.lock);
    PassReceived(&Phase.turns, *(const int*)context, bytes);
    LeaveCriticalSection(&Phase.lock);
}

// A changed file whose old copy is there, with a chunk index beside its
// object, rebuilt from that copy (with its frames, when it has them).
static PatchOutcome Patched(const ManifestEntry* entry, const char* digest, const char* baseUrl)
{
    const IndexListing* index = ChunkIndexOf(Phase.manifest, entry);
    if (!Phase.objectsFolder || !index || GetFileAttributesA(entry->path) == INVALID_FILE_ATTRIBUTES)
        return PATCH_NOT_MADE;
    const IndexListing* frames = FrameIndexOf(Phase.manifest, entry);
    char indexDigest[65], framesDigest[65];
    WriteDigestHex(index->digest, indexDigest);
    if (frames)
        WriteDigestHex(frames->digest, framesDigest);
    PatchTarget file = {entry->path, entry->size, digest, indexDigest, index->size, baseUrl,
                        Phase.objectsFolder, frames ? framesDigest : NULL, frames ? frames->size : 0};
    return PatchFile(Phase.internet, &file);
}

// A file with a compressed form beside its object (a frame index, or one
// frame named directly), fetched as its compressed object.
static CompressedOutcome Compressed(const ManifestEntry* entry, const FileFetch* fetch, const char* baseUrl)
{
    const IndexListing* frames = FrameIndexOf(Phase.manifest, entry);
    const IndexListing* oneFrame = OneFrameOf(Phase.manifest, entry);
    if (!Phase.objectsFolder || (!frames && !oneFrame))
        return COMPRESSED_NOT_TAKEN;
    return frames ? FetchCompressed(Phase.internet, fetch, frames, baseUrl, Phase.objectsFolder)
                  : FetchOneFrame(Phase.internet, fetch, oneFrame, baseUrl, Phase.objectsFolder);
}

// The whole road of one file from one server; 1 when it stands in place.
static int FetchEntryFrom(const ManifestEntry* entry, const char* baseUrl)
{
    char pathUrl[URL_CAPACITY];
    char objectUrl[URL_CAPACITY];
    char digest[65];
    WriteDigestHex(entry->digest, digest);
    // An empty launcher.cfg after a power cut would have no URL_BASE: no update ever again.
    FilePlacement placement =
        NamesLauncherFile(entry->path, CONFIG_FILE_NAME) ? PLACE_AS_TARGET_DURABLY : PLACE_AS_TARGET;
    FileFetch fetch = {NULL,      entry->path, entry->size, digest, AnswerLimitForListedSize(entry->size),
                       placement, CACHE_NONE,  NULL,        NULL};  // the source is chosen next
    ChooseFileSource(&fetch, pathUrl, objectUrl, baseUrl, entry->path, digest, Phase.objectsFolder);
    PatchOutcome patched = Patched(entry, digest, baseUrl);
    if (patched != PATCH_NOT_MADE)
        return patched == PATCH_MADE;
    CompressedOutcome compressed = Compressed(entry, &fetch, baseUrl);
    return compressed == COMPRESSED_PLACED || (compressed == COMPRESSED_NOT_TAKEN && DownloadFile(Phase.internet, &fetch));
}

// The whole road of one file, from each server in turn.
static int FetchEntry(const ManifestEntry* entry)
{
    if (FetchFromServers(entry, FetchEntryFrom))
        return 1;
    LogLine("falhou: %s", entry->path);
    return 0;
}

// The same file under two entries: fetched at once, both would write its
// temporary file.
static int FileInFlight(const ManifestEntry* entry)
{
    for (const ManifestEntry* fetching : Phase.inFlight) {
        if (fetching && NameSameFile(fetching->path, entry->path))
            return 1;
    }
    return 0;
}

static const ManifestEntry* NextEntryToFetch(void)
{
    while (Phase.manifest->entries[Phase.nextEntry].state != ENTRY_TO_FETCH)
        Phase.nextEntry++;
    return &Phase.manifest->entries[Phase.nextEntry];
}

// The next file in manifest order for the phase's thread number, once it may
// start: not too far ahead of the turn, and its file not being fetched for
// another entry. NULL when every file was handed out.
static const ManifestEntry* TakeNextEntry(int number, int* file)
{
    const ManifestEntry* entry = NULL;
    EnterCriticalSection(&Phase.lock);
    for (;;) {
        *file = NextFileToTake(&Phase.turns);
        if (*file == TURN_NONE_LEFT)
            break;
        if (*file != TURN_WAIT && !FileInFlight(NextEntryToFetch())) {
            entry = NextEntryToFetch();
            Phase.nextEntry++;
            Phase.inFlight[number] = entry;
            TakeFile(&Phase.turns, *file, (double)entry->size);
            break;
        }
        SleepConditionVariableCS(&Phase.fileEnded, &Phase.lock, INFINITE);
    }
    LeaveCriticalSection(&Phase.lock);
    return entry;
}

static void EndFile(int number, int file, int fetched)
{
    EnterCriticalSection(&Phase.lock);
    Phase.inFlight[number] = NULL;
    FinishFile(&Phase.turns, file, fetched);
    WakeAllConditionVariable(&Phase.fileEnded);
    LeaveCriticalSection(&Phase.lock);
}

// One thread of the phase: files one after the other until none is left.
static DWORD WINAPI FetchInTurns(LPVOID parameter)
{
    int number = (int)(INT_PTR)parameter;
    int file;
    const ManifestEntry* entry;
    while ((entry = TakeNextEntry(number, &file)) != NULL) {
        BoardCapture capture = {HoldLine, HoldDetail, CountReceived, &file};
        CaptureThreadBoard(&capture);
        int fetched = FetchEntry(entry);
        CaptureThreadBoard(NULL);
        EndFile(number, file, fetched);
    }
    return 0;
}

// Threads 1 to count; fewer when the system refuses one (the rest still
// fetch). Answers how many started.
static int StartHelpers(HANDLE* helpers, int count)
{
    for (int number = 1; number <= count; number++) {
        helpers[number - 1] = Os.CreateThread(NULL, 0, FetchInTurns, (LPVOID)(INT_PTR)number, 0, NULL);
        if (!helpers[number - 1]) {
            LogLine("CreateThread falhou (%lu); baixo %d arquivo(s) por vez", GetLastError(), number);
            return number - 1;
        }
    }
    return count;
}

int FetchFilesInTurns(HINTERNET internet, const Manifest* manifest, int toFetch, const char* objectsFolder,
                      int connections)
{
    InitializeCriticalSection(&Phase.lock);
    InitializeConditionVariable(&Phase.fileEnded);
    Phase.manifest = manifest;
    Phase.nextEntry = 0;
    Phase.internet = internet;
    Phase.objectsFolder = objectsFolder;
    ZeroMemory(Phase.inFlight, sizeof Phase.inFlight);
    HANDLE helpers[MOST_CONNECTIONS];
    int threads = connections < toFetch ? connections : toFetch;
    EnterCriticalSection(&Phase.lock);  // the helpers take files once the first turn is announced
    int started = StartHelpers(helpers, threads - 1);
    StartTurns(&Phase.turns, toFetch, BytesToFetch, connections, &TURN_OUTPUT);
    LeaveCriticalSection(&Phase.lock);
    FetchInTurns((LPVOID)0);
    if (started > 0)
        WaitForMultipleObjects((DWORD)started, helpers, TRUE, INFINITE);
    for (int i = 0; i < started; i++)
        CloseHandle(helpers[i]);
    DeleteCriticalSection(&Phase.lock);
    BytesHandled += Phase.turns.handled;
    return Phase.turns.failures;
}
