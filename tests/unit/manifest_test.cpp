// The manifest parser, the safe-path rule and file URLs: pure rules, table-driven.
#include <string.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "trust/trust.h"

static const std::string DIGEST_A = "a1c4916b51557509bfc334c847489ea9f97ae43d41590f2b9b9c5babca1ff25a";

static std::string DigestText(const uint8_t digest[32])
{
    char text[65];
    WriteDigestHex(digest, text);
    return text;
}

class ParseManifestTest : public ScratchFolderTest {
protected:
    int Parse(const std::string& contents)
    {
        WriteWholeFile("m.txt", contents);
        return ParseManifest("m.txt", &manifest);
    }
    // Each entry's path, size, digest and state, a line each.
    static std::string Listed()
    {
        std::string text;
        for (int i = 0; i < manifest.count; i++) {
            const ManifestEntry& entry = manifest.entries[i];
            text += std::string(entry.path) + " " + std::to_string(entry.size) + " " + DigestText(entry.digest) + " " +
                    std::to_string(entry.state) + "\n";
        }
        return text;
    }
    static Manifest manifest;
};
Manifest ParseManifestTest::manifest;

struct VersionCase {
    const char* name;
    std::string contents;
    const char* version;
};

TEST_F(ParseManifestTest, VersionLines)
{
    const std::string file = "ARQUIVO " + DIGEST_A + " 5 a.bin\n";
    const VersionCase cases[] = {
        {"plain", "VERSAO 1.0.42\n" + file, "1.0.42"},
        {"lower case, no blank", "versao1.0.42\n" + file, "1.0.42"},
        {"mixed case", "VerSao 2\n" + file, "2"},
        {"blanks only keep the previous", "VERSAO 1\nVERSAO   \t \n" + file, "1"},
        {"blanks only, no previous", "VERSAO   \n" + file, ""},
        {"the last one wins, wherever it stands", "VERSAO 1\n" + file + "VERSAO 2 beta  \n", "2 beta  "},
        {"CR LF is no part of the version", "VERSAO 3.1\r\n" + file, "3.1"},
        {"cut to 127", "VERSAO " + std::string(130, 'v') + "\n" + file, nullptr},
        {"byte-order mark hides the first line", "\xEF\xBB\xBFVERSAO 9\n" + file, ""},
    };
    for (const VersionCase& c : cases) {
        EXPECT_EQ(Parse(c.contents), 1) << c.name;
        std::string expected = c.version ? c.version : std::string(127, 'v');
        EXPECT_EQ(std::string(manifest.version), expected) << c.name;
    }
}

struct EntryCase {
    const char* name;
    std::string line;
    int valid;
    const char* path;
    uint64_t size;
};

TEST_F(ParseManifestTest, FileLines)
{
    const std::string d = DIGEST_A;
    const EntryCase cases[] = {
        {"plain", "ARQUIVO " + d + " 24818 data\\ost.pack\n", 1, "data\\ost.pack", 24818},
        {"lower-case keyword", "arquivo " + d + " 1 a.bin\n", 1, "a.bin", 1},
        {"inner blank kept", "ARQUIVO " + d + " 7 data\\textures pack.bin\n", 1, "data\\textures pack.bin", 7},
        {"trailing blanks kept", "ARQUIVO " + d + " 7 a.bin  \n", 1, "a.bin  ", 7},
        {"tabs between fields", "ARQUIVO\t" + d + "\t8\tb.bin\r\n", 1, "b.bin", 8},
        {"largest size of 32 bits", "ARQUIVO " + d + " 4294967295 big.bin\n", 1, "big.bin", 4294967295u},
        {"size over 32 bits", "ARQUIVO " + d + " 4294967296 big.bin\n", 1, "big.bin", 4294967296u},
        {"5 GB", "ARQUIVO " + d + " 5368709120 pack.bin\n", 1, "pack.bin", 5368709120u},
        {"largest size", "ARQUIVO " + d + " 9223372036854775807 big.bin\n", 1, "big.bin", INT64_MAX},
        {"leading zeros", "ARQUIVO " + d + " 0009223372036854775807 big.bin\n", 1, "big.bin", INT64_MAX},
        {"size over 63 bits", "ARQUIVO " + d + " 9223372036854775808 a.bin\n", 0, nullptr, 0},
        {"size over 64 bits", "ARQUIVO " + d + " 18446744073709551616 a.bin\n", 0, nullptr, 0},
        {"zero size", "ARQUIVO " + d + " 0 empty.bin\n", 1, "empty.bin", 0},
        {"no size", "ARQUIVO " + d + " data\\x.bin\n", 0, nullptr, 0},
        {"no path", "ARQUIVO " + d + " 12\n", 0, nullptr, 0},
        {"no path, blanks", "ARQUIVO " + d + " 12   \n", 0, nullptr, 0},
        {"negative size", "ARQUIVO " + d + " -1 a.bin\n", 0, nullptr, 0},
        {"signed size", "ARQUIVO " + d + " +5 a.bin\n", 0, nullptr, 0},
        {"size with letters", "ARQUIVO " + d + " 12abc a.bin\n", 0, nullptr, 0},
        {"leading blank", " ARQUIVO " + d + " 5 a.bin\n", 0, nullptr, 0},
        {"leading tab", "\tARQUIVO " + d + " 5 a.bin\n", 0, nullptr, 0},
        {"comment", "#ARQUIVO " + d + " 5 a.bin\n", 0, nullptr, 0},
        {"keyword only", "ARQUIVO\n", 0, nullptr, 0},
    };
    for (const EntryCase& c : cases) {
        EXPECT_EQ(Parse(c.line), c.valid) << c.name;
        if (c.valid) {
            EXPECT_STREQ(manifest.entries[0].path, c.path) << c.name;
            EXPECT_EQ(manifest.entries[0].size, c.size) << c.name;
            EXPECT_EQ(DigestText(manifest.entries[0].digest), d) << c.name;
            EXPECT_EQ(manifest.entries[0].digestRead, 1) << c.name;
            EXPECT_EQ(manifest.entries[0].state, ENTRY_UNCHECKED) << c.name;
        }
    }
}

