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

float Clamp(float value, float low, float high);

void ClearPixels(PixelView* target);
void CopyRectOpaque(PixelView* target, const ArtImage* image, int x0, int y0, int x1, int y1);
int ClipImagePlacement(const PixelView* target, const ArtImage* image, int x, int y, SourceRect* visible);
void BlendImage(PixelView* target, const ArtImage* image, int x, int y, float opacity);
void AddImage(PixelView* target, const ArtImage* image, int x, int y, float opacity);
void AddGlow(PixelView* target, float cx, float cy, float radius, float strength, int red, int green, int blue);
void DrawProgressBar(PixelView* target, float displayedProgress);

// Applies text coverage (the largest of B, G, R of each coverage pixel) in
// one colour at (x, y): the pixel part of drawing a line of text.
void BlendCoverage(PixelView* target, const PixelView* coverage, int x, int y, int red, int green, int blue,
                   float opacity);

// The percentage shown for a displayed progress, rounded half up.
int PercentShown(float displayedProgress);
