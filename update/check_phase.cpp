// The check phase: every listed file hashed against its digest, on up to one
// thread per processor, each file read once. The run's own thread shows the
// files in manifest order, as one file at a time would: the detail line names
// the file whose turn it is, the bar moves by the files before it, and the
// lines of refused entries are logged in their place. A large file holds back
// only what is shown, never the other threads.
#include <string.h>

#include "shell/platform.h"
#include "shell/shell.h"
#include "update/update.h"

static const int MOST_CHECK_THREADS = 16;

// Shared by the phase's threads, under its lock.
struct CheckPhaseRecord {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE fileJudged;
    Manifest* manifest;
    const char* ownName;
    int next;  // the next entry a thread takes
};

static CheckPhaseRecord Check;  // one phase per process

// Entries the phase hashes: the others were settled before it (refused, or
// the same file as an earlier entry), and the running launcher's own is the
// self-replacement's.
static int IsChecked(const ManifestEntry* entry)
{
    return entry->state != ENTRY_REFUSED && entry->state != ENTRY_SAME_FILE && !IsOwnEntry(entry, Check.ownName);
}

static int IsToHash(const ManifestEntry* entry)
{
    return entry->state == ENTRY_UNCHECKED && IsChecked(entry);
}

static EntryState Judge(const ManifestEntry* entry)
{
    char digest[65];
    uint8_t obtained[32];
    if (ComputeFileDigest(entry->path, digest) && ReadDigestHex(digest, obtained) &&
        memcmp(obtained, entry->digest, sizeof obtained) == 0)
        return ENTRY_CURRENT;
    return ENTRY_TO_FETCH;
}

// Takes the next entry to hash, hashes it, and says so; until none is left.
static DWORD WINAPI HashInOrder(LPVOID parameter)
{
    (void)parameter;
    EnterCriticalSection(&Check.lock);
    for (;;) {
        while (Check.next < Check.manifest->count && !IsToHash(&Check.manifest->entries[Check.next]))
            Check.next++;
        if (Check.next >= Check.manifest->count)
            break;
        ManifestEntry* entry = &Check.manifest->entries[Check.next++];
        LeaveCriticalSection(&Check.lock);
        EntryState state = Judge(entry);
        EnterCriticalSection(&Check.lock);
        entry->state = state;
        WakeAllConditionVariable(&Check.fileJudged);
    }
    LeaveCriticalSection(&Check.lock);
    return 0;
}

static int ProcessorCount(void)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    int count = (int)system.dwNumberOfProcessors;
    return count < 1 ? 1 : count > MOST_CHECK_THREADS ? MOST_CHECK_THREADS : count;
}

// Refuses what can never be written or checked, logged in manifest order
// before any file is read: the lines are the same as one file at a time gave.
static int RefuseUncheckable(Manifest* manifest, const char* ownName)
{
    int failures = 0;
    for (int i = 0; i < manifest->count; i++) {
        ManifestEntry* entry = &manifest->entries[i];
        if (entry->state != ENTRY_UNCHECKED || IsOwnEntry(entry, ownName))
            continue;
        if (!IsSafeManifestPath(entry->path) || NamesLauncherFile(entry->path, SERIAL_FILE_NAME)) {
            LogLine("caminho inseguro recusado: %s", entry->path);
            entry->state = ENTRY_REFUSED;
            failures++;
        } else if (!entry->digestRead) {
            LogLine("hash ilegivel no manifesto: %s", entry->path);
            entry->state = ENTRY_REFUSED;
            failures++;
        }
    }
    return failures;
}

// Shows each entry to hash in its turn and waits for its verdict; answers
// how many are to fetch.
static int ShowInOrder(Manifest* manifest)
{
    int toFetch = 0;
    EnterCriticalSection(&Check.lock);
    for (int i = 0; i < manifest->count; i++) {
        ManifestEntry* entry = &manifest->entries[i];
        if (!IsChecked(entry))
            continue;
        SetDetailLine("%s", entry->path);
        SetProgress((float)i * 0.25f / (float)manifest->count);  // the check owns the first quarter
        while (entry->state == ENTRY_UNCHECKED)
            SleepConditionVariableCS(&Check.fileJudged, &Check.lock, INFINITE);
        if (entry->state == ENTRY_TO_FETCH) {
            toFetch++;
            BytesToFetch += (double)entry->size;
        }
    }
    LeaveCriticalSection(&Check.lock);
    return toFetch;
}

int CheckFiles(Manifest* manifest, const char* ownName, int* failures)
{
    *failures += RefuseUncheckable(manifest, ownName);
    InitializeCriticalSection(&Check.lock);
    InitializeConditionVariable(&Check.fileJudged);
    Check.manifest = manifest;
    Check.ownName = ownName;
    Check.next = 0;
    HANDLE threads[MOST_CHECK_THREADS];
    int started = 0;
    for (int wanted = ProcessorCount(); started < wanted; started++) {
        threads[started] = Os.CreateThread(NULL, 0, HashInOrder, NULL, 0, NULL);
        if (!threads[started])
            break;
    }
    if (started == 0)
        HashInOrder(NULL);  // no thread of its own: the run's thread hashes, one file at a time
    int toFetch = ShowInOrder(manifest);
    if (started > 0)
        WaitForMultipleObjects((DWORD)started, threads, TRUE, INFINITE);
    for (int i = 0; i < started; i++)
        CloseHandle(threads[i]);
    DeleteCriticalSection(&Check.lock);
    return toFetch;
}
