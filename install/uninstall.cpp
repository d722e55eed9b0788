// Removing the installed game ("-desinstalar"): what the manifests list, the
// launcher's own files, the folders that are then empty, the shortcuts and the
// entry in the list of installed apps. A running program cannot delete its
// own file, so a copy in the temporary folder finishes the job once this
// process has ended, and goes with it. Files the launcher did not put there
// (screenshots, saves, mods) stay, and so does the folder that holds them.
#include <objbase.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "trust/trust.h"

static const char* const MANIFEST_COPIES[] = {"manifesto_completo.txt", "manifesto.txt"};
// launcher.cfg goes last of all: without it there is no installation left to
// uninstall, so an uninstall cut short must find it to be run again.
static const char* const LAUNCHER_FILES[] = {
    "launcher.log", "launcher.log.1", "launcher.velho", "launcher.serie", "launcher.serie.tmp", "launcher.novo", "launcher.novo.tmp",
};
static const char COPY_NAME_FORMAT[] = "%squorvane-desinstalar-%lu.exe";
static const DWORD LAUNCHER_END_WAIT_MS = 30000;
static const int DELETE_ATTEMPTS = 10;  // the ended launcher's file may stay busy for a moment
static const DWORD DELETE_PAUSE_MS = 200;

static Manifest Listed;  // one manifest copy at a time

static int Tell(const char* text, UINT icon)
{
    return Os.MessageBoxA(NULL, text, INSTALL_CAPTION, icon);
}

static void RemoveEmptyParents(const char* path)
{
    char folder[MAX_PATH];
    CopyCut(folder, sizeof folder, path);
    for (;;) {
        char* separator = strrchr(folder, '\\');
        char* slash = strrchr(folder, '/');
        if (slash > separator)
            separator = slash;
        if (!separator)
            return;
        *separator = '\0';
        RemoveDirectoryA(folder);  // fails, harmlessly, while something else is inside
    }
}

// The file, its temporary file, and a chunk or frame index that a crash left.
static void DeleteWithTemporary(const char* path)
{
    char temporary[MAX_PATH];
    char index[MAX_PATH];
    DeleteFileA(path);
    if (TemporaryNameOf(path, temporary, sizeof temporary))
        DeleteFileA(temporary);
    if (ChunkIndexNameOf(path, index, sizeof index) && TemporaryNameOf(index, temporary, sizeof temporary))
        DeleteFileA(temporary);
    if (FrameIndexNameOf(path, index, sizeof index) && TemporaryNameOf(index, temporary, sizeof temporary))
        DeleteFileA(temporary);
}

// Every file a manifest copy lists, inside the folder, and its temporary file;
// then the folders along their paths that are left empty. The copy itself
// stays until every list has been gone through.
static void RemoveListedFiles(const char* manifestName, const char* ownName)
{
    if (ParseManifest(manifestName, &Listed) == 0)
        return;
    for (int pass = 0; pass < 2; pass++) {
        for (int i = 0; i < Listed.count; i++) {
            const char* path = Listed.entries[i].path;
            if (!IsSafeManifestPath(path) || SameFilePath(path, ownName))
                continue;
            if (pass == 0)
                DeleteWithTemporary(path);
            else
                RemoveEmptyParents(path);
        }
    }
}

// Another installation's shortcut of the same name stays.
static void RemoveShortcut(int specialFolder, const char* launcherPath)
{
    char linkPath[MAX_PATH];
    if (ShortcutPathIn(specialFolder, linkPath, sizeof linkPath) && ShortcutPointsTo(linkPath, launcherPath))
        DeleteFileA(linkPath);
}

static void RemoveInstalledFiles(const char* launcherPath, const char* ownName)
{
    ReadLauncherConfig();
    CoInitialize(NULL);
    RemoveShortcut(CSIDL_DESKTOPDIRECTORY, launcherPath);
    RemoveShortcut(CSIDL_PROGRAMS, launcherPath);
    CoUninitialize();
    RemoveRegistration(AppDir);
    ForgetSerialFloor();
    for (const char* manifestName : MANIFEST_COPIES)
        RemoveListedFiles(manifestName, ownName);
    RemoveListedFiles(LauncherConfig.manifestName, ownName);
    for (const char* manifestName : MANIFEST_COPIES) {
        DeleteWithTemporary(manifestName);
        ForgetHeldValidator(manifestName);
    }
    DeleteWithTemporary(LauncherConfig.manifestName);
    ForgetHeldValidator(LauncherConfig.manifestName);
    for (const char* name : LAUNCHER_FILES)
        DeleteFileA(name);
    DeleteFileA(CONFIG_FILE_NAME);
}

