// Installation and configuration: launcher.cfg (where the server is, which
// manifest to ask for, which executable is the game) and the first-run install.
#pragma once
#include <stdio.h>

struct LauncherConfigRecord {
    char baseUrl[512];        // URL_BASE: ends in "/"; empty means no update check
    char gameExecutable[64];  // EXECUTAVEL
    char manifestName[64];    // MANIFESTO
};

// Holds the defaults from process start; the reader only overwrites fields.
extern LauncherConfigRecord LauncherConfig;

extern const char CONFIG_FILE_NAME[];   // "launcher.cfg"
extern const char DEFAULT_BASE_URL[];   // set at build time (QRV_DEFAULT_BASE_URL)

void ReadLauncherConfig(void);
void ReadLauncherConfigStream(FILE* file);
int WriteLauncherConfig(const char* path);
void RestoreDefaultLauncherConfig(void);

// First run: asks for a folder, installs there and starts the installed copy.
// 1 when installed, 0 when cancelled or failed.
int RunInstaller(void);
