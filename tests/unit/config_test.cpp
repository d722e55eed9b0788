// launcher.cfg: the installer's file byte for byte, and the reader's rules.
#include <string.h>

#include <string>
#include <vector>

#include "install/install.h"
#include "test_support.h"

class Config : public ScratchFolderTest {
protected:
    void SetUp() override
    {
        ScratchFolderTest::SetUp();
        RestoreDefaultLauncherConfig();
    }
    void TearDown() override
    {
        RestoreDefaultLauncherConfig();
        ScratchFolderTest::TearDown();
    }
};

// Text-mode streams end lines with CR LF on Windows.
#ifdef _WIN32
#define EOL "\r\n"
#else
#define EOL "\n"
#endif

TEST_F(Config, InstallerFileIsWrittenByteForByteAndReadsBack)
{
    ASSERT_EQ(WriteLauncherConfig(JoinPath(path, "launcher.cfg").c_str()), 1);
    std::string expected = std::string("// Escrito pelo proprio launcher na instalacao." EOL
                                       "// MANIFESTO pede a lista do jogo inteiro. Depois da primeira" EOL
                                       "// atualizacao bem sucedida este arquivo e substituido pela" EOL
                                       "// versao normal, sem essa linha." EOL EOL "URL_BASE    ") +
                           DEFAULT_BASE_URL + EOL "MANIFESTO   manifesto_completo.txt" EOL "EXECUTAVEL  client.exe" EOL;
    EXPECT_EQ(ReadWholeFile("launcher.cfg"), expected);

    ReadLauncherConfig();
    EXPECT_STREQ(LauncherConfig.baseUrl, DEFAULT_BASE_URL);
    EXPECT_STREQ(LauncherConfig.manifestName, "manifesto_completo.txt");
    EXPECT_STREQ(LauncherConfig.gameExecutable, "client.exe");
}

TEST_F(Config, WriterReportsAFileThatCannotBeCreated)
{
    EXPECT_EQ(WriteLauncherConfig(JoinPath(JoinPath(path, "missing folder"), "launcher.cfg").c_str()), 0);
}

TEST_F(Config, MissingFileKeepsTheDefaults)
{
    ReadLauncherConfig();
    EXPECT_STREQ(LauncherConfig.baseUrl, "");
    EXPECT_STREQ(LauncherConfig.gameExecutable, "client.exe");
    EXPECT_STREQ(LauncherConfig.manifestName, "manifesto.txt");
}

struct ConfigCase {
    const char* name;
    std::string contents;
    const char* baseUrl;
    const char* gameExecutable;
    const char* manifestName;
};