// A digest token that is not 64 hexadecimal characters still makes an entry
// (it is listed, so the run must not start the game without it), one that
// can never check.
TEST_F(ParseManifestTest, DigestAndPathAreCutToTheirFields)
{
    std::string longDigest = DIGEST_A + "0123456";  // 71 characters
    std::string longPath = "data\\" + std::string(300, 'p');
    std::string upper = "A1C4916B51557509BFC334C847489EA9F97AE43D41590F2B9B9C5BABCA1FF25A";
    ASSERT_EQ(Parse("ARQUIVO " + longDigest + " 1 " + longPath + "\n" + "ARQUIVO ABC 2 short.bin\n" + "ARQUIVO " +
                    upper + " 3 upper.bin\nARQUIVO " + std::string(63, 'a') + "x 4 odd.bin\n"),
              4);
    EXPECT_EQ(DigestText(manifest.entries[0].digest), DIGEST_A);
    EXPECT_EQ(manifest.entries[0].digestRead, 1);
    EXPECT_EQ(std::string(manifest.entries[0].path), longPath.substr(0, 259));
    EXPECT_EQ(manifest.entries[1].digestRead, 0) << "a short token";
    EXPECT_STREQ(manifest.entries[1].path, "short.bin");
    EXPECT_EQ(DigestText(manifest.entries[2].digest), DIGEST_A) << "upper case";
    EXPECT_EQ(manifest.entries[3].digestRead, 0) << "not hexadecimal";
}

TEST_F(ParseManifestTest, CrLfAndLfGiveTheSameEntries)
{
    std::string lf = "VERSAO 1\nARQUIVO " + DIGEST_A + " 5 data\\a b.bin\n";
    std::string crlf = "VERSAO 1\r\nARQUIVO " + DIGEST_A + " 5 data\\a b.bin\r\n";
    ASSERT_EQ(Parse(lf), 1);
    std::string pathLf = manifest.entries[0].path;
    ASSERT_EQ(Parse(crlf), 1);
    EXPECT_EQ(std::string(manifest.entries[0].path), pathLf);
    EXPECT_STREQ(manifest.version, "1");
}

// Entries grow with the manifest: past the 4 096 of older launchers, and each
// path stays where it was kept while the table grows.
TEST_F(ParseManifestTest, EntriesGrowWithTheManifest)
{
    std::string contents;
    for (int i = 0; i < 5000; i++)
        contents += "ARQUIVO " + DIGEST_A + " " + std::to_string(i) + " data\\f" + std::to_string(i) + std::string(200, 'x') + ".bin\n";
    contents += "VERSAO depois\n";
    EXPECT_EQ(Parse(contents), 5000);
    for (int i : {0, 4095, 4096, 4999}) {
        EXPECT_EQ(std::string(manifest.entries[i].path), "data\\f" + std::to_string(i) + std::string(200, 'x') + ".bin");
        EXPECT_EQ(manifest.entries[i].size, (uint64_t)i);
    }
    EXPECT_STREQ(manifest.version, "depois");
    EXPECT_EQ(manifest.limit, MANIFEST_WITHIN_LIMITS);
}

// One entry past the most there may be: the manifest is read up to the limit
// and says so, and nothing is allocated for the rest.
TEST_F(ParseManifestTest, PastTheMostEntriesTheManifestIsReadToTheLimit)
{
    std::string line = "ARQUIVO " + DIGEST_A + " 1 a\n";
    std::string contents;
    contents.reserve(line.size() * (MANIFEST_MOST_ENTRIES + 1) + 32);
    for (int i = 0; i < MANIFEST_MOST_ENTRIES; i++)
        contents += line;
    EXPECT_EQ(Parse(contents), MANIFEST_MOST_ENTRIES);
    EXPECT_EQ(manifest.limit, MANIFEST_WITHIN_LIMITS) << "exactly the most";
    EXPECT_EQ(Parse(contents + line + "VERSAO depois\n"), MANIFEST_MOST_ENTRIES);
    EXPECT_EQ(manifest.limit, MANIFEST_TOO_MANY_ENTRIES);
    EXPECT_LE(manifest.entryRoom, MANIFEST_MOST_ENTRIES);
    EXPECT_STREQ(manifest.version, "") << "nothing is read past the limit";
    ReleaseManifest(&manifest);
    EXPECT_EQ(manifest.count, 0);
}

