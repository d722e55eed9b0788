// Frame composition: the panel, the character with the cannon, the flame and
// its glow, the sparks, the bar and the four texts, drawn over the whole frame
// or over the boxes where the last frame and this one differ.
#include <stdio.h>
#include <string.h>

#include "shell/shell_rules.h"
#include "ui/animation.h"
#include "ui/renderer.h"

static const char UI_FACE[] = "Segoe UI";

HFONT CreateUiFont(int pixelHeight, int bold)
{
    return CreateFontA(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, UI_FACE);
}

struct TextPlace {
    int x, y, pixelHeight, bold;
    int red, green, blue;
};

// In drawing order: the percentage, the status, the detail, the close square's X.
static const TextPlace TEXT_PLACES[FRAME_TEXTS] = {
    {667, 494, 57, 1, 240, 248, 255},
    {669, 569, 19, 0, 168, 210, 222},
    {669, 599, 15, 0, 112, 154, 166},
    {1068, 485, 19, 0, 132, 168, 180},
};

static void FrameTexts(const StatusSnapshot* snapshot, char* percent, size_t percentSize,
                       const char* texts[FRAME_TEXTS])
{
    snprintf(percent, percentSize, "%d%%", PercentShown(Animation.displayedProgress));
    texts[0] = percent;
    texts[1] = snapshot->status;
    texts[2] = snapshot->detail;
    texts[3] = "X";
}

// GDI renders white on black into the scratch, whose colour is then the
// text's coverage. The alpha that GDI leaves in the scratch is never read.
static int RenderTextCoverage(const char* text, const TextPlace* place)
{
    if (!text[0] || !TextScratch.view.pixels)
        return 0;
    ClearPixels(&TextScratch.view);
    HFONT font = CreateUiFont(place->pixelHeight, place->bold);
    if (!font)
        return 0;
    HGDIOBJ previous = SelectObject(TextScratch.dc, font);
    SetBkMode(TextScratch.dc, TRANSPARENT);
    SetTextColor(TextScratch.dc, RGB(255, 255, 255));
    TextOutA(TextScratch.dc, 0, 0, text, (int)strlen(text));
    SelectObject(TextScratch.dc, previous);
    DeleteObject(font);
    GdiFlush();  // the glyphs must be in the pixels before they are read
    return 1;
}

static const int PANEL_LEFT = 205, PANEL_TOP = 457;
static const int CHARACTER_X = 0, CHARACTER_Y = 175;
static const int FLAME_X = 500, FLAME_Y = 196;
static const float GLOW_X = 517.0f, GLOW_Y = 281.0f;

static float GlowRadius(float flame)
{
    return flame * 48.0f + 24.0f;
}

static float GlowStrength(float flame)
{
    return flame * 0.42f + 0.16f;
}

// The scene's pixels inside the clip; those outside are left as they are.
static void ComposeSceneIn(PixelView* frame, PixelBox clip)
{
    float flame = Animation.flameLevel;
    clip = IntersectBoxes(clip, WholeView(frame));
    ClearBox(frame, clip);
    int left = clip.x0 > PANEL_LEFT ? clip.x0 : PANEL_LEFT, top = clip.y0 > PANEL_TOP ? clip.y0 : PANEL_TOP;
    CopyRectOpaque(frame, &BackgroundArt, left, top, clip.x1, clip.y1);
    BlendImageIn(frame, clip, &CharacterArt, CHARACTER_X, CHARACTER_Y, 1.0f);
    BlendImageIn(frame, clip, &FlameArt, FLAME_X, FLAME_Y, flame);
    AddImageIn(frame, clip, &FlameArt, FLAME_X, FLAME_Y, flame * 0.45f);
    AddGlowIn(frame, clip, GLOW_X, GLOW_Y, GlowRadius(flame), GlowStrength(flame), 255, 170, 74);
    DrawSparksIn(frame, clip);
    DrawProgressBarIn(frame, clip, Animation.displayedProgress);
}

void ComposeScene(PixelView* frame)
{
    ComposeSceneIn(frame, WholeView(frame));
}

static void BlendTextCoverageIn(PixelView* frame, PixelBox clip, const PixelView* coverage, const TextPlace* place)
{
    BlendCoverageIn(frame, clip, coverage, place->x, place->y, place->red, place->green, place->blue, 1.0f);
}

