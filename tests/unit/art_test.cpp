// The embedded art, the renderer without GDI+, and whole frames: the
// premultiplied invariant and a checksum that optimisations must keep.
#include <gtest/gtest.h>
#include <string.h>

#include "shell/platform.h"
#include "shell/shell_rules.h"
#include "ui/animation.h"
#include "ui/renderer.h"

static void AnimateBusyMoment(void)
{
    ResetAnimation();
    StatusSnapshot snapshot = {};
    for (int i = 0; i < 90; i++) {  // the bar moving fast: full flame, many sparks
        snapshot.progress = (float)i / 90.0f;
        AnimateFrame(0.016666668f, &snapshot);
    }
}

class Renderer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CreateSurface(&frame, 1120, 700)); }
    void TearDown() override
    {
        RendererShutdown();
        DestroySurface(&frame);
        ResetPlatformCalls();
    }
    int OpaqueOrLitPixels()
    {
        int count = 0;
        for (int i = 0; i < 1120 * 700; i++)
            count += frame.view.pixels[i * 4 + 3] != 0;
        return count;
    }
    Surface frame;
};

TEST_F(Renderer, EmbeddedPicturesHaveTheirSizes)
{
    ASSERT_EQ(RendererInit(GetModuleHandleA(NULL)), 1);
    EXPECT_EQ(BackgroundArt.width, 1120);
    EXPECT_EQ(BackgroundArt.height, 700);
    EXPECT_EQ(CharacterArt.width, 627);
    EXPECT_EQ(CharacterArt.height, 525);
    EXPECT_EQ(FlameArt.width, 115);
    EXPECT_EQ(FlameArt.height, 149);
    EXPECT_EQ(BackgroundArt.pixels[(600 * 1120 + 700) * 4 + 3], 255);  // the panel is opaque
    EXPECT_EQ(CharacterArt.pixels[3], 0);                              // transparent around the character
    EXPECT_EQ(BindGdiPlus(), 1);                                       // already bound: still 1
}

TEST_F(Renderer, MissingResourceGivesAnEmptyPicture)
{
    ASSERT_EQ(BindGdiPlus(), 1);
    ArtImage image;
    memset(&image, 0x5A, sizeof image);
    EXPECT_EQ(LoadArtImage(GetModuleHandleA(NULL), 4242, &image), 0);
    EXPECT_EQ(image.pixels, nullptr);
    EXPECT_EQ(image.width, 0);
    FreeArtImage(&image);
    EXPECT_EQ(image.pixels, nullptr);
}

static HMODULE WINAPI NoLibrary(LPCSTR)
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

TEST_F(Renderer, WithoutGdiPlusFramesAreDrawnWithoutPictures)
{
    Os.LoadLibraryA = NoLibrary;
    EXPECT_EQ(RendererInit(GetModuleHandleA(NULL)), 0);
    EXPECT_EQ(CharacterArt.pixels, nullptr);
    AnimateBusyMoment();
    StatusSnapshot snapshot = {0.5f, "Checking game files...", "data\\a.pak"};
    ComposeFrame(&frame, &snapshot);
    EXPECT_EQ(frame.view.pixels[(600 * 1120 + 300) * 4 + 3], 0);  // no panel, no character
    EXPECT_GT(frame.view.pixels[(281 * 1120 + 517) * 4 + 3], 0);  // the glow is still there
    EXPECT_GT(OpaqueOrLitPixels(), 1500);                          // bar, texts, sparks
}

TEST_F(Renderer, FramesStayPremultiplied)
{
    ASSERT_EQ(RendererInit(GetModuleHandleA(NULL)), 1);
    AnimateBusyMoment();
    StatusSnapshot snapshot = {0.7f, "Downloading 8 of 12...", "data\\ost_fell_textures.pack  -  18432 of 24818 KB"};
    ComposeFrame(&frame, &snapshot);
    int violations = 0;
    for (int i = 0; i < 1120 * 700; i++) {
        const uint8_t* p = frame.view.pixels + i * 4;
        violations += p[0] > p[3] || p[1] > p[3] || p[2] > p[3];
    }
    EXPECT_EQ(violations, 0);
    EXPECT_GT(Animation.flameLevel, 0.5f);
}

