// The borderless layered updater window and its few inputs: Escape and the close
// square close it, a drag moves it, and in test mode a drag moves the progress.
#include "shell/platform.h"
#include "shell/shell.h"
#include "ui/ui.h"

HWND UpdaterWindow;
int ProgressDragActive;

static const char WINDOW_CLASS_NAME[] = "QRVLauncher";
static const char WINDOW_CAPTION[] = "Quorvane";
static const int APP_ICON_RESOURCE = 1;

void CloseButtonRect(RECT* rect)
{
    rect->left = CLOSE_BUTTON_LEFT;
    rect->top = CLOSE_BUTTON_TOP;
    rect->right = CLOSE_BUTTON_RIGHT;
    rect->bottom = CLOSE_BUTTON_BOTTOM;
}

static void HandlePress(HWND window, LPARAM lParam)
{
    unsigned x = LOWORD(lParam);
    unsigned y = HIWORD(lParam);
    switch (ClassifyPress(x, y, TestMode)) {
    case PRESS_CLOSE:
        PostMessageA(window, WM_CLOSE, 0, 0);
        break;
    case PRESS_DRAG_PROGRESS:
        ProgressDragActive = 1;
        SetCapture(window);
        break;
    case PRESS_MOVE_WINDOW:
        // The system's own move loop, as if the press were on a title bar.
        ReleaseCapture();
        SendMessageA(window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
        break;
    }
}

LRESULT CALLBACK UpdaterWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE)
            PostMessageA(window, WM_CLOSE, 0, 0);
        return 0;  // every other key is swallowed
    case WM_LBUTTONDOWN:
        HandlePress(window, lParam);
        return 0;
    case WM_LBUTTONUP:
        if (ProgressDragActive) {
            ProgressDragActive = 0;
            ReleaseCapture();
        }
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int CreateUpdaterWindow(void)
{
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = UpdaterWindowProc;
    windowClass.hInstance = AppInstance;
    windowClass.hIcon = LoadIconA(AppInstance, MAKEINTRESOURCEA(APP_ICON_RESOURCE));
    if (!windowClass.hIcon)
        windowClass.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    // Registered once per process; a second window of the same process (the
    // tests make several) finds the class in place.
    if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return 0;

    int x = WindowOrigin(GetSystemMetrics(SM_CXSCREEN), WINDOW_WIDTH);
    int y = WindowOrigin(GetSystemMetrics(SM_CYSCREEN), WINDOW_HEIGHT);
    UpdaterWindow = Os.CreateWindowExA(WS_EX_LAYERED | WS_EX_APPWINDOW, WINDOW_CLASS_NAME, WINDOW_CAPTION, WS_POPUP, x,
                                    y, WINDOW_WIDTH, WINDOW_HEIGHT, NULL, NULL, AppInstance, NULL);
    if (!UpdaterWindow)
        return 0;
    // A layered window shows nothing until its first presented frame.
    ShowWindow(UpdaterWindow, SW_SHOW);
    return 1;
}

void BringRunningUpdaterToFront(void)
{
    HWND running = FindWindowA(WINDOW_CLASS_NAME, WINDOW_CAPTION);
    if (running)
        SetForegroundWindow(running);
}
