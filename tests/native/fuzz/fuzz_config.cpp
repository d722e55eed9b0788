// libFuzzer target: any bytes as the contents of launcher.cfg.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "install/install.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* file = fmemopen((void*)data, size, "r");
    if (!file)
        return 0;
    RestoreDefaultLauncherConfig();
    ReadLauncherConfigStream(file);
    fclose(file);
    if (strnlen(LauncherConfig.baseUrl, sizeof LauncherConfig.baseUrl) >= sizeof LauncherConfig.baseUrl ||
        strnlen(LauncherConfig.gameExecutable, sizeof LauncherConfig.gameExecutable) >=
            sizeof LauncherConfig.gameExecutable ||
        strnlen(LauncherConfig.manifestName, sizeof LauncherConfig.manifestName) >= sizeof LauncherConfig.manifestName)
        __builtin_trap();
    return 0;
}
