// DownloadFile and MakeParentDirectories against the scripted server: what is
// left on disk, what is logged, what the detail line and progress show.
#include <algorithm>
#include <string>
#include <vector>

#include "shell/shell.h"
#include "update/update.h"
#include "update_fixture.h"

class Download : public UpdateEngineTest {
protected:
    int Fetch(const std::string& name, const std::string& target, uint64_t size, const char* digest,
              DWORD maxBytes = 0xFFFFFFFFu)
    {
        std::string url = server.BaseUrl() + name;
        FileFetch fetch = {url.c_str(), target.c_str(), size, digest, maxBytes, PLACE_AS_TARGET, CACHE_NONE, NULL,
                           NULL};
        return DownloadFile(internet, &fetch);
    }
    static bool Exists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }
};

TEST_F(Download, VerifiedBodyReplacesTheTargetAndSendsTheUserAgent)
{
    WriteWholeFile("a.bin", "old");
    std::string body = PatternBytes(100000);
    server.Serve("/a.bin", body);
    EXPECT_EQ(Fetch("a.bin", "a.bin", (uint32_t)body.size(), Sha256Of(body).c_str()), 1);
    EXPECT_EQ(ReadWholeFile("a.bin"), body);
    EXPECT_FALSE(Exists("a.bin.tmp"));
    EXPECT_EQ(server.LastUserAgent(), "QRV-Launcher/1.0");
}

TEST_F(Download, NotFoundLeavesEverythingAsItWas)
{
    WriteWholeFile("a.bin", "old");
    EXPECT_EQ(Fetch("a.bin", "a.bin", 3, nullptr), 0);
    EXPECT_EQ(ReadWholeFile("a.bin"), "old");
    EXPECT_FALSE(Exists("a.bin.tmp"));
    EXPECT_EQ(RunLogMessages().back(), "HTTP 404 em " + server.BaseUrl() + "a.bin");
}

TEST_F(Download, EmptyBodyWithoutDigestGivesAnEmptyFile)
{
    WriteWholeFile("a.bin", "old");
    server.Serve("/a.bin", "");
    EXPECT_EQ(Fetch("a.bin", "a.bin", 0, ""), 1);
    EXPECT_TRUE(Exists("a.bin"));
    EXPECT_EQ(ReadWholeFile("a.bin"), "");
}

TEST_F(Download, DigestMismatchKeepsTheOldTarget)
{
    WriteWholeFile("a.bin", "old");
    server.Serve("/a.bin", "tampered");
    std::string expected = Sha256Of("genuine");
    EXPECT_EQ(Fetch("a.bin", "a.bin", 8, expected.c_str()), 0);
    EXPECT_EQ(ReadWholeFile("a.bin"), "old");
    EXPECT_FALSE(Exists("a.bin.tmp"));
    EXPECT_EQ(RunLogMessages().back(),
              "hash nao confere em a.bin (esperado " + expected + ", obtido " + Sha256Of("tampered") + ")");
}

TEST_F(Download, UppercaseExpectedDigestMatches)
{
    server.Serve("/a.bin", "genuine");
    std::string upper = Sha256Of("genuine");
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    EXPECT_EQ(Fetch("a.bin", "a.bin", 7, upper.c_str()), 1);
}

TEST_F(Download, TruncatedBodyIsABrokenTransfer)
{
    WriteWholeFile("a.bin", "old");
    std::string body = PatternBytes(500);
    server.ServeTruncated("/a.bin", body, 1000);
    EXPECT_EQ(Fetch("a.bin", "a.bin", 1000, nullptr), 0);  // no digest: only the length tells
    EXPECT_EQ(ReadWholeFile("a.bin"), "old");
    EXPECT_FALSE(Exists("a.bin.tmp"));
    EXPECT_EQ(RunLogMessages().back(), "transferencia interrompida em " + server.BaseUrl() + "a.bin (500 bytes recebidos)");
}

