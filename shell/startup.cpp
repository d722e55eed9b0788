// The process's run: choice of run mode, preparation of what the runs share,
// the worker, the end of the run and the start of the game.
#include <objbase.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "install/install.h"
#include "retention/retention.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "ui/ui.h"
#include "update/update.h"

HINSTANCE AppInstance;
char AppDir[MAX_PATH];
int TestMode;

static const char OLD_LAUNCHER_NAME[] = "launcher.velho";
static const char MESSAGE_CAPTION[] = "Quorvane";
static const char FAILURE_CAPTION[] = "Quorvane - Updater";
static const char GAME_EXTENSION[] = ".exe";

typedef BOOL(WINAPI* SetProcessDPIAwareCall)(void);
typedef BOOL(WINAPI* AllowSetForegroundWindowCall)(DWORD);

static void BecomeDpiAware(void)
{
    SetProcessDPIAwareCall setProcessDpiAware = (SetProcessDPIAwareCall)(void*)LookUpUser32("SetProcessDPIAware");
    if (setProcessDpiAware)
        setProcessDpiAware();
}

// AppDir is the folder of the running executable, and every relative name the
// launcher uses is relative to it.
static void EnterAppDir(void)
{
    Os.GetModuleFileNameA(NULL, AppDir, sizeof AppDir);
    AppDir[sizeof AppDir - 1] = '\0';
    char* lastBackslash = strrchr(AppDir, '\\');
    if (lastBackslash)
        *lastBackslash = '\0';
    SetCurrentDirectoryA(AppDir);
}

static int RunInstallation(void)
{
    CoInitialize(NULL);
    int installed = RunInstaller();
    CoUninitialize();
    return installed ? 0 : 1;
}

DWORD WINAPI UpdateWorker(LPVOID parameter)
{
    (void)parameter;
    ReadLauncherConfig();
    int result = RunUpdate();
    SetRunOutcome(OutcomeOfUpdateResult(result));
    return 0;
}

