// The run's servers: URL_BASE and the mirrors of launcher.cfg. The manifest
// is asked of each in turn until one gives a manifest the launcher accepts;
// a file is asked first of the server that gave it, then of the next. A
// server that failed goes to the end of the order for the rest of the run,
// so a dead server costs one time-out, also with files in flight. Without
// mirrors every road is the one-server road it always was.
#include <string.h>

#include "install/install.h"
#include "shell/shell.h"
#include "update/update.h"

static const int MOST_SERVERS = 1 + MOST_MIRRORS;

// Shared by the download phase's threads, under its lock.
struct ServerOrderRecord {
    CRITICAL_SECTION lock;
    int count;
    const char* bases[MOST_SERVERS];
    int order[MOST_SERVERS];   // server numbers, the one to ask first first
    int failed[MOST_SERVERS];  // moved to the end for the rest of the run
    int served[MOST_SERVERS];  // files each brought into line
    int manifestServer;        // the one that gave the manifest; -1: none did
};

static ServerOrderRecord Servers;  // one run per process

void StartServers(void)
{
    InitializeCriticalSection(&Servers.lock);
    Servers.count = 1 + LauncherConfig.mirrorCount;
    Servers.bases[0] = LauncherConfig.baseUrl;
    for (int i = 0; i < LauncherConfig.mirrorCount; i++)
        Servers.bases[1 + i] = LauncherConfig.mirrors[i];
    for (int i = 0; i < Servers.count; i++) {
        Servers.order[i] = i;
        Servers.failed[i] = 0;
        Servers.served[i] = 0;
    }
    Servers.manifestServer = -1;
    if (LauncherConfig.refusedMirrors > 0)
        LogLine("%d linha(s) ESPELHO recusada(s) em %s; a primeira: %s", LauncherConfig.refusedMirrors,
                CONFIG_FILE_NAME, LauncherConfig.refusedMirror);
}

// Said once, at the end of a run that used a mirror.
static void LogServedFiles(void)
{
    int mirrorServed = 0;
    for (int i = 1; i < Servers.count; i++)
        mirrorServed += Servers.served[i];
    if (mirrorServed == 0 && Servers.manifestServer <= 0)
        return;
    for (int i = 0; i < Servers.count; i++)
        LogLine("servidor %s: %d arquivo(s)", Servers.bases[i], Servers.served[i]);
}

void EndServers(void)
{
    LogServedFiles();
    DeleteCriticalSection(&Servers.lock);
}

const char* FirstServerBase(void)
{
    return Servers.bases[Servers.order[0]];
}

static void MoveServer(int server, int toPlace)
{
    int at = 0;
    while (Servers.order[at] != server)
        at++;
    for (; at > toPlace; at--)
        Servers.order[at] = Servers.order[at - 1];
    for (; at < toPlace; at++)
        Servers.order[at] = Servers.order[at + 1];
    Servers.order[toPlace] = server;
}

// The first server in the order not yet tried (a bit per server in tried),
// or -1. *askUnansweredAgain: no server that has not failed is left after it.
static int NextServer(unsigned tried, int* askUnansweredAgain)
{
    int next = -1;
    *askUnansweredAgain = 1;
    EnterCriticalSection(&Servers.lock);
    for (int at = 0; at < Servers.count; at++) {
        int server = Servers.order[at];
        if (tried & (1u << server))
            continue;
        if (next < 0)
            next = server;
        else if (!Servers.failed[server])
            *askUnansweredAgain = 0;
    }
    LeaveCriticalSection(&Servers.lock);
    return next;
}

// A server that failed goes to the end, said once with the server asked
// next (none: every server was tried).
static void FailServer(int server, const char* reason, unsigned tried)
{
    EnterCriticalSection(&Servers.lock);
    int first = !Servers.failed[server];
    Servers.failed[server] = 1;
    MoveServer(server, Servers.count - 1);
    LeaveCriticalSection(&Servers.lock);
    int askAgain;
    int next = NextServer(tried, &askAgain);
    if (first && next >= 0)
        LogLine("servidor %s falhou (%s); uso %s", Servers.bases[server], reason, Servers.bases[next]);
    else if (first)
        LogLine("servidor %s falhou (%s)", Servers.bases[server], reason);
}

// After a server did not give what was asked: a failed server is moved; a
// refusal (the server's, or refused, the launcher's) is said with the server
// asked next.
static void SwitchAfter(int server, const char* what, unsigned tried, const char* refused)
{
    char reason[64];
    if (!refused && ServerFailed(reason, sizeof reason)) {
        FailServer(server, reason, tried);
        return;
    }
    int askAgain;
    int next = NextServer(tried, &askAgain);
    if (next >= 0)
        LogLine("%s indisponivel em %s (%s); uso %s", what, Servers.bases[server], refused ? refused : reason,
                Servers.bases[next]);
}

int FetchFromServers(const ManifestEntry* entry, int (*fetchFrom)(const ManifestEntry* entry, const char* baseUrl))
{
    unsigned tried = 0;
    int askAgain;
    int server;
    LONG fullDiskWrites = FullDiskWrites;
    // Another server cannot help a disk that is full.
    while (FullDiskWrites == fullDiskWrites && (server = NextServer(tried, &askAgain)) >= 0) {
        tried |= 1u << server;
        StartServerNote(askAgain);
        if (fetchFrom(entry, Servers.bases[server])) {
            EnterCriticalSection(&Servers.lock);
            Servers.served[server]++;
            LeaveCriticalSection(&Servers.lock);
            return 1;
        }
        if (Servers.count > 1)
            SwitchAfter(server, entry->path, tried, NULL);
    }
    return 0;
}

// The outcome of a run that got no manifest: the first refusal or empty list
// says more than a server that could not be asked.
static ManifestOutcome WorseOf(ManifestOutcome earlier, ManifestOutcome now)
{
    return earlier == MANIFEST_UNAVAILABLE ? now : earlier;
}

ManifestOutcome FetchManifestFromServers(HINTERNET internet, Manifest* manifest, int* frozenSince, char* url)
{
    unsigned tried = 0;
    int askAgain;
    int server;
    ManifestOutcome outcome = MANIFEST_UNAVAILABLE;
    while ((server = NextServer(tried, &askAgain)) >= 0) {
        tried |= 1u << server;
        BuildFileUrl(url, URL_CAPACITY, Servers.bases[server], LauncherConfig.manifestName);
        LogLine("manifesto pedido: %s", url);  // a new installation asks for the complete list
        StartServerNote(askAgain);
        ManifestOutcome now = FetchManifest(internet, url, manifest, frozenSince);
        if (now == MANIFEST_ACCEPTED) {
            Servers.manifestServer = server;
            MoveServer(server, 0);  // files are asked of it first
            return now;
        }
        outcome = WorseOf(outcome, now);
        if (Servers.count > 1)
            SwitchAfter(server, LauncherConfig.manifestName, tried,
                        now == MANIFEST_REFUSED ? "recusado" : now == MANIFEST_EMPTY ? "vazio" : NULL);
    }
    return outcome;
}
