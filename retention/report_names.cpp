// The report name grammar and the small text helpers of report retention.
#include "retention/report_names.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

const char DR_SCRATCH_PREFIX[] = "qrv_disconnect_report_retention_test_";

static const char REPORT_PREFIX[] = "disconnect-";
static const char REPORT_EXTENSION[] = ".txt";
static const int MAX_NUMBER_DIGITS = 10;

static int IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

static int AllDigits(const char* p, int count)
{
    for (int i = 0; i < count; i++) {
        if (!IsDigit(p[i]))
            return 0;
    }
    return 1;
}

// Length of the run of digits at p; the terminator ends it like any non-digit.
static int DigitRun(const char* p)
{
    int length = 0;
    while (IsDigit(p[length]))
        length++;
    return length;
}

int DR_TwoDigitValue(const char* p)
{
    if (!IsDigit(p[0]) || !IsDigit(p[1]))
        return -1;
    return (p[0] - '0') * 10 + (p[1] - '0');
}

static int InRange(int value, int low, int high)
{
    return value >= low && value <= high;
}

// Positions 11..26: date, "-", time, "-". The length check has already made
// every one of these positions part of the string.
static int HasDateAndTime(const char* name)
{
    return AllDigits(name + 11, 8) && InRange(DR_TwoDigitValue(name + 15), 1, 12) &&
           InRange(DR_TwoDigitValue(name + 17), 1, 31) && name[19] == '-' && AllDigits(name + 20, 6) &&
           InRange(DR_TwoDigitValue(name + 20), 0, 23) && InRange(DR_TwoDigitValue(name + 22), 0, 59) &&
           InRange(DR_TwoDigitValue(name + 24), 0, 59) && name[26] == '-';
}

int DR_IsReportName(const char* name)
{
    if (!name)
        return 0;
    int length = 0;
    while (length <= DR_REPORT_NAME_MAX && name[length])
        length++;
    if (length < DR_REPORT_NAME_MIN || length > DR_REPORT_NAME_MAX)
        return 0;
    if (memcmp(name, REPORT_PREFIX, strlen(REPORT_PREFIX)) != 0 || !HasDateAndTime(name))
        return 0;
    const char* p = name + 27;
    int run = DigitRun(p);
    if (run < 1 || run > MAX_NUMBER_DIGITS || p[run] != '-')
        return 0;
    p += run + 1;
    run = DigitRun(p);
    if (run < 1 || run > MAX_NUMBER_DIGITS)
        return 0;
    return strcmp(p + run, REPORT_EXTENSION) == 0;
}

int DR_JoinPath(char* buffer, int capacity, const char* folder, const char* name)
{
    if (!buffer || capacity <= 0)
        return 0;
    int length = snprintf(buffer, (size_t)capacity, "%s\\%s", folder, name);
    return length >= 0 && length <= capacity - 1;
}

static const char TRUNCATED_TEXT[] = "<truncado>";

void DR_TestFormat(char* buffer, int capacity, const char* format, ...)
{
    if (!buffer || capacity <= 0)
        return;
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(buffer, (size_t)capacity, format, arguments);
    va_end(arguments);
    if (length >= 0 && length <= capacity - 1)
        return;
    if (capacity >= 13)
        snprintf(buffer, (size_t)capacity, "%s", TRUNCATED_TEXT);
    else
        buffer[0] = '\0';
}

int DR_IsScratchName(const char* name)
{
    size_t prefixLength = strlen(DR_SCRATCH_PREFIX);
    if (!name || strlen(name) <= prefixLength || strncmp(name, DR_SCRATCH_PREFIX, prefixLength) != 0)
        return 0;
    const char* p = name + prefixLength;
    for (int field = 0; field < 3; field++) {
        int run = DigitRun(p);
        if (run < 1 || run > MAX_NUMBER_DIGITS)
            return 0;
        p += run;
        if (field < 2) {
            if (*p != '_')
                return 0;
            p++;
        }
    }
    return *p == '\0';
}
