// Process entry of launcher.exe.
#include "shell/shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int showCommand)
{
    (void)previous;
    (void)showCommand;
    return LauncherMain(instance, arguments);
}
