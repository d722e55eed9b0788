// Stand-in until the first-run installation is built: nothing is installed and
// the start ends as a failed installation.
#include "install/install.h"

int RunInstaller(void)
{
    return 0;
}
