// The retention sweep of AppDir\reports: an age pass, and when more than 100
// recent reports remain, a rank pass into a static table and an excess pass.
// Nothing but plain files with exact report names is ever deleted; nothing is
// created; nothing is allocated on the heap.
#include <string.h>

#include "retention/retention.h"
#include "shell/shell.h"

int DR_RemovedByAge;
int DR_RemovedByExcess;
int DR_RemoveFailures;

void (*DR_SweepUnderTest)(const char* base) = DR_SweepReports;

static const ULONGLONG DR_MAX_AGE_UNITS = 0x00001792F8648000ULL;  // 30 days in 100-ns units
static const char REPORTS_FOLDER[] = "reports";
static const char REPORT_PATTERN[] = "disconnect-*.txt";

// The 100 newest recent reports, newest first.
static struct {
    DR_ReportEntry slots[DR_MAX_REPORTS];
    int count;
} DR_NewestReports;

static ULONGLONG AsUnits(FILETIME time)
{
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

int DR_CompareReports(const DR_ReportEntry* a, const DR_ReportEntry* b)
{
    LONG byTime = CompareFileTime(&a->lastWrite, &b->lastWrite);
    if (byTime != 0)
        return byTime < 0 ? -1 : 1;
    const unsigned char* x = (const unsigned char*)a->name;
    const unsigned char* y = (const unsigned char*)b->name;
    while (*x && *x == *y) {
        x++;
        y++;
    }
    return *x < *y ? -1 : *x > *y ? 1 : 0;
}

int DR_IsPlainDirectory(const char* path)
{
    if (!path || !path[0])
        return 0;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int RelatorioApagavel(const WIN32_FIND_DATAA* entry)
{
    if (entry->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    return DR_IsReportName(entry->cFileName);
}

static void DeleteReport(const char* reportsDir, const char* name, int* removed)
{
    char path[MAX_PATH];
    if (DR_JoinPath(path, sizeof path, reportsDir, name) && DeleteFileA(path))
        (*removed)++;
    else
        DR_RemoveFailures++;
}

static int ReadCutoff(ULONGLONG* cutoff)
{
    SYSTEMTIME now;
    FILETIME nowFile;
    GetSystemTime(&now);
    if (!SystemTimeToFileTime(&now, &nowFile))
        return 0;
    ULONGLONG nowUnits = AsUnits(nowFile);
    if (nowUnits < DR_MAX_AGE_UNITS)
        return 0;
    *cutoff = nowUnits - DR_MAX_AGE_UNITS;
    return 1;
}

static int IsRecent(const WIN32_FIND_DATAA* entry, ULONGLONG cutoff)
{
    return AsUnits(entry->ftLastWriteTime) >= cutoff;
}

// Deletes the old reports; answers the number of recent ones, or -1 when the
// folder cannot be listed.
static int AgePass(const char* reportsDir, const char* pattern, ULONGLONG cutoff)
{
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA(pattern, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return -1;
    int recent = 0;
    do {
        if (!RelatorioApagavel(&entry))
            continue;
        if (IsRecent(&entry, cutoff))
            recent++;
        else
            DeleteReport(reportsDir, entry.cFileName, &DR_RemovedByAge);
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
    return recent;
}

static int MakeEntry(const WIN32_FIND_DATAA* found, DR_ReportEntry* entry)
{
    if (strlen(found->cFileName) >= sizeof entry->name)
        return 0;
    memcpy(entry->name, found->cFileName, strlen(found->cFileName) + 1);
    entry->lastWrite = found->ftLastWriteTime;
    return 1;
}

// Keeps the table sorted newest first; the 101st falls off its end.
static void RankInsert(const DR_ReportEntry* entry)
{
    int n = DR_NewestReports.count;
    int position = 0;
    while (position < n && DR_CompareReports(entry, &DR_NewestReports.slots[position]) <= 0)
        position++;
    if (position >= DR_MAX_REPORTS)
        return;
    int last = n < DR_MAX_REPORTS ? n : DR_MAX_REPORTS - 1;
    memmove(&DR_NewestReports.slots[position + 1], &DR_NewestReports.slots[position],
            (size_t)(last - position) * sizeof(DR_ReportEntry));
    DR_NewestReports.slots[position] = *entry;
    if (n < DR_MAX_REPORTS)
        DR_NewestReports.count++;
}

static int RankPass(const char* pattern, ULONGLONG cutoff)
{
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA(pattern, &found);
    if (listing == INVALID_HANDLE_VALUE)
        return 0;
    DR_NewestReports.count = 0;
    DR_ReportEntry entry;
    do {
        if (RelatorioApagavel(&found) && IsRecent(&found, cutoff) && MakeEntry(&found, &entry))
            RankInsert(&entry);
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
    return 1;
}

// Everything older than the 100th newest goes, whatever its age; reports that
// appeared since the rank pass and are newer stay.
static void ExcessPass(const char* reportsDir, const char* pattern)
{
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA(pattern, &found);
    if (listing == INVALID_HANDLE_VALUE)
        return;
    const DR_ReportEntry* hundredth = &DR_NewestReports.slots[DR_MAX_REPORTS - 1];
    DR_ReportEntry entry;
    do {
        if (RelatorioApagavel(&found) && MakeEntry(&found, &entry) && DR_CompareReports(&entry, hundredth) < 0)
            DeleteReport(reportsDir, found.cFileName, &DR_RemovedByExcess);
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
}

void DR_SweepReports(const char* base)
{
    DR_RemovedByAge = 0;
    DR_RemovedByExcess = 0;
    DR_RemoveFailures = 0;
    char reportsDir[MAX_PATH];
    char pattern[MAX_PATH];
    ULONGLONG cutoff;
    if (!base || !base[0] || !DR_JoinPath(reportsDir, sizeof reportsDir, base, REPORTS_FOLDER))
        return;
    if (!DR_IsPlainDirectory(reportsDir) || !DR_JoinPath(pattern, sizeof pattern, reportsDir, REPORT_PATTERN))
        return;
    if (!ReadCutoff(&cutoff))
        return;
    if (AgePass(reportsDir, pattern, cutoff) <= DR_MAX_REPORTS)
        return;  // exactly 100 recent reports are all kept
    if (!RankPass(pattern, cutoff) || DR_NewestReports.count < DR_MAX_REPORTS)
        return;  // reports vanished between the passes
    ExcessPass(reportsDir, pattern);
}

void DR_RetainReports(const char* base)
{
    DR_SweepReports(base);
    if (DR_RemovedByAge || DR_RemovedByExcess || DR_RemoveFailures)
        LogLine("reports: %d removido(s) por idade, %d por excesso, %d falha(s) de remocao", DR_RemovedByAge,
                DR_RemovedByExcess, DR_RemoveFailures);
}