// The game is the program that EXECUTAVEL names in the game folder and only
// that: given a missing one, CreateProcessA would look for the name along the
// system folders and PATH and start whatever it found there.
static int GameProgramExists(const char* executable)
{
    char path[MAX_PATH];
    int length = snprintf(path, sizeof path, "%s\\%s", AppDir, executable);
    if (length < 0 || (size_t)length >= sizeof path)
        return 0;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    const char* name = strrchr(path, '\\') + 1;
    if (strchr(name, '.') || (size_t)length + sizeof GAME_EXTENSION > sizeof path)
        return 0;  // a name without an extension is started as name.exe
    CopyCut(path + length, sizeof path - (size_t)length, GAME_EXTENSION);
    attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Logged by SetFailure; the end-of-run message box has already passed.
static void FailToStartGame(DWORD error)
{
    SetFailure("Could not start %s (error %lu).", LauncherConfig.gameExecutable, (unsigned long)error);
}

void StartGame(void)
{
    // Only a program that stands in the game folder is the game: a value that
    // is absolute, names a drive or climbs out with ".." starts nothing.
    if (!IsSafeManifestPath(LauncherConfig.gameExecutable)) {
        LogLine("EXECUTAVEL recusado: %s fica fora da pasta do jogo", LauncherConfig.gameExecutable);
        FailToStartGame(ERROR_FILE_NOT_FOUND);
        return;
    }
    if (!GameProgramExists(LauncherConfig.gameExecutable)) {
        FailToStartGame(ERROR_FILE_NOT_FOUND);
        return;
    }
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    char commandLine[MAX_PATH];
    CopyCut(commandLine, sizeof commandLine, LauncherConfig.gameExecutable);

    if (!Os.CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, AppDir, &startup, &process)) {
        FailToStartGame(GetLastError());
        return;
    }
    LogLine("jogo iniciado: %s", LauncherConfig.gameExecutable);  // support tells a started game from a silent run
    AllowSetForegroundWindowCall allowForeground =
        (AllowSetForegroundWindowCall)(void*)LookUpUser32("AllowSetForegroundWindow");
    if (allowForeground)
        allowForeground(process.dwProcessId);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// Without a thread the whole update runs here, before the first frame.
static HANDLE StartUpdateWorker(void)
{
    KeepCryptoProviderLoaded();
    DWORD threadId;
    HANDLE thread = Os.CreateThread(NULL, 0, UpdateWorker, NULL, 0, &threadId);
    if (!thread) {
        LogLine("CreateThread falhou (%lu); atualizando sem animacao", GetLastError());
        UpdateWorker(0);
    }
    return thread;
}

// The player may have closed the window before a failure came in: the text still
// reaches them, in a message box of its own.
static void ShowFailureText(void)
{
    if (StatusBoard.failure[0] == '\0')
        return;
    HWND owner = IsWindow(UpdaterWindow) ? UpdaterWindow : NULL;
    Os.MessageBoxA(owner, StatusBoard.failure, FAILURE_CAPTION, MB_ICONERROR);
}

// Destroying the window posted WM_QUIT; a message box's modal loop that sees
// it ends at once, before the player could read anything.
static void DropPendingQuit(void)
{
    MSG message;
    while (PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

static int FailStart(const char* text)
{
    Os.MessageBoxA(NULL, text, MESSAGE_CAPTION, MB_ICONERROR);
    return 1;
}

static int RunSplash(RunMode mode)
{
    Surface surface;
    DR_RetainReports(AppDir);
    ResetStatusBoard();
    InitCommonControls();
    if (!CreateUpdaterWindow()) {
        ReleaseStatusBoard();
        return FailStart("Could not create the updater window.");
    }
    if (!CreateSurface(&surface, WINDOW_WIDTH, WINDOW_HEIGHT)) {
        DestroyWindow(UpdaterWindow);
        DropPendingQuit();
        ReleaseStatusBoard();
        return FailStart("Could not prepare the updater screen.");
    }
    if (!RendererInit(AppInstance))
        LogLine("sem arte: gdiplus.dll ausente ou recursos ilegiveis; sigo sem enfeite");
    LogLine("--- atualizador iniciado em %s%s", AppDir, TestMode ? " (MODO DE TESTE)" : "");

    if (mode == RUN_PROOFS) {
        WriteProofImages(&surface);
        RendererShutdown();
        DestroySurface(&surface);
        DestroyWindow(UpdaterWindow);
        ReleaseStatusBoard();
        return 0;
    }

    HANDLE worker = mode == RUN_NORMAL ? StartUpdateWorker() : NULL;
    RunFrameLoop(&surface);

    // Closing the window never cancels the update: wait for it to end.
    if (worker) {
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
    }
    ReleaseRunProvider();
    RendererShutdown();
    DestroySurface(&surface);
    ShowFailureText();
    if (StatusBoard.RunOutcome == OUTCOME_START_GAME && !TestMode)
        StartGame();
    if (IsWindow(UpdaterWindow))
        DestroyWindow(UpdaterWindow);
    ReleaseStatusBoard();
    return 0;
}

// Another launcher is updating this folder (the player started the game
// twice): it is brought to the front, and this one ends without touching
// anything, starting the game or showing a message.
static int GiveWayToTheRunningLauncher(void)
{
    LogLine("outro atualizador ja esta em execucao nesta pasta");
    BringRunningUpdaterToFront();
    return 0;
}

int LauncherMain(HINSTANCE instance, const char* arguments)
{
    AppInstance = instance;
    RunSwitches switches = ReadRunSwitches(arguments);
    TestMode = switches.testMode;
    BecomeDpiAware();
    EnterAppDir();
    if (switches.selfTest)
        return DR_RunRetentionSelfTest() ? 0 : 1;

    int configPresent = GetFileAttributesA(CONFIG_FILE_NAME) != INVALID_FILE_ATTRIBUTES;
    RunMode mode = ChooseRunMode(switches, configPresent);
    if (mode == RUN_FINISH_UNINSTALL)
        return FinishUninstall(arguments);
    if (mode == RUN_UNINSTALL)
        return RunUninstall();
    if (mode == RUN_NORMAL && !TakeFolderLockPatiently())
        return GiveWayToTheRunningLauncher();
    RotateRunLog();  // under the folder's lock: two launchers never rotate at once
    DeleteFileA(OLD_LAUNCHER_NAME);  // left by a self-replacement
    if (mode == RUN_INSTALLATION)
        return RunInstallation();
    int result = RunSplash(mode);
    ReleaseFolderLock();
    return result;
}
