// Test mode's 24-second demonstration: sample progress and texts on the board.
#include "shell/shell.h"
#include "ui/ui.h"

static const char DETAIL_DOWNLOADING[] = "data\\ost_fell_textures.pack  -  18432 of 24818 KB";
static const char DETAIL_DONE[] = "TEST MODE  -  drag the mouse to move the progress";
static const char STATUS_DONE[] = "Updated to version 1.0.42.";

void ApplyTestModeScript(float t)
{
    float progress;
    const char* status;
    const char* detail = DETAIL_DOWNLOADING;
    if (t < 4.0f) {
        progress = 0.075f * t;
        status = "Downloading 3 of 12...";
    } else if (t < 7.0f) {
        progress = 0.3f;
        status = "Checking game files...";
    } else if (t < 16.0f) {
        progress = 0.3f + 0.07777777f * (t - 7.0f);
        status = "Downloading 8 of 12...";
    } else {
        progress = 1.0f;
        status = STATUS_DONE;
        detail = DETAIL_DONE;
    }
    if (t > 22.0f)
        progress = 0.0f;  // the bar eases back to empty before the cycle restarts
    SetProgress(progress);

    // Written directly under the lock: no log line, and the detail is set, not cleared.
    EnterCriticalSection(&StatusBoard.lock);
    CopyCut(StatusBoard.status, sizeof StatusBoard.status, status);
    CopyCut(StatusBoard.detail, sizeof StatusBoard.detail, detail);
    LeaveCriticalSection(&StatusBoard.lock);
}
