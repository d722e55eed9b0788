// Benchmark of the launcher's present (PresentSurface on a layered window with
// per-pixel alpha) by window size and by changed box: whether a present costs
// what changed or what the window holds. Under Wine 8 it costs the window.
#include <string.h>

#include <algorithm>

#include "bench_support.h"
#include "ui/ui.h"

void BenchSplashFrames(void);

static const int PRESENTS = 60;
static const int BOX_WIDTH = 170, BOX_HEIGHT = 150;  // about the flame's box

struct WindowSize {
    int width, height;
};

static const WindowSize SIZES[] = {{1120, 700}, {560, 350}, {280, 175}, {128, 128}, {64, 32}};

static LRESULT CALLBACK BenchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

static void DrainMessages(void)
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
}

// Half-transparent grey, premultiplied, with a box that changes on every present.
static void PaintBox(PixelView* view, PixelBox box, int step)
{
    for (int y = box.y0; y < box.y1; y++) {
        uint8_t* pixel = view->pixels + ((size_t)y * view->width + box.x0) * 4;
        for (int x = box.x0; x < box.x1; x++, pixel += 4) {
            pixel[0] = pixel[1] = pixel[2] = (uint8_t)((x + y + step) & 127);
            pixel[3] = 128;
        }
    }
}

// Median milliseconds of one present of the box.
static double TimePresents(Surface* surface, HWND window, PixelBox box)
{
    static double seconds[PRESENTS];
    for (int i = 0; i < PRESENTS; i++) {
        PaintBox(&surface->view, box, i);
        double start = SecondsNow();
        PresentSurface(surface, window, box);
        seconds[i] = SecondsNow() - start;
        DrainMessages();
    }
    std::sort(seconds, seconds + PRESENTS);
    return seconds[PRESENTS / 2] * 1000;
}

static void BenchSize(WindowSize size)
{
    HWND window = CreateWindowExA(WS_EX_LAYERED, "QRVPresentBench", "present bench", WS_POPUP, 40, 40, size.width,
                                  size.height, NULL, NULL, GetModuleHandleA(NULL), NULL);
    Surface surface;
    if (window && CreateSurface(&surface, size.width, size.height)) {
        ShowWindow(window, SW_SHOWNOACTIVATE);
        PixelBox whole = WholeView(&surface.view);
        PixelBox box = {(size.width - BOX_WIDTH) / 2, (size.height - BOX_HEIGHT) / 2, 0, 0};
        box.x1 = box.x0 + BOX_WIDTH;
        box.y1 = box.y0 + BOX_HEIGHT;
        box = IntersectBoxes(box, whole);
        PaintBox(&surface.view, whole, 0);
        PresentSurface(&surface, window, whole);  // the first present maps the window
        double boxed = TimePresents(&surface, window, box);
        double full = TimePresents(&surface, window, whole);
        printf("  window %4d x %3d: a %d x %d box %6.2f ms, the whole window %6.2f ms (medians of %d)\n",
               size.width, size.height, box.x1 - box.x0, box.y1 - box.y0, boxed, full, PRESENTS);
        DestroySurface(&surface);
    }
    if (window)
        DestroyWindow(window);
}

int main(void)
{
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = BenchWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "QRVPresentBench";
    if (!RegisterClassA(&windowClass)) {
        fprintf(stderr, "present_bench: no window class\n");
        return 1;
    }
    PrintMachine();
    printf("present of a layered window with per-pixel alpha, by window size:\n");
    for (const WindowSize& size : SIZES)
        BenchSize(size);
    BenchSplashFrames();
    return 0;
}
