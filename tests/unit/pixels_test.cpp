// The drawing primitives on small views; expected values worked out from the
// formulas in single precision.
#include <gtest/gtest.h>

#include <vector>

#include "ui/pixels.h"

// A view over its own pixels, every pixel set to one B, G, R, A value.
struct TestView {
    TestView(int width, int height, std::vector<uint8_t> fill = {0, 0, 0, 0}) : bytes((size_t)width * height * 4)
    {
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = fill[i % 4];
        view = PixelView{width, height, bytes.data()};
    }
    std::vector<uint8_t> At(int x, int y) const
    {
        const uint8_t* p = bytes.data() + ((size_t)y * view.width + x) * 4;
        return {p[0], p[1], p[2], p[3]};
    }
    std::vector<uint8_t> bytes;
    PixelView view;
};

TEST(BlendImageTest, OpaqueAndHalfPixelsOnTransparentAndOpaqueTargets)
{
    TestView image(2, 1);
    image.bytes = {100, 150, 200, 255, 100, 150, 200, 128};
    TestView clear(2, 1);
    BlendImageIn(&clear.view, WholeView(&clear.view), &image.view, 0, 0, 1.0f);
    EXPECT_EQ(clear.At(0, 0), (std::vector<uint8_t>{100, 150, 200, 255}));
    EXPECT_EQ(clear.At(1, 0), (std::vector<uint8_t>{50, 75, 100, 128}));  // premultiplied on the way in

    TestView opaque(2, 1, {10, 20, 30, 255});
    BlendImageIn(&opaque.view, WholeView(&opaque.view), &image.view, 0, 0, 1.0f);
    EXPECT_EQ(opaque.At(1, 0), (std::vector<uint8_t>{55, 85, 115, 255}));
    TestView halfOpacity(2, 1, {10, 20, 30, 255});
    BlendImageIn(&halfOpacity.view, WholeView(&halfOpacity.view), &image.view, 0, 0, 0.5f);
    EXPECT_EQ(halfOpacity.At(0, 0), (std::vector<uint8_t>{55, 85, 115, 255}));
}

