// The proof bitmap writer on small views.
#include <string>
#include <vector>

#include "test_support.h"
#include "ui/proof_bmp.h"

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
    EXPECT_EQ(WriteProofBmp(&view, JoinPath("arte", "p.bmp").c_str(), 1, 2, 3), 0);  // no "arte" folder
}
