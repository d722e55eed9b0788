// The run log, launcher.log beside the executable: one timestamped line per
// call, and the one before it, launcher.log.1, once it grew past its bound.
#include <stdarg.h>
#include <stdio.h>

#include "shell/shell.h"

const char RUN_LOG_NAME[] = "launcher.log";
const char OLD_RUN_LOG_NAME[] = "launcher.log.1";

// The file is opened and closed for every line, so each line has reached the
// file system when LogLine returns and nothing holds the file between lines.
static void WriteLine(const char* format, va_list arguments)
{
    FILE* log = fopen(RUN_LOG_NAME, "at");
    if (!log)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    fprintf(log, "[%02d/%02d %02d:%02d:%02d] ", now.wDay, now.wMonth, now.wHour, now.wMinute, now.wSecond);
    vfprintf(log, format, arguments);
    fputs("\n", log);
    fclose(log);
}

void LogLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (!CaptureLine(format, arguments))
        WriteLine(format, arguments);
    va_end(arguments);
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
