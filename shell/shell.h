// The launcher shell: process start and run modes, the run log, the status board
// shared by the worker and the main thread, the frame loop and the game start.
#pragma once
#include <stdarg.h>
#include <windows.h>

#include "shell/shell_rules.h"

struct Surface;

// Process-wide values set at start.
extern HINSTANCE AppInstance;
extern char AppDir[MAX_PATH];
extern int TestMode;

// What the splash shows and how the update ended. The texts are written only
// under the lock; progress is one aligned 32-bit store made without it;
// RunOutcome is written once by the worker with an interlocked exchange, which
// then sets outcomeSet to wake the frame loop.
struct StatusBoardRecord {
    CRITICAL_SECTION lock;
    volatile float progress;
    char status[256];
    char detail[256];
    char failure[1024];
    volatile LONG RunOutcome;
    HANDLE outcomeSet;  // manual reset; NULL if it could not be made
};

extern StatusBoardRecord StatusBoard;

// Download tally: touched only by the worker, never reset (one run per process).
extern double BytesToFetch;
extern double BytesHandled;

extern const char RUN_LOG_NAME[];      // "launcher.log"
extern const char OLD_RUN_LOG_NAME[];  // "launcher.log.1": the one before
void LogLine(const char* format, ...) QRV_PRINTF(1, 2);
// At the start of a run: a log over RUN_LOG_MOST_BYTES becomes the old one (the
// old one before it goes), so the two never hold much more than twice that.
static const DWORD RUN_LOG_MOST_BYTES = 1u << 20;
void RotateRunLog(void);
// From HoldRunLog to ReleaseRunLog (an update run) the log stays open, each
// line still written through to the system before LogLine returns.
void HoldRunLog(void);
void ReleaseRunLog(void);
void SetStatusLine(const char* format, ...) QRV_PRINTF(1, 2);
void SetDetailLine(const char* format, ...) QRV_PRINTF(1, 2);
void SetFailure(const char* format, ...) QRV_PRINTF(1, 2);
void SetProgress(float fraction);
void AdvanceDownloadProgress(double received);

// While a thread fetches one file among several, what it writes to the log
// (LogLine), the detail line (SetDetailLine) and the bar (AdvanceDownloadProgress)
// goes to its capture instead, to be passed on in the file's turn. Inside the
// capture's own calls the thread writes straight through.
struct BoardCapture {
    void (*line)(void* context, const char* text);
    void (*detail)(void* context, const char* text);
    void (*received)(void* context, double bytes);
    void* context;
};
// NULL: the calling thread writes straight through again.
void CaptureThreadBoard(const BoardCapture* capture);
// 1 when the calling thread's capture took it.
int CaptureLine(const char* format, va_list arguments);
int CaptureDetail(const char* text);
int CaptureReceived(double bytes);

// Called after every change of the board's progress or texts when set; the
// product leaves it null, tests watch the board's history through it.
typedef void (*BoardWatcher)(void);
extern BoardWatcher WatchBoard;

// Zeroes the board, makes its lock and outcome event and shows "Starting...".
void ResetStatusBoard(void);
void ReleaseStatusBoard(void);
void SetRunOutcome(LONG outcome);

// The game folder's lock, held by a normal run (and an uninstall) for the
// whole run. 1 when this process holds it, waiting up to waitMs for it.
int TakeFolderLock(DWORD waitMs);
int TakeFolderLockPatiently(void);  // up to 5 s, for a launcher still ending
int ReleaseFolderLock(void);  // 1 when this process held it

// The whole run of the process; WinMain only hands over its arguments.
int LauncherMain(HINSTANCE instance, const char* arguments);
DWORD WINAPI UpdateWorker(LPVOID parameter);
void StartGame(void);

// Runs until WM_QUIT or the end rules say the run is over.
void RunFrameLoop(Surface* surface);