// "ARQUIVO-LIMITES <entries> <bits> <why>": what a release needs of a
// launcher. Met, it is no entry; not met or unreadable, the manifest is read
// no further. Older launchers read it as a file with ":" in its path.
TEST_F(ParseManifestTest, LimitsLines)
{
    const std::string launcher = "ARQUIVO " + DIGEST_A + " 9 launcher.exe\n";
    const std::string after = "ARQUIVO " + DIGEST_A + " 5368709120 pack.bin\n";
    const struct {
        const char* line;
        ManifestLimit limit;
        int count;
    } cases[] = {
        {"ARQUIVO-LIMITES 1000000 32 exige um atualizador novo: 1000000 arquivos\n", MANIFEST_WITHIN_LIMITS, 2},
        {"arquivo-limites 4097 32\n", MANIFEST_WITHIN_LIMITS, 2},
        {"ARQUIVO-LIMITES 4097 64 arquivos de mais de 4 GB\n", MANIFEST_WITHIN_LIMITS, 2},
        {"ARQUIVO-LIMITES 1000001 64 mais\n", MANIFEST_NEEDS_NEWER, 1},
        {"ARQUIVO-LIMITES 1000000 65\n", MANIFEST_NEEDS_NEWER, 1},
        {"ARQUIVO-LIMITES 99999999999 64\n", MANIFEST_NEEDS_NEWER, 1},
        {"ARQUIVO-LIMITES 1000000\n", MANIFEST_NEEDS_NEWER, 1},
        {"ARQUIVO-LIMITES\n", MANIFEST_NEEDS_NEWER, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(launcher + c.line + after), c.count) << c.line;
        EXPECT_EQ(manifest.limit, c.limit) << c.line;
        EXPECT_STREQ(manifest.entries[0].path, "launcher.exe") << c.line;
    }
}

TEST_F(ParseManifestTest, NothingValidGivesZero)
{
    EXPECT_EQ(Parse("# comentario\nVERSAO 1.0\n\n"), 0);
    EXPECT_EQ(ParseManifest("missing.txt", &manifest), 0);
    EXPECT_STREQ(manifest.version, "");
}

// "OBJETOS <folder>": a folder under URL_BASE where every file also lies
// under its digest. A line that breaks a rule, or comes twice, is ignored.
TEST_F(ParseManifestTest, ObjectsLines)
{
    const struct {
        const char* lines;
        ObjectsLine objects;
        const char* folder;  // the valid folder, or the refused text kept for the log
    } cases[] = {
        {"OBJETOS objetos/\n", OBJECTS_VALID, "objetos/"},
        {"objetos cdn/v2/objects/  \r\n", OBJECTS_VALID, "cdn/v2/objects/"},
        {"OBJETOS\tobjetos/\n", OBJECTS_VALID, "objetos/"},
        {"OBJETOS ./o/\n", OBJECTS_VALID, "./o/"},
        {"", OBJECTS_NONE, ""},
        {"OBJETOSx objetos/\n", OBJECTS_NONE, ""},
        {" OBJETOS objetos/\n", OBJECTS_NONE, ""},
        {"OBJETOS\n", OBJECTS_INVALID, ""},
        {"OBJETOS objetos\n", OBJECTS_INVALID, "objetos"},             // no final "/"
        {"OBJETOS /objetos/\n", OBJECTS_INVALID, "/objetos/"},         // absolute
        {"OBJETOS http://evil/\n", OBJECTS_INVALID, "http://evil/"},   // another server
        {"OBJETOS ../objetos/\n", OBJECTS_INVALID, "../objetos/"},     // climbs out of URL_BASE
        {"OBJETOS a/../../\n", OBJECTS_INVALID, "a/../../"},
        {"OBJETOS a/.. /\n", OBJECTS_INVALID, "a/.."},                  // two words
        {"OBJETOS a\\b/\n", OBJECTS_INVALID, "a\\b/"},
        {"OBJETOS c:o/\n", OBJECTS_INVALID, "c:o/"},
        {"OBJETOS o?x=1/\n", OBJECTS_INVALID, "o?x=1/"},
        {"OBJETOS o#f/\n", OBJECTS_INVALID, "o#f/"},
        {"OBJETOS %2e%2e/\n", OBJECTS_INVALID, "%2e%2e/"},
        {"OBJETOS o//\n", OBJECTS_INVALID, "o//"},
        {"OBJETOS \xe9/\n", OBJECTS_INVALID, "\xe9/"},
        {"OBJETOS a b/\n", OBJECTS_INVALID, "a"},
        {"OBJETOS objetos/\nOBJETOS objetos/\n", OBJECTS_REPEATED, ""},
        {"OBJETOS ../\nOBJETOS objetos/\n", OBJECTS_REPEATED, "../"},
    };
    const std::string longest(199, 'o');
    for (const auto& c : cases) {
        EXPECT_EQ(Parse("VERSAO 1\n" + std::string(c.lines) + "ARQUIVO " + std::string(64, 'a') + " 1 a.bin\n"), 1)
            << c.lines;
        EXPECT_EQ(manifest.objects, c.objects) << c.lines;
        EXPECT_STREQ(c.objects == OBJECTS_VALID ? manifest.objectsFolder : manifest.objectsText, c.folder) << c.lines;
    }
    Parse("OBJETOS " + longest + "/\n");
    EXPECT_EQ(manifest.objects, OBJECTS_VALID) << "200 characters";
    Parse("OBJETOS o" + longest + "/\n");
    EXPECT_EQ(manifest.objects, OBJECTS_INVALID) << "201 characters";
}

