// File digests against values computed elsewhere (FIPS 180-4 examples, and
// Python's hashlib for the pattern files).
#include "test_support.h"
#include "update/update.h"
#include "update_fixture.h"

class FileDigest : public ScratchFolderTest {};

struct DigestCase {
    const char* name;
    std::string contents;
    const char* sha256;
};

TEST_F(FileDigest, MatchesIndependentValues)
{
    const DigestCase cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"one whole chunk", PatternBytes(32768), "a1c4916b51557509bfc334c847489ea9f97ae43d41590f2b9b9c5babca1ff25a"},
        {"a chunk and a byte", PatternBytes(32769), "52b448834eb29046f154bd88c67878de0b0e6474a632721ece1f8bbfb5cbad83"},
        {"3 MB", PatternBytes(3 * 1024 * 1024 + 5), "c82c41cb93abc5e35f1b57f703f685d6ad185711f73f8060d245ddd3e27f092c"},
    };
    // Through the CryptoAPI, and through the processor's SHA instructions where it has them.
    for (int instructions : {0, -1}) {
        Sha256Instructions = instructions;
        for (const DigestCase& c : cases) {
            WriteWholeFile("f.bin", c.contents);
            char digest[65];
            EXPECT_EQ(ComputeFileDigest("f.bin", digest), 1) << c.name << ", instructions " << Sha256HasInstructions();
            EXPECT_STREQ(digest, c.sha256) << c.name << ", instructions " << Sha256HasInstructions();
        }
    }
    Sha256Instructions = -1;
}

TEST_F(FileDigest, MissingFileLeavesTheOutputEmpty)
{
    char digest[65] = "stale text from an earlier call";
    EXPECT_EQ(ComputeFileDigest("missing.bin", digest), 0);
    EXPECT_STREQ(digest, "");
}

TEST_F(FileDigest, AbsolutePathsWorkToo)
{
    WriteWholeFile("abc.txt", "abc");
    char digest[65];
    EXPECT_EQ(ComputeFileDigest((path + "\\abc.txt").c_str(), digest), 1);
    EXPECT_STREQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
