// Process entry of launcher.exe.
#include "shell/shell.h"
#include "update/update.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int showCommand)
{
    (void)previous;
    (void)showCommand;
    ManifestKeys = BUILT_IN_MANIFEST_KEYS;
#ifdef QRV_TEST_RECEIVE_TIMEOUT_MS
    // A test build's; launcher.exe keeps Windows' value, a 30 s stall window, a
    // 60 s slow window and two minutes for the manifest.
    TransferPolicy.receiveTimeoutMs = QRV_TEST_RECEIVE_TIMEOUT_MS;
    TransferPolicy.stallWindowMs = QRV_TEST_RECEIVE_TIMEOUT_MS;
    TransferPolicy.slowWindowMs = 2 * QRV_TEST_RECEIVE_TIMEOUT_MS;
    TransferPolicy.slowMinimumBytes = 2 * QRV_TEST_RECEIVE_TIMEOUT_MS * 1024 / 1000;  // still 1 KB/s
    // Three stalled attempts of the manifest and their pauses fit within it.
    TransferPolicy.manifestWithinMs = 8 * QRV_TEST_RECEIVE_TIMEOUT_MS;
#endif
    return LauncherMain(instance, arguments);
}
