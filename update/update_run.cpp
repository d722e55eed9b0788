// The update run: fetch the manifest, let a newer launcher replace this one,
// check every listed file by its digest, fetch what is missing or different,
// then let the game start or block it.
#include <string.h>
#include <strings.h>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "update/update.h"

const char USER_AGENT[] = "QRV-Launcher/1.0";

static Manifest RunManifest;  // worker thread only; reserved once for the process

// A module path that could not be read, or was cut, gives no own name: no
// entry is then taken for the running launcher.
static void ReadOwnName(char* ownName, size_t capacity)
{
    char modulePath[MAX_PATH];
    ownName[0] = '\0';
    DWORD length = Os.GetModuleFileNameA(NULL, modulePath, sizeof modulePath);
    if (length == 0 || length >= sizeof modulePath)
        return;
    modulePath[length] = '\0';
    const char* lastBackslash = strrchr(modulePath, '\\');
    CopyCut(ownName, capacity, lastBackslash ? lastBackslash + 1 : modulePath);
}

int IsOwnEntry(const ManifestEntry* entry, const char* ownName)
{
    return ownName[0] != '\0' && strcasecmp(entry->path, ownName) == 0;
}

static const ManifestEntry* FindOwnEntry(const char* ownName)
{
    for (int i = 0; i < RunManifest.count; i++) {
        if (IsOwnEntry(&RunManifest.entries[i], ownName))
            return &RunManifest.entries[i];
    }
    return NULL;
}

void ChooseFileSource(FileFetch* fetch, char* pathUrl, char* objectUrl, const char* baseUrl, const char* name,
                      const char* digest, const char* objectsFolder)
{
    BuildFileUrl(pathUrl, URL_CAPACITY, baseUrl, name);
    fetch->url = pathUrl;
    fetch->fallbackUrl = NULL;
    fetch->cache = CACHE_NONE;
    if (objectsFolder && BuildObjectUrl(objectUrl, URL_CAPACITY, baseUrl, objectsFolder, digest)) {
        fetch->url = objectUrl;
        fetch->fallbackUrl = pathUrl;
        fetch->cache = CACHE_ANY;
    }
}

// The manifest's objects folder, or NULL when files come by path. A line
// that is refused is said once in the log: the run goes on by path.
static const char* ObjectsFolderOf(const Manifest* manifest)
{
    if (manifest->objects == OBJECTS_INVALID)
        LogLine("linha OBJETOS invalida ignorada (%s); baixo pelos caminhos", manifest->objectsText);
    else if (manifest->objects == OBJECTS_REPEATED)
        LogLine("linha OBJETOS repetida: todas ignoradas; baixo pelos caminhos");
    if (manifest->ignoredBlocks > 0)
        LogLine("%d linha(s) BLOCOS ignorada(s); a primeira: %s", manifest->ignoredBlocks, manifest->ignoredBlocksText);
    if (manifest->ignoredFrames > 0)
        LogLine("%d linha(s) QUADROS ou QUADRO ignorada(s); a primeira: %s", manifest->ignoredFrames, manifest->ignoredFramesText);
    return manifest->objects == OBJECTS_VALID ? manifest->objectsFolder : NULL;
}

static const char NOT_CHECKED_TEXT[] = "Could not check for updates; starting the game anyway.";
static const char EMPTY_MANIFEST_TEXT[] = "Empty or invalid manifest; starting the game anyway.";

// The game starts as it is. When the last manifest accepted has expired
// since, the player is told how long the game has gone unchecked: a frozen
// mirror must not hold players on an old release unseen.
static int StartUnchecked(const char* status, int frozenSince)
{
    if (!frozenSince) {
        SetStatusLine("%s", status);
        return 1;
    }
    char date[16];
    FormatCalendarDate(date, sizeof date, frozenSince);
    SetStatusLine("Could not check for updates since %s; starting the game anyway.", date);
    LogLine("nenhum manifesto aceito desde que o ultimo expirou em %s", date);
    return 1;
}

// The run could not bring every file into line; when a write found the disk
// full, the player is told which disk, not the connection.
static int Block(int failures, int fullDiskWrites)
{
    if (fullDiskWrites > 0) {
        char disk[MAX_PATH];
        NameGameDisk(disk, sizeof disk);
        SetFailure("%d file(s) could not be updated.\n\nThe game will NOT start: it would differ from the server.\n"
                   "There is not enough room on %s: free some space and try again.\n\nDetails in %s.",
                   failures, disk, "launcher.log");
    } else {
        SetFailure("%d file(s) could not be updated.\n\nThe game will NOT start: it would differ from the server.\n"
                   "Check your connection and try again.\n\nDetails in %s.",
                   failures, "launcher.log");
    }
    LogLine("BLOQUEADO: %d arquivo(s) falharam, jogo nao foi aberto", failures);
    return 0;
}

