// Failures that cannot be provoked from outside, made through the platform
// seam: each checks what the player sees and that the run still ends cleanly.
// The whole start-up runs in-process, in a scratch folder that the seam makes
// the launcher's own folder.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "test_support.h"
#include "ui/ui.h"
#include "update/update.h"

static std::string LauncherPath;
static std::vector<std::string> Boxes;  // caption: text

static DWORD WINAPI LauncherInScratch(HMODULE, LPSTR path, DWORD size)
{
    snprintf(path, size, "%s", LauncherPath.c_str());
    return (DWORD)LauncherPath.size();
}

// A box shown while WM_QUIT is queued closes before the player sees it.
static int WINAPI RecordBox(HWND, LPCSTR text, LPCSTR caption, UINT flags)
{
    MSG message;
    bool quitPending = PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE);
    Boxes.push_back(std::string(caption) + ": " + text + (flags & MB_ICONERROR ? " (error)" : "") +
                    (quitPending ? " (closed at once by a pending quit)" : ""));
    return IDOK;
}

static std::vector<std::string> Loaded;

static HMODULE WINAPI RecordLoad(LPCSTR name)
{
    Loaded.push_back(name);
    return LoadLibraryA(name);
}

static HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

static HWND WINAPI NoWindow(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID)
{
    return NULL;
}

static HBITMAP WINAPI NoBitmap(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD)
{
    return NULL;
}

static HINTERNET WINAPI NoInternet(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD)
{
    SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
    return NULL;
}

static BOOL WINAPI NoProvider(HCRYPTPROV*, LPCSTR, LPCSTR, DWORD, DWORD)
{
    SetLastError(NTE_PROV_TYPE_NOT_DEF);
    return FALSE;
}

static BOOL WINAPI NoHash(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*)
{
    SetLastError(NTE_BAD_ALGID);
    return FALSE;
}

class FailurePaths : public ScratchFolderTest {
protected:
    void SetUp() override
    {
        ScratchFolderTest::SetUp();
        RestoreDefaultLauncherConfig();
        LauncherPath = path + "\\launcher.exe";
        Boxes.clear();
        MSG message;
        while (PeekMessageA(&message, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
            // left by an earlier test's window
        }
        Os.GetModuleFileNameA = LauncherInScratch;
        Os.MessageBoxA = RecordBox;
    }
    void TearDown() override
    {
        ResetPlatformCalls();
        RestoreDefaultLauncherConfig();
        ScratchFolderTest::TearDown();
    }
};

TEST_F(FailurePaths, WithoutAThreadTheUpdateRunsBeforeTheFirstFrame)
{
    WriteWholeFile("launcher.cfg", "EXECUTAVEL absent.exe\n");
    Os.CreateThread = NoThread;
    Loaded.clear();
    Os.LoadLibraryA = RecordLoad;
    EXPECT_EQ(LauncherMain(GetModuleHandleA(NULL), ""), 0);
    std::vector<std::string> log = RunLogMessages();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "--- atualizador iniciado em " + path);
    EXPECT_EQ(log[1], "CreateThread falhou (8); atualizando sem animacao");
    EXPECT_EQ(log[2], "No launcher.cfg: cannot check for updates. Starting the game.");
    EXPECT_EQ(log.back(), "FALHA: Could not start absent.exe (error 2).");  // after the loop, no box
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(IsWindow(UpdaterWindow));
    // held before the update, so that digests do not load and unload it every time
    EXPECT_NE(std::find(Loaded.begin(), Loaded.end(), "rsaenh.dll"), Loaded.end());
}

TEST_F(FailurePaths, WindowThatCannotBeMadeEndsTheRunWithOne)
{
    WriteWholeFile("launcher.cfg", "\n");
    Os.CreateWindowExA = NoWindow;
    EXPECT_EQ(LauncherMain(GetModuleHandleA(NULL), ""), 1);
    EXPECT_EQ(Boxes, std::vector<std::string>{"Quorvane: Could not create the updater window. (error)"});
}

TEST_F(FailurePaths, SurfaceThatCannotBeMadeEndsTheRunWithOne)
{
    WriteWholeFile("launcher.cfg", "\n");
    Os.CreateDIBSection = NoBitmap;
    EXPECT_EQ(LauncherMain(GetModuleHandleA(NULL), ""), 1);
    EXPECT_EQ(Boxes, std::vector<std::string>{"Quorvane: Could not prepare the updater screen. (error)"});
    EXPECT_FALSE(IsWindow(UpdaterWindow));
}

