// Run-mode choice, progress arithmetic and the frame loop's end rules.
#include "shell/shell_rules.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

static const char SELF_TEST_SWITCH[] = "-disconnectreportretentiontest";
static const char TEST_MODE_SWITCH[] = "-teste";
static const char PROOF_MODE_SWITCH[] = "-provas";
static const char UNINSTALL_SWITCH[] = "-desinstalar";
static const char FINISH_UNINSTALL_SWITCH[] = "-desinstalar-fim ";

RunSwitches ReadRunSwitches(const char* arguments)
{
    RunSwitches switches = {0, 0, 0, 0, 0};
    if (!arguments)
        return switches;
    switches.selfTest = strcmp(arguments, SELF_TEST_SWITCH) == 0;
    switches.testMode = strstr(arguments, TEST_MODE_SWITCH) != NULL;
    switches.proofMode = strstr(arguments, PROOF_MODE_SWITCH) != NULL;
    switches.finishUninstall = strncmp(arguments, FINISH_UNINSTALL_SWITCH, sizeof FINISH_UNINSTALL_SWITCH - 1) == 0;
    switches.uninstall = !switches.finishUninstall && strstr(arguments, UNINSTALL_SWITCH) != NULL;
    return switches;
}

RunMode ChooseRunMode(RunSwitches switches, int configPresent)
{
    if (switches.selfTest)
        return RUN_SELF_TEST;
    if (switches.finishUninstall)
        return RUN_FINISH_UNINSTALL;
    if (switches.uninstall)
        return RUN_UNINSTALL;  // it refuses a folder without launcher.cfg itself
    if (!configPresent && !switches.testMode && !switches.proofMode)
        return RUN_INSTALLATION;
    if (switches.proofMode)
        return RUN_PROOFS;
    if (switches.testMode)
        return RUN_TEST_MODE;
    return RUN_NORMAL;
}

int ReadUninstallFinish(const char* arguments, unsigned long* processId, char* folder, size_t capacity)
{
    size_t prefix = sizeof FINISH_UNINSTALL_SWITCH - 1;
    if (strncmp(arguments, FINISH_UNINSTALL_SWITCH, prefix) != 0)
        return 0;
    const char* digits = arguments + prefix;
    unsigned long value = 0;
    const char* c = digits;
    for (; *c >= '0' && *c <= '9'; c++) {
        if (value > 429496729UL)
            return 0;
        value = value * 10 + (unsigned long)(*c - '0');
    }
    if (c == digits || *c != ' ' || c[1] == '\0' || strlen(c + 1) >= capacity)
        return 0;
    *processId = value;
    CopyCut(folder, capacity, c + 1);
    return 1;
}

int FormatUninstallFinish(char* arguments, size_t capacity, unsigned long processId, const char* folder)
{
    int length = snprintf(arguments, capacity, "%s%lu %s", FINISH_UNINSTALL_SWITCH, processId, folder);
    return length > 0 && (size_t)length < capacity;
}

int OutcomeOfUpdateResult(int updateResult)
{
    if (updateResult == -1)
        return OUTCOME_REPLACED;
    if (updateResult == 0)
        return OUTCOME_BLOCKED;
    return OUTCOME_START_GAME;
}

float ClampProgress(float fraction)
{
    if (!(fraction >= 0.0f))  // negative or NaN
        return 0.0f;
    if (fraction > 1.0f)
        return 1.0f;
    return fraction;
}

// The first quarter of the bar belongs to the file check, the other three
// quarters to the downloads, weighted by bytes.
float DownloadProgressFraction(double handled, double received, double total)
{
    if (!(total > 0.0))
        return 1.0f;
    return (float)(0.25 + 0.75 * (handled + received) / total);
}

static const float TEST_CYCLE_SECONDS = 24.0f;

float AdvanceTestClock(float testClock, float frameTime)
{
    float next = testClock + frameTime;
    return next > TEST_CYCLE_SECONDS ? 0.0f : next;
}

static const float DRAG_ORIGIN_X = 60.0f;
static const float DRAG_SCALE = 0.0013157895f;  // 1/760: client x 820 maps to 1

float DragProgress(int clientX)
{
    return ((float)clientX - DRAG_ORIGIN_X) * DRAG_SCALE;
}

static const float COMPLETION_THRESHOLD = 0.999f;
static const float MINIMUM_END_SECONDS = 0.45f;
static const float END_TIME_LIMIT_SECONDS = 3.0f;

// Called once per pass after the frame is presented, outside test mode. The pass
// that first sees an outcome counts as time 0.
int EndRulesSayQuit(float* endTimer, float frameTime, int outcome, float displayedProgress)
{
    if (outcome == OUTCOME_NONE)
        return 0;
    if (*endTimer < 0.0f)
        *endTimer = 0.0f;
    else
        *endTimer += frameTime;
    if (outcome != OUTCOME_START_GAME)
        return 1;
    if (displayedProgress >= COMPLETION_THRESHOLD && *endTimer > MINIMUM_END_SECONDS)
        return 1;
    return *endTimer > END_TIME_LIMIT_SECONDS;
}

static const double DEFAULT_REFRESH_RATE = 60.0;
static const double PRESENT_SHARE = 0.15;  // of the time, at most, spent presenting frames
static const double LONGEST_FRAME = 0.1;   // the animation advances at most 100 ms a frame
static const double PRESENT_COST_WEIGHT = 0.125;
static const double ROUNDING_SLACK = 1e-9;

// A whole number of refreshes per frame keeps the cadence even on the display.
double FrameSeconds(int displayRefresh, double presentSeconds)
{
    double refresh = displayRefresh > 1 ? (double)displayRefresh : DEFAULT_REFRESH_RATE;
    double refreshes = ceil(presentSeconds / PRESENT_SHARE * refresh - ROUNDING_SLACK);
    double most = floor(LONGEST_FRAME * refresh + ROUNDING_SLACK);
    if (refreshes > most)
        refreshes = most;
    if (refreshes < 1.0)
        refreshes = 1.0;
    return refreshes / refresh;
}

double SmoothPresentCost(double average, double sample)
{
    return average > 0.0 ? average + PRESENT_COST_WEIGHT * (sample - average) : sample;
}

// A pass that came late keeps the cadence; one that came a whole frame late or
// more starts it again from now.
long long NextFrameDue(long long due, long long interval, long long now)
{
    long long next = due + interval;
    return next > now ? next : now + interval;
}

unsigned long MillisecondsUntil(long long due, long long now, long long frequency)
{
    if (due <= now || frequency <= 0)
        return 0;
    return (unsigned long)((due - now) * 1000 / frequency + ((due - now) * 1000 % frequency != 0));
}

size_t CopyCut(char* target, size_t capacity, const char* source)
{
    if (capacity == 0)
        return 0;
    size_t length = strnlen(source, capacity - 1);
    memcpy(target, source, length);
    target[length] = '\0';
    return length;
}

void FormatByteSize(char* text, size_t capacity, unsigned long long bytes)
{
    const unsigned long long KB = 1024;
    const unsigned long long MB = KB * KB;
    if (bytes < KB)
        snprintf(text, capacity, "%llu byte%s", bytes, bytes == 1 ? "" : "s");
    else if (bytes < MB)
        snprintf(text, capacity, "%.1f KB", (double)bytes / (double)KB);
    else
        snprintf(text, capacity, "%.1f MB", (double)bytes / (double)MB);
}
