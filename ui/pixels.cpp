// The drawing primitives. Clipping is done once per placement; pixels with
// alpha or coverage 0 are skipped before any arithmetic.
#include "ui/pixels.h"

#include <string.h>

float Clamp(float value, float low, float high)
{
    if (!(value >= low))  // NaN too
        return low;
    return value > high ? high : value;
}

static inline uint8_t* PixelAt(const PixelView* view, int x, int y)
{
    return view->pixels + ((size_t)y * (size_t)view->width + (size_t)x) * 4;
}

static inline uint8_t AddSaturated(int value, int added)
{
    int sum = value + added;
    return (uint8_t)(sum > 255 ? 255 : sum);
}

void ClearPixels(PixelView* target)
{
    memset(target->pixels, 0, (size_t)target->width * (size_t)target->height * 4);
}

void CopyRectOpaque(PixelView* target, const ArtImage* image, int x0, int y0, int x1, int y1)
{
    if (!image->pixels)
        return;
    if (x0 < 0)
        x0 = 0;
    if (y0 < 0)
        y0 = 0;
    if (x1 > target->width)
        x1 = target->width;
    if (x1 > image->width)
        x1 = image->width;
    if (y1 > target->height)
        y1 = target->height;
    if (y1 > image->height)
        y1 = image->height;
    for (int y = y0; y < y1; y++) {
        const uint8_t* s = PixelAt(image, x0, y);
        uint8_t* t = PixelAt(target, x0, y);
        for (int x = x0; x < x1; x++, s += 4, t += 4) {
            t[0] = s[0];
            t[1] = s[1];
            t[2] = s[2];
            t[3] = 255;
        }
    }
}

int ClipImagePlacement(const PixelView* target, const ArtImage* image, int x, int y, SourceRect* visible)
{
    visible->sx0 = x < 0 ? -x : 0;
    visible->sy0 = y < 0 ? -y : 0;
    visible->sx1 = x + image->width > target->width ? target->width - x : image->width;
    visible->sy1 = y + image->height > target->height ? target->height - y : image->height;
    return visible->sx0 < visible->sx1 && visible->sy0 < visible->sy1;
}

// l = alpha x opacity / 255 for every alpha value of one placement: the same
// products as per pixel, computed once.
static void FillCoverageTable(float* table, float opacity)
{
    for (int alpha = 0; alpha < 256; alpha++)
        table[alpha] = (float)alpha * opacity * INV255;
}

// Calls paint(source, target, l) for every visible source pixel with alpha
// above 0, l being alpha x opacity / 255. Inlined into each caller.
template <typename Paint>
static inline void PaintCovered(PixelView* target, const ArtImage* image, int x, int y, float opacity, Paint paint)
{
    SourceRect r;
    if (!image->pixels || !(opacity > 0.0f) || !ClipImagePlacement(target, image, x, y, &r))
        return;
    float coverage[256];
    FillCoverageTable(coverage, opacity);
    for (int row = r.sy0; row < r.sy1; row++) {
        const uint8_t* s = PixelAt(image, r.sx0, row);
        uint8_t* t = PixelAt(target, x + r.sx0, y + row);
        for (int column = r.sx0; column < r.sx1; column++, s += 4, t += 4) {
            if (s[3] != 0)
                paint(s, t, coverage[s[3]]);
        }
    }
}

// Source-over of a straight-alpha picture onto the premultiplied frame.
void BlendImage(PixelView* target, const ArtImage* image, int x, int y, float opacity)
{
    PaintCovered(target, image, x, y, opacity, [](const uint8_t* s, uint8_t* t, float l) {
        if (l == 1.0f) {  // m is 0: the formula gives the source itself
            t[0] = s[0];
            t[1] = s[1];
            t[2] = s[2];
            t[3] = 255;
            return;
        }
        float m = 1.0f - l;
        t[0] = (uint8_t)(int)((float)s[0] * l + (float)t[0] * m);
        t[1] = (uint8_t)(int)((float)s[1] * l + (float)t[1] * m);
        t[2] = (uint8_t)(int)((float)s[2] * l + (float)t[2] * m);
        t[3] = (uint8_t)(int)((float)t[3] * m + 255.0f * l);
    });
}