// "REMOVIDO <digest> <path>": a file a release dropped, never an entry; a
// line that does not read is counted and passed over.
TEST_F(ParseManifestTest, RemovedLines)
{
    const std::string d = DIGEST_A;
    const struct {
        std::string lines;
        const char* path;  // the one removal read, or nullptr
        int ignored;
    } cases[] = {
        {"REMOVIDO " + d + " data\\old.pak\n", "data\\old.pak", 0},
        {"removido\t" + d + "\tdata\\a b.pak  \r\n", "data\\a b.pak  ", 0},
        {"REMOVIDO " + d.substr(0, 63) + " a.pak\n", nullptr, 1},
        {"REMOVIDO " + d + "0 a.pak\n", nullptr, 1},
        {"REMOVIDO " + std::string(64, 'g') + " a.pak\n", nullptr, 1},
        {"REMOVIDO " + d + "\n", nullptr, 1},
        {"REMOVIDO " + d + "   \n", nullptr, 1},
        {"REMOVIDO\n", nullptr, 1},
        {"REMOVIDOS " + d + " a.pak\n", nullptr, 0},
        {" REMOVIDO " + d + " a.pak\n", nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse("VERSAO 1\n" + c.lines + "ARQUIVO " + d + " 1 a.bin\n"), 1) << c.lines;
        EXPECT_EQ(manifest.ignoredRemovals, c.ignored) << c.lines;
        ASSERT_EQ(manifest.removedCount, c.path ? 1 : 0) << c.lines;
        if (c.path) {
            EXPECT_STREQ(manifest.removed[0].path, c.path) << c.lines;
            EXPECT_EQ(DigestText(manifest.removed[0].digest), d) << c.lines;
        }
    }
    Parse("REMOVIDO " + d + " a.pak\nREMOVIDO " + std::string(64, 'b') + " a.pak\n");
    EXPECT_EQ(manifest.count, 0) << "removals are no entries: the manifest lists nothing";
    EXPECT_EQ(manifest.removedCount, 2) << "a path with two digests";
}

// Other files' lines, between a file and its BLOCOS line.
static std::string Lines(int count)
{
    std::string lines;
    for (int i = 0; i < count; i++)
        lines += "ARQUIVO " + std::string(64, 'c') + " 1 other" + std::to_string(i) + "\n";
    return lines;
}

