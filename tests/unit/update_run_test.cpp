// RunUpdate against the scripted server: soft exits, the check and download
// phases, the blocking rule, and paths that must never be written.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "update/update.h"
#include "update_fixture.h"

class UpdateRun : public UpdateEngineTest {
protected:
    // Serves a file and answers its manifest line.
    std::string Publish(const std::string& path, const std::string& body)
    {
        std::string urlPath = "/";
        for (char c : path)
            urlPath += c == '\\' ? "/" : c == ' ' ? "%20" : std::string(1, c);  // as WinINet sends it
        server.Serve(urlPath, body);
        return FileLine(path, body);
    }
    std::string FileLine(const std::string& path, const std::string& body)
    {
        return "ARQUIVO " + Sha256Of(body) + " " + std::to_string(body.size()) + " " + path + "\n";
    }
    void ServeManifest(const std::string& lines) { server.Serve("/manifesto.txt", lines); }
    static bool Exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }
};

TEST_F(UpdateRun, NoBaseUrlStartsTheGameWithoutAnyRequest)
{
    LauncherConfig.baseUrl[0] = '\0';
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_TRUE(server.RequestedPaths().empty());
    EXPECT_STREQ(StatusBoard.status, "No launcher.cfg: cannot check for updates. Starting the game.");
}

TEST_F(UpdateRun, UnreachableManifestStartsTheGame)
{
    EXPECT_EQ(RunUpdate(), 1);
    std::vector<std::string> log = RunLogMessages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "HTTP 404 em " + server.BaseUrl() + "manifesto.txt");
    EXPECT_EQ(log[log.size() - 2], "Could not check for updates; starting the game anyway.");
    EXPECT_EQ(log[log.size() - 1], "manifesto indisponivel em " + server.BaseUrl() + "manifesto.txt");
    EXPECT_EQ(StatusBoard.progress, 0.0f);  // left where it was
}

TEST_F(UpdateRun, TruncatedManifestIsNeverParsed)
{
    std::string manifest = "VERSAO 1\n" + Publish("a.bin", "a") + Publish("b.bin", "b");
    server.ServeTruncated("/manifesto.txt", manifest.substr(0, manifest.size() / 2), manifest.size());
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_STREQ(StatusBoard.status, "Could not check for updates; starting the game anyway.");
    EXPECT_FALSE(Exists("a.bin"));
    EXPECT_FALSE(Exists("manifesto.txt.tmp"));
    // Tried three times, each from its first byte: a manifest is never pieced together.
    EXPECT_EQ(server.RequestedPaths(), std::vector<std::string>(3, "/manifesto.txt"));
    EXPECT_EQ(server.RequestedRanges(), std::vector<std::string>(3, ""));
}

// A manifest that keeps coming, never fast enough to stall, must still come
// whole within its bound (here 1.5 s): else it is not had, and the game starts.
TEST_F(UpdateRun, ManifestThatNeverFinishesEndsTheRunWithinItsBound)
{
    TransferPolicy.manifestWithinMs = 1500;
    std::string manifest = "VERSAO 1\n" + Publish("a.bin", "a") + std::string(3000, '#');
    TestRoute drip{200, manifest, manifest.size()};
    drip.dripMs = 20;  // about 500 bytes a second, all of it in 2 s or more
    server.ServeRoute("/manifesto.txt", drip);
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_STREQ(StatusBoard.status, "Could not check for updates; starting the game anyway.");
    EXPECT_EQ(server.RequestedPaths(), std::vector<std::string>(1, "/manifesto.txt"));  // not tried again
    std::vector<std::string> log = RunLogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "resposta incompleta em " + server.BaseUrl() + "manifesto.txt apos 1 s"),
              log.end());
    EXPECT_FALSE(Exists("a.bin"));
}

TEST_F(UpdateRun, ManifestWithoutFilesStartsTheGame)
{
    ServeManifest("# lista\nVERSAO 1.0.42\n");
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_STREQ(StatusBoard.status, "Empty or invalid manifest; starting the game anyway.");
    EXPECT_EQ(RunLogMessages().back(), "Empty or invalid manifest; starting the game anyway.");
    EXPECT_STREQ(StatusBoard.failure, "");
}

TEST_F(UpdateRun, ManifestNameComesFromTheConfiguration)
{
    snprintf(LauncherConfig.manifestName, sizeof LauncherConfig.manifestName, "manifesto_completo.txt");
    server.Serve("/manifesto_completo.txt", "VERSAO 2\n" + Publish("a.bin", "a"));
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_TRUE(Exists("manifesto_completo.txt"));
    EXPECT_EQ(ReadWholeFile("a.bin"), "a");
}