// The manifest was read only in part (the reason is in the log): the files
// beyond could not be checked, so the game must not start by it.
static int BlockBeyondLimits(void)
{
    SetFailure("The game's file list is beyond what this launcher can read.\n\nThe game will NOT start: it "
               "would differ from the server.\nCheck your connection and try again.\n\nDetails in %s.",
               "launcher.log");
    LogLine("BLOQUEADO: manifesto alem dos limites deste atualizador, jogo nao foi aberto");
    return 0;
}

static int UpdateThrough(HINTERNET internet)
{
    SetStatusLine("Checking for updates...");
    char url[URL_CAPACITY];
    int frozenSince = 0;
    switch (FetchManifestFromServers(internet, &RunManifest, &frozenSince, url)) {
    case MANIFEST_ACCEPTED:
        break;
    case MANIFEST_UNAVAILABLE:
        StartUnchecked(NOT_CHECKED_TEXT, frozenSince);
        LogLine("manifesto indisponivel em %s", url);
        return 1;
    case MANIFEST_REFUSED:
        return StartUnchecked(NOT_CHECKED_TEXT, frozenSince);
    case MANIFEST_EMPTY:
        return StartUnchecked(EMPTY_MANIFEST_TEXT, frozenSince);
    }
    LogLine("manifesto lido: versao '%s', %d arquivo(s)", RunManifest.version, RunManifest.count);
    const char* objectsFolder = ObjectsFolderOf(&RunManifest);

    char ownName[MAX_PATH];
    ReadOwnName(ownName, sizeof ownName);
    const ManifestEntry* ownEntry = FindOwnEntry(ownName);
    char ownDigest[65];
    if (ownEntry && ownEntry->digestRead) {
        WriteDigestHex(ownEntry->digest, ownDigest);
        if (ReplaceLauncher(internet, FirstServerBase(), ownName, ownDigest, objectsFolder))
            return -1;
    }
    if (RunManifest.limit != MANIFEST_WITHIN_LIMITS)
        return BlockBeyondLimits();

    SetStatusLine("Checking game files...");
    int failures = SettleEntriesNamingOneFile(&RunManifest);
    int toFetch = CheckFiles(&RunManifest, ownName, &failures);
    if (toFetch == 0 && failures == 0) {
        RemoveDroppedFiles(&RunManifest, ownName);
        SetStatusLine("The game is up to date.");
        SetDetailLine("version %s", RunManifest.version);
        SetProgress(1.0f);
        return 1;
    }
    int fullDiskWrites = FullDiskWrites;
    if (toFetch > 0) {
        LogLine("%d arquivo(s) para baixar", toFetch);
        // The room check counts as many files at once as the configuration allows.
        static_assert(MOST_CONNECTIONS <= FETCH_ROOM_MOST_IN_FLIGHT, "CONEXOES beyond what the room check counts");
        if (!RoomForFetches(&RunManifest, toFetch, LauncherConfig.connections))
            return 0;
        failures += FetchFilesInTurns(internet, &RunManifest, toFetch, objectsFolder, LauncherConfig.connections);
    }
    if (failures > 0)
        return Block(failures, FullDiskWrites - fullDiskWrites);
    RemoveDroppedFiles(&RunManifest, ownName);
    SetStatusLine("Updated to version %s.", RunManifest.version);
    SetProgress(1.0f);
    return 1;
}

int RunUpdate(void)
{
    if (LauncherConfig.baseUrl[0] == '\0') {
        SetStatusLine("No %s: cannot check for updates. Starting the game.", CONFIG_FILE_NAME);
        LogLine("URL_BASE vazia ou %s ausente", CONFIG_FILE_NAME);
        return 1;
    }
    if (LauncherConfig.refusedManifestName[0])
        LogLine("MANIFESTO recusado em %s: %s; uso %s", CONFIG_FILE_NAME, LauncherConfig.refusedManifestName,
                LauncherConfig.manifestName);
    if (LauncherConfig.refusedConnections[0])
        LogLine("CONEXOES recusado em %s: %s; uso %d", CONFIG_FILE_NAME, LauncherConfig.refusedConnections,
                LauncherConfig.connections);
    HINTERNET internet = OpenInternet(USER_AGENT);
    if (!internet) {
        SetFailure("Could not start the internet connection (error %lu).", GetLastError());
        return 0;
    }
    ApplyTransferTimeouts(internet);
    StartServers();
    HoldRunLog();
    int result = UpdateThrough(internet);
    ReleaseRunLog();
    EndServers();
    InternetCloseHandle(internet);
    ReleaseManifest(&RunManifest);  // the game starts with the memory of its list given back
    return result;
}