// "BLOCOS <index digest> <index size> <path>" gives the entry of that path
// among the last sixteen a chunk index, "QUADROS ..." a frame index and
// "QUADRO ..." a one-frame compressed object, by the same rules; any other is
// ignored, counted and its first kept for the log.
TEST_F(ParseManifestTest, BlocksAndFramesLines)
{
    const std::string file = "ARQUIVO " + std::string(64, 'a') + " 9000000 data\\pack a.pak\n";
    const std::string index(64, 'b');
    const struct {
        const char* name;
        std::string lines;
        IndexLine state;
        int ignored;
        const char* firstIgnored;
    } cases[] = {
        {"after its file", file + "BLOCOS " + index + " 3616 data\\pack a.pak\n", INDEX_LINE_LISTED, 0, ""},
        {"before its file", "BLOCOS " + index + " 3616 data\\pack a.pak\n" + file, INDEX_LINE_NONE, 1,
         "sem linha ARQUIVO: "},
        {"another path", file + "BLOCOS " + index + " 3616 data\\pack b.pak\n", INDEX_LINE_NONE, 1,
         "sem linha ARQUIVO: "},
        {"twice", file + "BLOCOS " + index + " 3616 data\\pack a.pak\nBLOCOS " + index + " 3616 data\\pack a.pak\n",
         INDEX_LINE_REPEATED, 1, "repetida: "},
        {"a digest of 63", file + "BLOCOS " + index.substr(1) + " 3616 data\\pack a.pak\n", INDEX_LINE_NONE, 1,
         "malformada: "},
        {"a digest that is not hexadecimal", file + "BLOCOS " + std::string(64, 'x') + " 3616 data\\pack a.pak\n",
         INDEX_LINE_NONE, 1, "malformada: "},
        {"no size", file + "BLOCOS " + index + " data\\pack a.pak\n", INDEX_LINE_NONE, 1, "malformada: "},
        {"no path", file + "BLOCOS " + index + " 3616\n", INDEX_LINE_NONE, 1, "malformada: "},
        {"sixteen entries on", file + std::string(Lines(15)) + "BLOCOS " + index + " 3616 data\\pack a.pak\n",
         INDEX_LINE_LISTED, 0, ""},
        {"seventeen entries on", file + std::string(Lines(16)) + "BLOCOS " + index + " 3616 data\\pack a.pak\n",
         INDEX_LINE_NONE, 1, "sem linha ARQUIVO: "},
    };
    for (const char* word : {"BLOCOS", "QUADROS", "QUADRO"}) {
        const int frames = word[0] == 'Q';
        const int oneFrame = strcmp(word, "QUADRO") == 0;
        for (const auto& c : cases) {
            std::string lines = c.lines;
            for (size_t at = 0; (at = lines.find("BLOCOS ", at)) != std::string::npos; at += strlen(word))
                lines.replace(at, 6, word);
            Parse("VERSAO 1\n" + lines);
            ASSERT_GE(manifest.count, 1) << c.name;
            const ManifestEntry* entry = &manifest.entries[0];
            EXPECT_EQ(frames ? entry->frames : entry->blocks, c.state) << word << ": " << c.name;
            EXPECT_EQ(frames ? entry->blocks : entry->frames, INDEX_LINE_NONE) << word << ": " << c.name;
            EXPECT_EQ(frames ? manifest.ignoredFrames : manifest.ignoredBlocks, c.ignored) << word << ": " << c.name;
            EXPECT_EQ(frames ? manifest.ignoredBlocks : manifest.ignoredFrames, 0) << word << ": " << c.name;
            const char* text = frames ? manifest.ignoredFramesText : manifest.ignoredBlocksText;
            EXPECT_EQ(std::string(text).rfind(c.firstIgnored, 0), 0u) << text;
            const IndexListing* listing = oneFrame ? OneFrameOf(&manifest, entry)
                                          : frames ? FrameIndexOf(&manifest, entry)
                                                   : ChunkIndexOf(&manifest, entry);
            EXPECT_EQ(listing != nullptr, c.state == INDEX_LINE_LISTED) << word << ": " << c.name;
            EXPECT_EQ(oneFrame ? FrameIndexOf(&manifest, entry) : OneFrameOf(&manifest, entry), nullptr) << word;
            if (listing) {
                EXPECT_EQ(DigestText(listing->digest), index);
                EXPECT_EQ(listing->size, 3616u);
            }
        }
    }
}

// A file's chunk index and its frame index, each from its own line.
TEST_F(ParseManifestTest, BlocksAndFramesOfOneFile)
{
    Parse("VERSAO 1\nARQUIVO " + std::string(64, 'a') + " 9000000 pack.pak\nBLOCOS " + std::string(64, 'b') +
          " 3616 pack.pak\nQUADROS " + std::string(64, 'c') + " 1300 pack.pak\n");
    ASSERT_EQ(manifest.count, 1);
    const IndexListing* blocks = ChunkIndexOf(&manifest, &manifest.entries[0]);
    const IndexListing* frames = FrameIndexOf(&manifest, &manifest.entries[0]);
    ASSERT_TRUE(blocks && frames);
    EXPECT_EQ(DigestText(blocks->digest), std::string(64, 'b'));
    EXPECT_EQ(blocks->size, 3616u);
    EXPECT_EQ(DigestText(frames->digest), std::string(64, 'c'));
    EXPECT_EQ(frames->size, 1300u);
}

// A file has one compressed form: a QUADRO line and a QUADROS line for it are
// both ignored, whichever comes first.
TEST_F(ParseManifestTest, OneFrameAndFrameIndexOfOneFileAreRepeated)
{
    const std::string file = "VERSAO 1\nARQUIVO " + std::string(64, 'a') + " 9000 pack.pak\n";
    const std::string index = "QUADROS " + std::string(64, 'b') + " 156 pack.pak\n";
    const std::string one = "QUADRO " + std::string(64, 'c') + " 1300 pack.pak\n";
    for (const std::string& lines : {file + index + one, file + one + index}) {
        Parse(lines);
        ASSERT_EQ(manifest.count, 1);
        EXPECT_EQ(manifest.entries[0].frames, INDEX_LINE_REPEATED);
        EXPECT_EQ(FrameIndexOf(&manifest, &manifest.entries[0]), nullptr);
        EXPECT_EQ(OneFrameOf(&manifest, &manifest.entries[0]), nullptr);
        EXPECT_EQ(manifest.ignoredFrames, 1);
    }
}

