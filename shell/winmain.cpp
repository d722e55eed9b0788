// Process entry of launcher.exe.
#include "shell/shell.h"
#include "update/update.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int showCommand)
{
    (void)previous;
    (void)showCommand;
    ManifestKeys = BUILT_IN_MANIFEST_KEYS;
#ifdef QRV_TEST_RECEIVE_TIMEOUT_MS
    // A test build's; launcher.exe keeps Windows' value and a 30 s stall window.
    TransferPolicy.receiveTimeoutMs = QRV_TEST_RECEIVE_TIMEOUT_MS;
    TransferPolicy.stallWindowMs = QRV_TEST_RECEIVE_TIMEOUT_MS;
#endif
    return LauncherMain(instance, arguments);
}
