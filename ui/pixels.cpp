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

PixelBox WholeView(const PixelView* view)
{
    PixelBox box = {0, 0, view->width, view->height};
    return box;
}

static int Larger(int a, int b)
{
    return a > b ? a : b;
}

static int Smaller(int a, int b)
{
    return a < b ? a : b;
}

int IsEmptyBox(PixelBox box)
{
    return box.x0 >= box.x1 || box.y0 >= box.y1;
}

PixelBox IntersectBoxes(PixelBox a, PixelBox b)
{
    PixelBox box = {Larger(a.x0, b.x0), Larger(a.y0, b.y0), Smaller(a.x1, b.x1), Smaller(a.y1, b.y1)};
    return box;
}

PixelBox UniteBoxes(PixelBox a, PixelBox b)
{
    if (IsEmptyBox(a))
        return b;
    if (IsEmptyBox(b))
        return a;
    PixelBox box = {Smaller(a.x0, b.x0), Smaller(a.y0, b.y0), Larger(a.x1, b.x1), Larger(a.y1, b.y1)};
    return box;
}

PixelBox ImageBox(const ArtImage* image, int x, int y)
{
    PixelBox box = {x, y, x + image->width, y + image->height};
    if (!image->pixels)
        box.x1 = box.x0;
    return box;
}

// The pixels whose centres lie within the radius, as AddGlowIn walks them.
PixelBox GlowBox(float cx, float cy, float radius, float strength)
{
    PixelBox box = {(int)(cx - radius), (int)(cy - radius), (int)(cx + radius) + 1, (int)(cy + radius) + 1};
    if (!(radius > 0.0f) || !(strength > 0.0f))
        box.x1 = box.x0;
    return box;
}

void ClearPixels(PixelView* target)
{
    memset(target->pixels, 0, (size_t)target->width * (size_t)target->height * 4);
}

