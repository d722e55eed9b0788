// The updater window and its rendering: the layered window and its input, the
// drawing surface and its presentation, frame composition, test mode and proofs.
#pragma once
#include <windows.h>

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
void PresentSurface(Surface* surface, HWND window);

int RendererInit(HINSTANCE instance);
void RendererShutdown(void);
void ComposeFrame(Surface* surface, const StatusSnapshot* snapshot);

void ApplyTestModeScript(float testClock);
void WriteProofImages(Surface* surface);
