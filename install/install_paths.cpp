// The installed layout's paths, built whole or refused.
#include <stdio.h>
#include <string.h>

#include "install/install.h"

static const char INSTALL_LEAF[] = "Quorvane";
static const char INSTALLED_EXECUTABLE[] = "launcher.exe";

static int Fits(int length, size_t capacity)
{
    return length >= 0 && (size_t)length < capacity;
}

int BuildInstallPaths(const char* chosenFolder, InstallPaths* paths)
{
    size_t length = strlen(chosenFolder);
    const char* separator = length > 0 && chosenFolder[length - 1] == '\\' ? "" : "\\";
    return Fits(snprintf(paths->installFolder, sizeof paths->installFolder, "%s%s%s", chosenFolder, separator,
                         INSTALL_LEAF),
                sizeof paths->installFolder) &&
           Fits(snprintf(paths->targetExecutable, sizeof paths->targetExecutable, "%s\\%s", paths->installFolder,
                         INSTALLED_EXECUTABLE),
                sizeof paths->targetExecutable) &&
           Fits(snprintf(paths->configPath, sizeof paths->configPath, "%s\\%s", paths->installFolder,
                         CONFIG_FILE_NAME),
                sizeof paths->configPath);
}
