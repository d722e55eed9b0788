// The first-run installation: the folder dialog, the installed layout
// (folder, executable, configuration), the two shortcuts, and the start of the
// installed launcher. It speaks to the player only through the dialog and
// message boxes captioned "Quorvane"; it writes no run log.
#include <objbase.h>
#include <shlobj.h>
#include <stdio.h>
#include <strings.h>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell_rules.h"

const char INSTALL_CAPTION[] = "Quorvane";
const char SHORTCUT_FILE_NAME[] = "Quorvane.lnk";
static const char DIALOG_TITLE[] = "Escolha onde instalar o Quorvane.\nO jogo ocupa cerca de 475 MB.";
static const char SHORTCUT_DESCRIPTION[] = "Quorvane";

static int Refuse(const char* text)
{
    Os.MessageBoxA(NULL, text, INSTALL_CAPTION, MB_ICONERROR);
    return 0;
}

int ChooseInstallFolder(char* chosenFolder)
{
    BROWSEINFOA browse;
    ZeroMemory(&browse, sizeof browse);
    browse.lpszTitle = DIALOG_TITLE;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    LPITEMIDLIST item = SHBrowseForFolderA(&browse);
    if (!item)
        return 0;  // cancelled
    int found = SHGetPathFromIDListA(item, chosenFolder);
    CoTaskMemFree(item);
    return found;
}

int ShortcutPointsTo(const char* linkPath, const char* target)
{
    IShellLinkA* link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&link)))
        return 0;
    int pointsThere = 0;
    IPersistFile* file = NULL;
    WCHAR widePath[MAX_PATH];
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file))) {
        char linked[MAX_PATH];
        if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, MAX_PATH) &&
            SUCCEEDED(file->Load(widePath, STGM_READ)) &&
            SUCCEEDED(link->GetPath(linked, sizeof linked, NULL, 0)))
            pointsThere = SameFilePath(linked, target);
        file->Release();
    }
    link->Release();
    return pointsThere;
}

int CreateShortcut(const char* linkPath, const char* target, const char* workingFolder)
{
    IShellLinkA* link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&link)))
        return 0;
    link->SetPath(target);
    link->SetWorkingDirectory(workingFolder);
    link->SetDescription(SHORTCUT_DESCRIPTION);
    link->SetIconLocation(target, 0);
    int saved = 0;
    IPersistFile* file = NULL;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file))) {
        WCHAR widePath[MAX_PATH];
        if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, MAX_PATH))
            saved = SUCCEEDED(file->Save(widePath, TRUE));
        file->Release();
    }
    link->Release();
    return saved;
}

int ShortcutPathIn(int specialFolder, char* linkPath, size_t capacity)
{
    char folder[MAX_PATH];
    if (!Os.SHGetSpecialFolderPathA(NULL, folder, specialFolder, FALSE))
        return 0;
    int length = snprintf(linkPath, capacity, "%s\\%s", folder, SHORTCUT_FILE_NAME);
    return length > 0 && (size_t)length < capacity;
}

// A missing special folder or a shortcut that cannot be made does not stop
// the installation.
static void PlaceShortcut(int specialFolder, const InstallPaths* paths)
{
    char linkPath[MAX_PATH];
    if (ShortcutPathIn(specialFolder, linkPath, sizeof linkPath))
        CreateShortcut(linkPath, paths->targetExecutable, paths->installFolder);
}

static void StartInstalledLauncher(const InstallPaths* paths)
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!Os.CreateProcessA(paths->targetExecutable, NULL, NULL, NULL, FALSE, 0, NULL, paths->installFolder, &startup,
                           &process)) {
        Os.MessageBoxA(NULL, "Installed, but could not start the launcher.\nOpen it from the desktop shortcut.",
                       INSTALL_CAPTION, MB_ICONINFORMATION);
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

// Without regard to case, accented letters of the code page included
// ("\xC1GUA" is "\xE1gua").
int SameFilePath(const char* a, const char* b)
{
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

int InstallInto(const char* chosenFolder)
{
    InstallPaths paths;
    if (!BuildInstallPaths(chosenFolder, &paths))
        return Refuse("The chosen location has too long a path to install the game.\nChoose a shorter location.");
    if (!CreateDirectoryA(paths.installFolder, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Refuse("Could not create the installation folder.\nChoose another location.");

    char running[MAX_PATH];
    Os.GetModuleFileNameA(NULL, running, sizeof running);
    running[sizeof running - 1] = '\0';
    if (!SameFilePath(running, paths.targetExecutable) && !CopyFileA(running, paths.targetExecutable, FALSE))
        return Refuse("Could not copy the launcher to the installation folder.");
    if (!WriteLauncherConfig(paths.configPath))
        return Refuse("Could not write the configuration file.");

    PlaceShortcut(CSIDL_DESKTOPDIRECTORY, &paths);
    PlaceShortcut(CSIDL_PROGRAMS, &paths);
    RegisterInstallation(&paths);
    StartInstalledLauncher(&paths);
    return 1;
}

int RunInstaller(void)
{
    char chosenFolder[MAX_PATH];
    if (!ChooseInstallFolder(chosenFolder))
        return 0;
    return InstallInto(chosenFolder);
}
