// Inputs the fuzzers found interesting, kept as regression tests: each is fed
// to the same entry points as in the fuzz targets.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "install/install.h"
#include "retention/report_names.h"
#include "trust/trust.h"

static Manifest Parsed;

static int ParseText(const std::string& text)
{
    FILE* file = fmemopen((void*)text.data(), text.size(), "r");
    int count = ParseManifestStream(file, &Parsed);
    fclose(file);
    return count;
}

TEST(FuzzRegressions, ManifestPieces)
{
    EXPECT_EQ(ParseText(std::string("ARQUIVO ") + std::string(2000, 'a') + " 1 x\n"), 0);  // a token over a piece
    EXPECT_EQ(ParseText("ARQUIVO a 1 \x01\n"), 1);
    // The first piece holds the keyword and blanks only; the second begins with blanks: no version.
    EXPECT_EQ(ParseText(std::string("VERSAO") + std::string(1100, ' ') + "x\n"), 0);
    EXPECT_STREQ(Parsed.version, "");
    EXPECT_EQ(ParseText(std::string("ARQUIVO d 5 ") + std::string(1, '\0') + "x\n"), 0);
}

TEST(FuzzRegressions, ReportNamesWithEmbeddedOddBytes)
{
    EXPECT_EQ(DR_IsReportName("disconnect-20200101-000000-1-1.txt\xff"), 0);
    EXPECT_EQ(DR_IsReportName("disconnect-20200101-000000-1\xb2-1.txt"), 0);
    EXPECT_EQ(DR_IsScratchName("qrv_disconnect_report_retention_test_1_2_\xb3"), 0);
}

static void IgnoreSigned(void*, const char*, size_t)
{
}

static int NoSignatureVerifies(void*, const char*, size_t)
{
    return 0;
}

// Found by fuzz_signed_manifest: an EXPIRA line that fills the whole line
// buffer at the end of the file was read past the buffer. NOME and SERIE lines
// are read the same way.
TEST(FuzzRegressions, KeywordLinesThatFillTheLineBuffer)
{
    for (const char* keyword : {"EXPIRA", "NOME", "SERIE"}) {
        for (size_t lineLength : {1023, 1024, 1025}) {
            std::string text = "V 5 5\n" + std::string(keyword) + std::string(lineLength - strlen(keyword), '\t');
            FILE* file = fmemopen((void*)text.data(), text.size(), "rb");
            SignedManifestReader reader = {IgnoreSigned, NoSignatureVerifies, NULL};
            SignedManifestFacts facts;
            ScanSignedManifest(file, &reader, &facts);
            fclose(file);
            EXPECT_EQ(facts.expiryLines + facts.nameLines + facts.serialLines, 1) << keyword << lineLength;
            EXPECT_EQ(facts.expiryReadable + facts.nameReadable + facts.serialReadable, 0) << keyword << lineLength;
        }
    }
}
