// Files that another program holds open (a virus scanner looking at what was
// just written, an indexer, a game left running): a move, an open or a
// deletion is tried again for about 2 s while the error says the file is
// held. And the flush that puts a file's data on the disk before it takes its
// name.
#include "shell/platform.h"
#include "transfer/transfer.h"

static const int MOVE_ATTEMPTS = 10;
static const DWORD MOVE_PAUSE_MS = 200;

// The errors of a file that another program holds.
static int IsHeldByAnotherProgram(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// After an attempt that failed: 1, after a pause and with the error kept,
// when another program holds the file and attempts are left.
static int AnotherAttempt(int attempt)
{
    DWORD error = GetLastError();
    if (attempt == MOVE_ATTEMPTS || !IsHeldByAnotherProgram(error))
        return 0;
    Sleep(MOVE_PAUSE_MS);
    SetLastError(error);
    return 1;
}

int MoveWhenFree(const char* from, const char* to, DWORD flags)
{
    for (int attempt = 1;; attempt++) {
        if (Os.MoveFileExA(from, to, flags))
            return 1;
        if (!AnotherAttempt(attempt))
            return 0;
    }
}

int DeleteWhenFree(const char* path)
{
    for (int attempt = 1;; attempt++) {
        if (DeleteFileA(path))
            return 1;
        if (!AnotherAttempt(attempt))
            return 0;
    }
}

HANDLE OpenForReadingWhenFree(const char* path, DWORD* error, int* held)
{
    for (int attempt = 1;; attempt++) {
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        *error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        *held = file == INVALID_HANDLE_VALUE && IsHeldByAnotherProgram(*error);
        if (file != INVALID_HANDLE_VALUE || attempt == MOVE_ATTEMPTS || !*held)
            return file;
        Sleep(MOVE_PAUSE_MS);
    }
}

int FlushToDisk(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BOOL flushed = Os.FlushFileBuffers(file);
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return flushed;
}

int WaitUntilFree(const char* path)
{
    for (int attempt = 1;; attempt++) {
        HANDLE file = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return 1;
        }
        DWORD error = GetLastError();
        if (attempt == MOVE_ATTEMPTS || !IsHeldByAnotherProgram(error))
            return 0;
        Sleep(MOVE_PAUSE_MS);
    }
}
