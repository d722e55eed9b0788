// The splash's frames presented two ways, each replaying the same busy
// frames (a check: the bar climbing, a new detail line every frame): on the
// large window alone, and on small overlay windows for what moves with the
// large window presented only when something outside them changed.
#include <string.h>

#include <algorithm>

#include "bench_support.h"
#include "ui/animation.h"
#include "ui/ui.h"

// The small windows laid over the splash for what moves, in whole dirty tiles
// so that a marked tile lies inside one of them or outside all: the flame, its
// glow and the sparks' flight; the percentage; the status and detail lines
// with the bar. The close square stays on the large window.
static const int OVERLAY_COUNT = 3;
static const PixelBox OVERLAY_BOXES[OVERLAY_COUNT] = {
    {448, 64, 960, 384},
    {640, 480, 896, 544},
    {640, 544, 1120, 672},
};
static const unsigned LARGE_TOUCHED = 1u << OVERLAY_COUNT;

static const int FRAMES = 150;
static const float FRAME_TIME = 1.0f / 15.0f;

enum ReplayWay { COMPOSE_ONLY, LARGE_WINDOW, OVERLAYS };

static double ProcessorSeconds(void)
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return (double)(k.QuadPart + u.QuadPart) / 1e7;
}

struct SplitWindows {
    HWND large;
    HWND overlays[OVERLAY_COUNT];
    Surface backdrop;  // the frame with the overlays' boxes cleared
};

static void DrainMessages(void)
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
}

static int QuietTexts;  // 1: one file's download, the texts stay put

static void NextSnapshot(StatusSnapshot* snapshot, int frame)
{
    if (QuietTexts) {
        snapshot->progress = (float)frame / FRAMES;
        snprintf(snapshot->status, sizeof snapshot->status, "Downloading 8 of 12...");
        snprintf(snapshot->detail, sizeof snapshot->detail, "data\\ost_fell_textures.pack");
        return;
    }
    snapshot->progress = (float)(frame % 120) / 120.0f;
    snprintf(snapshot->status, sizeof snapshot->status, "Checking game files... %d", frame / 30);
    snprintf(snapshot->detail, sizeof snapshot->detail, "data\\textures\\pack_%04d.bin", frame * 13);
}

static int TileInBox(int row, int column, PixelBox box)
{
    int x = column * DIRTY_TILE, y = row * DIRTY_TILE;
    return x >= box.x0 && x < box.x1 && y >= box.y0 && y < box.y1;
}

// Bit i: a marked tile lies in overlay i; LARGE_TOUCHED: one lies outside every overlay.
static unsigned OverlaysTouched(const DirtyTiles* dirty)
{
    unsigned touched = 0;
    for (int row = 0; row < DIRTY_ROWS; row++) {
        for (int column = 0; column < DIRTY_COLUMNS; column++) {
            if (!dirty->marked[row][column])
                continue;
            unsigned found = LARGE_TOUCHED;
            for (int i = 0; i < OVERLAY_COUNT && found == LARGE_TOUCHED; i++) {
                if (TileInBox(row, column, OVERLAY_BOXES[i]))
                    found = 1u << i;
            }
            touched |= found;
        }
    }
    return touched;
}

static void CopyBox(PixelView* target, const PixelView* source, PixelBox box)
{
    for (int y = box.y0; y < box.y1; y++) {
        size_t at = ((size_t)y * target->width + box.x0) * 4;
        memcpy(target->pixels + at, source->pixels + at, (size_t)(box.x1 - box.x0) * 4);
    }
}

// The large window's share of a frame: its changed box without the overlays.
static void PresentBackdrop(SplitWindows* split, Surface* frame, PixelBox changed)
{
    CopyBox(&split->backdrop.view, &frame->view, changed);
    for (int i = 0; i < OVERLAY_COUNT; i++)
        ClearBox(&split->backdrop.view, IntersectBoxes(changed, OVERLAY_BOXES[i]));
    PresentSurface(&split->backdrop, split->large, changed);
}

static void PresentSplit(SplitWindows* split, Surface* frame, const FrameMemory* memory, PixelBox changed)
{
    unsigned touched = OverlaysTouched(&memory->dirty);
    if (touched & LARGE_TOUCHED)
        PresentBackdrop(split, frame, changed);
    for (int i = 0; i < OVERLAY_COUNT; i++) {
        if (touched & (1u << i))
            PresentSurfacePart(frame, split->overlays[i], OVERLAY_BOXES[i], changed);
    }
}