TEST_F(Config, ReaderRules)
{
    const std::string url600 = "http://" + std::string(590, 'u') + "/";
    const std::string url511 = "http://" + std::string(503, 'u') + "/";
    const std::string exe64(64, 'e');
    const std::string exe63(63, 'e');
    const std::string manifest70(70, 'm');
    const std::string manifest63(63, 'm');
    const ConfigCase cases[] = {
        {"lower-case key", "url_base http://a/\n", "http://a/", "client.exe", "manifesto.txt"},
        {"key alone does not clear", "URL_BASE http://a/\nURL_BASE\n", "http://a/", "client.exe", "manifesto.txt"},
        {"last line wins", "URL_BASE http://a/\nURL_BASE http://b/\n", "http://b/", "client.exe", "manifesto.txt"},
        {"extra words ignored", "MANIFESTO one.txt two.txt\n", "", "client.exe", "one.txt"},
        {"comment line", "#URL_BASE http://a/\n", "", "client.exe", "manifesto.txt"},
        {"installer comment", "// URL_BASE http://a/\n", "", "client.exe", "manifesto.txt"},
        {"leading blanks", "   URL_BASE http://a/\n", "http://a/", "client.exe", "manifesto.txt"},
        {"blank then hash", "   #URL_BASE http://a/\n", "", "client.exe", "manifesto.txt"},
        {"tab and CR LF", "URL_BASE\thttp://a/\r\nEXECUTAVEL game.exe\r\n", "http://a/", "game.exe",
         "manifesto.txt"},
        {"no final line end", "EXECUTAVEL game.exe", "", "game.exe", "manifesto.txt"},
        {"unknown key", "SERVIDOR http://a/\n", "", "client.exe", "manifesto.txt"},
        {"empty lines", "\n\r\n\nMANIFESTO m.txt\n", "", "client.exe", "m.txt"},
        {"cut to 63: the manifest name", "MANIFESTO " + manifest70 + "\n", "", "client.exe",
         manifest63.c_str()},
        {"URL_BASE of 511 fits", "URL_BASE " + url511 + "\n", url511.c_str(), "client.exe", "manifesto.txt"},
        {"URL_BASE too long is refused", "URL_BASE http://a/\nURL_BASE " + url600 + "\n", "http://a/",
         "client.exe", "manifesto.txt"},
        {"EXECUTAVEL of 63 fits", "EXECUTAVEL " + exe63 + "\n", "", exe63.c_str(), "manifesto.txt"},
        {"EXECUTAVEL too long is refused", "EXECUTAVEL " + exe64 + "\n", "", "client.exe", "manifesto.txt"},
        // The manifest is fetched into a file of its name beside the launcher.
        {"manifest name that climbs out", "MANIFESTO m.txt\nMANIFESTO ..\\x\n", "", "client.exe", "m.txt"},
        {"manifest name with a folder", "MANIFESTO data\\m.txt\n", "", "client.exe", "manifesto.txt"},
        {"manifest name with a slash", "MANIFESTO data/m.txt\n", "", "client.exe", "manifesto.txt"},
        {"manifest name that is a drive path", "MANIFESTO C:m.txt\n", "", "client.exe", "manifesto.txt"},
        {"manifest name that is a device", "MANIFESTO con.txt\n", "", "client.exe", "manifesto.txt"},
        {"manifest name of the launcher's own", "MANIFESTO Launcher.CFG\n", "", "client.exe", "manifesto.txt"},
        // A physical line longer than 1023 characters is read in pieces.
        {"long line in pieces", std::string(1023, 'x') + "URL_BASE http://piece/\n", "http://piece/",
         "client.exe", "manifesto.txt"},
    };
    for (const ConfigCase& c : cases) {
        RestoreDefaultLauncherConfig();
        WriteWholeFile("launcher.cfg", c.contents);
        ReadLauncherConfig();
        EXPECT_STREQ(LauncherConfig.baseUrl, c.baseUrl) << c.name;
        EXPECT_STREQ(LauncherConfig.gameExecutable, c.gameExecutable) << c.name;
        EXPECT_STREQ(LauncherConfig.manifestName, c.manifestName) << c.name;
        EXPECT_EQ(LauncherConfig.refusedManifestName[0] != '\0', strstr(c.name, "manifest name ") == c.name) << c.name;
    }
}

struct ConnectionsCase {
    const char* contents;
    int connections;
    const char* refused;
};

TEST_F(Config, ConnectionCountIsOneToSixteenOrTheEarlierCount)
{
    const ConnectionsCase cases[] = {
        {"", 6, ""},
        {"CONEXOES 1\n", 1, ""},
        {"conexoes 16\r\n", 16, ""},
        {"CONEXOES 0016\n", 16, ""},
        {"CONEXOES 3\nCONEXOES 9\n", 9, ""},
        {"CONEXOES 3\nCONEXOES 0\n", 3, "0"},
        {"CONEXOES 17\n", 6, "17"},
        {"CONEXOES -2\n", 6, "-2"},
        {"CONEXOES +2\n", 6, "+2"},
        {"CONEXOES 4x\n", 6, "4x"},
        {"CONEXOES 99999999999999999999\n", 6, "999999999999999"},
        {"CONEXOES\n", 6, ""},
    };
    for (const ConnectionsCase& c : cases) {
        RestoreDefaultLauncherConfig();
        WriteWholeFile("launcher.cfg", c.contents);
        ReadLauncherConfig();
        EXPECT_EQ(LauncherConfig.connections, c.connections) << c.contents;
        EXPECT_STREQ(LauncherConfig.refusedConnections, c.refused) << c.contents;
    }
}

