// The update run. Until the manifest, digests and downloads are built, a run
// with a server address logs that no check was made and lets the game start.
#include "install/install.h"
#include "shell/shell.h"
#include "update/update.h"

int RunUpdate(void)
{
    if (LauncherConfig.baseUrl[0] == '\0') {
        SetStatusLine("No %s: cannot check for updates. Starting the game.", CONFIG_FILE_NAME);
        LogLine("URL_BASE vazia ou %s ausente", CONFIG_FILE_NAME);
        return 1;
    }
    LogLine("verificacao de arquivos ainda nao construida nesta versao; nada foi verificado em %s",
            LauncherConfig.baseUrl);
    return 1;
}