TEST_F(Download, DetailLineShowsKilobytes)
{
    server.Serve("/manifesto.txt", std::string(3500, 'm'));
    float before = StatusBoard.progress;
    EXPECT_EQ(Fetch("manifesto.txt", "manifesto.txt", 0, nullptr), 1);
    EXPECT_TRUE(SawDetail("manifesto.txt  -  3 KB"));
    EXPECT_EQ(StatusBoard.progress, before);  // an unknown size does not move the bar

    MakeParentDirectories("data\\ost_fell_textures.pack");
    server.Serve("/data/ost_fell_textures.pack", std::string(18432 * 1024, 'p'));
    BytesToFetch = 24818.0 * 1024;
    EXPECT_EQ(Fetch("data/ost_fell_textures.pack", "data\\ost_fell_textures.pack", 24818 * 1024, nullptr), 1);
    EXPECT_TRUE(SawDetail("data\\ost_fell_textures.pack  -  18432 of 24818 KB"));
    EXPECT_FLOAT_EQ(StatusBoard.progress, (float)(0.25 + 0.75 * 18432.0 / 24818.0));

    server.Serve("/big.pak", std::string(2048, 'b'));  // a size listed beyond 4 GiB counts whole
    EXPECT_EQ(Fetch("big.pak", "big.pak", 5368709120ull, nullptr), 1);
    EXPECT_TRUE(SawDetail("big.pak  -  2 of 5242880 KB"));
}

TEST_F(Download, LockedTargetStaysAndTheTemporaryGoes)
{
    WriteWholeFile("a.bin", "old");
    server.Serve("/a.bin", "new");
    HANDLE held = CreateFileA("a.bin", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Fetch("a.bin", "a.bin", 3, nullptr), 0);
    CloseHandle(held);
    EXPECT_EQ(ReadWholeFile("a.bin"), "old");
    EXPECT_FALSE(Exists("a.bin.tmp"));
    EXPECT_EQ(RunLogMessages().back().rfind("nao consegui renomear a.bin.tmp para a.bin (", 0), 0u);
}

TEST_F(Download, TemporaryNameThatWouldNotFitFailsBeforeAnyRequest)
{
    std::string target(256, 't');  // with ".tmp" one character over the path limit
    EXPECT_EQ(Fetch("x", target, 0, nullptr), 0);
    EXPECT_TRUE(server.RequestedPaths().empty());
    EXPECT_EQ(RunLogMessages().back(), "caminho longo demais para o arquivo temporario de " + target);
}

TEST_F(Download, ParentFoldersAreMadeOutermostFirst)
{
    MakeParentDirectories("data\\maps/x.pak");
    EXPECT_TRUE(Exists("data"));
    EXPECT_TRUE(Exists("data\\maps"));
    EXPECT_FALSE(Exists("data\\maps\\x.pak"));
    MakeParentDirectories("data\\maps/x.pak");  // existing folders are fine
    MakeParentDirectories("");
    MakeParentDirectories("single.bin");
    EXPECT_FALSE(Exists("single.bin"));
}

// Folders are made by the fetch that finds them missing, also when one was
// removed after an earlier file of the same run was fetched into it.
TEST_F(Download, MissingFoldersAreMadeByEachFetchThatNeedsThem)
{
    const std::string body = "dentro";
    server.Serve("/a.bin", body);
    EXPECT_EQ(Fetch("a.bin", "data\\maps\\a.pak", (uint32_t)body.size(), Sha256Of(body).c_str()), 1);
    EXPECT_EQ(ReadWholeFile("data\\maps\\a.pak"), body);
    ASSERT_TRUE(DeleteFileA("data\\maps\\a.pak") && RemoveDirectoryA("data\\maps") && RemoveDirectoryA("data"));
    EXPECT_EQ(Fetch("a.bin", "data\\maps\\b.pak", (uint32_t)body.size(), Sha256Of(body).c_str()), 1);
    EXPECT_EQ(ReadWholeFile("data\\maps\\b.pak"), body);
}

// A file of that many zero bytes, made without writing them (sparse where
// the file system allows it).
static void MakeFileOfSize(const char* name, uint64_t size)
{
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << name;
    LARGE_INTEGER end;
    end.QuadPart = (LONGLONG)size;
    EXPECT_TRUE(SetFilePointerEx(file, end, NULL, FILE_BEGIN) && SetEndOfFile(file)) << name;
    CloseHandle(file);
}

// What a retried or resumed transfer asked for and left behind.
struct ResumeCase {
    const char* name;
    uint64_t staleBytes;    // a temporary file of other bytes left by an earlier run
    int cutTimes;           // answers that break off after 30 000 bytes
    bool ranges;            // the server answers Range requests
    int fetched;
    std::vector<std::string> ranges_asked;
    bool noLength = false;  // answers without Content-Length: the body ends when the server closes
    uint64_t listed = 100000;  // the size the manifest lists
};

