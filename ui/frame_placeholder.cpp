// Stand-ins for the splash's art, composition, animation and proof images until
// they are built: the frame shows only a flat progress bar, the shown progress
// follows the board without easing, no art is loaded and no proof is written.
#include <string.h>

#include "ui/ui.h"

static float DisplayedProgress;

void AnimateFrame(float frameTime, const StatusSnapshot* snapshot)
{
    (void)frameTime;
    DisplayedProgress = snapshot->progress;
}

float GetDisplayedProgress(void)
{
    return DisplayedProgress;
}

int RendererInit(HINSTANCE instance)
{
    (void)instance;
    return 0;
}

void RendererShutdown(void)
{
}

static const int BAR_LEFT = 669, BAR_RIGHT = 1050, BAR_TOP = 645, BAR_BOTTOM = 648;

void ComposeFrame(Surface* surface, const StatusSnapshot* snapshot)
{
    PixelView* view = &surface->view;
    (void)snapshot;
    memset(view->pixels, 0, (size_t)view->width * view->height * 4);
    int fillEnd = BAR_LEFT + (int)((BAR_RIGHT - BAR_LEFT) * DisplayedProgress);
    for (int y = BAR_TOP; y <= BAR_BOTTOM && y < view->height; y++) {
        for (int x = BAR_LEFT; x <= BAR_RIGHT && x < view->width; x++) {
            uint8_t* pixel = view->pixels + ((size_t)y * view->width + x) * 4;
            int filled = x <= fillEnd;
            pixel[0] = filled ? 60 : 26;
            pixel[1] = filled ? 150 : 24;
            pixel[2] = filled ? 255 : 20;
            pixel[3] = filled ? 255 : 40;
        }
    }
}

void WriteProofImages(Surface* surface)
{
    (void)surface;
}
