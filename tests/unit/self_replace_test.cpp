// Self-replacement in a scratch folder: a file standing under this test
// program's own name plays the running launcher, and the platform seam makes
// the renames and the start of the new copy fail where a case needs it.
#include <string.h>

#include <set>
#include <string>

#include "shell/platform.h"
#include "shell/shell.h"
#include "update/update.h"
#include "update_fixture.h"

static std::set<int> FailingMoves;  // numbers (from 1) of the renames to refuse
static int MoveCalls;
static std::string LastMove;
static std::string StartedApplication;

// A virus scanner that looks at launcher.novo as soon as it lands: holds it
// without sharing for a while, and notes whether the own name ever stood
// empty while it did.
static DWORD ScannerHoldsMs;
static HANDLE Scanner;
static std::string WatchedName;
static volatile LONG OwnNameWentMissing;

static DWORD WINAPI HoldAndWatch(LPVOID held)
{
    DWORD since = GetTickCount();
    while (GetTickCount() - since < ScannerHoldsMs) {
        if (GetFileAttributesA(WatchedName.c_str()) == INVALID_FILE_ATTRIBUTES)
            InterlockedExchange(&OwnNameWentMissing, 1);
        Sleep(5);
    }
    CloseHandle((HANDLE)held);
    return 0;
}

// Counts the self-replacement's renames (a download's replacing move is not
// one of them, and a retry of a refused rename is the same rename).
static BOOL WINAPI ScriptedMove(LPCSTR from, LPCSTR to, DWORD flags)
{
    std::string move = std::string(from) + " > " + to;
    if (flags == 0 && move != LastMove)
        MoveCalls++;
    LastMove = move;
    if (flags == 0 && FailingMoves.count(MoveCalls)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    BOOL moved = MoveFileExA(from, to, flags);
    if (moved && ScannerHoldsMs && strcmp(to, "launcher.novo") == 0) {
        HANDLE held = CreateFileA(to, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        Scanner = CreateThread(NULL, 0, HoldAndWatch, held, 0, NULL);
    }
    return moved;
}

static BOOL WINAPI RecordStart(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                               BOOL, DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION process)
{
    StartedApplication = std::string(application) + (commandLine ? " with a command line" : "");
    // Real handles, so that the caller's CloseHandle calls are sound.
    process->hProcess = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
    process->hThread = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    return TRUE;
}

static BOOL WINAPI RefuseStart(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                               LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION)
{
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return FALSE;
}

class SelfReplacement : public UpdateEngineTest {
protected:
    void SetUp() override
    {
        UpdateEngineTest::SetUp();
        char module[MAX_PATH];
        GetModuleFileNameA(NULL, module, sizeof module);
        ownName = strrchr(module, '\\') + 1;
        WriteWholeFile(ownName.c_str(), OLD_BUILD);
        FailingMoves.clear();
        MoveCalls = 0;
        ScannerHoldsMs = 0;
        OwnNameWentMissing = 0;
        WatchedName = ownName;
        LastMove.clear();
        StartedApplication.clear();
        Os.MoveFileExA = ScriptedMove;
        Os.CreateProcessA = RecordStart;
    }
    // Lists the own name with the new build's digest beside one ordinary file.
    void PublishNewBuild(const std::string& servedBody)
    {
        server.Serve("/" + ownName, servedBody);
        server.Serve("/game.bin", "game");
        server.Serve("/manifesto.txt", "VERSAO 2\nARQUIVO " + Sha256Of(NEW_BUILD) + " 9 " + ownName + "\n" +
                                           "ARQUIVO " + Sha256Of("game") + " 4 game.bin\n");
    }
    bool Logged(const std::string& message)
    {
        std::vector<std::string> log = RunLogMessages();
        return std::find(log.begin(), log.end(), message) != log.end();
    }
    static bool Exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

    std::string ownName;
    const std::string OLD_BUILD = "old build";
    const std::string NEW_BUILD = "new build";
};

TEST_F(SelfReplacement, CurrentLauncherInAnotherCaseIsLeftAlone)
{
    WriteWholeFile("launcher.velho", "left over");
    std::string upper = Sha256Of(OLD_BUILD);
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    server.Serve("/game.bin", "game");
    server.Serve("/manifesto.txt", "VERSAO 2\nARQUIVO " + upper + " 9 " + ownName + "\nARQUIVO " + Sha256Of("game") +
                                       " 4 game.bin\n");
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_FALSE(Exists("launcher.velho"));
    EXPECT_FALSE(Logged("Updating the updater itself..."));
    EXPECT_EQ(server.RequestedPaths(), (std::vector<std::string>{"/manifesto.txt", "/game.bin"}));
    EXPECT_EQ(ReadWholeFile(ownName.c_str()), OLD_BUILD);  // never checked or fetched as a game file
}

TEST_F(SelfReplacement, NewBuildTakesTheOwnNameAndIsStarted)
{
    PublishNewBuild(NEW_BUILD);
    EXPECT_EQ(RunUpdate(), -1);
    EXPECT_EQ(ReadWholeFile(ownName.c_str()), NEW_BUILD);
    EXPECT_EQ(ReadWholeFile("launcher.velho"), OLD_BUILD);
    EXPECT_FALSE(Exists("launcher.novo"));
    EXPECT_EQ(StartedApplication, ownName);
    EXPECT_FALSE(Logged("Checking game files..."));  // this process checks no game file
    EXPECT_FALSE(Exists("game.bin"));
}

TEST_F(SelfReplacement, TamperedBuildNeverReachesTheSideName)
{
    PublishNewBuild("tampered build");
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile(ownName.c_str()), OLD_BUILD);
    EXPECT_FALSE(Exists("launcher.novo"));
    EXPECT_FALSE(Exists("launcher.novo.tmp"));
    EXPECT_TRUE(Logged("hash nao confere em launcher.novo (esperado " + Sha256Of(NEW_BUILD) + ", obtido " +
                       Sha256Of("tampered build") + ")"));
    EXPECT_TRUE(Logged("nao consegui baixar a versao nova do atualizador; sigo com a atual"));
    EXPECT_EQ(ReadWholeFile("game.bin"), "game");  // the run goes on with the game files
}

static BOOL WINAPI NoFlush(HANDLE)
{
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}

// A new launcher that cannot be written to the disk never takes a name: a
// power cut would leave it empty there, and every shortcut broken.
TEST_F(SelfReplacement, NewBuildThatCannotReachTheDiskIsNotPromoted)
{
    Os.FlushFileBuffers = NoFlush;
    PublishNewBuild(NEW_BUILD);
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile(ownName.c_str()), OLD_BUILD);
    EXPECT_FALSE(Exists("launcher.novo"));
    EXPECT_FALSE(Exists("launcher.novo.tmp"));
    EXPECT_TRUE(Logged("nao consegui gravar launcher.novo.tmp (1117)"));
    EXPECT_TRUE(Logged("nao consegui baixar a versao nova do atualizador; sigo com a atual"));
}

