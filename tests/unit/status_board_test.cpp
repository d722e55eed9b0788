// The run log and the status board: line format, cuts, logging and progress.
#include <math.h>
#include <stdio.h>

#include <string>

#include "shell/shell.h"
#include "test_support.h"

class RunLog : public ScratchFolderTest {};

TEST_F(RunLog, PrefixPutsDayBeforeMonthAndEndsInCrLf)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    LogLine("ola %d", 7);
    std::string log = ReadWholeFile("launcher.log");
    ASSERT_EQ(log.size(), strlen("[dd/mm hh:mm:ss] ola 7\r\n")) << log;
    char expectedDate[16];
    snprintf(expectedDate, sizeof expectedDate, "[%02d/%02d ", before.wDay, before.wMonth);
    EXPECT_EQ(log.substr(0, 7), expectedDate);
    EXPECT_EQ(log[9], ':');
    EXPECT_EQ(log[12], ':');
    EXPECT_EQ(log.substr(15), "] ola 7\r\n");
}

TEST_F(RunLog, AppendsAndDoesNotHoldTheFile)
{
    LogLine("um");
    // Nothing may hold the file between lines: an exclusive open succeeds.
    HANDLE exclusive = CreateFileA("launcher.log", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    CloseHandle(exclusive);
    LogLine("dois");
    std::string log = ReadWholeFile("launcher.log");
    EXPECT_NE(log.find("] um\r\n["), std::string::npos) << log;
    EXPECT_NE(log.find("] dois\r\n"), std::string::npos) << log;
}

TEST_F(RunLog, LineIsDroppedSilentlyWhenTheFileCannotBeOpened)
{
    ASSERT_TRUE(CreateDirectoryA("launcher.log", NULL));  // a folder in the log's place
    ResetStatusBoard();
    LogLine("perdida");
    SetStatusLine("Checking game files...");  // the board still works
    EXPECT_STREQ(StatusBoard.status, "Checking game files...");
    ReleaseStatusBoard();
}

class Board : public ScratchFolderTest {
protected:
    void SetUp() override
    {
        ScratchFolderTest::SetUp();
        ResetStatusBoard();
    }
    void TearDown() override
    {
        ReleaseStatusBoard();
        ScratchFolderTest::TearDown();
    }
};

TEST_F(Board, ResetShowsStartingWithoutLogging)
{
    EXPECT_STREQ(StatusBoard.status, "Starting...");
    EXPECT_EQ(StatusBoard.progress, 0.0f);
    EXPECT_EQ(StatusBoard.RunOutcome, 0);
    EXPECT_EQ(GetFileAttributesA("launcher.log"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Board, OutcomeIsStoredAndWakesTheFrameLoop)
{
    ASSERT_NE(StatusBoard.outcomeSet, (HANDLE)NULL);
    EXPECT_EQ(WaitForSingleObject(StatusBoard.outcomeSet, 0), (DWORD)WAIT_TIMEOUT);
    SetRunOutcome(OUTCOME_BLOCKED);
    EXPECT_EQ(StatusBoard.RunOutcome, OUTCOME_BLOCKED);
    EXPECT_EQ(WaitForSingleObject(StatusBoard.outcomeSet, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(StatusBoard.outcomeSet, 0), (DWORD)WAIT_OBJECT_0);  // stays set
}

TEST_F(Board, StatusLineIsCutOnTheBoardButLoggedWhole)
{
    std::string text(300, 's');
    SetStatusLine("%s", text.c_str());
    EXPECT_EQ(std::string(StatusBoard.status), text.substr(0, 255));
    std::string log = ReadWholeFile("launcher.log");
    EXPECT_NE(log.find("] " + text + "\r\n"), std::string::npos);

    std::string longer(600, 'l');
    SetStatusLine("%s", longer.c_str());
    log = ReadWholeFile("launcher.log");
    EXPECT_NE(log.find("] " + longer.substr(0, 511) + "\r\n"), std::string::npos);
}

TEST_F(Board, StatusEmptiesTheDetailAndDetailLeavesTheStatus)
{
    SetStatusLine("Downloading %d of %d...", 1, 2);
    SetDetailLine("%s  -  %lu KB", "manifesto.txt", 3ul);
    EXPECT_STREQ(StatusBoard.status, "Downloading 1 of 2...");
    EXPECT_STREQ(StatusBoard.detail, "manifesto.txt  -  3 KB");
    SetStatusLine("Downloading %d of %d...", 2, 2);
    EXPECT_STREQ(StatusBoard.detail, "");
    std::string longDetail(400, 'd');
    SetDetailLine("%s", longDetail.c_str());
    EXPECT_EQ(std::string(StatusBoard.detail), longDetail.substr(0, 255));
    // Detail lines are never logged.
    EXPECT_EQ(ReadWholeFile("launcher.log").find("manifesto.txt"), std::string::npos);
}

TEST_F(Board, LatestFailureWinsAndEveryOneIsLogged)
{
    SetFailure("primeira %d", 1);
    SetFailure("segunda %d", 2);
    EXPECT_STREQ(StatusBoard.failure, "segunda 2");
    std::string log = ReadWholeFile("launcher.log");
    EXPECT_NE(log.find("] FALHA: primeira 1\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] FALHA: segunda 2\r\n"), std::string::npos) << log;

    std::string longText(1500, 'f');
    SetFailure("%s", longText.c_str());
    EXPECT_EQ(std::string(StatusBoard.failure), longText.substr(0, 1023));
}

TEST_F(Board, ProgressSettersClampAndFollowTheTally)
{
    SetProgress(NAN);
    EXPECT_EQ(StatusBoard.progress, 0.0f);
    SetProgress(1.7f);
    EXPECT_EQ(StatusBoard.progress, 1.0f);

    BytesToFetch = 0;
    BytesHandled = 0;
    SetProgress(0.5f);
    AdvanceDownloadProgress(0);
    EXPECT_EQ(StatusBoard.progress, 1.0f);

    BytesToFetch = 400;
    BytesHandled = 100;
    AdvanceDownloadProgress(0);
    EXPECT_EQ(StatusBoard.progress, 0.4375f);
    AdvanceDownloadProgress(300);
    EXPECT_EQ(StatusBoard.progress, 1.0f);
    BytesToFetch = 0;
    BytesHandled = 0;
}
