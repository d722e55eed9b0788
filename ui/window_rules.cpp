// Where the updater window goes and what a press on it means.
#include "ui/ui_core.h"

PressAction ClassifyPress(unsigned x, unsigned y, int testMode)
{
    if (x >= (unsigned)CLOSE_BUTTON_LEFT && x < (unsigned)CLOSE_BUTTON_RIGHT && y >= (unsigned)CLOSE_BUTTON_TOP &&
        y < (unsigned)CLOSE_BUTTON_BOTTOM)
        return PRESS_CLOSE;
    return testMode ? PRESS_DRAG_PROGRESS : PRESS_MOVE_WINDOW;
}

int WindowOrigin(int screenSize, int windowSize)
{
    int origin = (screenSize - windowSize) / 2;
    return origin < 0 ? 0 : origin;
}
