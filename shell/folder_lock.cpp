// One launcher at a time in a game folder: "launcher.lock" beside
// launcher.exe, opened without sharing and deleted when it is closed, so a
// crash or a kill lets go of it too.
#include "shell/shell.h"

static const char LOCK_FILE_NAME[] = "launcher.lock";
static const DWORD LOCK_WAIT_MS = 5000;  // a launcher that has just replaced itself is still ending
static const DWORD LOCK_POLL_MS = 100;

static HANDLE FolderLock = INVALID_HANDLE_VALUE;

static int TryFolderLock(void)
{
    FolderLock = CreateFileA(LOCK_FILE_NAME, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    return FolderLock != INVALID_HANDLE_VALUE;
}

int TakeFolderLock(DWORD waitMs)
{
    DWORD waited = 0;
    while (!TryFolderLock()) {
        if (waited >= waitMs)
            return 0;
        Sleep(LOCK_POLL_MS);
        waited += LOCK_POLL_MS;
    }
    return 1;
}

int TakeFolderLockPatiently(void)
{
    return TakeFolderLock(LOCK_WAIT_MS);
}

int ReleaseFolderLock(void)
{
    if (FolderLock == INVALID_HANDLE_VALUE)
        return 0;
    CloseHandle(FolderLock);
    FolderLock = INVALID_HANDLE_VALUE;
    return 1;
}
