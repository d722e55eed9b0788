// Benchmark of the retention sweep: 10 000 reports of which 9 900 are beyond
// the 100 newest, against a plain listing of the same folder in the same run.
#include <stdio.h>

#include "bench_support.h"
#include "retention/retention.h"

static const int REPORT_COUNT = 10000;
static const ULONGLONG MINUTE_UNITS = 600000000ULL;

static int MakeReports(const char* reportsDir)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG nowUnits = ((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime;
    for (int i = 0; i < REPORT_COUNT; i++) {
        char path[MAX_PATH];
        snprintf(path, sizeof path, "%s\\disconnect-20260101-000000-%d-1.txt", reportsDir, i);
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 0;
        ULONGLONG units = nowUnits - (ULONGLONG)(i + 1) * MINUTE_UNITS;  // all recent, all distinct
        FILETIME time = {(DWORD)units, (DWORD)(units >> 32)};
        SetFileTime(file, &time, &time, &time);
        CloseHandle(file);
    }
    return 1;
}

static int ListOnce(const char* reportsDir)
{
    char pattern[MAX_PATH];
    snprintf(pattern, sizeof pattern, "%s\\disconnect-*.txt", reportsDir);
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA(pattern, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    do
        count++;
    while (FindNextFileA(listing, &entry));
    FindClose(listing);
    return count;
}

int main(void)
{
    char temp[MAX_PATH], base[MAX_PATH], reportsDir[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    snprintf(base, sizeof base, "%sqrv_retention_bench_%lu", temp, GetCurrentProcessId());
    snprintf(reportsDir, sizeof reportsDir, "%s\\reports", base);
    if (!CreateDirectoryA(base, NULL) || !CreateDirectoryA(reportsDir, NULL) || !MakeReports(reportsDir)) {
        fprintf(stderr, "retention_bench: could not prepare %s\n", reportsDir);
        return 1;
    }
    PrintMachine();
    double start = SecondsNow();
    int listed = ListOnce(reportsDir);
    double listing = SecondsNow() - start;

    start = SecondsNow();
    DR_SweepReports(base);
    double sweep = SecondsNow() - start;

    printf("retention sweep: %d reports, %d removed by excess, %d failures, %d left\n", listed, DR_RemovedByExcess,
           DR_RemoveFailures, DR_CountReports(reportsDir));
    printf("  sweep (3 listings + %d deletions): %8.1f ms, %6.2f us per file\n", DR_RemovedByExcess, sweep * 1000,
           sweep * 1e6 / listed);
    printf("  plain listing of the same folder:  %8.1f ms, %6.2f us per file\n", listing * 1000,
           listing * 1e6 / listed);
    printf("  ratio sweep / listing: %.1f\n", sweep / listing);

    DR_SweepReports(base);  // nothing left to trim
    char remaining[MAX_PATH];
    snprintf(remaining, sizeof remaining, "%s\\*.txt", reportsDir);
    WIN32_FIND_DATAA entry;
    HANDLE listingHandle = FindFirstFileA(remaining, &entry);
    if (listingHandle != INVALID_HANDLE_VALUE) {
        do {
            char path[MAX_PATH];
            snprintf(path, sizeof path, "%s\\%s", reportsDir, entry.cFileName);
            DeleteFileA(path);
        } while (FindNextFileA(listingHandle, &entry));
        FindClose(listingHandle);
    }
    RemoveDirectoryA(reportsDir);
    RemoveDirectoryA(base);
    return 0;
}
