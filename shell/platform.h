// The platform calls whose failure the launcher must survive but that cannot be
// made to fail from outside. Product code calls them through Os; a test may
// replace an entry to make that call fail, and restores it with ResetPlatformCalls.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <wincrypt.h>

struct PlatformCalls {
    HANDLE(WINAPI* CreateThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
    BOOL(WINAPI* CreateProcessA)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                 LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION);
    BOOL(WINAPI* MoveFileExA)(LPCSTR, LPCSTR, DWORD);
    HMODULE(WINAPI* LoadLibraryA)(LPCSTR);
    BOOL(WINAPI* SHGetSpecialFolderPathA)(HWND, LPSTR, int, BOOL);
    int(WINAPI* MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT);
    DWORD(WINAPI* GetModuleFileNameA)(HMODULE, LPSTR, DWORD);
    HWND(WINAPI* CreateWindowExA)(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID);
    HBITMAP(WINAPI* CreateDIBSection)(HDC, const BITMAPINFO*, UINT, void**, HANDLE, DWORD);
    HINTERNET(WINAPI* InternetOpenA)(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD);
    BOOL(WINAPI* CryptAcquireContextA)(HCRYPTPROV*, LPCSTR, LPCSTR, DWORD, DWORD);
    BOOL(WINAPI* CryptCreateHash)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
    BOOL(WINAPI* FlushFileBuffers)(HANDLE);
    BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
};

extern PlatformCalls Os;

void ResetPlatformCalls(void);

// An entry point of user32 that older systems may lack; null when absent.
FARPROC LookUpUser32(const char* name);
