// The frame loop: pumps the window's messages, measures the frame time, drives
// test mode, redraws and presents what changed at the display's pace and
// applies the end rules. Between frames it waits on the message queue and the
// run's outcome, so both are answered at once.
#include <string.h>

#include "shell/shell.h"
#include "ui/ui.h"

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

static int DisplayRefreshRate(void)
{
    HDC screen = GetDC(NULL);
    if (!screen)
        return 0;
    int refresh = GetDeviceCaps(screen, VREFRESH);
    ReleaseDC(NULL, screen);
    return refresh;
}

static double SecondsBetween(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return (double)(to.QuadPart - from.QuadPart) / (double)frequency.QuadPart;
}

// Presents the changed box and answers the present's running cost in seconds.
static double PresentTimed(Surface* surface, PixelBox changed, LARGE_INTEGER frequency, double presentCost)
{
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    PresentSurface(surface, UpdaterWindow, changed);
    QueryPerformanceCounter(&after);
    return SmoothPresentCost(presentCost, SecondsBetween(before, after, frequency));
}

// Until the next frame is due, a message arrives or the outcome is set; the
// outcome is waited for only until the loop has seen it.
static void WaitForFrame(LONGLONG due, LONGLONG frequency, int outcomeSeen)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    DWORD milliseconds = MillisecondsUntil(due, now.QuadPart, frequency);
    if (milliseconds == 0)
        return;
    HANDLE outcome = StatusBoard.outcomeSet;
    DWORD handles = outcome && !outcomeSeen && !TestMode ? 1 : 0;
    MsgWaitForMultipleObjectsEx(handles, &outcome, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void RunFrameLoop(Surface* surface)
{
    LARGE_INTEGER frequency, last, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&last);
    int refresh = DisplayRefreshRate();
    double presentCost = 0.0;  // seconds, a running average
    LONGLONG due = last.QuadPart;  // the first frame at once
    float endTimer = -1.0f;  // negative: no outcome seen yet
    float testClock = 0.0f;
    StatusSnapshot snapshot;
    static FrameMemory memory;  // large: the kept text coverage
    ForgetFrame(&memory);

    for (;;) {
        if (PumpMessages())
            return;
        QueryPerformanceCounter(&now);
        int outcomeNew = !TestMode && endTimer < 0.0f && StatusBoard.RunOutcome != OUTCOME_NONE;
        if (now.QuadPart < due && !outcomeNew) {
            WaitForFrame(due, frequency.QuadPart, endTimer >= 0.0f);
            continue;
        }
        float frameTime = (float)SecondsBetween(last, now, frequency);
        last = now;
        if (TestMode) {
            testClock = AdvanceTestClock(testClock, frameTime);
            DriveTestMode(testClock);
        }
        TakeSnapshot(&snapshot);
        AnimateFrame(frameTime, &snapshot);
        PixelBox changed = ComposeFrameChanges(surface, &snapshot, &memory);
        if (!IsEmptyBox(changed))
            presentCost = PresentTimed(surface, changed, frequency, presentCost);
        LONGLONG interval = (LONGLONG)(FrameSeconds(refresh, presentCost) * (double)frequency.QuadPart);
        due = NextFrameDue(due, interval, now.QuadPart);
        if (!TestMode && EndRulesSayQuit(&endTimer, frameTime, StatusBoard.RunOutcome, GetDisplayedProgress()))
            return;
    }
}
