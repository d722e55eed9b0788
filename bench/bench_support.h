// Shared bits of the benchmarks: a monotonic clock and the machine's name.
#pragma once
#include <windows.h>
#include <stdio.h>

static inline double SecondsNow(void)
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

// The processor as the registry names it, and the processor count.
static inline void PrintMachine(void)
{
    char name[128] = "unknown processor";
    DWORD size = sizeof name;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        RegQueryValueExA(key, "ProcessorNameString", NULL, NULL, (BYTE*)name, &size);
        RegCloseKey(key);
    }
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    printf("machine: %s, %lu processors\n", name, system.dwNumberOfProcessors);
}