// A manifest whose files carry QUADROS and QUADRO lines lists the same files as one
// without them: the rows use only what launchers before frames read, and pass
// on their parser too, which passes over a line whose first word it does not
// know.
TEST_F(ParseManifestTest, FramesLinesLeaveTheFilesAsListed)
{
    const std::string plain = "VERSAO 7\nOBJETOS objetos/\nARQUIVO " + std::string(64, 'a') + " 9000000 pack.pak\n" +
                              "ARQUIVO " + std::string(64, 'd') + " 12 readme.txt\n";
    const std::string framed = "VERSAO 7\nOBJETOS objetos/\nARQUIVO " + std::string(64, 'a') + " 9000000 pack.pak\n" +
                               "BLOCOS " + std::string(64, 'b') + " 3616 pack.pak\nQUADROS " + std::string(64, 'c') +
                               " 1300 pack.pak\nARQUIVO " + std::string(64, 'd') + " 12 readme.txt\nQUADRO " +
                               std::string(64, 'e') + " 10 readme.txt\n";
    Parse(plain);
    const std::string listed = Listed();
    Parse(framed);
    EXPECT_EQ(manifest.limit, MANIFEST_WITHIN_LIMITS);
    EXPECT_EQ(manifest.objects, OBJECTS_VALID);
    EXPECT_STREQ(manifest.version, "7");
    EXPECT_EQ(Listed(), listed);
    EXPECT_EQ(manifest.count, 2);
}

TEST(ObjectUrl, TheFolderAndTheDigestInLowerCase)
{
    char url[1024];
    const std::string digest = "ABCDEF" + std::string(58, '0');
    ASSERT_EQ(BuildObjectUrl(url, sizeof url, "http://cdn/q/", "objetos/", digest.c_str()), 1);
    EXPECT_EQ(std::string(url), "http://cdn/q/objetos/abcdef" + std::string(58, '0'));
    EXPECT_EQ(BuildObjectUrl(url, sizeof url, "http://cdn/q/", "objetos/", std::string(63, 'a').c_str()), 0);
    EXPECT_EQ(BuildObjectUrl(url, sizeof url, "http://cdn/q/", "objetos/", (std::string(63, 'a') + "g").c_str()), 0);
    EXPECT_EQ(BuildObjectUrl(url, 40, "http://cdn/q/", "objetos/", digest.c_str()), 0) << "too long for the buffer";
}

TEST(ManifestDigests, CompareWithoutRegardToCase)
{
    EXPECT_TRUE(DigestsMatch("ABCDEF01", "abcdef01"));
    EXPECT_FALSE(DigestsMatch("abcdef01", "abcdef02"));
    EXPECT_FALSE(DigestsMatch("abcdef01", ""));
}

struct PathCase {
    const char* path;
    int safe;
};

