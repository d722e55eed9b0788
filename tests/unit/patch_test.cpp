// The patch road in process, against the scripted server: a changed file is
// rebuilt from its old copy, with the processor's SHA instructions and with
// the CryptoAPI alike.
#include <algorithm>
#include <string>
#include <vector>

#include "patch/patch.h"
#include "shell/shell.h"
#include "update/update.h"
#include "update_fixture.h"

class Patching : public UpdateEngineTest {
protected:
    void TearDown() override
    {
        Sha256Instructions = -1;
        UpdateEngineTest::TearDown();
    }
};

TEST_F(Patching, AChangedPackIsRebuiltFromItsOldCopyWhicheverWayChunksAreHashed)
{
    const std::string old = NoiseBytes(1 << 20, 5);
    const std::string fresh = old.substr(0, 300000) + NoiseBytes(20000, 6) + old.substr(300000);
    const std::string digest = Sha256Of(fresh);
    std::string records;
    const std::string index = ChunkIndexOf(fresh, &records);
    const std::string indexDigest = Sha256Of(index);
    TestRoute object{200, fresh, fresh.size()};
    object.ranges = true;
    server.ServeRoute("/objetos/" + digest, object);
    TestRoute recordsObject{200, records, records.size()};
    recordsObject.ranges = true;
    server.ServeRoute("/objetos/" + Sha256Of(records), recordsObject);
    server.Serve("/objetos/" + indexDigest, index);
    server.Serve("/manifesto.txt", "VERSAO 2\nOBJETOS objetos/\nARQUIVO " + digest + " " +
                                       std::to_string(fresh.size()) + " pack.pak\nBLOCOS " + indexDigest + " " +
                                       std::to_string(index.size()) + " pack.pak\n");
    for (int instructions : {0, -1}) {
        Sha256Instructions = instructions;
        WriteWholeFile("pack.pak", old);
        server.ForgetRequests();
        DeleteFileA("launcher.log");
        EXPECT_EQ(RunUpdate(), 1) << instructions;
        EXPECT_EQ(ReadWholeFile("pack.pak"), fresh) << instructions;
        std::vector<std::string> paths = server.RequestedPaths();
        std::vector<std::string> ranges = server.RequestedRanges();
        ASSERT_GE(paths.size(), 4u);
        EXPECT_EQ(paths[1], "/objetos/" + indexDigest);
        EXPECT_EQ(paths[2], "/objetos/" + Sha256Of(records)) << "the records of the pages that changed";
        EXPECT_EQ(ranges[2].rfind("bytes=", 0), 0u);
        for (size_t i = 3; i < paths.size(); i++) {
            EXPECT_EQ(paths[i], "/objetos/" + digest) << instructions;
            EXPECT_EQ(ranges[i].rfind("bytes=", 0), 0u) << "a single range: " << ranges[i];
            EXPECT_EQ(ranges[i].find(','), std::string::npos) << ranges[i];
        }
        std::vector<std::string> log = RunLogMessages();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                [](const std::string& m) { return m.rfind("remendo de pack.pak: ", 0) == 0; }))
            << instructions;
        EXPECT_EQ(GetFileAttributesA("pack.pak.blocos.tmp"), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetFileAttributesA("pack.pak.tmp"), INVALID_FILE_ATTRIBUTES);
    }
}
