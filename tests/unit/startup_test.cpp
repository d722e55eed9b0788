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
        ReleaseStatusBoard();
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

static std::string StartedCommandLine;
static DWORD StartError;  // 0: the start succeeds

static BOOL WINAPI ScriptedStart(LPCSTR, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                 LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION process)
{
    StartedCommandLine = commandLine;
    if (StartError) {
        SetLastError(StartError);
        return FALSE;
    }
    process->hProcess = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
    process->hThread = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    process->dwProcessId = GetCurrentProcessId();
    return TRUE;
}

// Only a program that stands in the game folder is started: a missing one
// would otherwise be looked for along the system folders and PATH.
TEST_F(Startup, OnlyTheGameInTheGameFolderIsStarted)
{
    const struct {
        const char* executable;  // EXECUTAVEL
        const char* present;     // a file in the game folder, or null
        DWORD startError;
        const char* failure;     // null: started
        const char* refusal;     // the log line that says why, before the failure's
    } cases[] = {
        {"client.exe", "client.exe", 0, nullptr, nullptr},
        {"client", "client.exe", 0, nullptr, nullptr},
        {"bin\\game.exe", "bin\\game.exe", 0, nullptr, nullptr},
        {"no_such_game.exe", nullptr, 0, "Could not start no_such_game.exe (error 2).", nullptr},
        {"notepad.exe", nullptr, 0, "Could not start notepad.exe (error 2).", nullptr},  // one that PATH has
        {"bin", "bin\\game.exe", 0, "Could not start bin (error 2).", nullptr},          // a folder
        {"client.exe", "client.exe", ERROR_ACCESS_DENIED, "Could not start client.exe (error 5).", nullptr},
        // Values that reach outside the game folder, even when they come back into it.
        {"bin\\..\\client.exe", "client.exe", 0, "Could not start bin\\..\\client.exe (error 2).",
         "EXECUTAVEL recusado: bin\\..\\client.exe fica fora da pasta do jogo"},
        {"..\\client.exe", "client.exe", 0, "Could not start ..\\client.exe (error 2).",
         "EXECUTAVEL recusado: ..\\client.exe fica fora da pasta do jogo"},
        {"\\windows\\notepad.exe", nullptr, 0, "Could not start \\windows\\notepad.exe (error 2).",
         "EXECUTAVEL recusado: \\windows\\notepad.exe fica fora da pasta do jogo"},
        {"C:notepad.exe", nullptr, 0, "Could not start C:notepad.exe (error 2).",
         "EXECUTAVEL recusado: C:notepad.exe fica fora da pasta do jogo"},
    };
    Os.CreateProcessA = ScriptedStart;
    CreateDirectoryA("bin", NULL);
    for (const auto& c : cases) {
        DeleteFileA("client.exe");
        DeleteFileA("bin\\game.exe");
        if (c.present)
            WriteWholeFile(c.present, "MZ");
        WriteWholeFile("launcher.cfg", std::string("EXECUTAVEL ") + c.executable + "\n");
        ReadLauncherConfig();
        StartedCommandLine.clear();
        StartError = c.startError;
        StatusBoard.failure[0] = '\0';
        DeleteFileA("launcher.log");
        StartGame();
        EXPECT_STREQ(StatusBoard.failure, c.failure ? c.failure : "") << c.executable;
        EXPECT_EQ(StartedCommandLine, c.failure && !c.startError ? "" : c.executable) << c.executable;
        std::vector<std::string> log = RunLogMessages();
        EXPECT_EQ(log.back(), c.failure ? std::string("FALHA: ") + c.failure
                                        : std::string("jogo iniciado: ") + c.executable)
            << c.executable;
        EXPECT_EQ(log.size() > 1 ? log[log.size() - 2] : "", c.refusal ? c.refusal : "") << c.executable;
    }
}
