// One whole frame of the splash, drawn anew into the main surface: the panel,
// the character with the cannon, the flame and its glow, the sparks, the bar
// and the four texts.
#include <stdio.h>

#include "ui/animation.h"
#include "ui/renderer.h"

static const char UI_FACE[] = "Segoe UI";

HFONT CreateUiFont(int pixelHeight, int bold)
{
    return CreateFontA(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, UI_FACE);
}

// GDI renders white on black into the scratch; the coverage is then applied in
// the text's colour. The alpha that GDI leaves in the scratch is never read.
void BlendText(PixelView* target, Surface* scratch, const char* text, int x, int y, int pixelHeight, int bold,
               int red, int green, int blue, float opacity)
{
    if (!text || !text[0] || !(opacity > 0.0f) || !scratch->view.pixels)
        return;
    ClearPixels(&scratch->view);
    HFONT font = CreateUiFont(pixelHeight, bold);
    if (!font)
        return;
    HGDIOBJ previous = SelectObject(scratch->dc, font);
    SetBkMode(scratch->dc, TRANSPARENT);
    SetTextColor(scratch->dc, RGB(255, 255, 255));
    TextOutA(scratch->dc, 0, 0, text, (int)strlen(text));
    SelectObject(scratch->dc, previous);
    DeleteObject(font);
    GdiFlush();  // the glyphs must be in the pixels before they are read
    BlendCoverage(target, &scratch->view, x, y, red, green, blue, opacity);
}

static const int PANEL_LEFT = 205, PANEL_TOP = 457;
static const int CHARACTER_X = 0, CHARACTER_Y = 175;
static const int FLAME_X = 500, FLAME_Y = 196;
static const float GLOW_X = 517.0f, GLOW_Y = 281.0f;

void ComposeScene(PixelView* frame)
{
    float flame = Animation.flameLevel;
    ClearPixels(frame);
    CopyRectOpaque(frame, &BackgroundArt, PANEL_LEFT, PANEL_TOP, frame->width, frame->height);
    BlendImage(frame, &CharacterArt, CHARACTER_X, CHARACTER_Y, 1.0f);
    BlendImage(frame, &FlameArt, FLAME_X, FLAME_Y, flame);
    AddImage(frame, &FlameArt, FLAME_X, FLAME_Y, flame * 0.45f);
    AddGlow(frame, GLOW_X, GLOW_Y, flame * 48.0f + 24.0f, flame * 0.42f + 0.16f, 255, 170, 74);
    DrawSparks(frame);
    DrawProgressBar(frame, Animation.displayedProgress);
}

void ComposeFrame(Surface* surface, const StatusSnapshot* snapshot)
{
    PixelView* frame = &surface->view;
    ComposeScene(frame);
    char percent[16];
    snprintf(percent, sizeof percent, "%d%%", PercentShown(Animation.displayedProgress));
    BlendText(frame, &TextScratch, percent, 667, 494, 57, 1, 240, 248, 255, 1.0f);
    BlendText(frame, &TextScratch, snapshot->status, 669, 569, 19, 0, 168, 210, 222, 1.0f);
    BlendText(frame, &TextScratch, snapshot->detail, 669, 599, 15, 0, 112, 154, 166, 1.0f);
    BlendText(frame, &TextScratch, "X", 1068, 485, 19, 0, 132, 168, 180, 1.0f);
}
