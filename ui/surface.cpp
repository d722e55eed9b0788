// The drawing surface (a 32-bit top-down DIB section in a memory DC) and its
// presentation on the layered window with per-pixel, premultiplied alpha.
#include "shell/platform.h"
#include "ui/ui.h"

int CreateSurface(Surface* surface, int width, int height)
{
    ZeroMemory(surface, sizeof *surface);
    BITMAPINFO info;
    ZeroMemory(&info, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // negative: rows run top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;

    HDC screen = GetDC(NULL);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(NULL, screen);
    if (!dc)
        return 0;

    void* pixels = NULL;
    HBITMAP bitmap = Os.CreateDIBSection(dc, &info, DIB_RGB_COLORS, &pixels, NULL, 0);
    if (!bitmap || !pixels) {
        if (bitmap)
            DeleteObject(bitmap);
        DeleteDC(dc);
        return 0;
    }
    surface->previous = SelectObject(dc, bitmap);
    surface->view.width = width;
    surface->view.height = height;
    surface->view.pixels = (uint8_t*)pixels;
    surface->bitmap = bitmap;
    surface->dc = dc;
    return 1;
}

void DestroySurface(Surface* surface)
{
    if (surface->dc) {
        if (surface->previous)
            SelectObject(surface->dc, surface->previous);
        DeleteDC(surface->dc);
    }
    if (surface->bitmap)
        DeleteObject(surface->bitmap);
    ZeroMemory(surface, sizeof *surface);
}

typedef BOOL(WINAPI* UpdateLayeredWindowCall)(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*,
                                                DWORD);
typedef BOOL(WINAPI* UpdateLayeredWindowIndirectCall)(HWND, const UPDATELAYEREDWINDOWINFO*);

// Looked up on first use. The indirect form takes a dirty rectangle, so that
// only the changed pixels travel; without it every present sends the whole
// frame, and without either nothing is presented and the run goes on.
static UpdateLayeredWindowCall LookUpUpdateLayeredWindow(UpdateLayeredWindowIndirectCall* indirect)
{
    static int lookedUp;
    static UpdateLayeredWindowCall call;
    static UpdateLayeredWindowIndirectCall indirectCall;
    if (!lookedUp) {
        lookedUp = 1;
        call = (UpdateLayeredWindowCall)(void*)LookUpUser32("UpdateLayeredWindow");
        indirectCall = (UpdateLayeredWindowIndirectCall)(void*)LookUpUser32("UpdateLayeredWindowIndirect");
    }
    *indirect = indirectCall;
    return call;
}

void PresentSurfacePart(Surface* surface, HWND window, PixelBox part, PixelBox changed)
{
    UpdateLayeredWindowIndirectCall indirect;
    UpdateLayeredWindowCall updateLayeredWindow = LookUpUpdateLayeredWindow(&indirect);
    RECT placement;
    GetWindowRect(window, &placement);  // the player may have moved the window
    POINT destination = {placement.left, placement.top};
    SIZE size = {part.x1 - part.x0, part.y1 - part.y0};
    POINT source = {part.x0, part.y0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    int presented = 0;
    if (indirect) {
        changed = IntersectBoxes(changed, part);
        RECT dirty = {changed.x0 - part.x0, changed.y0 - part.y0, changed.x1 - part.x0, changed.y1 - part.y0};
        UPDATELAYEREDWINDOWINFO info;
        ZeroMemory(&info, sizeof info);
        info.cbSize = sizeof info;
        info.pptDst = &destination;
        info.psize = &size;
        info.hdcSrc = surface->dc;
        info.pptSrc = &source;
        info.pblend = &blend;
        info.dwFlags = ULW_ALPHA;
        info.prcDirty = &dirty;
        presented = indirect(window, &info);
    }
    if (!presented && updateLayeredWindow)  // the whole part, if the dirty rectangle was refused
        updateLayeredWindow(window, NULL, &destination, &size, surface->dc, &source, 0, &blend, ULW_ALPHA);
}

void PresentSurface(Surface* surface, HWND window, PixelBox changed)
{
    PresentSurfacePart(surface, window, WholeView(&surface->view), changed);
}
