// A fetched file's temporary copy: opened (its folders made when they are
// missing), written, closed, with a full disk told apart from other failures.
#include <stdio.h>

#include "shell/shell.h"
#include "transfer/transfer.h"

volatile LONG FullDiskWrites;

static int FoundNoRoom(DWORD error)
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

// A disk that takes only part of a write, or none of it, fails no system
// call (WriteFile answers with fewer bytes): the C runtime's write comes back
// short with no system error, and that is a full disk.
void NoteFailedWrite(const char* temporary)
{
    DWORD error = GetLastError();
    if (error == 0)
        error = ERROR_DISK_FULL;
    if (FoundNoRoom(error))
        InterlockedIncrement(&FullDiskWrites);  // by any thread of the download phase
    LogLine("nao consegui gravar %s (%lu)", temporary, error);
}

int WriteTemporaryBytes(FILE* stream, const char* temporary, const void* bytes, size_t count)
{
    SetLastError(0);  // what a read before it left is not this write's error
    if (fwrite(bytes, 1, count, stream) == count)
        return 1;
    NoteFailedWrite(temporary);
    return 0;
}

int CloseTemporaryFile(FILE* stream, const char* temporary)
{
    SetLastError(0);
    if (fclose(stream) == 0)
        return 1;
    NoteFailedWrite(temporary);
    return 0;
}

void MakeParentDirectories(const char* path)
{
    char partial[MAX_PATH];
    CopyCut(partial, sizeof partial, path);
    for (char* c = partial; *c; c++) {
        if (*c != '\\' && *c != '/')
            continue;
        char separator = *c;
        *c = '\0';
        CreateDirectoryA(partial, NULL);  // an existing folder is fine
        *c = separator;
    }
}


// Folders are made only when the file cannot be opened: a game of thousands
// of files would otherwise try every folder along every path, and a folder
// removed during the run is made again.
FILE* OpenTemporaryFile(const char* temporary, const char* mode)
{
    FILE* stream = fopen(temporary, mode);
    if (stream)
        return stream;
    MakeParentDirectories(temporary);
    return fopen(temporary, mode);
}
