// The worker's outcome and the game start, run in a scratch AppDir.
#include <string>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "test_support.h"

class Startup : public ScratchFolderTest {
protected:
    void SetUp() override
    {
        ScratchFolderTest::SetUp();
        RestoreDefaultLauncherConfig();
        ResetStatusBoard();
    }
    void TearDown() override
    {
        DeleteStatusBoardLock();
        RestoreDefaultLauncherConfig();
        ResetPlatformCalls();
        ScratchFolderTest::TearDown();
    }
};

TEST_F(Startup, WorkerWithoutConfigurationLetsTheGameStart)
{
    UpdateWorker(0);
    EXPECT_EQ(StatusBoard.RunOutcome, OUTCOME_START_GAME);
    EXPECT_STREQ(StatusBoard.status, "No launcher.cfg: cannot check for updates. Starting the game.");
    std::string log = ReadWholeFile("launcher.log");
    EXPECT_NE(log.find("] No launcher.cfg: cannot check for updates. Starting the game.\r\n["), std::string::npos);
    EXPECT_NE(log.find("] URL_BASE vazia ou launcher.cfg ausente\r\n"), std::string::npos);
}

TEST_F(Startup, MissingGameIsReportedAsFailureText)
{
    WriteWholeFile("launcher.cfg", "EXECUTAVEL no_such_game.exe\n");
    ReadLauncherConfig();
    StartGame();
    EXPECT_STREQ(StatusBoard.failure, "Could not start no_such_game.exe (error 2).");
    EXPECT_NE(ReadWholeFile("launcher.log").find("] FALHA: Could not start no_such_game.exe (error 2).\r\n"),
              std::string::npos);
}

static BOOL WINAPI RefuseProcess(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                 LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(Startup, RefusedGameStartCarriesTheSystemError)
{
    Os.CreateProcessA = RefuseProcess;
    StartGame();
    EXPECT_STREQ(StatusBoard.failure, "Could not start client.exe (error 5).");
}
