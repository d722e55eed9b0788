// The run log, launcher.log beside the executable: one timestamped line per call.
#include <stdarg.h>
#include <stdio.h>

#include "shell/shell.h"

static const char RUN_LOG_NAME[] = "launcher.log";

// The file is opened and closed for every line, so each line has reached the
// file system when LogLine returns and nothing holds the file between lines.
void LogLine(const char* format, ...)
{
    FILE* log = fopen(RUN_LOG_NAME, "at");
    if (!log)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    fprintf(log, "[%02d/%02d %02d:%02d:%02d] ", now.wDay, now.wMonth, now.wHour, now.wMinute, now.wSecond);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(log, format, arguments);
    va_end(arguments);
    fputs("\n", log);
    fclose(log);
}
