// Keeps Wine's desktop process alive for a test run: it holds one hidden
// window and waits until the Wine server ends it. Without it every test
// program starts the desktop anew, and CTest waits a second for that desktop
// to let go of the test's output pipe.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    CreateWindowExA(0, "STATIC", "qrv hold desktop", 0, 0, 0, 1, 1, NULL, NULL, instance, NULL);
    Sleep(INFINITE);
    return 0;
}
