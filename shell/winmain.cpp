// Process entry of launcher.exe.
#include "shell/shell.h"
#include "update/update.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int showCommand)
{
    (void)previous;
    (void)showCommand;
    ManifestKeys = BUILT_IN_MANIFEST_KEYS;
    return LauncherMain(instance, arguments);
}