TEST_F(SelfReplacement, RenameOfTheRunningLauncherFails)
{
    FailingMoves = {1};
    PublishNewBuild(NEW_BUILD);
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile(ownName.c_str()), OLD_BUILD);
    EXPECT_FALSE(Exists("launcher.novo"));
    EXPECT_TRUE(Logged("nao consegui renomear o atualizador atual (5)"));
    EXPECT_STREQ(StatusBoard.failure, "");  // never blocks the game
}

TEST_F(SelfReplacement, FailedPromotionIsUndone)
{
    FailingMoves = {2};
    PublishNewBuild(NEW_BUILD);
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile(ownName.c_str()), OLD_BUILD);
    EXPECT_EQ(ReadWholeFile("launcher.novo"), NEW_BUILD);
    EXPECT_FALSE(Exists("launcher.velho"));
    EXPECT_TRUE(Logged("nao consegui promover a versao nova; desfiz a troca"));
}

TEST_F(SelfReplacement, FailedUndoIsRecoveredByACopy)
{
    FailingMoves = {2, 3};
    PublishNewBuild(NEW_BUILD);
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile(ownName.c_str()), OLD_BUILD);  // a launcher stands under its name
    EXPECT_TRUE(Logged("nao consegui promover a versao nova nem desfazer a troca (5); copiei launcher.velho de volta "
                       "para " +
                       ownName));
}

// The own name never stands empty while another program holds the new
// launcher: the swap waits for it, and gives up when it is held too long.
TEST_F(SelfReplacement, NewLauncherHeldByAScannerNeverLeavesTheOwnNameEmpty)
{
    for (DWORD holdMs : {600u, 3000u}) {
        DeleteFileA("launcher.velho");
        DeleteFileA("launcher.novo");
        WriteWholeFile(ownName.c_str(), OLD_BUILD);
        DeleteFileA("launcher.log");
        ScannerHoldsMs = holdMs;
        OwnNameWentMissing = 0;
        PublishNewBuild(NEW_BUILD);
        int result = RunUpdate();
        WaitForSingleObject(Scanner, INFINITE);
        CloseHandle(Scanner);
        EXPECT_EQ(OwnNameWentMissing, 0) << holdMs;
        if (holdMs < 2000) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(ReadWholeFile(ownName.c_str()), NEW_BUILD);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(ReadWholeFile(ownName.c_str()), OLD_BUILD);
            EXPECT_TRUE(Logged("launcher.novo esta em uso por outro programa (32); sigo com a atual"));
        }
    }
}

TEST_F(SelfReplacement, NewLauncherThatCannotStartStaysForTheNextStart)
{
    Os.CreateProcessA = RefuseStart;
    PublishNewBuild(NEW_BUILD);
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile(ownName.c_str()), NEW_BUILD);
    EXPECT_EQ(ReadWholeFile("launcher.velho"), OLD_BUILD);
    EXPECT_EQ(ReadWholeFile("game.bin"), "game");
}