TEST_F(UpdateRun, CurrentFilesMakeNoDownloadRequest)
{
    WriteWholeFile("a.bin", "aaa");
    WriteWholeFile("b.bin", "bbb");
    ServeManifest("VERSAO 1.0.42\n" + FileLine("a.bin", "aaa") + FileLine("b.bin", "bbb"));
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_STREQ(StatusBoard.status, "The game is up to date.");
    EXPECT_STREQ(StatusBoard.detail, "version 1.0.42");
    EXPECT_EQ(StatusBoard.progress, 1.0f);
    EXPECT_EQ(server.RequestedPaths(), std::vector<std::string>{"/manifesto.txt"});
}

// With an objects folder each file comes from its immutable copy (a cache
// may answer), and by its path when the server has no such object. The
// manifest's own request asks every cache for a fresh copy.
TEST_F(UpdateRun, FilesComeFromTheirObjectsWhenTheManifestNamesAFolder)
{
    const std::string digest = Sha256Of("new");
    const std::string object = "/objetos/" + digest;
    const std::string fresh = "no-cache|no-cache";
    const struct {
        const char* name;
        const char* objectsLine;
        bool objectServed;
        std::vector<std::string> requested;
        std::vector<std::string> cacheHeaders;
        std::string logged;  // a line the run must log, or ""
    } cases[] = {
        {"by object", "OBJETOS objetos/\n", true, {"/manifesto.txt", object}, {fresh, "|"}, ""},
        {"a missing object, by path", "OBJETOS objetos/\n", false, {"/manifesto.txt", object, "/a.bin"},
         {fresh, "|", "|"},
         "objeto indisponivel (HTTP 404) em " + server.BaseUrl() + object.substr(1) + "; sigo por " +
             server.BaseUrl() + "a.bin"},
        {"no objects folder", "", true, {"/manifesto.txt", "/a.bin"}, {fresh, "|"}, ""},
        {"a folder that climbs out", "OBJETOS ../objetos/\n", true, {"/manifesto.txt", "/a.bin"}, {fresh, "|"},
         "linha OBJETOS invalida ignorada (../objetos/); baixo pelos caminhos"},
        {"two folders", "OBJETOS objetos/\nOBJETOS outros/\n", true, {"/manifesto.txt", "/a.bin"}, {fresh, "|"},
         "linha OBJETOS repetida: todas ignoradas; baixo pelos caminhos"},
    };
    for (const auto& c : cases) {
        DeleteFileA("a.bin");
        DeleteFileA("launcher.log");
        server.ForgetRequests();
        server.Serve("/a.bin", "new");
        server.Serve(object, c.objectServed ? "new" : "", c.objectServed ? 200 : 404);
        ServeManifest(std::string("VERSAO 1\n") + c.objectsLine + FileLine("a.bin", "new"));
        EXPECT_EQ(RunUpdate(), 1) << c.name;
        EXPECT_EQ(ReadWholeFile("a.bin"), "new") << c.name;
        EXPECT_EQ(server.RequestedPaths(), c.requested) << c.name;
        EXPECT_EQ(server.RequestedCacheHeaders(), c.cacheHeaders) << c.name;
        std::vector<std::string> log = RunLogMessages();
        if (!c.logged.empty()) {
            EXPECT_EQ(std::count(log.begin(), log.end(), c.logged), 1) << c.name;
        }
        EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                [](const std::string& m) { return m.find("OBJETOS") != std::string::npos ||
                                                                  m.find("objeto ") == 0; }),
                  c.logged.empty() ? 0 : 1)
            << c.name << ": one line at most";
    }
}

TEST_F(UpdateRun, CheckPhaseOwnsTheFirstQuarterOfTheBar)
{
    std::string lines = "VERSAO 1\n";
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"}) {
        WriteWholeFile(name, name);
        lines += FileLine(name, name);
    }
    ServeManifest(lines);
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ProgressWhileStatus("Checking game files..."), (std::vector<float>{0.0f, 0.0625f, 0.125f, 0.1875f}));
}

