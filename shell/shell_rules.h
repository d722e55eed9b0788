// Pure rules of the launcher shell: run-mode choice, progress arithmetic, the
// frame loop's clocks and end rules, bounded text copies. No Windows headers, so
// they are tested directly and can be built natively.
#pragma once
#include <stddef.h>

// printf-style format checking; mingw's printf is the GNU one.
#if defined(__MINGW32__)
#define QRV_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define QRV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// Command-line switches, read from the argument string that WinMain receives.
struct RunSwitches {
    int selfTest;         // the whole string is the self-test switch
    int testMode;         // "-teste" appears anywhere
    int proofMode;        // "-provas" appears anywhere
    int uninstall;        // "-desinstalar" appears anywhere
    int finishUninstall;  // the string starts "-desinstalar-fim ": the copy that removes launcher.exe
};

enum RunMode {
    RUN_SELF_TEST,
    RUN_UNINSTALL,
    RUN_FINISH_UNINSTALL,
    RUN_INSTALLATION,
    RUN_PROOFS,
    RUN_TEST_MODE,
    RUN_NORMAL
};

// "-desinstalar-fim <process id> <folder>": the process to wait for and the
// installed folder to finish removing; 0 when the string is not of that form
// or the folder does not fit.
int ReadUninstallFinish(const char* arguments, unsigned long* processId, char* folder, size_t capacity);
// The argument string that asks for it.
int FormatUninstallFinish(char* arguments, size_t capacity, unsigned long processId, const char* folder);

// Values of RunOutcome, written once by the update worker.
enum {
    OUTCOME_NONE = 0,
    OUTCOME_START_GAME = 1,
    OUTCOME_BLOCKED = 2,
    OUTCOME_REPLACED = 3
};

RunSwitches ReadRunSwitches(const char* arguments);
RunMode ChooseRunMode(RunSwitches switches, int configPresent);
int OutcomeOfUpdateResult(int updateResult);

float ClampProgress(float fraction);
float DownloadProgressFraction(double handled, double received, double total);

// Frame loop.
float AdvanceTestClock(float testClock, float frameTime);
float DragProgress(int clientX);
int EndRulesSayQuit(float* endTimer, float frameTime, int outcome, float displayedProgress);
// Frame pace: seconds per frame, a whole number of the display's refreshes (a
// refresh rate of 0 or 1: the system does not say, 60 a second), as few as
// keep presenting within 15 % of the time but at least 10 frames a second;
// the present's cost as a running average of its samples (0: none yet); when
// the pass after the one due now is due, in performance-counter ticks;
// milliseconds to wait, rounded up.
double FrameSeconds(int displayRefresh, double presentSeconds);
double SmoothPresentCost(double average, double sample);
long long NextFrameDue(long long due, long long interval, long long now);
unsigned long MillisecondsUntil(long long due, long long now, long long frequency);

// Copies at most capacity-1 bytes of source and always terminates; returns the
// number of bytes copied. Texts that do not fit are cut, never refused.
size_t CopyCut(char* target, size_t capacity, const char* source);

// A size as the log shows it, in the publisher's form: bytes under 1 KB, KB
// under 1 MB, MB above ("248 bytes", "43.0 KB", "4.0 MB").
void FormatByteSize(char* text, size_t capacity, unsigned long long bytes);
