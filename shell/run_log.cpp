// The run log, launcher.log beside the executable: one timestamped line per
// call, and the one before it, launcher.log.1, once it grew past its bound.
#include <stdarg.h>
#include <stdio.h>

#include "shell/shell.h"

const char RUN_LOG_NAME[] = "launcher.log";
const char OLD_RUN_LOG_NAME[] = "launcher.log.1";

// Long enough for two full paths and a URL; a longer line is cut.
static const int LONGEST_LOG_LINE = 4096;

// While an update runs the file stays open (opening it for each of thousands
// of lines cost three wineserver round trips a line); outside it, it is
// opened and closed for each line, so nothing holds it between lines.
static SRWLOCK HeldLogLock = SRWLOCK_INIT;
static HANDLE HeldLog = INVALID_HANDLE_VALUE;

// Appending only, never writing in place: every write lands at the end, also
// when a second launcher appends its own line meanwhile; others may read,
// write, rename or delete the file while it is open.
static HANDLE OpenRunLog(void)
{
    return CreateFileA(RUN_LOG_NAME, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// One write of the whole line, straight to the system: it has reached the
// file system when LogLine returns.
static void AppendLine(const char* line, DWORD length)
{
    DWORD written;
    AcquireSRWLockShared(&HeldLogLock);
    if (HeldLog != INVALID_HANDLE_VALUE) {
        WriteFile(HeldLog, line, length, &written, NULL);
    } else {
        HANDLE log = OpenRunLog();
        if (log != INVALID_HANDLE_VALUE) {
            WriteFile(log, line, length, &written, NULL);
            CloseHandle(log);
        }
    }
    ReleaseSRWLockShared(&HeldLogLock);
}

// Every line break as the text-mode files before wrote it, "\r\n" (a failure
// text spans several lines); a line too long for the buffer is cut.
static DWORD EndLines(const char* text, char* line, DWORD capacity)
{
    DWORD used = 0;
    for (const char* c = text; *c && used + 2 < capacity; c++) {
        if (*c == '\n')
            line[used++] = '\r';
        line[used++] = *c;
    }
    line[used++] = '\r';
    line[used++] = '\n';
    return used;
}

static void WriteLine(const char* format, va_list arguments)
{
    char text[LONGEST_LOG_LINE];
    char line[2 * LONGEST_LOG_LINE];
    SYSTEMTIME now;
    GetLocalTime(&now);
    int used = snprintf(text, sizeof text, "[%02d/%02d %02d:%02d:%02d] ", now.wDay, now.wMonth, now.wHour,
                        now.wMinute, now.wSecond);
    vsnprintf(text + used, sizeof text - (size_t)used, format, arguments);
    AppendLine(line, EndLines(text, line, sizeof line));
}

void LogLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (!CaptureLine(format, arguments))
        WriteLine(format, arguments);
    va_end(arguments);
}

void HoldRunLog(void)
{
    AcquireSRWLockExclusive(&HeldLogLock);
    if (HeldLog == INVALID_HANDLE_VALUE)
        HeldLog = OpenRunLog();
    ReleaseSRWLockExclusive(&HeldLogLock);
}

void ReleaseRunLog(void)
{
    AcquireSRWLockExclusive(&HeldLogLock);
    if (HeldLog != INVALID_HANDLE_VALUE)
        CloseHandle(HeldLog);
    HeldLog = INVALID_HANDLE_VALUE;
    ReleaseSRWLockExclusive(&HeldLogLock);
}

void RotateRunLog(void)
{
    WIN32_FILE_ATTRIBUTE_DATA found;
    if (!GetFileAttributesExA(RUN_LOG_NAME, GetFileExInfoStandard, &found) ||
        (found.nFileSizeHigh == 0 && found.nFileSizeLow <= RUN_LOG_MOST_BYTES))
        return;
    DeleteFileA(OLD_RUN_LOG_NAME);
    MoveFileExA(RUN_LOG_NAME, OLD_RUN_LOG_NAME, 0);  // a log held elsewhere goes on growing until the next start
}