void ComposeFrame(Surface* surface, const StatusSnapshot* snapshot)
{
    PixelView* frame = &surface->view;
    ComposeScene(frame);
    char percent[16];
    const char* texts[FRAME_TEXTS];
    FrameTexts(snapshot, percent, sizeof percent, texts);
    for (int i = 0; i < FRAME_TEXTS; i++) {
        if (RenderTextCoverage(texts[i], &TEXT_PLACES[i]))
            BlendTextCoverageIn(frame, WholeView(frame), &TextScratch.view, &TEXT_PLACES[i]);
    }
}

void ForgetFrame(FrameMemory* memory)
{
    memory->composed = 0;
}

static PixelView CoverageView(DrawnText* drawn)
{
    PixelView view = {TEXT_SCRATCH_WIDTH, TEXT_SCRATCH_HEIGHT, drawn->coverage};
    return view;
}

// A changed text is rendered once and kept: later passes redraw boxes from the
// kept coverage, as the scratch then holds another text.
static void NoteText(FrameMemory* memory, int slot, const char* text)
{
    DrawnText* drawn = &memory->texts[slot];
    if (memory->composed && strcmp(drawn->text, text) == 0)
        return;
    MarkDirty(&memory->dirty, drawn->box);
    CopyCut(drawn->text, sizeof drawn->text, text);
    PixelBox none = {0, 0, 0, 0};
    drawn->box = none;
    if (!RenderTextCoverage(text, &TEXT_PLACES[slot]))
        return;
    memcpy(drawn->coverage, TextScratch.view.pixels, sizeof drawn->coverage);
    PixelView coverage = CoverageView(drawn);
    drawn->box = CoverageBox(&coverage, TEXT_PLACES[slot].x, TEXT_PLACES[slot].y);
    MarkDirty(&memory->dirty, drawn->box);
}

static PixelBox FlameBox(float flame)
{
    return UniteBoxes(ImageBox(&FlameArt, FLAME_X, FLAME_Y),
                      GlowBox(GLOW_X, GLOW_Y, GlowRadius(flame), GlowStrength(flame)));
}

// Marks where the scene drawn now differs from the one drawn last: each moving
// part's old and new place.
static void NoteScene(FrameMemory* memory)
{
    if (!memory->composed) {
        PixelBox window = {0, 0, WINDOW_WIDTH, WINDOW_HEIGHT};
        MarkDirty(&memory->dirty, window);
    }
    if (Animation.flameLevel != memory->flameLevel) {
        MarkDirty(&memory->dirty, FlameBox(memory->flameLevel));
        MarkDirty(&memory->dirty, FlameBox(Animation.flameLevel));
        memory->flameLevel = Animation.flameLevel;
    }
    for (int i = 0; i < SPARK_POOL_SIZE; i++) {
        if (memcmp(&memory->sparks[i], &SparkPool[i], sizeof SparkPool[i]) == 0)
            continue;
        MarkDirty(&memory->dirty, SparkBox(&memory->sparks[i]));
        MarkDirty(&memory->dirty, SparkBox(&SparkPool[i]));
        memory->sparks[i] = SparkPool[i];
    }
    int fillEnd = ProgressFillEnd(Animation.displayedProgress);
    if (fillEnd != memory->barFillEnd) {
        MarkDirty(&memory->dirty, ProgressBarBox());
        memory->barFillEnd = fillEnd;
    }
}

PixelBox ComposeFrameChanges(Surface* surface, const StatusSnapshot* snapshot, FrameMemory* memory)
{
    PixelView* frame = &surface->view;
    ClearDirtyTiles(&memory->dirty);
    NoteScene(memory);
    char percent[16];
    const char* texts[FRAME_TEXTS];
    FrameTexts(snapshot, percent, sizeof percent, texts);
    for (int i = 0; i < FRAME_TEXTS; i++)
        NoteText(memory, i, texts[i]);
    memory->composed = 1;

    int cursor = 0;
    PixelBox box;
    while (NextDirtyBox(&memory->dirty, &cursor, &box)) {
        ComposeSceneIn(frame, box);
        for (int i = 0; i < FRAME_TEXTS; i++) {
            PixelView coverage = CoverageView(&memory->texts[i]);
            if (!IsEmptyBox(memory->texts[i].box))
                BlendTextCoverageIn(frame, box, &coverage, &TEXT_PLACES[i]);
        }
    }
    return memory->dirty.bounds;
}
