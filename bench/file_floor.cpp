// The floors of a first install and of an up-to-date check under Wine: only
// the file calls that work cannot do without, with no network and no digest.
//   file_floor write LIST   each listed file written as a fetch writes it:
//                           CreateFile of "<path>.tmp", WriteFile, CloseHandle,
//                           MoveFileExA; every folder made once, beforehand
//   file_floor read LIST    each listed file opened, read whole and closed
//   file_floor threads N    the working set that N idle threads add: the
//                           floor of what a run's threads cost in memory
// LIST holds one "<size> <path>" line per file, paths relative to the
// current folder. Prints the seconds the calls took.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <psapi.h>

#include "bench_support.h"

static const DWORD CHUNK_BYTES = 256 * 1024;  // as the fetch's reads
static const int LONGEST_LINE = MAX_PATH + 32;

struct FloorFile {
    unsigned long long size;
    char path[MAX_PATH];
};

// The listed files; NULL when the list cannot be read.
static FloorFile* ReadList(const char* listName, int* count)
{
    FILE* list = fopen(listName, "rt");
    if (!list)
        return NULL;
    int capacity = 1024;
    FloorFile* files = (FloorFile*)malloc(sizeof(FloorFile) * capacity);
    char line[LONGEST_LINE];
    *count = 0;
    while (files && fgets(line, sizeof line, list)) {
        if (*count == capacity) {
            capacity *= 2;
            FloorFile* grown = (FloorFile*)realloc(files, sizeof(FloorFile) * capacity);
            if (!grown)
                free(files);
            files = grown;
            if (!files)
                break;
        }
        FloorFile* file = &files[*count];
        char* rest = NULL;
        file->size = strtoull(line, &rest, 10);
        rest += strspn(rest, " ");
        rest[strcspn(rest, "\r\n")] = '\0';
        snprintf(file->path, sizeof file->path, "%s", rest);
        for (char* c = file->path; *c; c++)
            *c = *c == '/' ? '\\' : *c;
        (*count)++;
    }
    fclose(list);
    return files;
}

static void MakeFolders(const FloorFile* files, int count)
{
    for (int i = 0; i < count; i++) {
        char partial[MAX_PATH];
        snprintf(partial, sizeof partial, "%s", files[i].path);
        for (char* c = partial; *c; c++) {
            if (*c != '\\')
                continue;
            *c = '\0';
            CreateDirectoryA(partial, NULL);
            *c = '\\';
        }
    }
}

static int WriteOne(const FloorFile* file, const char* bytes)
{
    char temporary[MAX_PATH + 8];
    snprintf(temporary, sizeof temporary, "%s.tmp", file->path);
    HANDLE handle = CreateFileA(temporary, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    int ok = 1;
    for (unsigned long long done = 0; ok && done < file->size; done += CHUNK_BYTES) {
        DWORD piece = file->size - done < CHUNK_BYTES ? (DWORD)(file->size - done) : CHUNK_BYTES;
        DWORD written = 0;
        ok = WriteFile(handle, bytes, piece, &written, NULL) && written == piece;
    }
    CloseHandle(handle);
    return ok && MoveFileExA(temporary, file->path, MOVEFILE_REPLACE_EXISTING);
}

static int ReadOne(const FloorFile* file, char* bytes)
{
    HANDLE handle = CreateFileA(file->path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    DWORD count = 0;
    int ok;
    while ((ok = ReadFile(handle, bytes, CHUNK_BYTES, &count, NULL)) && count > 0)
        ;
    CloseHandle(handle);
    return ok;
}

static const DWORD IDLE_THREAD_MS = 3000;  // outlives the measurement

static DWORD WINAPI Idle(LPVOID unused)
{
    (void)unused;
    Sleep(IDLE_THREAD_MS);
    return 0;
}

static double WorkingSetMegabytes(void)
{
    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0.0;
    return counters.WorkingSetSize / 1048576.0;
}

static int ThreadFloor(int count)
{
    double before = WorkingSetMegabytes();
    int started = 0;
    for (int i = 0; i < count; i++) {
        HANDLE thread = CreateThread(NULL, 0, Idle, NULL, 0, NULL);
        if (thread) {
            CloseHandle(thread);
            started++;
        }
    }
    Sleep(IDLE_THREAD_MS / 3);  // every thread has started and settled
    double added = WorkingSetMegabytes() - before;
    printf("threads floor: %d idle threads add %.1f MB, %.2f MB each\n", started, added,
           started ? added / started : 0.0);
    return started != count;
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "threads") == 0)
        return ThreadFloor(atoi(argv[2]));
    int count = 0;
    FloorFile* files = argc == 3 ? ReadList(argv[2], &count) : NULL;
    char* bytes = (char*)calloc(1, CHUNK_BYTES);
    int writing = argc == 3 && strcmp(argv[1], "write") == 0;
    if (!files || !bytes || (!writing && strcmp(argv[1], "read") != 0)) {
        fprintf(stderr, "usage: file_floor write|read LIST, or file_floor threads N\n");
        return 2;
    }
    double start = SecondsNow();
    if (writing)
        MakeFolders(files, count);
    int failed = 0;
    for (int i = 0; i < count; i++)
        failed += writing ? !WriteOne(&files[i], bytes) : !ReadOne(&files[i], bytes);
    printf("%s floor: %d files, %.2f s, %d failed\n", argv[1], count, SecondsNow() - start, failed);
    free(bytes);
    free(files);
    return failed != 0;
}
