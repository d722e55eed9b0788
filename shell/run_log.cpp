// The run log, launcher.log beside the executable: one timestamped line per call.
#include <stdarg.h>
#include <stdio.h>

#include "shell/shell.h"

static const char RUN_LOG_NAME[] = "launcher.log";

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