// Replays the frames one way; answers the mean wall milliseconds of a
// frame's presents (the first frame, the whole splash, left out) and the
// processor seconds of the whole replay; counts the frames that touched each
// overlay and the large window, and where the changes fell.
static double Replay(Surface* frame, SplitWindows* split, ReplayWay way, double* processor,
                     unsigned touchedCount[OVERLAY_COUNT + 1], PixelBox* reach)
{
    static FrameMemory memory;
    ForgetFrame(&memory);
    ResetAnimation();
    StatusSnapshot snapshot;
    double total = 0, processorStart = ProcessorSeconds();
    for (int i = 0; i < FRAMES; i++) {
        NextSnapshot(&snapshot, i);
        AnimateFrame(FRAME_TIME, &snapshot);
        PixelBox changed = ComposeFrameChanges(frame, &snapshot, &memory);
        unsigned touched = OverlaysTouched(&memory.dirty);
        for (int bit = 0; bit <= OVERLAY_COUNT && i > 0; bit++)
            touchedCount[bit] += (touched >> bit) & 1;
        if (i > 0)
            *reach = UniteBoxes(*reach, changed);
        double start = SecondsNow();
        if (way == OVERLAYS)
            PresentSplit(split, frame, &memory, changed);
        else if (way == LARGE_WINDOW)
            PresentSurface(frame, split->large, changed);
        if (i > 0)
            total += SecondsNow() - start;
        DrainMessages();
    }
    *processor = ProcessorSeconds() - processorStart;
    return total / (FRAMES - 1) * 1000;
}

static HWND CreateLayered(HWND owner, PixelBox box, DWORD extraStyle)
{
    return CreateWindowExA(WS_EX_LAYERED | extraStyle, "QRVPresentBench", "", WS_POPUP, 40 + box.x0, 40 + box.y0,
                           box.x1 - box.x0, box.y1 - box.y0, owner, NULL, GetModuleHandleA(NULL), NULL);
}

static int OpenSplit(SplitWindows* split)
{
    ZeroMemory(split, sizeof *split);
    PixelBox whole = {0, 0, WINDOW_WIDTH, WINDOW_HEIGHT};
    split->large = CreateLayered(NULL, whole, 0);
    if (!split->large || !CreateSurface(&split->backdrop, WINDOW_WIDTH, WINDOW_HEIGHT))
        return 0;
    ShowWindow(split->large, SW_SHOWNOACTIVATE);
    for (int i = 0; i < OVERLAY_COUNT; i++) {
        split->overlays[i] =
            CreateLayered(split->large, OVERLAY_BOXES[i], WS_EX_NOACTIVATE | WS_EX_TRANSPARENT | WS_EX_TOOLWINDOW);
        if (!split->overlays[i])
            return 0;
        ShowWindow(split->overlays[i], SW_SHOWNOACTIVATE);
    }
    return 1;
}

static void CloseSplit(SplitWindows* split)
{
    for (int i = 0; i < OVERLAY_COUNT; i++) {
        if (split->overlays[i])
            DestroyWindow(split->overlays[i]);
    }
    if (split->large)
        DestroyWindow(split->large);
    DestroySurface(&split->backdrop);
}

static void BenchSplashFramesOnce(void)
{
    Surface frame;
    SplitWindows split;
    ZeroMemory(&split, sizeof split);
    if (!CreateSurface(&frame, WINDOW_WIDTH, WINDOW_HEIGHT) || !RendererInit(GetModuleHandleA(NULL)) ||
        !OpenSplit(&split)) {
        CloseSplit(&split);
        fprintf(stderr, "present_bench: no surface, art or windows for the splash's frames\n");
        return;
    }
    unsigned counts[3][OVERLAY_COUNT + 1] = {{0}};
    PixelBox reach = {WINDOW_WIDTH, WINDOW_HEIGHT, 0, 0};
    double composing, largeProcessor, overlaysProcessor;
    Replay(&frame, &split, COMPOSE_ONLY, &composing, counts[0], &reach);
    double large = Replay(&frame, &split, LARGE_WINDOW, &largeProcessor, counts[1], &reach);
    double overlays = Replay(&frame, &split, OVERLAYS, &overlaysProcessor, counts[2], &reach);
    largeProcessor = (largeProcessor - composing) / FRAMES * 1000;
    overlaysProcessor = (overlaysProcessor - composing) / FRAMES * 1000;
    printf("the splash's frames presented, %d busy frames at %.0f a second (a frame's presents: mean wall time,"
           " processor time beyond composing):\n", FRAMES, 1.0f / FRAME_TIME);
    printf("  the large window alone:  %6.2f ms, processor %6.2f ms\n", large, largeProcessor);
    printf("  overlays for what moves: %6.2f ms, processor %6.2f ms (%.1f and %.1f times cheaper)\n", overlays,
           overlaysProcessor, large / overlays, largeProcessor / overlaysProcessor);
    for (int i = 0; i < OVERLAY_COUNT; i++) {
        PixelBox box = OVERLAY_BOXES[i];
        printf("    overlay %d x %d at (%d, %d): in %u of %d frames\n", box.x1 - box.x0, box.y1 - box.y0, box.x0,
               box.y0, counts[2][i], FRAMES - 1);
    }
    printf("    the large window: in %u of %d frames; the changes fell in x %d..%d, y %d..%d\n",
           counts[2][OVERLAY_COUNT], FRAMES - 1, reach.x0, reach.x1, reach.y0, reach.y1);
    CloseSplit(&split);
    RendererShutdown();
    DestroySurface(&frame);
}

void BenchSplashFrames(void)
{
    BenchSplashFramesOnce();
    QuietTexts = 1;
    printf("the same, the texts staying put:\n");
    BenchSplashFramesOnce();
}
