// The status board shared by the update worker and the main thread, and the
// download tally that turns bytes into progress.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "shell/shell.h"

StatusBoardRecord StatusBoard;
double BytesToFetch;
double BytesHandled;
BoardWatcher WatchBoard;

static void ReportChange(void)
{
    if (WatchBoard)
        WatchBoard();
}

static const char STARTING_TEXT[] = "Starting...";

void ResetStatusBoard(void)
{
    memset(&StatusBoard, 0, sizeof StatusBoard);
    InitializeCriticalSection(&StatusBoard.lock);
    StatusBoard.outcomeSet = CreateEventA(NULL, TRUE, FALSE, NULL);
    CopyCut(StatusBoard.status, sizeof StatusBoard.status, STARTING_TEXT);
}

void ReleaseStatusBoard(void)
{
    if (StatusBoard.outcomeSet)
        CloseHandle(StatusBoard.outcomeSet);
    StatusBoard.outcomeSet = NULL;
    DeleteCriticalSection(&StatusBoard.lock);
}

void SetRunOutcome(LONG outcome)
{
    InterlockedExchange(&StatusBoard.RunOutcome, outcome);
    if (StatusBoard.outcomeSet)
        SetEvent(StatusBoard.outcomeSet);
}

static void SetBoardText(char* field, size_t capacity, const char* text, int clearDetail)
{
    EnterCriticalSection(&StatusBoard.lock);
    CopyCut(field, capacity, text);
    if (clearDetail)
        StatusBoard.detail[0] = '\0';
    LeaveCriticalSection(&StatusBoard.lock);
    ReportChange();
}

// Status and detail lines are formatted up to 511 characters; the board keeps
// the first 255, and a status line is logged whole, after the lock is released.
static void SetLine(char* field, size_t capacity, int isStatus, const char* format, va_list arguments)
{
    char text[512];
    vsnprintf(text, sizeof text, format, arguments);
    if (!isStatus && CaptureDetail(text))
        return;
    SetBoardText(field, capacity, text, isStatus);
    if (isStatus)
        LogLine("%s", text);
}

void SetStatusLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    SetLine(StatusBoard.status, sizeof StatusBoard.status, 1, format, arguments);
    va_end(arguments);
}

void SetDetailLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    SetLine(StatusBoard.detail, sizeof StatusBoard.detail, 0, format, arguments);
    va_end(arguments);
}

void SetFailure(const char* format, ...)
{
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    LogLine("FALHA: %s", text);
    SetBoardText(StatusBoard.failure, sizeof StatusBoard.failure, text, 0);
}

void SetProgress(float fraction)
{
    StatusBoard.progress = ClampProgress(fraction);
    ReportChange();
}

void AdvanceDownloadProgress(double received)
{
    if (CaptureReceived(received))
        return;
    SetProgress(DownloadProgressFraction(BytesHandled, received, BytesToFetch));
}
