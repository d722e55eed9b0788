// Installation and configuration: launcher.cfg (where the server is, which
// manifest to ask for, which executable is the game) and the first-run install.
#pragma once
#include <stdio.h>

struct LauncherConfigRecord {
    char baseUrl[512];        // URL_BASE: ends in "/"; empty means no update check
    char gameExecutable[64];  // EXECUTAVEL
    char manifestName[64];    // MANIFESTO
    char refusedManifestName[64];  // a MANIFESTO value that could write elsewhere, for the log
    int connections;               // CONEXOES: how many files the download phase fetches at once
    char refusedConnections[16];   // a CONEXOES value that is no count from 1 to 16, for the log
    int mirrorCount;               // ESPELHO lines taken, in order of preference
    char mirrors[4][512];          // each a base URL ending in "/", asked when URL_BASE fails
    int refusedMirrors;            // ESPELHO lines refused (malformed, or beyond the fourth)
    char refusedMirror[64];        // the first of them, cut, for the log
};

static const int DEFAULT_CONNECTIONS = 6;
static const int MOST_CONNECTIONS = 16;
static const int MOST_MIRRORS = (int)(sizeof LauncherConfigRecord::mirrors / sizeof LauncherConfigRecord::mirrors[0]);

// Holds the defaults from process start; the reader only overwrites fields.
extern LauncherConfigRecord LauncherConfig;

extern const char CONFIG_FILE_NAME[];   // "launcher.cfg"
extern const char DEFAULT_BASE_URL[];   // set at build time (QRV_DEFAULT_BASE_URL)
extern const char DEFAULT_MIRRORS[];    // set at build time (QRV_DEFAULT_MIRRORS): base URLs between blanks

void ReadLauncherConfig(void);
// A MANIFESTO name the launcher may fetch into: a safe path with no folder
// part that is none of the launcher's own files.
int IsSafeManifestName(const char* name);
void ReadLauncherConfigStream(FILE* file);
int WriteLauncherConfig(const char* path);
// One ESPELHO line per base URL of mirrors (base URLs between blanks, as the
// build's QRV_DEFAULT_MIRRORS gives them).
void WriteMirrorLines(FILE* file, const char* mirrors);
void RestoreDefaultLauncherConfig(void);

// The paths of an installation into the folder the player chose.
struct InstallPaths {
    char installFolder[260];     // the chosen folder followed by "Quorvane"
    char targetExecutable[260];  // installFolder\launcher.exe
    char configPath[260];        // installFolder\launcher.cfg
};

// 0 when any of the paths would not fit (they are never cut). A chosen folder
// that already ends in a backslash (a drive root) gets no second one.
int BuildInstallPaths(const char* chosenFolder, InstallPaths* paths);

// First run: asks for a folder, installs there and starts the installed copy.
// 1 when installed, 0 when cancelled or failed.
int RunInstaller(void);
// The folder dialog: 1 with the chosen folder, 0 when cancelled or when the
// choice has no file-system path.
int ChooseInstallFolder(char* chosenFolder);
// Everything after the choice: folder, copy, configuration, shortcuts, start.
int InstallInto(const char* chosenFolder);
int CreateShortcut(const char* linkPath, const char* target, const char* workingFolder);
// The game's shortcut in a special folder (CSIDL_...); 0 when there is none.
int ShortcutPathIn(int specialFolder, char* linkPath, size_t capacity);
// 1 when the shortcut file leads to target (COM initialised by the caller).
int ShortcutPointsTo(const char* linkPath, const char* target);
// Paths compared as the file system compares names.
int SameFilePath(const char* a, const char* b);

extern const char INSTALL_CAPTION[];      // "Quorvane": the caption of every box of the installer
extern const char SHORTCUT_FILE_NAME[];   // "Quorvane.lnk", on the desktop and in the programs menu

// The entry in the current user's list of installed apps (no administrator
// rights needed). A failure is logged and changes nothing else.
void RegisterInstallation(const InstallPaths* paths);
// Removes that entry when it is this folder's.
void RemoveRegistration(const char* installFolder);

// "-desinstalar": asks the player, then removes what the installation and the
// updates put in this folder, the shortcuts and the entry, and hands the
// removal of launcher.exe itself to a copy in the temporary folder. Exit code.
int RunUninstall(void);
// The copy's part: waits for the uninstalling launcher to end, removes it and
// its folder when empty, and says what was left.
int FinishUninstall(const char* arguments);
