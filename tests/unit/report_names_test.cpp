// The report name grammar and the retention text helpers: table-driven, plus a
// guard page that catches any read past a name's terminator.
#include <gtest/gtest.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <string>

#include "retention/report_names.h"

struct NameCase {
    const char* name;
    int accepted;
};

TEST(ReportNameGrammar, AcceptsExactlyTheClientsFormat)
{
    const NameCase cases[] = {
        {"disconnect-20200101-000000-1-1.txt", 1},
        {"disconnect-20261231-235959-4294967295-2147483647.txt", 1},
        {"disconnect-20200231-000000-1-1.txt", 1},  // a day the month lacks
        {"disconnect-00000101-000000-1-1.txt", 1},  // year 0000
        {"disconnect-20200101-000000-9999999999-9999999999.txt", 1},
        {"disconnect-20200101-235959-0-0.txt", 1},
        {"disconnect-20200101-000000-0012-7.txt", 1},
        {nullptr, 0},
        {"", 0},
        {"d", 0},
        {"disconnect-", 0},
        {"disconnect-2020", 0},
        {"disconnect-.txt", 0},
        {"disconnect-20201301-000000-1-1.txt", 0},
        {"disconnect-20200001-000000-1-1.txt", 0},
        {"disconnect-20200132-000000-1-1.txt", 0},
        {"disconnect-20200100-000000-1-1.txt", 0},
        {"disconnect-20200101-240000-1-1.txt", 0},
        {"disconnect-20200101-006000-1-1.txt", 0},
        {"disconnect-20200101-000060-1-1.txt", 0},
        {"disconnect-2020010-000000-1-1.txt", 0},
        {"disconnect-20200101-000000-1-1.txt.bak", 0},
        {"disconnect-20200101-000000--1.txt", 0},
        {"disconnect-20200101-000000-1-.txt", 0},
        {"disconnect- 0200101-000000-1-1.txt", 0},
        {"disconnect-20200101-000000-1-1.TXT", 0},
        {"disconnect-20200101-000000-12345678901-1.txt", 0},
        {"disconnect-20200101-000000-1-12345678901.txt", 0},
        {"Disconnect-20200101-000000-1-1.txt", 0},
        {"DISCONNECT-20200101-000000-1-1.txt", 0},
        {"disconnect-nao-e-relatorio.txt", 0},
        {"disconnect-20200101_000000-1-1.txt", 0},
        {"disconnect-20200101-000000_1-1.txt", 0},
        {"disconnect-20200101-000000-1_1.txt", 0},
        {"disconnect-20200101-000000-1-1-1.txt", 0},
        {"disconnect-20200101-000000-\xb9-1.txt", 0},  // a byte above 0x7F is no digit
        {"disconnect-20200101-000000-1-1.txtx", 0},
    };
    for (const NameCase& c : cases)
        EXPECT_EQ(DR_IsReportName(c.name), c.accepted) << (c.name ? c.name : "(null)");
}

