// Reader and writer of launcher.cfg.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "install/install.h"
#include "shell/shell_rules.h"
#include "trust/trust.h"

#ifndef QRV_DEFAULT_BASE_URL
#error "QRV_DEFAULT_BASE_URL must be set by the build"
#endif
#ifndef QRV_DEFAULT_MIRRORS
#error "QRV_DEFAULT_MIRRORS must be set by the build (empty for none)"
#endif

const char CONFIG_FILE_NAME[] = "launcher.cfg";
const char DEFAULT_BASE_URL[] = QRV_DEFAULT_BASE_URL;
const char DEFAULT_MIRRORS[] = QRV_DEFAULT_MIRRORS;

static const LauncherConfigRecord DEFAULT_CONFIG = {"", "client.exe", "manifesto.txt", "", DEFAULT_CONNECTIONS, "",
                                                    0,  {},           0,               ""};

// The manifest is fetched into a file of its own name beside the launcher:
// the name must stay there (a safe path without folders) and must not be one
// of the launcher's own files.
static const char* const LAUNCHER_OWN_FILES[] = {
    "launcher.exe", "launcher.cfg", "launcher.log", "launcher.serie", "launcher.lock", "launcher.novo", "launcher.velho",
};

int IsSafeManifestName(const char* name)
{
    if (!IsSafeManifestPath(name) || strpbrk(name, "\\/"))
        return 0;
    for (const char* own : LAUNCHER_OWN_FILES) {
        if (NamesLauncherFile(name, own))
            return 0;
    }
    return 1;
}

LauncherConfigRecord LauncherConfig = DEFAULT_CONFIG;

void RestoreDefaultLauncherConfig(void)
{
    LauncherConfig = DEFAULT_CONFIG;
}

// A value that does not fit URL_BASE or EXECUTAVEL is refused whole, keeping
// the earlier value: a cut server address or program name would point somewhere
// else. MANIFESTO values are cut to 63 characters, as the file format says.
static void StoreWhole(char* field, size_t capacity, const char* value)
{
    if (strlen(value) < capacity)
        CopyCut(field, capacity, value);
}

// A name that could write elsewhere is refused, keeping the earlier name,
// and kept aside for the update run's log.
static void StoreManifestName(const char* value)
{
    char name[sizeof LauncherConfig.manifestName];
    CopyCut(name, sizeof name, value);
    if (IsSafeManifestName(name))
        CopyCut(LauncherConfig.manifestName, sizeof LauncherConfig.manifestName, name);
    else
        CopyCut(LauncherConfig.refusedManifestName, sizeof LauncherConfig.refusedManifestName, name);
}

// A count from 1 to MOST_CONNECTIONS in plain digits; anything else is
// refused, keeping the earlier count, and kept aside for the update run's log.
static void StoreConnections(const char* value)
{
    int count = 0;
    const char* digit = value;
    while (*digit >= '0' && *digit <= '9' && count <= MOST_CONNECTIONS)
        count = count * 10 + (*digit++ - '0');
    if (digit != value && *digit == '\0' && count >= 1 && count <= MOST_CONNECTIONS)
        LauncherConfig.connections = count;
    else
        CopyCut(LauncherConfig.refusedConnections, sizeof LauncherConfig.refusedConnections, value);
}

// A mirror is an http or https base URL ending in "/" that fits whole; up to
// MOST_MIRRORS are taken in order, the rest refused and kept for the log.
static int IsMirrorUrl(const char* value)
{
    size_t length = strlen(value);
    const char* host = strstr(value, "://");
    int scheme = strncasecmp(value, "http://", 7) == 0 || strncasecmp(value, "https://", 8) == 0;
    return scheme && host[3] != '/' && length < sizeof LauncherConfig.mirrors[0] && value[length - 1] == '/';
}

static void StoreMirror(const char* value)
{
    if (IsMirrorUrl(value) && LauncherConfig.mirrorCount < MOST_MIRRORS) {
        CopyCut(LauncherConfig.mirrors[LauncherConfig.mirrorCount], sizeof LauncherConfig.mirrors[0], value);
        LauncherConfig.mirrorCount++;
        return;
    }
    if (LauncherConfig.refusedMirrors++ == 0)
        CopyCut(LauncherConfig.refusedMirror, sizeof LauncherConfig.refusedMirror, value);
}

static void ApplyConfigLine(const char* line)
{
    char key[64];
    char value[900];
    if (sscanf(line, "%63s %899s", key, value) < 2)
        return;
    if (strcasecmp(key, "URL_BASE") == 0)
        StoreWhole(LauncherConfig.baseUrl, sizeof LauncherConfig.baseUrl, value);
    else if (strcasecmp(key, "EXECUTAVEL") == 0)
        StoreWhole(LauncherConfig.gameExecutable, sizeof LauncherConfig.gameExecutable, value);
    else if (strcasecmp(key, "MANIFESTO") == 0)
        StoreManifestName(value);
    else if (strcasecmp(key, "CONEXOES") == 0)
        StoreConnections(value);
    else if (strcasecmp(key, "ESPELHO") == 0)
        StoreMirror(value);
}

// Lines longer than the read buffer arrive in pieces; each piece is a line.
void ReadLauncherConfigStream(FILE* file)
{
    char line[1024];
    while (fgets(line, sizeof line, file)) {
        if (line[0] == '#' || line[0] == '\n' || line[0] == '\r')
            continue;
        ApplyConfigLine(line);
    }
}

void ReadLauncherConfig(void)
{
    FILE* file = fopen(CONFIG_FILE_NAME, "rt");
    if (!file)
        return;
    ReadLauncherConfigStream(file);
    fclose(file);
}

void WriteMirrorLines(FILE* file, const char* mirrors)
{
    const char* blanks = " \t";
    for (const char* mirror = mirrors + strspn(mirrors, blanks); *mirror; mirror += strspn(mirror, blanks)) {
        int length = (int)strcspn(mirror, blanks);
        fprintf(file, "ESPELHO     %.*s\n", length, mirror);
        mirror += length;
    }
}

// The installer's file asks for the complete manifest; the server's own copy of
// launcher.cfg, brought in by the first update, drops that line.
int WriteLauncherConfig(const char* path)
{
    FILE* file = fopen(path, "wt");
    if (!file)
        return 0;
    fputs("// Escrito pelo proprio launcher na instalacao.\n", file);
    fputs("// MANIFESTO pede a lista do jogo inteiro. Depois da primeira\n", file);
    fputs("// atualizacao bem sucedida este arquivo e substituido pela\n", file);
    fputs("// versao normal, sem essa linha.\n", file);
    fputs("\n", file);
    fprintf(file, "URL_BASE    %s\n", DEFAULT_BASE_URL);
    WriteMirrorLines(file, DEFAULT_MIRRORS);
    fprintf(file, "MANIFESTO   %s\n", "manifesto_completo.txt");
    fputs("EXECUTAVEL  client.exe\n", file);
    fclose(file);
    return 1;
}
