// Process entry of launcher.exe.
#include "shell/shell.h"
#include "update/update.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int showCommand)
{
    (void)previous;
    (void)showCommand;
    ManifestKeys = BUILT_IN_MANIFEST_KEYS;
#ifdef QRV_TEST_RECEIVE_TIMEOUT_MS
    TransferPolicy.receiveTimeoutMs = QRV_TEST_RECEIVE_TIMEOUT_MS;  // a test build's; launcher.exe keeps Windows' value
#endif
    return LauncherMain(instance, arguments);
}
