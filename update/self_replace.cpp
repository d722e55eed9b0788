// Self-replacement: a launcher that differs from the server's copy fetches the
// new one as "launcher.novo", moves itself aside to "launcher.velho", promotes
// the new one under its own name and starts it. Whatever fails, an executable
// stands under the own name afterwards.
#include "shell/platform.h"
#include "shell/shell.h"
#include "update/update.h"

static const char NEW_LAUNCHER_NAME[] = "launcher.novo";
static const char OLD_LAUNCHER_NAME[] = "launcher.velho";
static const DWORD LAUNCHER_MAX_BYTES = 64u << 20;  // launcher.exe is a few hundred KB

// The promotion failed with the own name empty: move the old executable back,
// and when even that fails, copy it back, so that the next start finds one.
static void UndoSwap(const char* ownName)
{
    if (MoveWhenFree(OLD_LAUNCHER_NAME, ownName, 0)) {
        LogLine("nao consegui promover a versao nova; desfiz a troca");
        return;
    }
    DWORD moveError = GetLastError();
    if (CopyFileA(OLD_LAUNCHER_NAME, ownName, FALSE))
        LogLine("nao consegui promover a versao nova nem desfazer a troca (%lu); copiei %s de volta para %s",
                moveError, OLD_LAUNCHER_NAME, ownName);
    else
        LogLine("nao consegui promover a versao nova nem desfazer a troca (%lu); a copia de %s para %s falhou (%lu)",
                moveError, OLD_LAUNCHER_NAME, ownName, GetLastError());
}

static int StartNewLauncher(const char* ownName)
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    // The new launcher takes the folder's lock at once, without waiting for this one to end.
    int heldLock = ReleaseFolderLock();
    if (!Os.CreateProcessA(ownName, NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        if (heldLock)
            TakeFolderLock(0);
        return 0;  // the new executable is in place for the next start
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

int ReplaceLauncher(HINTERNET internet, const char* baseUrl, const char* ownName, const char* expectedDigest,
                    const char* objectsFolder)
{
    DeleteFileA(OLD_LAUNCHER_NAME);
    char ownDigest[65];
    if (!ComputeFileDigest(ownName, ownDigest) || DigestsMatch(expectedDigest, ownDigest))
        return 0;

    SetStatusLine("Updating the updater itself...");
    char pathUrl[URL_CAPACITY];
    char objectUrl[URL_CAPACITY];
    FileFetch fetch = {NULL, NEW_LAUNCHER_NAME, 0, expectedDigest, LAUNCHER_MAX_BYTES, PLACE_AS_TARGET_DURABLY,
                       CACHE_NONE, NULL, NULL};
    ChooseFileSource(&fetch, pathUrl, objectUrl, baseUrl, ownName, expectedDigest, objectsFolder);
    if (!DownloadFile(internet, &fetch)) {
        LogLine("nao consegui baixar a versao nova do atualizador; sigo com a atual");
        return 0;
    }
    // Nothing may hold the new launcher while the own name stands empty: a virus
    // scanner looking at the new file would stretch that moment to seconds, and
    // a kill or a power cut in it leaves no launcher for the shortcuts. It is
    // opened without sharing to prove that nothing holds it, and the swap follows
    // at once.
    if (!WaitUntilFree(NEW_LAUNCHER_NAME)) {
        LogLine("%s esta em uso por outro programa (%lu); sigo com a atual", NEW_LAUNCHER_NAME, GetLastError());
        return 0;
    }
    if (!MoveWhenFree(ownName, OLD_LAUNCHER_NAME, 0)) {
        LogLine("nao consegui renomear o atualizador atual (%lu)", GetLastError());
        DeleteFileA(NEW_LAUNCHER_NAME);
        return 0;
    }
    if (!MoveWhenFree(NEW_LAUNCHER_NAME, ownName, 0)) {
        UndoSwap(ownName);
        return 0;
    }
    return StartNewLauncher(ownName);
}
