// A thread's capture of what it writes to the run log and the status board:
// while a thread fetches one file among several, its log lines, detail lines
// and bytes received go to the capture, which passes them on in the file's
// turn. Within the capture's own calls the thread writes straight through.
#include <stdio.h>

#include "shell/shell.h"

static thread_local const BoardCapture* ThreadCapture;

// No line of a file's road comes near it (the longest names two URLs of at
// most 1023 characters); a longer one is cut.
static const size_t CAPTURED_LINE_CAPACITY = 4096;

void CaptureThreadBoard(const BoardCapture* capture)
{
    ThreadCapture = capture;
}

// The capture is set aside while it runs, so that what it writes goes through.
static const BoardCapture* SetCaptureAside(void)
{
    const BoardCapture* capture = ThreadCapture;
    ThreadCapture = NULL;
    return capture;
}

int CaptureLine(const char* format, va_list arguments)
{
    if (!ThreadCapture)
        return 0;
    char text[CAPTURED_LINE_CAPACITY];
    vsnprintf(text, sizeof text, format, arguments);
    const BoardCapture* capture = SetCaptureAside();
    capture->line(capture->context, text);
    ThreadCapture = capture;
    return 1;
}

int CaptureDetail(const char* text)
{
    if (!ThreadCapture)
        return 0;
    const BoardCapture* capture = SetCaptureAside();
    capture->detail(capture->context, text);
    ThreadCapture = capture;
    return 1;
}

int CaptureReceived(double bytes)
{
    if (!ThreadCapture)
        return 0;
    const BoardCapture* capture = SetCaptureAside();
    capture->received(capture->context, bytes);
    ThreadCapture = capture;
    return 1;
}
