// The updater window and its rendering: the layered window and its input, the
// drawing surface and its presentation, frame composition, test mode and proofs.
#pragma once
#include <windows.h>

#include "ui/animation.h"
#include "ui/ui_core.h"

extern HWND UpdaterWindow;
extern int ProgressDragActive;

int CreateUpdaterWindow(void);
// Brings the window of a launcher already running (another process) to the front.
void BringRunningUpdaterToFront(void);
LRESULT CALLBACK UpdaterWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void CloseButtonRect(RECT* rect);

// A 32-bit top-down DIB section selected into a memory DC; view comes first so
// the drawing primitives see the same fields as in a decoded picture.
struct Surface {
    PixelView view;
    HBITMAP bitmap;
    HGDIOBJ previous;
    HDC dc;
};

int CreateSurface(Surface* surface, int width, int height);
void DestroySurface(Surface* surface);
// Presents the box of the surface; the window keeps what it showed elsewhere.
void PresentSurface(Surface* surface, HWND window, PixelBox changed);
// Presents a part of the surface on a window of the part's size.
void PresentSurfacePart(Surface* surface, HWND window, PixelBox part, PixelBox changed);

int RendererInit(HINSTANCE instance);
void RendererShutdown(void);
void ComposeFrame(Surface* surface, const StatusSnapshot* snapshot);

static const int TEXT_SCRATCH_WIDTH = 540;  // one line of text at a time
static const int TEXT_SCRATCH_HEIGHT = 80;
static const int FRAME_TEXTS = 4;

struct DrawnText {
    char text[256];
    uint8_t coverage[TEXT_SCRATCH_WIDTH * TEXT_SCRATCH_HEIGHT * 4];
    PixelBox box;  // its pixels in the frame; empty when nothing was drawn
};

// What the last pass drew, to redraw only where this one differs.
struct FrameMemory {
    int composed;  // 0: the next pass draws the whole frame
    float flameLevel;
    int barFillEnd;
    Spark sparks[SPARK_POOL_SIZE];
    DrawnText texts[FRAME_TEXTS];
    DirtyTiles dirty;
};

void ForgetFrame(FrameMemory* memory);
// Brings the surface from the last pass's frame to the one ComposeFrame would
// draw now, touching only what changed; answers the box of the changed pixels,
// empty when the frame is the same.
PixelBox ComposeFrameChanges(Surface* surface, const StatusSnapshot* snapshot, FrameMemory* memory);

void ApplyTestModeScript(float testClock);
void WriteProofImages(Surface* surface);
