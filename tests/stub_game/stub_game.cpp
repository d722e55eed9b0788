// A stand-in for the game: writes stub_game_record.txt beside itself with the
// working folder and the command line it was started with, then exits.
#include <windows.h>
#include <stdio.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int)
{
    char record[MAX_PATH];
    GetModuleFileNameA(NULL, record, sizeof record);
    char* lastBackslash = strrchr(record, '\\');
    if (lastBackslash)
        lastBackslash[1] = '\0';
    strncat(record, "stub_game_record.txt", sizeof record - strlen(record) - 1);

    char workingFolder[MAX_PATH];
    GetCurrentDirectoryA(sizeof workingFolder, workingFolder);
    FILE* file = fopen(record, "a");
    if (!file)
        return 1;
    fprintf(file, "cwd=%s\nargs=%s\n", workingFolder, arguments);
    fclose(file);
    return 0;
}
