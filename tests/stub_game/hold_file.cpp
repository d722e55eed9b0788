// Holds a file open without sharing for a while, as a virus scanner or a game
// left running would: hold_file PATH MILLISECONDS. Writes PATH.held once it
// holds the file, and removes it when it lets go.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: hold_file PATH MILLISECONDS\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
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