// The check hashes on several threads, but the player sees the files in
// manifest order, one at a time, a large one included; every file is judged.
TEST_F(UpdateRun, CheckPhaseShowsTheFilesInManifestOrderWhateverThreadHashesThem)
{
    std::string lines = "VERSAO 1\n";
    std::vector<std::string> names;
    for (int i = 0; i < 40; i++) {
        std::string name = "f" + std::to_string(i) + ".bin";
        std::string contents = i == 1 ? PatternBytes(24u << 20) : name;
        WriteWholeFile(name.c_str(), contents);
        lines += i % 7 == 3 ? Publish(name, "changed " + name) : FileLine(name, contents);
        names.push_back(name);
    }
    ServeManifest(lines);
    EXPECT_EQ(RunUpdate(), 1);
    std::vector<std::string> shown;
    for (const BoardState& state : BoardHistory) {
        if (state.status == "Checking game files..." && !state.detail.empty() &&
            (shown.empty() || shown.back() != state.detail))
            shown.push_back(state.detail);
    }
    EXPECT_EQ(shown, names);
    std::vector<float> bar = ProgressWhileStatus("Checking game files...");
    EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()));
    EXPECT_EQ(ReadWholeFile("f3.bin"), "changed f3.bin");
    EXPECT_EQ(ReadWholeFile("f38.bin"), "changed f38.bin");
}

TEST_F(UpdateRun, TypicalRoadFetchesTheChangedFilesIntoPlace)
{
    WriteWholeFile("same.bin", "same");
    WriteWholeFile("changed.bin", "old");
    ServeManifest("VERSAO 1.0.42\n" + FileLine("same.bin", "same") + Publish("changed.bin", "new contents") +
                  Publish("data\\maps\\a b.pak", PatternBytes(70000)));
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile("changed.bin"), "new contents");
    EXPECT_EQ(ReadWholeFile("data\\maps\\a b.pak"), PatternBytes(70000));
    EXPECT_EQ(RunLogMessages(), (std::vector<std::string>{
                                 "Checking for updates...",
                                 "manifesto pedido: " + server.BaseUrl() + "manifesto.txt",
                                 "manifesto lido: versao '1.0.42', 3 arquivo(s)",
                                 "Checking game files...",
                                 "2 arquivo(s) para baixar",
                                 "Downloading 1 of 2...",
                                 "Downloading 2 of 2...",
                                 "Updated to version 1.0.42.",
                             }));
    EXPECT_EQ(StatusBoard.progress, 1.0f);
    // WinINet percent-encodes the blank on the wire.
    std::vector<std::string> requested = server.RequestedPaths();
    EXPECT_NE(std::find(requested.begin(), requested.end(), "/data/maps/a%20b.pak"), requested.end());
    // The second file's turn begins with the bar at the first file's share at
    // least (the second may have come in meanwhile); the bar never goes back.
    std::vector<float> downloading = ProgressWhileStatus("Downloading 2 of 2...");
    EXPECT_GE(downloading.front(), (float)(0.25 + 0.75 * 12 / 70012.0));
    std::vector<float> bar;
    for (const BoardState& state : BoardHistory)
        if (state.status.rfind("Downloading", 0) == 0)
            bar.push_back(state.progress);
    EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()));
}

TEST_F(UpdateRun, FailedFileBlocksTheGameButTheOthersAreStillFetched)
{
    ServeManifest("VERSAO 3\n" + FileLine("first.bin", "never served") + Publish("second.bin", "2") +
                  Publish("third.bin", "3"));
    EXPECT_EQ(RunUpdate(), 0);
    EXPECT_EQ(ReadWholeFile("second.bin"), "2");
    EXPECT_EQ(ReadWholeFile("third.bin"), "3");
    EXPECT_STREQ(StatusBoard.failure,
                 "1 file(s) could not be updated.\n\nThe game will NOT start: it would differ from the server.\n"
                 "Check your connection and try again.\n\nDetails in launcher.log.");
    std::vector<std::string> statuses;
    for (const std::string& line : RunLogMessages())
        if (line.rfind("Downloading", 0) == 0)
            statuses.push_back(line);
    EXPECT_EQ(statuses,
              (std::vector<std::string>{"Downloading 1 of 3...", "Downloading 1 of 3...", "Downloading 2 of 3..."}));
    std::vector<std::string> log = RunLogMessages();
    EXPECT_EQ(log.back(), "BLOQUEADO: 1 arquivo(s) falharam, jogo nao foi aberto");
    EXPECT_NE(std::find(log.begin(), log.end(), "FALHA: 1 file(s) could not be updated."), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "falhou: first.bin"), log.end());
    EXPECT_EQ(StatusBoard.progress, 1.0f);  // every byte handled, successful or not
}