// FNV-1a over the frame's bytes.
static uint32_t Checksum(const PixelView* view)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < (size_t)view->width * view->height * 4; i++)
        hash = (hash ^ view->pixels[i]) * 16777619u;
    return hash;
}

// The scene (everything but the texts, whose glyphs depend on the installed
// fonts) of a busy moment. A change of this value means a change of pixels:
// the art was re-rendered, or the arithmetic changed.
TEST_F(Renderer, BusySceneKeepsItsPixels)
{
    ASSERT_EQ(RendererInit(GetModuleHandleA(NULL)), 1);
    AnimateBusyMoment();
    ComposeScene(&frame.view);
    EXPECT_EQ(Checksum(&frame.view), 2167892371u);
}

// A scripted run of the splash, each pass drawn incrementally into one surface
// and whole into another: the two must hold the same pixels after every pass.
struct ScriptedStep {
    const char* what;
    int frames;
    float frameTime;
    float progress;
    const char* status;
    const char* detail;
    int changes;  // 1: every pass changes pixels, 0: none does, -1: either
};

static const ScriptedStep SCRIPTED_RUN[] = {
    {"first frame", 1, 0.016666668f, 0.0f, "Checking game files...", "", 1},
    {"progress steps raise the flame", 60, 0.004f, 0.3f, "Checking game files...", "data\\a.pak", 1},
    {"status and detail change", 3, 0.004f, 0.35f, "Downloading 3 of 12...", "data\\ost_fell_textures.pack", 1},
    {"progress holds: flame dies, sparks fade", 150, 0.016666668f, 0.35f, "Downloading 3 of 12...", "x", -1},
    {"a stalled clock changes nothing", 5, 0.0f, 0.35f, "Downloading 3 of 12...", "x", 0},
    {"drag jumps forward", 4, 0.1f, 0.95f, "Downloading 8 of 12...", "x", 1},
    {"drag jumps back", 4, 0.1f, 0.05f, "Downloading 8 of 12...", "x", 1},
    {"detail emptied, bar full", 40, 0.03f, 1.0f, "Updated to version 1.0.42.", "", 1},
    {"everything emptied", 20, 0.05f, 0.0f, "", "", -1},
};

TEST_F(Renderer, IncrementalFramesMatchWholeFrames)
{
    ASSERT_EQ(RendererInit(GetModuleHandleA(NULL)), 1);
    Surface whole;
    ASSERT_TRUE(CreateSurface(&whole, 1120, 700));
    static FrameMemory memory;
    ForgetFrame(&memory);
    ResetAnimation();
    size_t bytes = (size_t)1120 * 700 * 4;
    for (const ScriptedStep& step : SCRIPTED_RUN) {
        StatusSnapshot snapshot = {step.progress, "", ""};
        CopyCut(snapshot.status, sizeof snapshot.status, step.status);
        CopyCut(snapshot.detail, sizeof snapshot.detail, step.detail);
        for (int i = 0; i < step.frames; i++) {
            AnimateFrame(step.frameTime, &snapshot);
            PixelBox changed = ComposeFrameChanges(&frame, &snapshot, &memory);
            ComposeFrame(&whole, &snapshot);
            ASSERT_EQ(memcmp(frame.view.pixels, whole.view.pixels, bytes), 0) << step.what << ", pass " << i;
            if (step.changes >= 0) {
                EXPECT_EQ(!IsEmptyBox(changed), step.changes) << step.what << ", pass " << i;
            }
        }
    }
    ForgetFrame(&memory);  // a forgotten frame is drawn whole, over whatever the surface holds
    memset(frame.view.pixels, 0x7F, bytes);
    StatusSnapshot snapshot = {0.0f, "", ""};
    PixelBox changed = ComposeFrameChanges(&frame, &snapshot, &memory);
    ComposeFrame(&whole, &snapshot);
    EXPECT_EQ(memcmp(frame.view.pixels, whole.view.pixels, bytes), 0);
    EXPECT_EQ(changed.x1 - changed.x0, 1120);
    EXPECT_EQ(changed.y1 - changed.y0, 700);
    DestroySurface(&whole);
}