TEST_F(Download, BrokenTransfersAreTriedAgainAndResumed)
{
    const std::string body = PatternBytes(100000);
    const std::string digest = Sha256Of(body);
    const ResumeCase cases[] = {
        {"cut once, resumed", 0, 1, true, 1, {"", "bytes=30000-"}},
        {"cut once, no ranges: started over", 0, 1, false, 1, {"", "bytes=30000-"}},
        {"cut twice, resumed twice", 0, 2, true, 1, {"", "bytes=30000-", "bytes=60000-"}},
        {"cut three times: kept for a later run", 0, 3, true, 0, {"", "bytes=30000-", "bytes=60000-"}},
        {"stale temporary of other bytes: once more from the start", 40000, 0, true, 1, {"bytes=40000-", ""}},
        {"temporary not smaller than the file: started over", 150000, 0, true, 1, {""}},
        {"close-delimited, cut once: resumed", 0, 1, true, 1, {"", "bytes=30000-"}, true},
        {"close-delimited, cut every time: kept for a later run", 0, 3, false, 0, {"", "bytes=30000-", "bytes=30000-"},
         true},
        {"close-delimited and whole, listed larger: the digest says it is the file", 0, 0, true, 1, {""}, true, 150000},
        {"temporary past 4 GiB of a file of 5 GiB: continued from there", 4294967396ull, 0, true, 1,
         {"bytes=4294967396-"}, false, 5368709120ull},
    };
    for (const ResumeCase& c : cases) {
        server.ForgetRequests();
        DeleteFileA("a.bin");
        DeleteFileA("a.bin.tmp");
        DeleteFileA("launcher.log");
        if (c.staleBytes)
            MakeFileOfSize("a.bin.tmp", c.staleBytes);
        TestRoute route{200, body, body.size()};
        route.cutTimes = c.cutTimes;
        route.cutAt = 30000;
        route.ranges = c.ranges;
        route.noLength = c.noLength;
        server.ServeRoute("/a.bin", route);
        BytesToFetch = (double)c.listed;
        BytesHandled = 0;
        SetProgress(0.25f);
        BoardHistory.clear();

        EXPECT_EQ(Fetch("a.bin", "a.bin", c.listed, digest.c_str()), c.fetched) << c.name;
        EXPECT_EQ(server.RequestedRanges(), c.ranges_asked) << c.name;
        if (c.fetched) {
            EXPECT_EQ(ReadWholeFile("a.bin"), body) << c.name;
            EXPECT_FALSE(Exists("a.bin.tmp")) << c.name;
        } else {
            EXPECT_EQ(ReadWholeFile("a.bin.tmp"), body.substr(0, c.ranges ? 90000 : 30000)) << c.name;
        }
        float last = 0.0f;
        for (const BoardState& state : BoardHistory) {
            EXPECT_GE(state.progress, last) << c.name << ": the bar went back";
            EXPECT_LE(state.progress, 1.0f) << c.name;
            last = state.progress;
        }
    }
}

TEST_F(Download, RetriesAndResumptionsAreLogged)
{
    const std::string body = PatternBytes(100000);
    server.ServeCut("/a.bin", body, 30000, 1, true);
    EXPECT_EQ(Fetch("a.bin", "a.bin", (uint32_t)body.size(), Sha256Of(body).c_str()), 1);
    const std::string url = server.BaseUrl() + "a.bin";
    EXPECT_EQ(RunLogMessages(), (std::vector<std::string>{
                                    "transferencia interrompida em " + url + " (30000 bytes recebidos)",
                                    "nova tentativa 2 de " + url,
                                    "retomando a.bin a partir de 30000 bytes",
                                }));
    EXPECT_TRUE(SawDetail("a.bin  -  97 of 97 KB"));
}

TEST_F(Download, StalledBodyTimesOutAndEndsAfterThreeAttempts)
{
    WriteWholeFile("a.bin", "old");
    const std::string body = PatternBytes(100000);
    server.ServeStalled("/a.bin", body, 5000, 1700);
    EXPECT_EQ(Fetch("a.bin", "a.bin", (uint32_t)body.size(), Sha256Of(body).c_str()), 0);
    EXPECT_EQ(server.RequestedPaths().size(), 3u);
    EXPECT_EQ(ReadWholeFile("a.bin"), "old");
    std::vector<std::string> log = RunLogMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(), "nova tentativa 3 de " + server.BaseUrl() + "a.bin"), 1);
}