// Two pages, the second inaccessible: a byte placed at the end of the first
// is the last readable one.
static char* GuardedPage(size_t* page)
{
#ifdef _WIN32
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    *page = system.dwPageSize;
    char* block = (char*)VirtualAlloc(NULL, 2 * *page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old;
    if (!block || !VirtualProtect(block + *page, *page, PAGE_NOACCESS, &old))
        return nullptr;
#else
    *page = (size_t)sysconf(_SC_PAGESIZE);
    char* block = (char*)mmap(NULL, 2 * *page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED || mprotect(block + *page, *page, PROT_NONE) != 0)
        return nullptr;
#endif
    return block;
}

static void ReleaseGuardedPage(char* block, size_t page)
{
#ifdef _WIN32
    (void)page;
    VirtualFree(block, 0, MEM_RELEASE);
#else
    munmap(block, 2 * page);
#endif
}

// Places each name flush against an inaccessible page: a read past its
// terminator would fault.
TEST(ReportNameGrammar, NeverReadsPastTheTerminator)
{
    size_t page;
    char* block = GuardedPage(&page);
    ASSERT_NE(block, nullptr);
    const char* names[] = {"", "d", "disconnect-", "disconnect-20200101-000000-1", "disconnect-20200101-000000-1-",
                           "disconnect-20200101-000000-1-1", "disconnect-20200101-000000-1-1.tx",
                           "disconnect-20200101-000000-1-1.txt", "disconnect-20200101-000000-1234567890-1234567890"};
    for (const char* name : names) {
        size_t size = strlen(name) + 1;
        char* placed = block + page - size;
        memcpy(placed, name, size);
        EXPECT_EQ(DR_IsReportName(placed), strcmp(name, "disconnect-20200101-000000-1-1.txt") == 0) << name;
    }
    ReleaseGuardedPage(block, page);
}

TEST(ReportNameGrammar, TwoDigitValues)
{
    EXPECT_EQ(DR_TwoDigitValue("07"), 7);
    EXPECT_EQ(DR_TwoDigitValue("99"), 99);
    EXPECT_EQ(DR_TwoDigitValue("9a"), -1);
    EXPECT_EQ(DR_TwoDigitValue(" 1"), -1);
}

TEST(RetentionText, JoinPathRefusesWhatDoesNotFit)
{
    char buffer[260];
    EXPECT_EQ(DR_JoinPath(buffer, sizeof buffer, "C:\\base", "reports"), 1);
    EXPECT_STREQ(buffer, "C:\\base\\reports");
    std::string folder(250, 'f');
    EXPECT_EQ(DR_JoinPath(buffer, sizeof buffer, folder.c_str(), "12345678"), 1);   // 259 characters
    EXPECT_EQ(DR_JoinPath(buffer, sizeof buffer, folder.c_str(), "123456789"), 0);  // 260
    EXPECT_EQ(DR_JoinPath(nullptr, 10, "a", "b"), 0);
    strcpy(buffer, "untouched");
    EXPECT_EQ(DR_JoinPath(buffer, 0, "a", "b"), 0);
    EXPECT_STREQ(buffer, "untouched");
}

TEST(RetentionText, TestFormatMarksWhatDoesNotFit)
{
    char buffer[32];
    DR_TestFormat(buffer, 13, "%s", "twelve chars");
    EXPECT_STREQ(buffer, "twelve chars");
    DR_TestFormat(buffer, 13, "%s", "thirteen char");
    EXPECT_STREQ(buffer, "<truncado>");
    DR_TestFormat(buffer, 12, "%s", "thirteen char");
    EXPECT_STREQ(buffer, "");
    DR_TestFormat(buffer, sizeof buffer, "n=%d", 5);
    EXPECT_STREQ(buffer, "n=5");
}

TEST(RetentionText, ScratchNames)
{
    const NameCase cases[] = {
        {"qrv_disconnect_report_retention_test_648_2313170_0", 1},
        {"qrv_disconnect_report_retention_test_1_2_3", 1},
        {"qrv_disconnect_report_retention_test_1234567890_1234567890_1234567890", 1},
        {"qrv_disconnect_report_retention_test_", 0},
        {"qrv_disconnect_report_retention_test_1_2", 0},
        {"qrv_disconnect_report_retention_test_1_2_3_4", 0},
        {"qrv_disconnect_report_retention_test_abc_2_3", 0},
        {"qrv_disconnect_report_retention_test_1_2_", 0},
        {"qrv_disconnect_report_retention_test_12345678901_2_3", 0},
        {"QRV_disconnect_report_retention_test_1_2_3", 0},
        {"meu_qrv_disconnect_report_retention_test_1_2_3", 0},
        {"qrv_disconnect_report_retention_tes_1_2_3", 0},
        {nullptr, 0},
    };
    for (const NameCase& c : cases)
        EXPECT_EQ(DR_IsScratchName(c.name), c.accepted) << (c.name ? c.name : "(null)");
}