static void SayRemoved(const char* folderLeft)
{
    char text[512];
    if (folderLeft)
        snprintf(text, sizeof text, "Quorvane was removed. Files that were not installed by it were left in %s.",
                 folderLeft);
    else
        snprintf(text, sizeof text, "Quorvane was removed.");
    Tell(text, MB_ICONINFORMATION);
}

// A copy of launcher.exe in the temporary folder, started to remove the
// original once this process has ended. The copy is opened for deletion on
// close and the handle inherited, so it goes when the copy's process ends.
static int HandOverToCopy(const char* launcherPath)
{
    char temporaryFolder[MAX_PATH];
    char copy[MAX_PATH];
    char arguments[MAX_PATH + 64];
    char commandLine[2 * MAX_PATH + 80];
    DWORD processId = GetCurrentProcessId();
    if (!GetTempPathA(sizeof temporaryFolder, temporaryFolder) ||
        snprintf(copy, sizeof copy, COPY_NAME_FORMAT, temporaryFolder, processId) >= (int)sizeof copy ||
        !FormatUninstallFinish(arguments, sizeof arguments, processId, launcherPath) ||
        snprintf(commandLine, sizeof commandLine, "\"%s\" %s", copy, arguments) >= (int)sizeof commandLine ||
        !CopyFileA(launcherPath, copy, FALSE))
        return 0;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE goesWithTheCopy = CreateFileA(copy, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherited,
                                         OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    int started = Os.CreateProcessA(copy, commandLine, NULL, NULL, TRUE, 0, NULL, temporaryFolder, &startup, &process);
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    if (goesWithTheCopy != INVALID_HANDLE_VALUE)
        CloseHandle(goesWithTheCopy);
    else if (!started)
        DeleteFileA(copy);
    return started;
}

int RunUninstall(void)
{
    if (GetFileAttributesA(CONFIG_FILE_NAME) == INVALID_FILE_ATTRIBUTES) {
        Tell("Quorvane is not installed in this folder: there is nothing to remove.", MB_ICONERROR);
        return 1;
    }
    if (!TakeFolderLock(0)) {
        Tell("Close Quorvane first, then try again.", MB_ICONEXCLAMATION);
        return 1;
    }
    if (Tell("Remove Quorvane from this computer?", MB_YESNO | MB_ICONQUESTION) != IDYES) {
        ReleaseFolderLock();
        return 0;
    }
    char launcherPath[MAX_PATH];
    DWORD length = Os.GetModuleFileNameA(NULL, launcherPath, sizeof launcherPath);
    const char* ownName = length > 0 && length < sizeof launcherPath ? strrchr(launcherPath, '\\') : NULL;
    RemoveInstalledFiles(launcherPath, ownName ? ownName + 1 : "launcher.exe");
    ReleaseFolderLock();
    if (!ownName || !HandOverToCopy(launcherPath))
        SayRemoved(AppDir);  // launcher.exe itself stays
    return 0;
}

static int DeleteOnceFree(const char* path)
{
    for (int attempt = 1; attempt <= DELETE_ATTEMPTS; attempt++) {
        if (DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND)
            return 1;
        Sleep(DELETE_PAUSE_MS);
    }
    return 0;
}

int FinishUninstall(const char* arguments)
{
    unsigned long processId;
    char launcherPath[MAX_PATH];
    if (!ReadUninstallFinish(arguments, &processId, launcherPath, sizeof launcherPath))
        return 1;
    HANDLE launcher = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (launcher) {
        WaitForSingleObject(launcher, LAUNCHER_END_WAIT_MS);
        CloseHandle(launcher);
    }
    char folder[MAX_PATH];
    CopyCut(folder, sizeof folder, launcherPath);
    char* lastBackslash = strrchr(folder, '\\');
    if (lastBackslash)
        *lastBackslash = '\0';
    int removed = DeleteOnceFree(launcherPath) && lastBackslash && RemoveDirectoryA(folder);
    SayRemoved(removed ? NULL : folder);
    return 0;
}