TEST_F(Download, DrippingBodyIsStalledAndEndsAfterThreeAttempts)
{
    TransferPolicy.stallWindowMs = 1000;  // the launcher's is 30 s, with the same 1 KB
    const std::string body = PatternBytes(100000);
    TestRoute drip{200, body, body.size()};
    drip.dripMs = 50;  // 200 bytes a second
    server.ServeRoute("/a.bin", drip);
    DWORD start = GetTickCount();
    EXPECT_EQ(Fetch("a.bin", "a.bin", (uint32_t)body.size(), Sha256Of(body).c_str()), 0);
    EXPECT_LT(GetTickCount() - start, 10000u);
    EXPECT_EQ(server.RequestedPaths().size(), 3u);
    std::vector<std::string> log = RunLogMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "transferencia parada em " + server.BaseUrl() + "a.bin (menos de 1024 bytes em 1 s)"),
              3);
}

// A server that keeps the short rule (here 100 bytes a second) but averages
// below the slow one over its whole window is stalled too.
TEST_F(Download, SlowAverageIsAStallToo)
{
    TransferPolicy.stallWindowMs = 1000;
    TransferPolicy.stallMinimumBytes = 100;
    TransferPolicy.slowWindowMs = 2000;  // the launcher's: 60 KB over 60 s
    TransferPolicy.slowMinimumBytes = 8192;
    const std::string body = PatternBytes(100000);
    TestRoute drip{200, body, body.size()};
    drip.dripMs = 10;  // about 1 KB a second
    server.ServeRoute("/a.bin", drip);
    EXPECT_EQ(Fetch("a.bin", "a.bin", (uint32_t)body.size(), Sha256Of(body).c_str()), 0);
    EXPECT_EQ(server.RequestedPaths().size(), 3u);
    std::vector<std::string> log = RunLogMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "transferencia parada em " + server.BaseUrl() + "a.bin (menos de 8192 bytes em 2 s)"),
              3);
}

// An answer beyond the file's limit is a failure, not a broken transfer: it is
// not asked again, and nothing of it stays.
TEST_F(Download, AnswerBeyondTheLimitFailsAtOnce)
{
    const std::string body = PatternBytes(100000);
    for (bool announced : {true, false}) {
        server.ForgetRequests();
        DeleteFileA("launcher.log");
        TestRoute route{200, body, body.size()};
        route.noLength = !announced;
        server.ServeRoute("/a.bin", route);
        EXPECT_EQ(Fetch("a.bin", "a.bin", 7, Sha256Of(body).c_str(), 50000), 0) << announced;
        EXPECT_EQ(server.RequestedPaths().size(), 1u) << announced;
        EXPECT_FALSE(Exists("a.bin.tmp")) << announced;
        EXPECT_FALSE(Exists("a.bin")) << announced;
        std::vector<std::string> log = RunLogMessages();
        ASSERT_FALSE(log.empty());
        std::string prefix = "resposta grande demais em " + server.BaseUrl() + "a.bin (";
        EXPECT_EQ(log.front().rfind(prefix, 0), 0u) << log.front();
        EXPECT_NE(log.front().find(announced ? "(100000 bytes, limite de 50000)" : " bytes, limite de 50000)"),
                  std::string::npos)
            << log.front();
    }
}

static DWORD WINAPI CloseAfterHalfASecond(LPVOID handle)
{
    Sleep(500);
    CloseHandle((HANDLE)handle);
    return 0;
}

TEST_F(Download, TargetHeldForAMomentIsReplacedOnceFree)
{
    WriteWholeFile("a.bin", "old");
    HANDLE held = CreateFileA("a.bin", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE releaser = CreateThread(NULL, 0, CloseAfterHalfASecond, held, 0, NULL);
    server.Serve("/a.bin", "new");
    EXPECT_EQ(Fetch("a.bin", "a.bin", 3, Sha256Of("new").c_str()), 1);
    WaitForSingleObject(releaser, INFINITE);
    CloseHandle(releaser);
    EXPECT_EQ(ReadWholeFile("a.bin"), "new");
    EXPECT_FALSE(Exists("a.bin.tmp"));
}