void ClearBox(PixelView* target, PixelBox box)
{
    box = IntersectBoxes(box, WholeView(target));
    if (IsEmptyBox(box))
        return;
    for (int y = box.y0; y < box.y1; y++)
        memset(PixelAt(target, box.x0, y), 0, (size_t)(box.x1 - box.x0) * 4);
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

// Calls paint(source, target, l) for every visible source pixel inside the
// clip with alpha above 0, l being alpha x opacity / 255. Inlined into each caller.
template <typename Paint>
static inline void PaintCovered(PixelView* target, PixelBox clip, const ArtImage* image, int x, int y, float opacity,
                                Paint paint)
{
    SourceRect r;
    if (!image->pixels || !(opacity > 0.0f) || !ClipImagePlacement(target, image, x, y, &r))
        return;
    r.sx0 = Larger(r.sx0, clip.x0 - x);
    r.sx1 = Smaller(r.sx1, clip.x1 - x);
    r.sy0 = Larger(r.sy0, clip.y0 - y);
    r.sy1 = Smaller(r.sy1, clip.y1 - y);
    if (r.sx0 >= r.sx1 || r.sy0 >= r.sy1)
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
void BlendImageIn(PixelView* target, PixelBox clip, const ArtImage* image, int x, int y, float opacity)
{
    PaintCovered(target, clip, image, x, y, opacity, [](const uint8_t* s, uint8_t* t, float l) {
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
void AddImageIn(PixelView* target, PixelBox clip, const ArtImage* image, int x, int y, float opacity)
{
    PaintCovered(target, clip, image, x, y, opacity, [](const uint8_t* s, uint8_t* t, float l) {
        t[0] = AddSaturated(t[0], (int)((float)s[0] * l));
        t[1] = AddSaturated(t[1], (int)((float)s[1] * l));
        t[2] = AddSaturated(t[2], (int)((float)s[2] * l));
        t[3] = AddSaturated(t[3], (int)(255.0f * l));
    });
}

void AddGlowIn(PixelView* target, PixelBox clip, float cx, float cy, float radius, float strength, int red, int green,
               int blue)
{
    PixelBox box = IntersectBoxes(IntersectBoxes(GlowBox(cx, cy, radius, strength), WholeView(target)), clip);
    if (IsEmptyBox(box))
        return;
    float radiusSquared = radius * radius;
    for (int y = box.y0; y < box.y1; y++) {
        float dy = (float)y - cy;
        uint8_t* t = PixelAt(target, box.x0, y);
        for (int x = box.x0; x < box.x1; x++, t += 4) {
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

PixelBox ProgressBarBox(void)
{
    PixelBox box = {BAR_LEFT, BAR_TOP, BAR_RIGHT + 1, BAR_BOTTOM + 1};
    return box;
}

int ProgressFillEnd(float displayedProgress)
{
    return BAR_LEFT + (int)(BAR_SPAN * displayedProgress);
}

void DrawProgressBarIn(PixelView* target, PixelBox clip, float displayedProgress)
{
    int fillEnd = ProgressFillEnd(displayedProgress);
    PixelBox box = IntersectBoxes(IntersectBoxes(ProgressBarBox(), WholeView(target)), clip);
    for (int y = box.y0; y < box.y1; y++) {
        for (int x = box.x0; x < box.x1; x++) {
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

static inline int CoverageAt(const uint8_t* c)
{
    int v = c[0] > c[1] ? c[0] : c[1];
    return c[2] > v ? c[2] : v;
}

PixelBox CoverageBox(const PixelView* coverage, int x, int y)
{
    PixelBox box = {0, 0, 0, 0};
    for (int i = 0; i < coverage->height; i++) {
        const uint8_t* c = PixelAt(coverage, 0, i);
        for (int j = 0; j < coverage->width; j++, c += 4) {
            if (CoverageAt(c) == 0)
                continue;
            PixelBox pixel = {x + j, y + i, x + j + 1, y + i + 1};
            box = UniteBoxes(box, pixel);
        }
    }
    return box;
}

void BlendCoverageIn(PixelView* target, PixelBox clip, const PixelView* coverage, int x, int y, int red, int green,
                     int blue, float opacity)
{
    PixelBox box = IntersectBoxes(WholeView(target), clip);
    int firstRow = Larger(0, box.y0 - y), endRow = Smaller(coverage->height, box.y1 - y);
    int firstColumn = Larger(0, box.x0 - x), endColumn = Smaller(coverage->width, box.x1 - x);
    for (int i = firstRow; i < endRow; i++) {
        const uint8_t* c = PixelAt(coverage, firstColumn, i);
        for (int j = firstColumn; j < endColumn; j++, c += 4) {
            int v = CoverageAt(c);
            if (v == 0)
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

void ClearDirtyTiles(DirtyTiles* dirty)
{
    memset(dirty->marked, 0, sizeof dirty->marked);
    PixelBox none = {0, 0, 0, 0};
    dirty->bounds = none;
}

void MarkDirty(DirtyTiles* dirty, PixelBox box)
{
    PixelBox window = {0, 0, WINDOW_WIDTH, WINDOW_HEIGHT};
    box = IntersectBoxes(box, window);
    if (IsEmptyBox(box))
        return;
    for (int row = box.y0 / DIRTY_TILE; row <= (box.y1 - 1) / DIRTY_TILE; row++) {
        for (int column = box.x0 / DIRTY_TILE; column <= (box.x1 - 1) / DIRTY_TILE; column++) {
            dirty->marked[row][column] = 1;
            PixelBox tile = {column * DIRTY_TILE, row * DIRTY_TILE, Smaller((column + 1) * DIRTY_TILE, WINDOW_WIDTH),
                             Smaller((row + 1) * DIRTY_TILE, WINDOW_HEIGHT)};
            dirty->bounds = UniteBoxes(dirty->bounds, tile);
        }
    }
}

int NextDirtyBox(const DirtyTiles* dirty, int* cursor, PixelBox* box)
{
    for (; *cursor < DIRTY_ROWS * DIRTY_COLUMNS; (*cursor)++) {
        int row = *cursor / DIRTY_COLUMNS, column = *cursor % DIRTY_COLUMNS;
        if (!dirty->marked[row][column])
            continue;
        int end = column;
        while (end < DIRTY_COLUMNS && dirty->marked[row][end])
            end++;
        box->x0 = column * DIRTY_TILE;
        box->y0 = row * DIRTY_TILE;
        box->x1 = Smaller(end * DIRTY_TILE, WINDOW_WIDTH);
        box->y1 = Smaller((row + 1) * DIRTY_TILE, WINDOW_HEIGHT);
        *cursor = row * DIRTY_COLUMNS + end;
        return 1;
    }
    return 0;
}
