// Holds a file open for a while, as a virus scanner or a game left running
// would: hold_file PATH MILLISECONDS [reads]. Without sharing, or sharing
// reads only with "reads" (a game reads its packs and lets others read them
// too). Writes PATH.held once it holds the file, and removes it when it lets go.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 4 && strcmp(argv[3], "reads") == 0)) {
        fprintf(stderr, "usage: hold_file PATH MILLISECONDS [reads]\n");
        return 2;
    }
    DWORD sharing = argc == 4 ? FILE_SHARE_READ : 0;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, sharing, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "hold_file: cannot open %s (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    char marker[MAX_PATH];
    snprintf(marker, sizeof marker, "%s.held", argv[1]);
    HANDLE markerFile = CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (markerFile != INVALID_HANDLE_VALUE)
        CloseHandle(markerFile);
    Sleep((DWORD)strtoul(argv[2], NULL, 10));
    CloseHandle(file);
    DeleteFileA(marker);
    return 0;
}
