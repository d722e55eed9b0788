// Starts QRV_RAW_COMMAND_LINE exactly as given (so a test can pass an argument
// string with a trailing blank), waits for it and returns its exit code.
#include <windows.h>
#include <stdio.h>

int main(void)
{
    char commandLine[4096];
    DWORD length = GetEnvironmentVariableA("QRV_RAW_COMMAND_LINE", commandLine, sizeof commandLine);
    if (length == 0 || length >= sizeof commandLine) {
        fprintf(stderr, "spawn_raw: QRV_RAW_COMMAND_LINE missing or too long\n");
        return 255;
    }
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "spawn_raw: CreateProcess failed (%lu)\n", GetLastError());
        return 255;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 255;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)exitCode;
}