// Additive light.
void AddImage(PixelView* target, const ArtImage* image, int x, int y, float opacity)
{
    PaintCovered(target, image, x, y, opacity, [](const uint8_t* s, uint8_t* t, float l) {
        t[0] = AddSaturated(t[0], (int)((float)s[0] * l));
        t[1] = AddSaturated(t[1], (int)((float)s[1] * l));
        t[2] = AddSaturated(t[2], (int)((float)s[2] * l));
        t[3] = AddSaturated(t[3], (int)(255.0f * l));
    });
}

void AddGlow(PixelView* target, float cx, float cy, float radius, float strength, int red, int green, int blue)
{
    if (!(radius > 0.0f) || !(strength > 0.0f))
        return;
    int left = (int)(cx - radius), right = (int)(cx + radius);
    int top = (int)(cy - radius), bottom = (int)(cy + radius);
    if (left < 0)
        left = 0;
    if (top < 0)
        top = 0;
    if (right > target->width - 1)
        right = target->width - 1;
    if (bottom > target->height - 1)
        bottom = target->height - 1;
    float radiusSquared = radius * radius;
    for (int y = top; y <= bottom; y++) {
        float dy = (float)y - cy;
        uint8_t* t = PixelAt(target, left, y);
        for (int x = left; x <= right; x++, t += 4) {
            float dx = (float)x - cx;
            float d = (dx * dx + dy * dy) / radiusSquared;
            if (d >= 1.0f)
                continue;
            float w = strength * (1.0f - d) * (1.0f - d);
            t[0] = AddSaturated(t[0], (int)((float)blue * w));
            t[1] = AddSaturated(t[1], (int)((float)green * w));
            t[2] = AddSaturated(t[2], (int)((float)red * w));
            t[3] = AddSaturated(t[3], (int)(255.0f * w));
        }
    }
}

static const int BAR_LEFT = 669, BAR_RIGHT = 1050, BAR_TOP = 645, BAR_BOTTOM = 648;
static const float BAR_SPAN = 381.0f;
static const float EDGE_FALLOFF = 0.008928572f;  // 1/112: the fill dims over 112 pixels behind its edge

void DrawProgressBar(PixelView* target, float displayedProgress)
{
    int fillEnd = BAR_LEFT + (int)(BAR_SPAN * displayedProgress);
    for (int y = BAR_TOP; y <= BAR_BOTTOM; y++) {
        if (y < 0 || y >= target->height)
            continue;
        for (int x = BAR_LEFT; x <= BAR_RIGHT && x < target->width; x++) {
            uint8_t* t = PixelAt(target, x, y);
            if (x <= fillEnd) {
                float h = Clamp((float)(fillEnd - x) * EDGE_FALLOFF, 0.0f, 1.0f);
                float k = 0.55f + 0.45f * (1.0f - h);
                t[0] = AddSaturated(t[0], (int)(60.0f * k));
                t[1] = AddSaturated(t[1], (int)(150.0f * k));
                t[2] = AddSaturated(t[2], (int)(255.0f * k));
                t[3] = AddSaturated(t[3], (int)(255.0f * k));
            } else {
                t[0] = AddSaturated(t[0], 26);
                t[1] = AddSaturated(t[1], 24);
                t[2] = AddSaturated(t[2], 20);
                t[3] = AddSaturated(t[3], 40);
            }
        }
    }
}

void BlendCoverage(PixelView* target, const PixelView* coverage, int x, int y, int red, int green, int blue,
                   float opacity)
{
    for (int i = 0; i < coverage->height; i++) {
        if (y + i < 0 || y + i >= target->height)
            continue;
        const uint8_t* c = PixelAt(coverage, 0, i);
        for (int j = 0; j < coverage->width; j++, c += 4) {
            int v = c[0] > c[1] ? c[0] : c[1];
            if (c[2] > v)
                v = c[2];
            if (v == 0 || x + j < 0 || x + j >= target->width)
                continue;
            float u = (float)v * opacity * INV255;
            float m = 1.0f - u;
            uint8_t* t = PixelAt(target, x + j, y + i);
            t[0] = (uint8_t)(int)((float)t[0] * m + (float)blue * u);
            t[1] = (uint8_t)(int)((float)t[1] * m + (float)green * u);
            t[2] = (uint8_t)(int)((float)t[2] * m + (float)red * u);
            t[3] = (uint8_t)(int)((float)t[3] * m + 255.0f * u);
        }
    }
}

int PercentShown(float displayedProgress)
{
    return (int)(displayedProgress * 100.0f + 0.5f);
}
