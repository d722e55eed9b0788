// The table of replaceable platform calls, filled with the real ones.
#include "shell/platform.h"

#include <shlobj.h>

static const PlatformCalls REAL_PLATFORM_CALLS = {
    CreateThread,
    CreateProcessA,
    MoveFileExA,
    LoadLibraryA,
    SHGetSpecialFolderPathA,
    MessageBoxA,
    GetModuleFileNameA,
    CreateWindowExA,
    CreateDIBSection,
    InternetOpenA,
    CryptAcquireContextA,
    CryptCreateHash,
    FlushFileBuffers,
    ReadFile,
};

PlatformCalls Os = REAL_PLATFORM_CALLS;

void ResetPlatformCalls(void)
{
    Os = REAL_PLATFORM_CALLS;
}

FARPROC LookUpUser32(const char* name)
{
    HMODULE user32 = GetModuleHandleA("user32.dll");
    return user32 ? GetProcAddress(user32, name) : NULL;
}
