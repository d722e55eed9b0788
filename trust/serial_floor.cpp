// The serial floor: the release last accepted, kept twice so that one damaged
// copy neither lets an older signed release back in nor locks the player out
// of updates. One copy is "launcher.serie" beside the launcher, the other a
// value in the current user's registry named after this game folder (two
// installations keep floors of their own). The higher readable copy counts; a
// copy that is missing, damaged or lower is rewritten from it.
#include <stdio.h>
#include <string.h>

#include "shell/shell.h"
#include "trust/trust.h"

const char SERIAL_FILE_NAME[] = "launcher.serie";
static const char SERIAL_TEMPORARY_NAME[] = "launcher.serie.tmp";
static const char SERIAL_REGISTRY_KEY[] = "Software\\Quorvane\\launcher.serie";
static const char REGISTRY_COPY_NAME[] = "registro";  // how the log names the registry copy
static const DWORD RECORD_CAPACITY = 64;

// The registry value of this game folder: its path in lower case, since the
// same folder may be reached through names written in another case.
static void RegistryValueName(char* name, size_t capacity)
{
    CopyCut(name, capacity, AppDir);
    CharLowerBuffA(name, (DWORD)strlen(name));
}

static FloorCopy ReadFileCopy(void)
{
    FloorCopy copy = {FLOOR_COPY_UNREADABLE, {0, 0}};
    HANDLE file = CreateFileA(SERIAL_FILE_NAME, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            copy.state = FLOOR_COPY_ABSENT;
        return copy;  // held by another program, or not ours to read
    }
    char text[RECORD_CAPACITY];
    DWORD length = 0;
    if (ReadFile(file, text, sizeof text, &length, NULL))
        copy.state = ReadAcceptedRelease(text, length, &copy.release);
    CloseHandle(file);
    return copy;
}

static FloorCopy ReadRegistryCopy(void)
{
    FloorCopy copy = {FLOOR_COPY_UNREADABLE, {0, 0}};
    char name[MAX_PATH];
    RegistryValueName(name, sizeof name);
    char text[RECORD_CAPACITY];
    DWORD type = 0;
    DWORD size = sizeof text;
    HKEY key;
    LONG error = RegOpenKeyExA(HKEY_CURRENT_USER, SERIAL_REGISTRY_KEY, 0, KEY_QUERY_VALUE, &key);
    if (error == ERROR_SUCCESS) {
        error = RegQueryValueExA(key, name, NULL, &type, (BYTE*)text, &size);
        RegCloseKey(key);
    }
    if (error == ERROR_FILE_NOT_FOUND)
        copy.state = FLOOR_COPY_ABSENT;
    else if (error == ERROR_SUCCESS && type == REG_SZ && size > 0)
        copy.state = ReadAcceptedRelease(text, strnlen(text, size), &copy.release);
    return copy;
}

// Flushed before it is renamed into place, so a power cut leaves the old
// record or the new one, never an empty file.
static int WriteFileCopy(const char* text)
{
    HANDLE file = CreateFileA(SERIAL_TEMPORARY_NAME, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD length = (DWORD)strlen(text);
    DWORD written = 0;
    int flushed = WriteFile(file, text, length, &written, NULL) && written == length && FlushFileBuffers(file);
    CloseHandle(file);
    if (flushed && MoveWhenFree(SERIAL_TEMPORARY_NAME, SERIAL_FILE_NAME, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    DWORD error = GetLastError();
    DeleteFileA(SERIAL_TEMPORARY_NAME);
    SetLastError(error);
    return 0;
}

static int WriteRegistryCopy(const char* text)
{
    char name[MAX_PATH];
    RegistryValueName(name, sizeof name);
    HKEY key;
    LONG error = RegCreateKeyExA(HKEY_CURRENT_USER, SERIAL_REGISTRY_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (error == ERROR_SUCCESS) {
        error = RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1);
        RegCloseKey(key);
    }
    SetLastError((DWORD)error);
    return error == ERROR_SUCCESS;
}

static int SameRelease(const FloorCopy* copy, const AcceptedRelease* release)
{
    return copy->state == FLOOR_COPY_READ && copy->release.serial == release->serial &&
           copy->release.expiry == release->expiry;
}

// A copy is rewritten when it does not hold the release already, and never
// lowered: one that was held when the floor was read may say more.
static int NeedsWriting(const FloorCopy* copy, const AcceptedRelease* release)
{
    if (copy->state == FLOOR_COPY_READ && copy->release.serial > release->serial)
        return 0;
    return !SameRelease(copy, release);
}

static void WriteCopies(const FloorCopy* file, const FloorCopy* registry, const AcceptedRelease* release)
{
    char text[RECORD_CAPACITY];
    if (FormatAcceptedRelease(text, sizeof text, release) == 0)
        return;
    if (NeedsWriting(file, release) && !WriteFileCopy(text))
        LogLine("nao consegui gravar %s (%lu)", SERIAL_FILE_NAME, GetLastError());
    if (NeedsWriting(registry, release) && !WriteRegistryCopy(text))
        LogLine("nao consegui gravar a serie aceita no %s (%lu)", REGISTRY_COPY_NAME, GetLastError());
}

int ReadSerialFloor(AcceptedRelease* floor)
{
    FloorCopy file = ReadFileCopy();
    FloorCopy registry = ReadRegistryCopy();
    if (!CombineFloorCopies(&file, &registry, floor)) {
        LogLine("serie aceita ilegivel em %s e no %s; nenhum manifesto e aceito nesta execucao", SERIAL_FILE_NAME,
                REGISTRY_COPY_NAME);
        return 0;
    }
    if (file.state == FLOOR_COPY_ABSENT && registry.state == FLOOR_COPY_ABSENT)
        return 1;  // nothing accepted yet: a new installation
    if (NeedsWriting(&file, floor) || NeedsWriting(&registry, floor))
        LogLine("serie aceita %lu refeita a partir da copia legivel", (unsigned long)floor->serial);
    WriteCopies(&file, &registry, floor);
    return 1;
}

void RaiseSerialFloor(const AcceptedRelease* accepted)
{
    FloorCopy file = ReadFileCopy();
    FloorCopy registry = ReadRegistryCopy();
    WriteCopies(&file, &registry, accepted);
}

void ForgetSerialFloor(void)
{
    char name[MAX_PATH];
    RegistryValueName(name, sizeof name);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SERIAL_REGISTRY_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}
