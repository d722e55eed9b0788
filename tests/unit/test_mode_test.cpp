// Test mode's script and the proof bitmap writer.
#include <stdio.h>

#include <string>
#include <vector>

#include "shell/shell.h"
#include "test_support.h"
#include "ui/proof_bmp.h"
#include "ui/ui.h"

class TestModeScript : public ::testing::Test {
protected:
    void SetUp() override { ResetStatusBoard(); }
    void TearDown() override { DeleteStatusBoardLock(); }
};

struct ScriptPoint {
    float clock;
    float progress;
    const char* status;
    const char* detail;
};

TEST_F(TestModeScript, ClockPoints)
{
    const char* downloading = "data\\ost_fell_textures.pack  -  18432 of 24818 KB";
    const char* done = "TEST MODE  -  drag the mouse to move the progress";
    const ScriptPoint points[] = {
        {0.0f, 0.0f, "Downloading 3 of 12...", downloading},
        {3.9f, 0.2925f, "Downloading 3 of 12...", downloading},
        {4.0f, 0.3f, "Checking game files...", downloading},
        {7.0f, 0.3f, "Downloading 8 of 12...", downloading},
        {15.99f, 0.99922f, "Downloading 8 of 12...", downloading},
        {16.0f, 1.0f, "Updated to version 1.0.42.", done},
        {22.0f, 1.0f, "Updated to version 1.0.42.", done},
        {22.5f, 0.0f, "Updated to version 1.0.42.", done},
        {24.0f, 0.0f, "Updated to version 1.0.42.", done},
    };
    for (const ScriptPoint& p : points) {
        ApplyTestModeScript(p.clock);
        EXPECT_NEAR(StatusBoard.progress, p.progress, 1e-4) << p.clock;
        EXPECT_STREQ(StatusBoard.status, p.status) << p.clock;
        EXPECT_STREQ(StatusBoard.detail, p.detail) << p.clock;
    }
    EXPECT_EQ(GetFileAttributesA("launcher.log"), INVALID_FILE_ATTRIBUTES);  // nothing logged
}

class ProofBitmap : public ScratchFolderTest {};

TEST_F(ProofBitmap, RowsArePaddedAndFlattenedOverTheBackdrop)
{
    EXPECT_EQ(ProofRowBytes(1), 4);
    EXPECT_EQ(ProofRowBytes(3), 12);
    EXPECT_EQ(ProofRowBytes(1120), 3360);

    // Two rows of one pixel: top transparent, bottom opaque; rows are stored bottom-up.
    std::vector<uint8_t> pixels = {0, 0, 0, 0, 10, 20, 30, 255};
    PixelView view = {1, 2, pixels.data()};
    ASSERT_EQ(WriteProofBmp(&view, "p.bmp", 118, 122, 126), 1);
    std::string bmp = ReadWholeFile("p.bmp");
    ASSERT_EQ(bmp.size(), 54u + 2 * 4);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ((uint8_t)bmp[2], 62);        // file size
    EXPECT_EQ((uint8_t)bmp[10], 54);       // pixel data offset
    EXPECT_EQ((uint8_t)bmp[14], 40);       // header size
    EXPECT_EQ((uint8_t)bmp[22], 2);        // height, positive
    EXPECT_EQ((uint8_t)bmp[28], 24);       // bits per pixel
    EXPECT_EQ(bmp.substr(54, 4), std::string("\x0a\x14\x1e\x00", 4));  // the opaque pixel exactly
    EXPECT_EQ(bmp.substr(58, 4), std::string("\x7e\x7a\x76\x00", 4));  // the backdrop exactly

    // Half-covered premultiplied pixel over white: B + (255 - A) x 255 / 255.
    std::vector<uint8_t> half = {50, 60, 70, 128};
    PixelView halfView = {1, 1, half.data()};
    ASSERT_EQ(WriteProofBmp(&halfView, "h.bmp", 255, 255, 255), 1);
    EXPECT_EQ(ReadWholeFile("h.bmp").substr(54, 3), std::string("\xb1\xbb\xc5", 3));
}

TEST_F(ProofBitmap, UnwritablePathIsReported)
{
    std::vector<uint8_t> pixels(4);
    PixelView view = {1, 1, pixels.data()};
    EXPECT_EQ(WriteProofBmp(&view, "arte\\p.bmp", 1, 2, 3), 0);  // no "arte" folder
}
