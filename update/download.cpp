// One file from the distribution server into place: the body goes into
// "<target>.tmp", is verified against the expected digest and only then
// replaces the target. Also the folders along a path.
#include <stdio.h>

#include "shell/shell.h"
#include "update/update.h"

static const DWORD REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                   INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                   INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;  // 0x8440C000
static const DWORD TRANSFER_CHUNK = 0x8000;
static const int FIRST_FAILING_STATUS = 400;

void MakeParentDirectories(const char* path)
{
    char partial[MAX_PATH];
    CopyCut(partial, sizeof partial, path);
    for (char* c = partial; *c; c++) {
        if (*c != '\\' && *c != '/')
            continue;
        char separator = *c;
        *c = '\0';
        CreateDirectoryA(partial, NULL);  // an existing folder is fine
        *c = separator;
    }
}

static DWORD QueryNumber(HINTERNET request, DWORD query)
{
    DWORD value = 0;
    DWORD length = sizeof value;
    if (!HttpQueryInfoA(request, query | HTTP_QUERY_FLAG_NUMBER, &value, &length, NULL))
        return 0;
    return value;
}

static void ShowTransfer(const char* target, DWORD received, uint32_t expectedSize)
{
    if (expectedSize > 0) {
        SetDetailLine("%s  -  %lu of %lu KB", target, received >> 10, (unsigned long)(expectedSize >> 10));
        AdvanceDownloadProgress((double)received);
    } else {
        SetDetailLine("%s  -  %lu KB", target, received >> 10);
    }
}

// Streams the body into the temporary file. A read that fails, a write that
// fails or falls short, or fewer bytes than the server announced all count as
// a broken transfer, so a truncated body never passes for a complete one.
static int ReceiveBody(HINTERNET request, const char* url, const char* target, const char* temporary,
                       uint32_t expectedSize)
{
    DWORD status = QueryNumber(request, HTTP_QUERY_STATUS_CODE);  // 0 when the query fails: go on
    if (status >= (DWORD)FIRST_FAILING_STATUS) {
        LogLine("HTTP %d em %s", (int)status, url);
        return 0;
    }
    FILE* file = fopen(temporary, "wb");
    if (!file) {
        LogLine("nao consegui criar %s", temporary);
        return 0;
    }
    DWORD announced = QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH);
    static char chunk[TRANSFER_CHUNK];  // worker thread only
    DWORD received = 0;
    int broken = 0;
    for (;;) {
        DWORD count = 0;
        if (!InternetReadFile(request, chunk, sizeof chunk, &count)) {
            broken = 1;
            break;
        }
        if (count == 0)
            break;
        if (fwrite(chunk, 1, count, file) != count) {
            broken = 1;
            break;
        }
        received += count;
        ShowTransfer(target, received, expectedSize);
    }
    if (fclose(file) != 0 || (announced > 0 && received < announced))
        broken = 1;
    if (broken) {
        LogLine("transferencia interrompida em %s (%lu bytes recebidos)", url, received);
        DeleteFileA(temporary);
        return 0;
    }
    return 1;
}

static int VerifyDigest(const char* temporary, const char* target, const char* expectedDigest)
{
    char obtained[65];
    if (ComputeFileDigest(temporary, obtained) && DigestsMatch(expectedDigest, obtained))
        return 1;
    LogLine("hash nao confere em %s (esperado %s, obtido %s)", target, expectedDigest, obtained);
    return 0;
}

// One atomic replacement: the old target stays whole until the new one takes
// its name, and stays as it was when that fails.
static int MoveIntoPlace(const char* temporary, const char* target)
{
    if (MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    LogLine("nao consegui renomear %s para %s (%lu)", temporary, target, GetLastError());
    DeleteFileA(temporary);
    return 0;
}

int DownloadFile(HINTERNET internet, const char* url, const char* target, uint32_t expectedSize,
                 const char* expectedDigest)
{
    char temporary[MAX_PATH];
    if (snprintf(temporary, sizeof temporary, "%s.tmp", target) >= (int)sizeof temporary) {
        LogLine("caminho longo demais para o arquivo temporario de %s", target);
        return 0;
    }
    HINTERNET request = InternetOpenUrlA(internet, url, NULL, 0, REQUEST_FLAGS, 0);
    if (!request) {
        LogLine("InternetOpenUrl falhou (%lu) em %s", GetLastError(), url);
        return 0;
    }
    int received = ReceiveBody(request, url, target, temporary, expectedSize);
    InternetCloseHandle(request);
    if (!received)
        return 0;
    if (expectedDigest && expectedDigest[0] && !VerifyDigest(temporary, target, expectedDigest)) {
        DeleteFileA(temporary);
        return 0;
    }
    return MoveIntoPlace(temporary, target);
}