TEST(SafeManifestPath, RefusesWhatCouldLeaveTheGameFolder)
{
    const PathCase cases[] = {
        {"client.exe", 1},
        {"data\\maps\\a b.pak", 1},
        {"data/x.bin", 1},
        {"a..b.txt", 1},
        {".hidden", 1},
        {"data\\.\\x.bin", 1},
        {"console.txt", 1},
        {"COM10.txt", 1},
        {"LPT0", 1},
        {"auxiliary\\x", 1},
        {"", 0},
        {"..\\x", 0},
        {"data\\..\\..\\x", 0},
        {"data/../x", 0},
        {"..", 0},
        {".. \\x", 0},
        {"data\\...\\x", 0},
        {"C:\\x.txt", 0},
        {"c:x.txt", 0},
        {"\\x.txt", 0},
        {"/x.txt", 0},
        {"\\\\server\\share\\x", 0},
        {"file.txt:stream", 0},
        {"CON", 0},
        {"con.txt", 0},
        {"data\\NUL", 0},
        {"aux.tar.gz", 0},
        {"COM1", 0},
        {"lpt9.log", 0},
        {"nul ", 0},
        {"prn.", 0},
        {"CONIN$", 0},
        {"conout$.log", 0},
        {"data\\COM\xB9.txt", 0},
        {"lpt\xB2", 0},
        {"COM\xB3.", 0},
        {"COM\xB4.txt", 1},
        {"CONIN", 1},
        {"conin$x", 1},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(IsSafeManifestPath(c.path), c.safe) << "'" << c.path << "'";
}

TEST(FileUrl, AppendsTheNameAndTurnsBackslashesIntoSlashes)
{
    char url[1024];
    BuildFileUrl(url, sizeof url, "http://127.0.0.1:8080/q/", "data\\maps\\a b.pak");
    EXPECT_STREQ(url, "http://127.0.0.1:8080/q/data/maps/a b.pak");
    BuildFileUrl(url, sizeof url, "http://h\\base/", "manifesto.txt");
    EXPECT_STREQ(url, "http://h/base/manifesto.txt");
}

TEST(LauncherFiles, NamedAsTheFileSystemWouldResolveThem)
{
    const PathCase cases[] = {
        {"launcher.serie", 1},       {"LAUNCHER.SERIE", 1},  {"launcher.serie.", 1},
        {"launcher.serie . ", 1},    {".\\launcher.serie", 1}, {"./.\\Launcher.Serie", 1},
        {"data\\launcher.serie", 0}, {"launcher.series", 0}, {"launcher.seri", 0},
        {"..\\launcher.serie", 0},   {"", 0},
    };
    for (const PathCase& c : cases)
        EXPECT_EQ(NamesLauncherFile(c.path, "launcher.serie"), c.safe) << "'" << c.path << "'";
}

// Spellings of one file on Windows fold to one text; other files stay apart.
TEST(FoldFileName, EverySpellingOfOneFileFoldsAlike)
{
    const struct {
        const char* path;
        const char* folded;
    } cases[] = {
        {"big.pak", "big.pak"},
        {".\\big.pak", "big.pak"},
        {"./BIG.PAK", "big.pak"},
        {"data\\\\a.pak", "data\\a.pak"},
        {"data/./a.pak", "data\\a.pak"},
        {"data\\a.pak.", "data\\a.pak"},
        {"data \\a.pak  ", "data\\a.pak"},
        {"Data/A.Pak . .", "data\\a.pak"},
        {"\xC9t\xE9.pak", "\xE9t\xE9.pak"},  // code page 1252: both cases of one letter
        {"a.pak.bak", "a.pak.bak"},
        {".hidden", ".hidden"},
        {"a b.pak", "a b.pak"},
        {"Data\\A.pak", "data\\a.pak"},
        {".\\data\\.\\a.pak", "data\\a.pak"},
        {"data.\\a.pak. ", "data\\a.pak"},
        {"", ""},
        {"..\\a", "..\\a"},
    };
    for (const auto& c : cases) {
        char folded[64];
        ASSERT_EQ(FoldFileName(c.path, folded, sizeof folded), 1) << c.path;
        EXPECT_STREQ(folded, c.folded) << c.path;
    }
    char small[8];
    EXPECT_EQ(FoldFileName("data\\a.pak", small, sizeof small), 0) << "too long for the buffer";
}

// The manifest must arrive within its time plus a second per 100 KB announced.
TEST(AnswerTime, ALongAnswerGetsTheTimeItsLengthNeeds)
{
    const struct {
        uint32_t withinMs;
        uint64_t announced;
        uint32_t allowedMs;
    } cases[] = {
        {120000, 0, 120000},
        {120000, 60004, 120585},
        {120000, 100 * 1024, 121000},
        {120000, 12u << 20, 120000 + 122880},
        {120000, 256u << 20, 120000 + 2621440},
        {16000, 1ull << 60, UINT32_MAX},  // no wrap-around
    };
    for (const auto& c : cases)
        EXPECT_EQ(AnswerWithinMs(c.withinMs, c.announced), c.allowedMs) << c.announced;
}

TEST(AnswerLimits, TwiceTheListedSizeAndSixteenMegabytesMore)
{
    EXPECT_EQ(AnswerLimitForListedSize(0), 16u << 20);
    EXPECT_EQ(AnswerLimitForListedSize(7), (16u << 20) + 14);
    EXPECT_EQ(AnswerLimitForListedSize(1000u << 20), 2016u << 20);
    EXPECT_EQ(AnswerLimitForListedSize(0xFFFFFFFFu), 0x1FFFFFFFEull + (16u << 20));
    EXPECT_EQ(AnswerLimitForListedSize(INT64_MAX), UINT64_MAX) << "no wrap-around";
}

// The room the download phase needs at its peak, files fetched in order
// (sizes in MB): new size, the copy it replaces, what its temporary file holds.
TEST(FetchRoom, ThePeakComesWhileAFileIsWrittenBesideItsOldCopy)
{
    struct File {
        uint64_t fresh, old, held;
    };
    const struct {
        const char* name;
        std::vector<File> files;
        uint64_t peak;
        int inFlight = 1;
    } cases[] = {
        {"nothing to fetch", {}, 0},
        {"a new file", {{5, 0, 0}}, 5},
        {"a file replaced: its temporary file stands beside the old copy", {{3, 3, 0}}, 3},
        {"a patched file's temporary file is as large as the file", {{100, 98, 0}}, 100},
        {"a file that shrinks frees room for the next", {{1, 4, 0}, {5, 0, 0}}, 2},
        {"the same two the other way round", {{5, 0, 0}, {1, 4, 0}}, 6},
        {"what an earlier run left is continued", {{5, 1, 2}}, 3},
        {"the largest file alone, when the rest only shrink", {{1, 2, 0}, {1, 2, 0}, {7, 7, 0}}, 5},
        {"two at once: the first's temporary file still beside its old copy", {{3, 3, 0}, {5, 5, 0}}, 8, 2},
        {"six packs replaced six at once", std::vector<File>(6, {5120, 5120, 0}), 6 * 5120, 6},
        {"more at once than files", {{5, 5, 0}, {1, 0, 0}}, 6, 16},
        {"the earlier file with the largest old copy is the one still in flight", {{1, 9, 0}, {1, 2, 0}, {4, 0, 0}},
         4, 2},
    };
    const uint64_t MB = 1 << 20;
    for (const auto& c : cases) {
        FetchRoomTally tally = {0, 0, c.inFlight, {}};
        for (const File& file : c.files)
            CountFetchRoom(&tally, file.fresh * MB, file.old * MB, file.held * MB);
        EXPECT_EQ(tally.peak, c.peak * MB) << c.name;
    }
    FetchRoomTally huge = {0, 0, 2, {}};  // listed sizes of up to 2^63 - 1 add up without wrapping
    for (int i = 0; i < 3; i++)
        CountFetchRoom(&huge, INT64_MAX, INT64_MAX, 0);
    EXPECT_EQ(huge.peak, (uint64_t)INT64_MAX);
}

// What the two copies of the serial floor may hold, and which one counts.
TEST(SerialFloor, RecordTextAndTheCopyThatCounts)
{
    struct TextCase {
        const char* text;
        FloorCopyState state;
        uint32_t serial;
        int expiry;
    };
    const TextCase texts[] = {
        {"7\r\n", FLOOR_COPY_READ, 7, 0},
        {"7\n", FLOOR_COPY_READ, 7, 0},
        {"4294967295\r\n2027-01-31\r\n", FLOOR_COPY_READ, 4294967295u, 20270131},
        {"", FLOOR_COPY_UNREADABLE, 0, 0},            // emptied by a power cut
        {"7", FLOOR_COPY_UNREADABLE, 0, 0},           // cut before its line end
        {"\r\n", FLOOR_COPY_UNREADABLE, 0, 0},
        {"7x\r\n", FLOOR_COPY_UNREADABLE, 0, 0},
        {"-7\r\n", FLOOR_COPY_UNREADABLE, 0, 0},
        {"4294967296\r\n", FLOOR_COPY_UNREADABLE, 0, 0},
        {"7\r\n2027-02-30\r\n", FLOOR_COPY_UNREADABLE, 0, 0},
        {"7\r\n2027-01-31", FLOOR_COPY_UNREADABLE, 0, 0},
        {"7\r\n2027-01-31\r\nmore\r\n", FLOOR_COPY_UNREADABLE, 0, 0},
    };
    for (const TextCase& c : texts) {
        AcceptedRelease release = {0, 0};
        FloorCopyState state = ReadAcceptedRelease(c.text, strlen(c.text), &release);
        EXPECT_EQ(state, c.state) << c.text;
        if (state == FLOOR_COPY_READ) {
            EXPECT_EQ(release.serial, c.serial) << c.text;
            EXPECT_EQ(release.expiry, c.expiry) << c.text;
            char written[64];
            AcceptedRelease back;
            ASSERT_GT(FormatAcceptedRelease(written, sizeof written, &release), 0u);
            EXPECT_EQ(ReadAcceptedRelease(written, strlen(written), &back), FLOOR_COPY_READ) << written;
            EXPECT_EQ(back.serial, release.serial);
            EXPECT_EQ(back.expiry, release.expiry);
        }
    }

    const FloorCopy absent = {FLOOR_COPY_ABSENT, {0, 0}};
    const FloorCopy damaged = {FLOOR_COPY_UNREADABLE, {0, 0}};
    const FloorCopy held = {FLOOR_COPY_HELD, {0, 0}};
    const FloorCopy five = {FLOOR_COPY_READ, {5, 20270101}};
    const FloorCopy nine = {FLOOR_COPY_READ, {9, 0}};
    struct CombineCase {
        const char* name;
        FloorCopy first, second;
        int known;
        uint32_t serial;
    };
    const CombineCase combined[] = {
        {"a new installation", absent, absent, 1, 0},
        {"one copy", five, absent, 1, 5},
        {"the other copy", absent, nine, 1, 9},
        {"the higher counts", nine, five, 1, 9},
        {"the higher counts either way", five, nine, 1, 9},
        {"a damaged copy beside a good one", damaged, five, 1, 5},
        {"a damaged copy alone", damaged, absent, 0, 0},
        {"both damaged", damaged, damaged, 0, 0},
        {"a held copy beside a good one: it may say more", held, five, 0, 0},
        {"a held copy beside a higher one", nine, held, 0, 0},
        {"a held copy alone", held, absent, 0, 0},
    };
    for (const CombineCase& c : combined) {
        AcceptedRelease floor = {99, 99};
        EXPECT_EQ(CombineFloorCopies(&c.first, &c.second, &floor), c.known) << c.name;
        EXPECT_EQ(floor.serial, c.serial) << c.name;
    }
}

TEST(CalendarDates, OnlyRealDaysInTheWrittenForm)
{
    struct DateCase {
        const char* text;
        int date;
    };
    const DateCase cases[] = {
        {"2026-12-09", 20261209}, {"2028-02-29", 20280229}, {"2000-02-29", 20000229}, {"2100-02-29", 0},
        {"2026-02-29", 0},        {"2026-04-31", 0},        {"2026-13-01", 0},        {"2026-00-10", 0},
        {"2026-1-09", 0},         {"2026/12/09", 0},        {"26-12-09", 0},          {"2026-12-0x", 0},
        {"0000-01-01", 0},        {"", 0},
    };
    for (const DateCase& c : cases)
        EXPECT_EQ(ReadCalendarDate(c.text, strlen(c.text)), c.date) << c.text;
}
