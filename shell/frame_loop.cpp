// The frame loop: pumps the window's messages, measures the frame time, drives
// test mode, redraws and presents what changed in each pass and applies the
// end rules.
#include <string.h>

#include "shell/shell.h"
#include "ui/ui.h"

static const DWORD PAUSE_PER_PASS_MS = 4;  // leaves the processor to the worker

// Empties the queue completely, also after WM_QUIT; answers whether it came.
static int PumpMessages(void)
{
    int quit = 0;
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            quit = 1;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return quit;
}

static void DriveTestMode(float testClock)
{
    if (ProgressDragActive) {
        POINT cursor;
        GetCursorPos(&cursor);
        ScreenToClient(UpdaterWindow, &cursor);
        SetProgress(DragProgress(cursor.x));
    } else {
        ApplyTestModeScript(testClock);
    }
}

static void TakeSnapshot(StatusSnapshot* snapshot)
{
    EnterCriticalSection(&StatusBoard.lock);
    snapshot->progress = StatusBoard.progress;
    memcpy(snapshot->status, StatusBoard.status, sizeof snapshot->status);
    memcpy(snapshot->detail, StatusBoard.detail, sizeof snapshot->detail);
    LeaveCriticalSection(&StatusBoard.lock);
}

void RunFrameLoop(Surface* surface)
{
    LARGE_INTEGER frequency, last, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&last);
    float endTimer = -1.0f;  // negative: no outcome seen yet
    float testClock = 0.0f;
    StatusSnapshot snapshot;
    static FrameMemory memory;  // large: the kept text coverage
    ForgetFrame(&memory);

    for (;;) {
        if (PumpMessages())
            return;
        QueryPerformanceCounter(&now);
        float frameTime = (float)((double)(now.QuadPart - last.QuadPart) / (double)frequency.QuadPart);
        last = now;
        if (TestMode) {
            testClock = AdvanceTestClock(testClock, frameTime);
            DriveTestMode(testClock);
        }
        TakeSnapshot(&snapshot);
        AnimateFrame(frameTime, &snapshot);
        PixelBox changed = ComposeFrameChanges(surface, &snapshot, &memory);
        if (!IsEmptyBox(changed))
            PresentSurface(surface, UpdaterWindow, changed);
        int quit = !TestMode && EndRulesSayQuit(&endTimer, frameTime, StatusBoard.RunOutcome, GetDisplayedProgress());
        Sleep(PAUSE_PER_PASS_MS);
        if (quit)
            return;
    }
}