struct MirrorsCase {
    std::string contents;
    std::vector<std::string> mirrors;
    int refused;
    const char* firstRefused;
};

TEST_F(Config, MirrorsAreUpToFourBaseUrlsInOrderTheRestRefused)
{
    const std::string long512 = "http://" + std::string(504, 'u') + "/";
    const std::string long511 = "http://" + std::string(503, 'u') + "/";
    const std::string cut63 = long512.substr(0, 63);
    const MirrorsCase cases[] = {
        {"", {}, 0, ""},
        {"ESPELHO http://b/\n", {"http://b/"}, 0, ""},
        {"espelho https://b.example/q/\r\n", {"https://b.example/q/"}, 0, ""},
        {"ESPELHO http://b/\nESPELHO http://c/\n", {"http://b/", "http://c/"}, 0, ""},
        {"ESPELHO http://b/\nESPELHO http://c/\nESPELHO http://d/\nESPELHO http://e/\nESPELHO http://f/\n",
         {"http://b/", "http://c/", "http://d/", "http://e/"}, 1, "http://f/"},
        {"ESPELHO http://b\n", {}, 1, "http://b"},
        {"ESPELHO ftp://b/\nESPELHO http://c/\n", {"http://c/"}, 1, "ftp://b/"},
        {"ESPELHO b/\nESPELHO http:///\n", {}, 2, "b/"},
        {"ESPELHO " + long512 + "\n", {}, 1, cut63.c_str()},
        {"ESPELHO " + long511 + "\n", {long511}, 0, ""},
        {"ESPELHO\n", {}, 0, ""},
        {"#ESPELHO http://b/\n", {}, 0, ""},
    };
    for (const MirrorsCase& c : cases) {
        RestoreDefaultLauncherConfig();
        WriteWholeFile("launcher.cfg", c.contents);
        ReadLauncherConfig();
        ASSERT_EQ(LauncherConfig.mirrorCount, (int)c.mirrors.size()) << c.contents;
        for (size_t i = 0; i < c.mirrors.size(); i++)
            EXPECT_EQ(LauncherConfig.mirrors[i], c.mirrors[i]) << c.contents;
        EXPECT_EQ(LauncherConfig.refusedMirrors, c.refused) << c.contents;
        EXPECT_STREQ(LauncherConfig.refusedMirror, c.firstRefused) << c.contents;
        EXPECT_STREQ(LauncherConfig.baseUrl, "") << c.contents;
    }
}

TEST_F(Config, TheBuildsMirrorsBecomeEspelhoLinesThatReadBack)
{
    const char* const lists[] = {"", "  ", "http://b/", " http://b/\thttps://c.example/q/  "};
    const char* const expected[] = {"", "", "ESPELHO     http://b/" EOL,
                                    "ESPELHO     http://b/" EOL "ESPELHO     https://c.example/q/" EOL};
    for (size_t i = 0; i < sizeof lists / sizeof lists[0]; i++) {
        FILE* file = fopen("launcher.cfg", "wt");
        ASSERT_TRUE(file);
        WriteMirrorLines(file, lists[i]);
        fclose(file);
        EXPECT_EQ(ReadWholeFile("launcher.cfg"), expected[i]) << lists[i];
        RestoreDefaultLauncherConfig();
        ReadLauncherConfig();
        EXPECT_EQ(LauncherConfig.mirrorCount, i < 2 ? 0 : (int)i - 1) << lists[i];
        EXPECT_EQ(LauncherConfig.refusedMirrors, 0) << lists[i];
    }
}