TEST_F(UpdateRun, ListedConfigurationIsReplacedLikeAnyFile)
{
    WriteWholeFile("launcher.cfg", "URL_BASE http://old/\nMANIFESTO manifesto_completo.txt\n");
    ServeManifest("VERSAO 1\n" + Publish("launcher.cfg", "URL_BASE " + server.BaseUrl() + "\r\n"));
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile("launcher.cfg"), "URL_BASE " + server.BaseUrl() + "\r\n");
}

static BOOL WINAPI NoFlush(HANDLE)
{
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}

// launcher.cfg and the accepted manifest reach the disk before they take their
// names, so a power cut never leaves them empty there; game files are judged
// by their digest at the next start instead.
TEST_F(UpdateRun, ConfigurationAndManifestAreOnTheDiskBeforeTheyTakeTheirNames)
{
    WriteWholeFile("launcher.cfg", "URL_BASE http://old/\n");
    ServeManifest("VERSAO 1\n" + Publish("launcher.cfg", "URL_BASE " + server.BaseUrl() + "\r\n") +
                  Publish("a.bin", "new"));
    Os.FlushFileBuffers = NoFlush;  // a disk that cannot take them
    EXPECT_EQ(RunUpdate(), 0);
    EXPECT_EQ(ReadWholeFile("launcher.cfg"), "URL_BASE http://old/\n");
    EXPECT_EQ(ReadWholeFile("a.bin"), "new");
    EXPECT_FALSE(Exists("manifesto.txt"));
    EXPECT_FALSE(Exists("launcher.cfg.tmp"));
    EXPECT_FALSE(Exists("manifesto.txt.tmp"));
    std::vector<std::string> log = RunLogMessages();
    for (const char* line : {"nao consegui gravar manifesto.txt.tmp (1117)", "nao consegui gravar launcher.cfg.tmp (1117)",
                             "falhou: launcher.cfg"})
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
}

TEST_F(UpdateRun, LargestListedSizeIsAnOrdinarySize)
{
    // A file of the all-ones size is still fetched: "current" is a flag of its own.
    ServeManifest("VERSAO 1\nARQUIVO " + Sha256Of("x") + " 4294967295 big.bin\n");
    server.Serve("/big.bin", "x");
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile("big.bin"), "x");
}

TEST_F(UpdateRun, PathsThatCouldLeaveTheFolderAreRefusedAndBlockTheGame)
{
    const char* hostile[] = {"..\\escaped.txt", "data\\..\\..\\escaped2.txt", "C:\\escaped3.txt", "CON"};
    std::string lines = "VERSAO 1\n";
    for (const char* path : hostile)
        lines += FileLine(path, "payload");
    lines += Publish("good.bin", "good");
    ServeManifest(lines);
    EXPECT_EQ(RunUpdate(), 0);
    EXPECT_EQ(ReadWholeFile("good.bin"), "good");
    std::vector<std::string> log = RunLogMessages();
    for (const char* path : hostile)
        EXPECT_NE(std::find(log.begin(), log.end(), std::string("caminho inseguro recusado: ") + path), log.end());
    EXPECT_EQ(server.RequestedPaths(), (std::vector<std::string>{"/manifesto.txt", "/good.bin"}));
    EXPECT_FALSE(Exists((path + "\\..\\escaped.txt").c_str()));
    EXPECT_EQ(log.back(), "BLOQUEADO: 4 arquivo(s) falharam, jogo nao foi aberto");
}

TEST_F(UpdateRun, OnlyRefusedPathsStillBlock)
{
    ServeManifest("VERSAO 1\n" + FileLine("..\\x.bin", "x"));
    EXPECT_EQ(RunUpdate(), 0);
    EXPECT_STRNE(StatusBoard.failure, "");
}

// A listed file whose digest cannot be read can never be checked: it blocks
// the game without a request.
TEST_F(UpdateRun, AnUnreadableDigestBlocksTheGame)
{
    ServeManifest("VERSAO 1\nARQUIVO ABC 1 a.bin\n" + Publish("b.bin", "b"));
    server.Serve("/a.bin", "a");
    EXPECT_EQ(RunUpdate(), 0);
    std::vector<std::string> log = RunLogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "hash ilegivel no manifesto: a.bin"), log.end());
    EXPECT_EQ(server.RequestedPaths(), (std::vector<std::string>{"/manifesto.txt", "/b.bin"}));
}

