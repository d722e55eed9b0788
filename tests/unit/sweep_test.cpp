// The retention sweep on real folders with real file times, and the self-test's
// ability to fail when the sweep misbehaves.
#include <stdio.h>

#include <string>

#include "retention/retention.h"
#include "shell/shell.h"
#include "test_support.h"

class Sweep : public ScratchFolderTest {
protected:
    void SetUp() override
    {
        ScratchFolderTest::SetUp();
        reports = path + "\\reports";
        ASSERT_TRUE(CreateDirectoryA(reports.c_str(), NULL));
    }
    void TearDown() override
    {
        DR_SweepUnderTest = DR_SweepReports;
        ScratchFolderTest::TearDown();
    }
    static std::string Report(int first, int second)
    {
        char name[64];
        snprintf(name, sizeof name, "disconnect-20260101-000000-%d-%d.txt", first, second);
        return name;
    }
    void Make(const std::string& name, int ageDays) { ASSERT_TRUE(DR_MakeFixture(reports.c_str(), name.c_str(), ageDays)); }
    bool Has(const std::string& name) { return DR_Exists(reports.c_str(), name.c_str()) != 0; }
    // Sets an exact last-write time, in 100-ns units before now.
    void MakeAt(const std::string& name, ULONGLONG unitsAgo)
    {
        Make(name, 0);
        HANDLE file = CreateFileA((reports + "\\" + name).c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        FILETIME time = FixedNowMinus(unitsAgo);
        SetFileTime(file, &time, &time, &time);
        CloseHandle(file);
    }
    static FILETIME FixedNowMinus(ULONGLONG unitsAgo)
    {
        static ULONGLONG now;
        if (!now) {
            FILETIME current;
            GetSystemTimeAsFileTime(&current);
            now = ((ULONGLONG)current.dwHighDateTime << 32 | current.dwLowDateTime);
        }
        ULONGLONG units = now - unitsAgo;
        return FILETIME{(DWORD)units, (DWORD)(units >> 32)};
    }
    std::string reports;
};

static const ULONGLONG HOUR = 36000000000ULL;

TEST_F(Sweep, AgeRuleUsesTheLastWriteTimeNotTheName)
{
    Make(Report(111, 1), 40);
    Make(Report(111, 2), 31);
    Make(Report(111, 3), 29);
    Make(Report(111, 4), 0);
    DR_RetainReports(path.c_str());
    EXPECT_FALSE(Has(Report(111, 1)));
    EXPECT_FALSE(Has(Report(111, 2)));
    EXPECT_TRUE(Has(Report(111, 3)));
    EXPECT_TRUE(Has(Report(111, 4)));
    EXPECT_EQ(DR_RemovedByAge, 2);
    EXPECT_NE(ReadWholeFile("launcher.log").find("] reports: 2 removido(s) por idade, 0 por excesso, 0 falha(s) de "
                                                 "remocao\r\n"),
              std::string::npos);
}

TEST_F(Sweep, ForeignFilesAndReportNamedFoldersSurvive)
{
    Make("leiame.txt", 90);
    Make("disconnect-nao-e-relatorio.txt", 90);
    Make("disconnect-20200101-000000-1-1.TXT.txt", 90);
    ASSERT_TRUE(CreateDirectoryA((reports + "\\disconnect-20200101-000000-222-9.txt").c_str(), NULL));
    for (int i = 0; i < 105; i++)
        Make(Report(7, i), 1);
    DR_SweepReports(path.c_str());
    EXPECT_TRUE(Has("leiame.txt"));
    EXPECT_TRUE(Has("disconnect-nao-e-relatorio.txt"));
    EXPECT_TRUE(Has("disconnect-20200101-000000-1-1.TXT.txt"));
    EXPECT_TRUE(Has("disconnect-20200101-000000-222-9.txt"));
    EXPECT_EQ(DR_RemovedByExcess, 5);
}

TEST_F(Sweep, ExactlyAHundredRecentAreAllKeptAndTheHundredAndFirstOldestGoes)
{
    for (int i = 0; i < 100; i++)
        MakeAt(Report(1, i), (ULONGLONG)(i + 1) * HOUR);
    DR_RetainReports(path.c_str());
    EXPECT_EQ(DR_CountReports(reports.c_str()), 100);
    EXPECT_EQ(GetFileAttributesA("launcher.log"), INVALID_FILE_ATTRIBUTES);  // nothing happened: no line

    MakeAt(Report(2, 0), 200 * HOUR);  // older than all the others
    DR_SweepReports(path.c_str());
    EXPECT_EQ(DR_RemovedByExcess, 1);
    EXPECT_FALSE(Has(Report(2, 0)));
    EXPECT_EQ(DR_CountReports(reports.c_str()), 100);
}

TEST_F(Sweep, CountRuleKeepsTheHundredNewestFutureDatedIncluded)
{
    for (int j = 0; j < 130; j++)
        Make(Report(333, j), j % 20);
    for (int j = 0; j < 5; j++)
        Make(Report(444, j), -3);
    Make(Report(111, 3), 29);
    Make(Report(111, 4), 0);
    DR_SweepReports(path.c_str());
    EXPECT_EQ(DR_CountReports(reports.c_str()), 100);
    EXPECT_EQ(DR_RemovedByExcess, 37);
    EXPECT_FALSE(Has(Report(111, 3)));
    for (int j = 0; j < 130; j++)
        EXPECT_EQ(Has(Report(333, j)), j % 20 < 14) << j;  // ages 14 to 19 go
    for (int j = 0; j < 5; j++)
        EXPECT_TRUE(Has(Report(444, j)));
}

TEST_F(Sweep, EqualTimesAreBrokenByName)
{
    for (int i = 0; i < 99; i++)
        MakeAt(Report(5, 100 + i), (ULONGLONG)(i + 1) * HOUR);
    MakeAt(Report(6, 1), 500 * HOUR);  // the same time for the last two places
    MakeAt(Report(6, 2), 500 * HOUR);
    DR_SweepReports(path.c_str());
    EXPECT_EQ(DR_RemovedByExcess, 1);
    EXPECT_FALSE(Has(Report(6, 1)));
    EXPECT_TRUE(Has(Report(6, 2)));  // sorts later byte-wise: counts as newer
}

TEST_F(Sweep, LockedReportFailsAndTheNextIsStillDeleted)
{
    Make(Report(555, 1), 60);
    Make(Report(555, 2), 60);
    HANDLE held = CreateFileA((reports + "\\" + Report(555, 1)).c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    DR_RetainReports(path.c_str());
    CloseHandle(held);
    EXPECT_TRUE(Has(Report(555, 1)));
    EXPECT_FALSE(Has(Report(555, 2)));
    EXPECT_EQ(DR_RemovedByAge, 1);
    EXPECT_EQ(DR_RemoveFailures, 1);
    EXPECT_NE(ReadWholeFile("launcher.log").find("reports: 1 removido(s) por idade, 0 por excesso, 1 falha(s)"),
              std::string::npos);
}

TEST_F(Sweep, MissingOrFileReportsFolderIsLeftAlone)
{
    std::string missing = path + "\\absent";
    DR_RetainReports(missing.c_str());
    EXPECT_EQ(GetFileAttributesA(missing.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(DR_RemovedByAge + DR_RemovedByExcess + DR_RemoveFailures, 0);
    DR_RetainReports(nullptr);
    DR_RetainReports("");

    std::string base = path + "\\withfile";
    ASSERT_TRUE(CreateDirectoryA(base.c_str(), NULL));
    WriteWholeFile((base + "\\reports").c_str(), "a file where the folder should be");
    DR_RetainReports(base.c_str());
    EXPECT_EQ(ReadWholeFile((base + "\\reports").c_str()), "a file where the folder should be");
    EXPECT_EQ(GetFileAttributesA("launcher.log"), INVALID_FILE_ATTRIBUTES);
}

TEST(RetentionEntries, OnlyPlainFilesWithReportNamesMayGo)
{
    WIN32_FIND_DATAA entry = {};
    strcpy(entry.cFileName, "disconnect-20200101-000000-222-9.txt");
    entry.dwFileAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    EXPECT_EQ(RelatorioApagavel(&entry), 1);
    entry.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_EQ(RelatorioApagavel(&entry), 0);
    entry.dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
    EXPECT_EQ(RelatorioApagavel(&entry), 0);
}

TEST(RetentionEntries, ComparisonOrdersByTimeThenByUnsignedName)
{
    DR_ReportEntry a = {"b", {5, 1}};
    DR_ReportEntry b = {"a", {6, 1}};
    EXPECT_EQ(DR_CompareReports(&a, &b), -1);
    EXPECT_EQ(DR_CompareReports(&b, &a), 1);
    DR_ReportEntry c = {"a", {5, 1}};
    EXPECT_EQ(DR_CompareReports(&a, &c), 1);
    DR_ReportEntry high = {"\xe9", {5, 1}};  // above 0x7F: greater as an unsigned byte
    EXPECT_EQ(DR_CompareReports(&high, &a), 1);
    EXPECT_EQ(DR_CompareReports(&c, &c), 0);
}

// A sweep that deletes nothing: the self-test has to notice.
static void SweepThatDeletesNothing(const char*)
{
    DR_RemovedByAge = 0;
    DR_RemovedByExcess = 0;
    DR_RemoveFailures = 0;
}

TEST_F(Sweep, SelfTestFailsWhenTheSweepMisbehaves)
{
    DR_SweepUnderTest = SweepThatDeletesNothing;
    EXPECT_EQ(DR_RunRetentionSelfTest(), 0);
    std::string log = ReadWholeFile("disconnectreportretentiontest.log");
    EXPECT_NE(log.find("| 40 e 31 dias saem; 29 dias e hoje ficam              | FALHOU | removidos por idade=0"),
              std::string::npos);
    EXPECT_NE(log.find("-> REPROVADO\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("| o teste removeu a propria pasta e nada mais          | OK     |"), std::string::npos);
}

TEST_F(Sweep, BrokenSweepMakesTheSelfTestSwitchExitWithOne)
{
    DR_SweepUnderTest = SweepThatDeletesNothing;
    EXPECT_EQ(LauncherMain(GetModuleHandleA(NULL), "-disconnectreportretentiontest"), 1);
    // The self-test writes its log beside the program; this test's program is the test runner.
    char log[MAX_PATH];
    snprintf(log, sizeof log, "%s\\disconnectreportretentiontest.log", AppDir);
    EXPECT_NE(ReadWholeFile(log).find("-> REPROVADO"), std::string::npos);
    DeleteFileA(log);
}
