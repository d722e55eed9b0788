// Pure text rules of report retention: the report name grammar, bounded path
// joining and formatting, and the self-test's scratch folder names. No Windows
// headers.
#pragma once
#include "shell/shell_rules.h"

// Report names run from "disconnect-20200101-000000-1-1.txt" (34 characters)
// to two ten-digit numbers (52 characters).
static const int DR_REPORT_NAME_MIN = 34;
static const int DR_REPORT_NAME_MAX = 52;

extern const char DR_SCRATCH_PREFIX[];  // "qrv_disconnect_report_retention_test_"

// 1 when name follows the report grammar exactly; never reads past its terminator.
int DR_IsReportName(const char* name);

// The two digits at p as 0..99, or -1 when either is no digit.
int DR_TwoDigitValue(const char* p);

// "folder\name" into buffer; 1 only when the whole text fits.
int DR_JoinPath(char* buffer, int capacity, const char* folder, const char* name);

// Formats into buffer; a text that does not fit becomes "<truncado>" (or empty
// when even that does not fit).
void DR_TestFormat(char* buffer, int capacity, const char* format, ...) QRV_PRINTF(3, 4);

// 1 when name is the prefix followed by exactly three runs of 1 to 10 digits
// separated by "_" (process id, tick count, attempt).
int DR_IsScratchName(const char* name);