// A manifest that asks more than this launcher reads is read up to there: the
// files beyond were never seen, so nothing is checked and the game is blocked.
TEST_F(UpdateRun, AManifestBeyondTheLaunchersLimitsBlocksTheGame)
{
    ServeManifest("VERSAO 1\n" + Publish("a.bin", "a") + "ARQUIVO-LIMITES 2000000 64 exige: mais\n" +
                  Publish("b.bin", "b"));
    EXPECT_EQ(RunUpdate(), 0);
    EXPECT_STRNE(StatusBoard.failure, "");
    std::vector<std::string> log = RunLogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "manifesto.txt exige um atualizador mais novo (linha ARQUIVO-LIMITES)"),
              log.end());
    EXPECT_EQ(log.back(), "BLOQUEADO: manifesto alem dos limites deste atualizador, jogo nao foi aberto");
    EXPECT_EQ(server.RequestedPaths(), (std::vector<std::string>{"/manifesto.txt"}));
}

TEST_F(UpdateRun, ManifestWithoutVersionSaysSo)
{
    ServeManifest(Publish("a.bin", "a"));
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_STREQ(StatusBoard.status, "Updated to version .");
}

// A module path that the system did not give in full: it may still hold a
// plausible name, but it is not the running launcher's.
static DWORD WINAPI FailedModulePath(HMODULE, LPSTR path, DWORD size)
{
    snprintf(path, size, "C:\\Quorvane\\launcher.exe");
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

static DWORD WINAPI CutModulePath(HMODULE, LPSTR path, DWORD size)
{
    std::string full = "C:\\" + std::string(300, 'q') + "\\launcher.exe";
    memcpy(path, full.data() + full.size() - size, size);  // the tail, unterminated, as a cut copy ends
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

TEST_F(UpdateRun, UnreadableModulePathMeansNoEntryIsTheRunningLauncher)
{
    for (auto modulePath : {FailedModulePath, CutModulePath}) {
        DeleteFileA("launcher.exe");
        Os.GetModuleFileNameA = modulePath;
        ServeManifest("VERSAO 1\n" + Publish("launcher.exe", "the server's launcher"));
        EXPECT_EQ(RunUpdate(), 1);
        EXPECT_EQ(ReadWholeFile("launcher.exe"), "the server's launcher");  // an ordinary file, fetched
        std::vector<std::string> log = RunLogMessages();
        EXPECT_EQ(std::count(log.begin(), log.end(), "Updating the updater itself..."), 0);
    }
}

static HANDLE WINAPI RefusedThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return NULL;
}

TEST_F(UpdateRun, WithoutThreadsOfItsOwnTheDownloadPhaseFetchesOneFileAtATime)
{
    Os.CreateThread = RefusedThread;
    ServeManifest("VERSAO 1\n" + Publish("a.bin", "a") + Publish("b.bin", "b") + Publish("c.bin", "c"));
    EXPECT_EQ(RunUpdate(), 1);
    EXPECT_EQ(ReadWholeFile("a.bin") + ReadWholeFile("b.bin") + ReadWholeFile("c.bin"), "abc");
    EXPECT_EQ(RunLogMessages(), (std::vector<std::string>{
                                    "Checking for updates...",
                                    "manifesto pedido: " + server.BaseUrl() + "manifesto.txt",
                                    "manifesto lido: versao '1', 3 arquivo(s)",
                                    "Checking game files...",
                                    "3 arquivo(s) para baixar",
                                    "CreateThread falhou (8); baixo 1 arquivo(s) por vez",
                                    "Downloading 1 of 3...",
                                    "Downloading 2 of 3...",
                                    "Downloading 3 of 3...",
                                    "Updated to version 1.",
                                }));
}

TEST_F(UpdateRun, WinInetMayOpenAsManyConnectionsToTheServerAsFilesAreFetchedAtOnce)
{
    LauncherConfig.connections = 11;
    CopyCut(LauncherConfig.refusedConnections, sizeof LauncherConfig.refusedConnections, "40");
    ServeManifest("VERSAO 1\n" + Publish("a.bin", "a"));
    EXPECT_EQ(RunUpdate(), 1);
    ULONG most = 0;
    DWORD length = sizeof most;
    ASSERT_TRUE(InternetQueryOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &most, &length));
    EXPECT_GE(most, 11u);
    EXPECT_EQ(RunLogMessages().front(), "CONEXOES recusado em launcher.cfg: 40; uso 11");
}
