// Software drawing primitives on 32-bit B, G, R, A pixel views: the frame is
// premultiplied (no colour above its alpha), pictures carry straight alpha.
// Real numbers become pixel values by truncation; additive steps saturate at
// 255; division by 255 is a multiplication by INV255. No Windows headers.
#pragma once
#include "ui/ui_core.h"

static const float INV255 = 0.003921569f;

// A decoded picture: straight alpha, rows packed top-down; owns its pixels.
typedef PixelView ArtImage;

// The visible part of an image placed with its top-left at (x, y).
struct SourceRect {
    int sx0, sy0, sx1, sy1;
};

// A rectangle of pixels, its right and bottom edges outside it.
struct PixelBox {
    int x0, y0, x1, y1;
};

PixelBox WholeView(const PixelView* view);
PixelBox IntersectBoxes(PixelBox a, PixelBox b);
PixelBox UniteBoxes(PixelBox a, PixelBox b);  // the smallest box holding both
int IsEmptyBox(PixelBox box);

// Where each primitive may change pixels; empty when it draws nothing.
PixelBox ImageBox(const ArtImage* image, int x, int y);
PixelBox GlowBox(float cx, float cy, float radius, float strength);
PixelBox ProgressBarBox(void);
// The pixels of a coverage placed at (x, y) that are not 0.
PixelBox CoverageBox(const PixelView* coverage, int x, int y);

float Clamp(float value, float low, float high);

void ClearPixels(PixelView* target);
void ClearBox(PixelView* target, PixelBox box);
void CopyRectOpaque(PixelView* target, const ArtImage* image, int x0, int y0, int x1, int y1);
int ClipImagePlacement(const PixelView* target, const ArtImage* image, int x, int y, SourceRect* visible);

// Each drawing primitive draws inside the clip box only (WholeView for the
// whole target): the pixels inside come out the same whatever the clip, so a
// frame can be redrawn a box at a time.
void BlendImageIn(PixelView* target, PixelBox clip, const ArtImage* image, int x, int y, float opacity);
void AddImageIn(PixelView* target, PixelBox clip, const ArtImage* image, int x, int y, float opacity);
void AddGlowIn(PixelView* target, PixelBox clip, float cx, float cy, float radius, float strength, int red, int green,
               int blue);
// The last column the bar fills: the bar's pixels depend on nothing else.
int ProgressFillEnd(float displayedProgress);
void DrawProgressBarIn(PixelView* target, PixelBox clip, float displayedProgress);

// Applies text coverage (the largest of B, G, R of each coverage pixel) in
// one colour at (x, y): the pixel part of drawing a line of text.
void BlendCoverageIn(PixelView* target, PixelBox clip, const PixelView* coverage, int x, int y, int red, int green,
                     int blue, float opacity);

// The percentage shown for a displayed progress, rounded half up.
int PercentShown(float displayedProgress);

// The parts of the frame that a pass redraws, marked in tiles of 32 pixels
// and handed out as disjoint boxes: each box is redrawn whole, once.
static const int DIRTY_TILE = 32;
static const int DIRTY_COLUMNS = (WINDOW_WIDTH + DIRTY_TILE - 1) / DIRTY_TILE;
static const int DIRTY_ROWS = (WINDOW_HEIGHT + DIRTY_TILE - 1) / DIRTY_TILE;

struct DirtyTiles {
    uint8_t marked[DIRTY_ROWS][DIRTY_COLUMNS];
    PixelBox bounds;  // of every marked tile: what the pass presents
};

void ClearDirtyTiles(DirtyTiles* dirty);
void MarkDirty(DirtyTiles* dirty, PixelBox box);
// The next run of marked tiles in a row, from *cursor (0 to begin); 0 when there is none.
int NextDirtyBox(const DirtyTiles* dirty, int* cursor, PixelBox* box);
