// The platform calls whose failure the launcher must survive but that cannot be
// made to fail from outside. Product code calls them through Os; a test may
// replace an entry to make that call fail, and restores it with ResetPlatformCalls.
#pragma once
#include <windows.h>

struct PlatformCalls {
    HANDLE(WINAPI* CreateThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
    BOOL(WINAPI* CreateProcessA)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                 LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION);
    BOOL(WINAPI* MoveFileA)(LPCSTR, LPCSTR);
    HMODULE(WINAPI* LoadLibraryA)(LPCSTR);
    BOOL(WINAPI* SHGetSpecialFolderPathA)(HWND, LPSTR, int, BOOL);
    int(WINAPI* MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT);
    DWORD(WINAPI* GetModuleFileNameA)(HMODULE, LPSTR, DWORD);
};

extern PlatformCalls Os;

void ResetPlatformCalls(void);