TEST(BlendImageTest, TransparentSourceAndZeroOpacityDrawNothing)
{
    TestView image(1, 1, {90, 90, 90, 0});
    TestView target(1, 1, {1, 2, 3, 4});
    BlendImageIn(&target.view, WholeView(&target.view), &image.view, 0, 0, 1.0f);
    TestView opaque(1, 1, {90, 90, 90, 255});
    BlendImageIn(&target.view, WholeView(&target.view), &opaque.view, 0, 0, 0.0f);
    EXPECT_EQ(target.At(0, 0), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(AddImageTest, AddsLightAndSaturates)
{
    TestView image(1, 1, {100, 150, 200, 128});
    TestView target(1, 1, {200, 120, 60, 200});
    AddImageIn(&target.view, WholeView(&target.view), &image.view, 0, 0, 1.0f);
    EXPECT_EQ(target.At(0, 0), (std::vector<uint8_t>{250, 195, 160, 255}));
}

TEST(AddGlowTest, QuadraticFalloffAndSaturation)
{
    TestView target(9, 9);
    AddGlowIn(&target.view, WholeView(&target.view), 4.0f, 4.0f, 4.0f, 0.5f, 255, 170, 74);
    EXPECT_EQ(target.At(4, 4), (std::vector<uint8_t>{37, 85, 127, 127}));  // d = 0: w = strength
    EXPECT_EQ(target.At(6, 4), (std::vector<uint8_t>{20, 47, 71, 71}));    // d = 4/16
    EXPECT_EQ(target.At(8, 4), (std::vector<uint8_t>{0, 0, 0, 0}));        // d = 1: outside
    EXPECT_EQ(target.At(0, 0), (std::vector<uint8_t>{0, 0, 0, 0}));

    TestView bright(3, 3, {200, 100, 10, 200});
    AddGlowIn(&bright.view, WholeView(&bright.view), 1.0f, 1.0f, 2.0f, 1.0f, 255, 170, 74);
    EXPECT_EQ(bright.At(1, 1), (std::vector<uint8_t>{255, 255, 255, 255}));
    AddGlowIn(&bright.view, WholeView(&bright.view), 1.0f, 1.0f, 0.0f, 1.0f, 255, 170, 74);  // no radius: nothing
}

TEST(ClipImagePlacementTest, NegativeAndOutOfRangePositions)
{
    TestView target(10, 8);
    TestView image(4, 3);
    SourceRect r;
    ASSERT_TRUE(ClipImagePlacement(&target.view, &image.view, -2, -1, &r));
    EXPECT_EQ((std::vector<int>{r.sx0, r.sy0, r.sx1, r.sy1}), (std::vector<int>{2, 1, 4, 3}));
    ASSERT_TRUE(ClipImagePlacement(&target.view, &image.view, 8, 6, &r));
    EXPECT_EQ((std::vector<int>{r.sx0, r.sy0, r.sx1, r.sy1}), (std::vector<int>{0, 0, 2, 2}));
    EXPECT_FALSE(ClipImagePlacement(&target.view, &image.view, 10, 0, &r));
    EXPECT_FALSE(ClipImagePlacement(&target.view, &image.view, -4, 0, &r));
    EXPECT_FALSE(ClipImagePlacement(&target.view, &image.view, 0, 8, &r));
}

TEST(ClipImagePlacementTest, BlendAtANegativePositionDrawsTheVisiblePartOnly)
{
    TestView image(2, 2, {9, 9, 9, 255});
    image.bytes[0] = 1;  // the top-left pixel, which falls outside
    TestView target(3, 3);
    BlendImageIn(&target.view, WholeView(&target.view), &image.view, -1, -1, 1.0f);
    EXPECT_EQ(target.At(0, 0), (std::vector<uint8_t>{9, 9, 9, 255}));
    EXPECT_EQ(target.At(1, 0), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(target.At(0, 1), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(CopyRectOpaqueTest, CopiesOnlyTheOverlapAndForcesAlpha)
{
    TestView image(3, 2, {7, 8, 9, 0});
    TestView target(5, 4);
    CopyRectOpaque(&target.view, &image.view, 1, 0, 5, 4);
    EXPECT_EQ(target.At(1, 0), (std::vector<uint8_t>{7, 8, 9, 255}));
    EXPECT_EQ(target.At(2, 1), (std::vector<uint8_t>{7, 8, 9, 255}));
    EXPECT_EQ(target.At(3, 0), (std::vector<uint8_t>{0, 0, 0, 0}));  // beyond the image's width
    EXPECT_EQ(target.At(1, 2), (std::vector<uint8_t>{0, 0, 0, 0}));  // beyond its height
    EXPECT_EQ(target.At(0, 0), (std::vector<uint8_t>{0, 0, 0, 0}));
    ArtImage empty = {};
    CopyRectOpaque(&target.view, &empty, 0, 0, 5, 4);
}

TEST(BlendCoverageTest, FullCoverageOnTransparentBecomesTheTextColour)
{
    TestView coverage(2, 1);
    coverage.bytes = {255, 255, 255, 0, 128, 0, 0, 0};  // GDI's alpha byte is never read
    TestView clear(2, 1);
    BlendCoverageIn(&clear.view, WholeView(&clear.view), &coverage.view, 0, 0, 240, 248, 255, 1.0f);
    EXPECT_EQ(clear.At(0, 0), (std::vector<uint8_t>{255, 248, 240, 255}));
    TestView opaque(2, 1, {10, 20, 30, 255});
    BlendCoverageIn(&opaque.view, WholeView(&opaque.view), &coverage.view, 0, 0, 240, 248, 255, 1.0f);
    EXPECT_EQ(opaque.At(1, 0), (std::vector<uint8_t>{132, 134, 135, 255}));  // coverage is the largest channel
    TestView clipped(1, 1);
    BlendCoverageIn(&clipped.view, WholeView(&clipped.view), &coverage.view, -1, 0, 240, 248, 255, 1.0f);  // column 0 falls left of it
    EXPECT_EQ(clipped.At(0, 0)[3], 128);
}

TEST(ProgressBarTest, EmptyBarShowsOneBrightColumn)
{
    TestView frame(1120, 700);
    DrawProgressBarIn(&frame.view, WholeView(&frame.view), 0.0f);
    EXPECT_EQ(frame.At(669, 645), (std::vector<uint8_t>{60, 150, 255, 255}));  // k = 1 at the edge
    EXPECT_EQ(frame.At(670, 648), (std::vector<uint8_t>{26, 24, 20, 40}));
    EXPECT_EQ(frame.At(1050, 646), (std::vector<uint8_t>{26, 24, 20, 40}));
    EXPECT_EQ(frame.At(1051, 646), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(frame.At(700, 644), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(frame.At(700, 649), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(ProgressBarTest, FullBarDimsBehindItsEdge)
{
    TestView frame(1120, 700);
    DrawProgressBarIn(&frame.view, WholeView(&frame.view), 1.0f);
    EXPECT_EQ(frame.At(1050, 645), (std::vector<uint8_t>{60, 150, 255, 255}));
    EXPECT_EQ(frame.At(939, 645), (std::vector<uint8_t>{33, 83, 141, 141}));  // 111 behind
    EXPECT_EQ(frame.At(938, 645), (std::vector<uint8_t>{33, 82, 140, 140}));  // 112 behind: k = 0.55
    EXPECT_EQ(frame.At(669, 648), (std::vector<uint8_t>{33, 82, 140, 140}));
}

TEST(ProgressBarTest, PercentageRoundsHalfUp)
{
    EXPECT_EQ(PercentShown(0.004f), 0);
    EXPECT_EQ(PercentShown(0.006f), 1);
    EXPECT_EQ(PercentShown(0.994f), 99);
    EXPECT_EQ(PercentShown(0.996f), 100);
    EXPECT_EQ(PercentShown(1.0f), 100);
}

// Marked boxes come back as runs of whole tiles, row by row, each tile once;
// the bounds hold every marked tile and stay within the window.
struct DirtyCase {
    const char* what;
    std::vector<PixelBox> marked;
    std::vector<PixelBox> expected;
    PixelBox bounds;
};

TEST(DirtyTilesTest, MarksBecomeDisjointRunsOfTiles)
{
    const DirtyCase cases[] = {
        {"nothing marked", {}, {}, {0, 0, 0, 0}},
        {"an empty box marks nothing", {{40, 40, 40, 90}}, {}, {0, 0, 0, 0}},
        {"one pixel marks its tile", {{33, 1, 34, 2}}, {{32, 0, 64, 32}}, {32, 0, 64, 32}},
        {"a box across tiles", {{31, 31, 65, 33}}, {{0, 0, 96, 32}, {0, 32, 96, 64}}, {0, 0, 96, 64}},
        {"overlapping boxes join, each tile once",
         {{0, 0, 40, 10}, {20, 0, 70, 10}},
         {{0, 0, 96, 32}},
         {0, 0, 96, 32}},
        {"a gap splits a row", {{0, 0, 1, 1}, {64, 0, 65, 1}}, {{0, 0, 32, 32}, {64, 0, 96, 32}}, {0, 0, 96, 32}},
        {"the last tiles end at the window's edge",
         {{1100, 690, 1500, 900}},
         {{1088, 672, 1120, 700}},
         {1088, 672, 1120, 700}},
        {"a box left of and above the window is clipped", {{-50, -50, 2, 2}}, {{0, 0, 32, 32}}, {0, 0, 32, 32}},
    };
    for (const DirtyCase& c : cases) {
        DirtyTiles dirty;
        ClearDirtyTiles(&dirty);
        for (PixelBox box : c.marked)
            MarkDirty(&dirty, box);
        std::vector<PixelBox> found;
        int cursor = 0;
        PixelBox box;
        while (NextDirtyBox(&dirty, &cursor, &box))
            found.push_back(box);
        ASSERT_EQ(found.size(), c.expected.size()) << c.what;
        for (size_t i = 0; i < found.size(); i++) {
            EXPECT_EQ(found[i].x0, c.expected[i].x0) << c.what;
            EXPECT_EQ(found[i].y0, c.expected[i].y0) << c.what;
            EXPECT_EQ(found[i].x1, c.expected[i].x1) << c.what;
            EXPECT_EQ(found[i].y1, c.expected[i].y1) << c.what;
        }
        EXPECT_EQ(IsEmptyBox(dirty.bounds), IsEmptyBox(c.bounds)) << c.what;
        if (!IsEmptyBox(c.bounds)) {
            EXPECT_EQ(dirty.bounds.x0, c.bounds.x0) << c.what;
            EXPECT_EQ(dirty.bounds.y0, c.bounds.y0) << c.what;
            EXPECT_EQ(dirty.bounds.x1, c.bounds.x1) << c.what;
            EXPECT_EQ(dirty.bounds.y1, c.bounds.y1) << c.what;
        }
    }
}
