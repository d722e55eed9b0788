// Room on the game folder's disk for the download phase, checked before its
// first download: a release that does not fit fetches nothing, and the
// player reads that the disk is full, not that the connection failed.
#include "shell/shell.h"
#include "update/update.h"

static const uint64_t MEGABYTE = 1u << 20;

uint64_t SizeOnDisk(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &attributes))
        return 0;
    return ((uint64_t)attributes.nFileSizeHigh << 32) | attributes.nFileSizeLow;
}

// What a fetch will continue: a temporary file shorter than the listed file.
static uint64_t HeldInTemporary(const ManifestEntry* entry)
{
    char temporary[MAX_PATH];
    if (!TemporaryNameOf(entry->path, temporary, sizeof temporary))
        return 0;
    uint64_t held = SizeOnDisk(temporary);
    return held < entry->size ? held : 0;
}

static unsigned long WholeMegabytesAbove(uint64_t bytes)
{
    return (unsigned long)((bytes + MEGABYTE - 1) / MEGABYTE);
}

void NameGameDisk(char* disk, size_t capacity)
{
    if (!GetVolumePathNameA(AppDir, disk, (DWORD)capacity))
        CopyCut(disk, capacity, AppDir);
}

int RoomForFetches(const Manifest* manifest, int toFetch, int inFlight)
{
    FetchRoomTally tally;
    ZeroMemory(&tally, sizeof tally);
    tally.inFlight = inFlight;
    for (int i = 0; i < manifest->count; i++) {
        const ManifestEntry* entry = &manifest->entries[i];
        if (entry->state == ENTRY_TO_FETCH)
            CountFetchRoom(&tally, entry->size, SizeOnDisk(entry->path), HeldInTemporary(entry));
    }
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(AppDir, &available, NULL, NULL) || available.QuadPart >= tally.peak)
        return 1;  // a disk that cannot say goes on: a write that fails still says so
    char disk[MAX_PATH];
    NameGameDisk(disk, sizeof disk);
    LogLine("espaco em disco insuficiente em %s: livres %lu MB, necessarios %lu MB", disk,
            (unsigned long)(available.QuadPart / MEGABYTE), WholeMegabytesAbove(tally.peak));
    SetFailure("Not enough disk space: %lu MB more are needed in %s.\n\nThe game will NOT start: it would differ "
               "from the server.\n\nDetails in %s.",
               WholeMegabytesAbove(tally.peak - available.QuadPart), disk, "launcher.log");
    LogLine("BLOQUEADO: %d arquivo(s) sem espaco em disco, jogo nao foi aberto", toFetch);
    return 0;
}
