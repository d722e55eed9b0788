// The installed game in Windows' list of installed apps: one key under the
// current user's Uninstall list, written after a successful installation and
// removed by the uninstall.
#include <stdio.h>
#include <string.h>

#include "install/install.h"
#include "qrv_version.h"
#include "shell/shell.h"

static const char UNINSTALL_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvane";
static const char PRODUCT_NAME[] = "Quorvane";
static const char PUBLISHER[] = "Quorvane";
static const char UNINSTALL_SWITCH[] = "-desinstalar";

static LONG SetText(HKEY key, const char* name, const char* value)
{
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)value, (DWORD)strlen(value) + 1);
}

static LONG SetNumber(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&value, sizeof value);
}

static LONG WriteEntry(HKEY key, const InstallPaths* paths)
{
    char icon[MAX_PATH + 8];
    char uninstall[MAX_PATH + 32];
    snprintf(icon, sizeof icon, "%s,0", paths->targetExecutable);
    snprintf(uninstall, sizeof uninstall, "\"%s\" %s", paths->targetExecutable, UNINSTALL_SWITCH);
    LONG error = SetText(key, "DisplayName", PRODUCT_NAME);
    if (error == ERROR_SUCCESS)
        error = SetText(key, "DisplayIcon", icon);
    if (error == ERROR_SUCCESS)
        error = SetText(key, "DisplayVersion", QRV_VERSION_TEXT);
    if (error == ERROR_SUCCESS)
        error = SetText(key, "Publisher", PUBLISHER);
    if (error == ERROR_SUCCESS)
        error = SetText(key, "InstallLocation", paths->installFolder);
    if (error == ERROR_SUCCESS)
        error = SetText(key, "UninstallString", uninstall);
    if (error == ERROR_SUCCESS)
        error = SetNumber(key, "NoModify", 1);
    if (error == ERROR_SUCCESS)
        error = SetNumber(key, "NoRepair", 1);
    return error;
}

void RegisterInstallation(const InstallPaths* paths)
{
    HKEY key;
    LONG error = RegCreateKeyExA(HKEY_CURRENT_USER, UNINSTALL_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (error == ERROR_SUCCESS) {
        error = WriteEntry(key, paths);
        RegCloseKey(key);
    }
    if (error != ERROR_SUCCESS)
        LogLine("nao consegui registrar a instalacao em HKCU\\%s (%ld)", UNINSTALL_KEY, error);
}

// Another installation of the game may have written the entry since: it stays.
void RemoveRegistration(const char* installFolder)
{
    char location[MAX_PATH];
    DWORD size = sizeof location;
    if (RegGetValueA(HKEY_CURRENT_USER, UNINSTALL_KEY, "InstallLocation", RRF_RT_REG_SZ, NULL, location, &size) !=
            ERROR_SUCCESS ||
        !SameFilePath(location, installFolder))
        return;
    RegDeleteKeyA(HKEY_CURRENT_USER, UNINSTALL_KEY);
}
