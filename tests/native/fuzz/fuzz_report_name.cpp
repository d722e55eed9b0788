// libFuzzer target: any byte string as a report name (and a scratch folder
// name), in a heap block of exactly its size so that a read past the
// terminator is caught by AddressSanitizer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "retention/report_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* name = (char*)malloc(size + 1);
    memcpy(name, data, size);
    name[size] = '\0';
    int accepted = DR_IsReportName(name);
    size_t length = strlen(name);
    if (accepted && (length < 34 || length > 52 || strncmp(name, "disconnect-", 11) != 0 ||
                     strcmp(name + length - 4, ".txt") != 0))
        __builtin_trap();
    DR_IsScratchName(name);
    free(name);
    return 0;
}