TEST_F(FailurePaths, NoInternetConnectionBlocksTheGameAndTellsThePlayer)
{
    WriteWholeFile("launcher.cfg", "URL_BASE http://127.0.0.1:9/\nEXECUTAVEL absent.exe\n");
    Os.InternetOpenA = NoInternet;
    EXPECT_EQ(LauncherMain(GetModuleHandleA(NULL), ""), 0);
    EXPECT_EQ(Boxes, std::vector<std::string>{
                         "Quorvane - Updater: Could not start the internet connection (error 12004). (error)"});
    std::vector<std::string> log = RunLogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "FALHA: Could not start the internet connection (error 12004).");  // no game start
}

// A read that fails part of the way is a failed digest on either road, never
// the digest of what came before it.
static int ReadsBeforeFailing;
static BOOL WINAPI FailingRead(HANDLE file, LPVOID bytes, DWORD count, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (ReadsBeforeFailing-- > 0)
        return ReadFile(file, bytes, count, read, overlapped);
    SetLastError(ERROR_CRC);
    return FALSE;
}

TEST_F(FailurePaths, DigestOfAFileThatCannotBeReadToItsEndIsEmpty)
{
    WriteWholeFile("f.bin", std::string(100000, 'q'));
    Os.ReadFile = FailingRead;
    for (int instructions : {0, -1}) {
        Sha256Instructions = instructions;
        ReadsBeforeFailing = 1;
        char digest[65] = "stale";
        EXPECT_EQ(ComputeFileDigest("f.bin", digest), 0) << "instructions " << Sha256HasInstructions();
        EXPECT_STREQ(digest, "") << "instructions " << Sha256HasInstructions();
    }
    ResetPlatformCalls();
    Sha256Instructions = -1;
}

// A run holds one context: every digest's hash object is made on it, from any
// thread at once, and none acquires a context of its own; once it is
// released, each digest acquires one again.
TEST_F(FailurePaths, DigestsOfARunShareItsContext)
{
    const int threads = 4;
    for (int i = 0; i < threads; i++)
        WriteWholeFile(("f" + std::to_string(i) + ".bin").c_str(), std::string(40000 + i, (char)('a' + i)));
    Sha256Instructions = 0;
    KeepCryptoProviderLoaded();
    Os.CryptAcquireContextA = NoProvider;  // a digest that acquired its own context would fail
    std::vector<std::string> digests(threads);
    std::vector<std::thread> running;
    for (int i = 0; i < threads; i++) {
        running.emplace_back([i, &digests] {
            char digest[65];
            for (int round = 0; round < 50; round++) {
                std::string name = "f" + std::to_string(i) + ".bin";
                if (!ComputeFileDigest(name.c_str(), digest) || (round > 0 && digests[i] != digest))
                    return;
                digests[i] = digest;
            }
        });
    }
    for (std::thread& thread : running)
        thread.join();
    ReleaseRunProvider();
    Sha256Instructions = -1;
    for (int i = 0; i < threads; i++) {
        char expected[65];
        ASSERT_EQ(ComputeFileDigest(("f" + std::to_string(i) + ".bin").c_str(), expected), 1);
        EXPECT_EQ(digests[i], expected) << i;
    }
    Sha256Instructions = 0;
    char digest[65];
    EXPECT_EQ(ComputeFileDigest("f0.bin", digest), 0) << "released: the digest acquires a context again";
    ResetPlatformCalls();
    Sha256Instructions = -1;
}

TEST_F(FailurePaths, DigestWithoutCryptoProviderOrHashIsEmpty)
{
    WriteWholeFile("f.bin", "abc");
    char digest[65] = "stale";
    Sha256Instructions = 0;  // a processor without SHA instructions digests through the CryptoAPI
    Os.CryptAcquireContextA = NoProvider;
    EXPECT_EQ(ComputeFileDigest("f.bin", digest), 0);
    EXPECT_STREQ(digest, "");
    ResetPlatformCalls();
    Os.CryptCreateHash = NoHash;
    strcpy(digest, "stale");
    EXPECT_EQ(ComputeFileDigest("f.bin", digest), 0);
    EXPECT_STREQ(digest, "");
    ResetPlatformCalls();
    EXPECT_EQ(ComputeFileDigest("f.bin", digest), 1);  // the file itself was let go
    Sha256Instructions = -1;
}
