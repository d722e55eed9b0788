// Disconnect report retention: at every start, reports in AppDir\reports last
// written more than 30 days ago go, and of the rest only the 100 newest stay.
// Also the destructive self-test of that trimming, in a scratch folder of its own.
#pragma once
#include <windows.h>

#include "retention/report_names.h"

static const int DR_MAX_AGE_DAYS = 30;
static const int DR_MAX_REPORTS = 100;

// Results of the last sweep.
extern int DR_RemovedByAge;
extern int DR_RemovedByExcess;
extern int DR_RemoveFailures;

struct DR_ReportEntry {
    char name[260];
    FILETIME lastWrite;
};

// Newer compares greater: a later last-write time, then the later name byte-wise.
int DR_CompareReports(const DR_ReportEntry* a, const DR_ReportEntry* b);
int DR_IsPlainDirectory(const char* path);
// A plain file (no folder, no reparse point) with an exact report name.
int RelatorioApagavel(const WIN32_FIND_DATAA* entry);

void DR_SweepReports(const char* base);
// Sweeps base\reports and logs the counters when any is not zero.
void DR_RetainReports(const char* base);

// The sweep that the self-test exercises. A test may put a faulty one here to
// prove that the self-test fails when the sweep misbehaves.
extern void (*DR_SweepUnderTest)(const char* base);

// Non-zero when every case of the self-test passed.
int DR_RunRetentionSelfTest(void);

// The self-test's frame, used by its cases.
extern int DR_TestCases;
extern int DR_TestFailures;
void DR_TestLog(const char* format, ...) QRV_PRINTF(1, 2);
void DR_TestCase(int passed, const char* description, const char* detail);
int DR_MakeFixture(const char* folder, const char* name, int ageDays);
int DR_MakeFixtureOrFail(const char* folder, const char* name, int ageDays);
int DR_Exists(const char* folder, const char* name);
int DR_CountReports(const char* folder);
int DR_IsCleanupScope(const char* scratchDir, const char* reportsDir, const char* tempDir, int owned);
void DR_RemoveScratch(const char* scratchDir, const char* reportsDir, const char* tempDir, int owned);
int DR_FinishSelfTest(const char* scratchDir, const char* reportsDir, const char* tempDir, int owned);

// Cases 3 to 27 and the untested-case line, on a fresh scratchDir\reports.
void DR_RunSelfTestCases(const char* scratchDir, const char* reportsDir, const char* tempDir);
