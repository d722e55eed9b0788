// The serial floor: the release last accepted, kept twice so that one damaged
// copy neither lets an older signed release back in nor locks the player out
// of updates. One copy is "launcher.serie" beside the launcher, the other a
// value in the current user's registry named after this game folder (two
// installations keep floors of their own). The higher readable copy counts; a
// copy that is missing, damaged or lower is rewritten from it. A copy that
// another program holds is neither: what it says is unknown, so the floor is
// too, and it is never rewritten.
#include <stdio.h>
#include <string.h>

#include "shell/shell.h"
#include "trust/trust.h"

const char SERIAL_FILE_NAME[] = "launcher.serie";
static const char SERIAL_TEMPORARY_NAME[] = "launcher.serie.tmp";
static const char SERIAL_REGISTRY_KEY[] = "Software\\Quorvane\\launcher.serie";
static const char REGISTRY_COPY_NAME[] = "registro";  // how the log names the registry copy
static const DWORD RECORD_CAPACITY = 64;

// The name earlier launchers gave the value: the folder's path in lower case.
// One folder reached under two paths (a drive letter that changed, a mapped
// drive, a junction) had two values, and the older one let an older release
// back in; it is still read, and counts where it says more than the value of
// the folder's identity.
static void PathValueName(char* name, size_t capacity)
{
    CopyCut(name, capacity, AppDir);
    CharLowerBuffA(name, (DWORD)strlen(name));
}

// The file index alone: a folder's volume serial number would tell volumes
// apart, but Wine derives it from whichever drive letter reaches the folder,
// which is the very thing the name must not depend on. Two installations on
// two volumes whose folders share an index share a floor, which only keeps
// the older of them from going below the newer one's release.
int SerialFloorValueName(char* name, size_t capacity)
{
    HANDLE folder = CreateFileA(AppDir, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    BY_HANDLE_FILE_INFORMATION identity;
    int known = folder != INVALID_HANDLE_VALUE && GetFileInformationByHandle(folder, &identity) &&
                (identity.nFileIndexHigh | identity.nFileIndexLow) != 0;
    if (folder != INVALID_HANDLE_VALUE)
        CloseHandle(folder);
    if (!known) {
        PathValueName(name, capacity);  // a file system that gives no index
        return 0;
    }
    snprintf(name, capacity, "pasta %08lx%08lx", identity.nFileIndexHigh, identity.nFileIndexLow);
    return 1;
}

// A copy that another program holds (a virus scanner, a backup) is read
// again as a held game file is; one that stays held is neither missing nor
// damaged: what it says is unknown.
static FloorCopy ReadFileCopy(DWORD* openError)
{
    FloorCopy copy = {FLOOR_COPY_UNREADABLE, {0, 0}};
    int held = 0;
    HANDLE file = OpenForReadingWhenFree(SERIAL_FILE_NAME, openError, &held);
    if (file == INVALID_HANDLE_VALUE) {
        if (*openError == ERROR_FILE_NOT_FOUND || *openError == ERROR_PATH_NOT_FOUND)
            copy.state = FLOOR_COPY_ABSENT;
        else if (held)
            copy.state = FLOOR_COPY_HELD;
        return copy;
    }
    char text[RECORD_CAPACITY];
    DWORD length = 0;
    if (ReadFile(file, text, sizeof text, &length, NULL))
        copy.state = ReadAcceptedRelease(text, length, &copy.release);
    CloseHandle(file);
    return copy;
}

static FloorCopy ReadRegistryValue(const char* name)
{
    FloorCopy copy = {FLOOR_COPY_UNREADABLE, {0, 0}};
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

// The value of the folder's identity; or the one an earlier launcher wrote
// under the folder's path, when that one says more or is the only one
// readable: *moved then asks for it to be written under the identity.
static FloorCopy ReadRegistryCopy(int* moved)
{
    char name[MAX_PATH];
    *moved = 0;
    int byIdentity = SerialFloorValueName(name, sizeof name);
    FloorCopy copy = ReadRegistryValue(name);
    if (!byIdentity)
        return copy;
    PathValueName(name, sizeof name);
    FloorCopy earlier = ReadRegistryValue(name);
    if (earlier.state != FLOOR_COPY_READ ||
        (copy.state == FLOOR_COPY_READ && copy.release.serial >= earlier.release.serial))
        return copy;
    *moved = 1;
    return earlier;
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
    SerialFloorValueName(name, sizeof name);
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
// lowered; a held one is left alone, since it may say more.
static int NeedsWriting(const FloorCopy* copy, const AcceptedRelease* release)
{
    if (copy->state == FLOOR_COPY_HELD)
        return 0;
    if (copy->state == FLOOR_COPY_READ && copy->release.serial > release->serial)
        return 0;
    return !SameRelease(copy, release);
}

static void WriteCopies(const FloorCopy* file, const FloorCopy* registry, int registryMoved,
                        const AcceptedRelease* release)
{
    char text[RECORD_CAPACITY];
    if (FormatAcceptedRelease(text, sizeof text, release) == 0)
        return;
    if (NeedsWriting(file, release) && !WriteFileCopy(text))
        LogLine("nao consegui gravar %s (%lu)", SERIAL_FILE_NAME, GetLastError());
    if ((registryMoved || NeedsWriting(registry, release)) && !WriteRegistryCopy(text))
        LogLine("nao consegui gravar a serie aceita no %s (%lu)", REGISTRY_COPY_NAME, GetLastError());
}

int ReadSerialFloor(AcceptedRelease* floor)
{
    DWORD openError = 0;
    int registryMoved = 0;
    FloorCopy file = ReadFileCopy(&openError);
    FloorCopy registry = ReadRegistryCopy(&registryMoved);
    if (!CombineFloorCopies(&file, &registry, floor)) {
        if (file.state == FLOOR_COPY_HELD)
            LogLine("%s em uso por outro programa (%lu); nenhum manifesto e aceito nesta execucao", SERIAL_FILE_NAME,
                    openError);
        else
            LogLine("serie aceita ilegivel em %s e no %s; nenhum manifesto e aceito nesta execucao", SERIAL_FILE_NAME,
                    REGISTRY_COPY_NAME);
        return 0;
    }
    if (file.state == FLOOR_COPY_ABSENT && registry.state == FLOOR_COPY_ABSENT)
        return 1;  // nothing accepted yet: a new installation
    if (NeedsWriting(&file, floor) || NeedsWriting(&registry, floor))
        LogLine("serie aceita %lu refeita a partir da copia legivel", (unsigned long)floor->serial);
    WriteCopies(&file, &registry, registryMoved, floor);
    return 1;
}

void RaiseSerialFloor(const AcceptedRelease* accepted)
{
    DWORD openError = 0;
    int registryMoved = 0;
    FloorCopy file = ReadFileCopy(&openError);
    FloorCopy registry = ReadRegistryCopy(&registryMoved);
    WriteCopies(&file, &registry, registryMoved, accepted);
}

// Both names go: the folder's identity and its path.
void ForgetSerialFloor(void)
{
    char byIdentity[MAX_PATH];
    char byPath[MAX_PATH];
    SerialFloorValueName(byIdentity, sizeof byIdentity);
    PathValueName(byPath, sizeof byPath);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SERIAL_REGISTRY_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, byIdentity);
    RegDeleteValueA(key, byPath);
    RegCloseKey(key);
}
