// Pure parts of the updater window and rendering: pixel views, the frame's
// snapshot of the status board, window placement and press rules, and the
// animation's shown progress. No Windows headers.
#pragma once
#include <stdint.h>

static const int WINDOW_WIDTH = 1120;
static const int WINDOW_HEIGHT = 700;

// The close square in client coordinates; right and bottom are outside it.
static const int CLOSE_BUTTON_LEFT = 1060;
static const int CLOSE_BUTTON_TOP = 483;
static const int CLOSE_BUTTON_RIGHT = 1086;
static const int CLOSE_BUTTON_BOTTOM = 509;

// Width, height and B, G, R, A bytes in top-down rows: the leading fields of
// both the drawing surface and a decoded picture.
struct PixelView {
    int32_t width;
    int32_t height;
    uint8_t* pixels;
};

// What the frame loop copies from the status board for one frame.
struct StatusSnapshot {
    float progress;
    char status[256];
    char detail[256];
};

enum PressAction {
    PRESS_CLOSE,          // on the close square
    PRESS_DRAG_PROGRESS,  // test mode: the mouse moves the progress
    PRESS_MOVE_WINDOW     // the splash follows the mouse
};

PressAction ClassifyPress(unsigned x, unsigned y, int testMode);

// Centres the window on a screen axis; a screen smaller than the window puts it at 0.
int WindowOrigin(int screenSize, int windowSize);

// Animation: advances by one frame and tells which progress the bar shows.
void AnimateFrame(float frameTime, const StatusSnapshot* snapshot);
float GetDisplayedProgress(void);
