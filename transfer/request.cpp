// The road the bytes come by: one synchronous WinINet request per attempt,
// through a connection handle of its own, and its body read in small steps
// that take only what has arrived. The read loop, its stall clock, caps and
// progress stand outside (transfer.cpp): only this file knows WinINet's calls.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "shell/shell_rules.h"
#include "transfer/transfer.h"

static const DWORD REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                   INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                   INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;  // 0x8440C000
// Under Wine INTERNET_FLAG_RELOAD sends no header at all, so a proxy between
// a player and the server could answer from its cache: the manifest says it.
static const char FRESH_COPY_HEADERS[] = "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
static const size_t URL_PATH_CAPACITY = 1024;

// The values Windows itself uses by default; Wine sets no receive time-out at
// all, and a stalled server would hold the launcher for ever.
static const DWORD CONNECT_TIMEOUT_MS = 60000;
static const DWORD SEND_TIMEOUT_MS = 30000;
static const DWORD RECEIVE_TIMEOUT_MS = 30000;
static const DWORD FIRST_RETRY_PAUSE_MS = 1000;
static const DWORD SECOND_RETRY_PAUSE_MS = 3000;
// A server that drips a few bytes at a time never lets a read time out; a
// transfer that receives less than this over a stretch of this long is
// stalled, and broken like a time-out.
static const DWORD STALL_WINDOW_MS = 30000;
static const DWORD STALL_MINIMUM_BYTES = 1024;

const TransferPolicyRecord DEFAULT_TRANSFER_POLICY = {CONNECT_TIMEOUT_MS,  SEND_TIMEOUT_MS,
                                                     RECEIVE_TIMEOUT_MS,  STALL_WINDOW_MS,
                                                     STALL_MINIMUM_BYTES, {FIRST_RETRY_PAUSE_MS, SECOND_RETRY_PAUSE_MS}};
TransferPolicyRecord TransferPolicy = DEFAULT_TRANSFER_POLICY;

void ApplyTransferTimeouts(HINTERNET internet)
{
    InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_TIMEOUT, &TransferPolicy.connectTimeoutMs, sizeof(DWORD));
    InternetSetOptionA(internet, INTERNET_OPTION_SEND_TIMEOUT, &TransferPolicy.sendTimeoutMs, sizeof(DWORD));
    InternetSetOptionA(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, &TransferPolicy.receiveTimeoutMs, sizeof(DWORD));
}

DWORD AnswerNumber(const ByteSource* source, DWORD query)
{
    DWORD value = 0;
    DWORD length = sizeof value;
    if (!HttpQueryInfoA(source->request, query | HTTP_QUERY_FLAG_NUMBER, &value, &length, NULL))
        return 0;
    return value;
}

int AnswerStartsAt(const ByteSource* source, DWORD first)
{
    char range[128];
    DWORD length = sizeof range;
    if (!HttpQueryInfoA(source->request, HTTP_QUERY_CONTENT_RANGE, range, &length, NULL))
        return 0;
    range[sizeof range - 1] = '\0';
    if (strncmp(range, "bytes ", 6) != 0 || range[6] < '0' || range[6] > '9')
        return 0;
    char* end = NULL;
    unsigned long start = strtoul(range + 6, &end, 10);
    return *end == '-' && start == first;
}

// The request goes through a connection handle of its own that carries the
// run's time-outs: a request opened by InternetOpenUrlA has none under Wine,
// and a stalled body would hold it for ever.
int OpenSource(HINTERNET internet, const char* url, CacheUse cache, const char* range, ByteSource* source)
{
    char host[INTERNET_MAX_HOST_NAME_LENGTH];
    char path[URL_PATH_CAPACITY];
    char query[URL_PATH_CAPACITY];
    URL_COMPONENTSA parts;
    ZeroMemory(&parts, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = query;
    parts.dwExtraInfoLength = sizeof query;
    source->connection = NULL;
    source->request = NULL;
    if (!InternetCrackUrlA(url, 0, 0, &parts))
        return 0;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return 0;
    }
    char object[URL_PATH_CAPACITY];
    snprintf(object, sizeof object, "%s%s", path, query);
    source->connection = InternetConnectA(internet, host, parts.nPort, NULL, NULL, INTERNET_SERVICE_HTTP, 0, 0);
    if (!source->connection)
        return 0;
    ApplyTransferTimeouts(source->connection);
    DWORD flags = REQUEST_FLAGS | (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
    if (cache == CACHE_ANY)
        flags &= ~(DWORD)INTERNET_FLAG_RELOAD;
    source->request = HttpOpenRequestA(source->connection, "GET", object, NULL, NULL, NULL, flags, 0);
    char headers[128] = "";
    if (range)
        snprintf(headers, sizeof headers, "Range: bytes=%s\r\n", range);
    if (cache == CACHE_NONE_ASKED)
        CopyCut(headers + strlen(headers), sizeof headers - strlen(headers), FRESH_COPY_HEADERS);
    if (source->request &&
        HttpSendRequestA(source->request, headers[0] ? headers : NULL, (DWORD)strlen(headers), NULL, 0))
        return 1;
    DWORD error = GetLastError();
    CloseSource(source);
    SetLastError(error);
    return 0;
}

// Reads only what has arrived: a read asked for more waits until it is
// filled, and under Wine nothing interrupts it, so a server that drips a few
// bytes a second would hold it for hours.
int ReadArrived(ByteSource* source, char* buffer, DWORD capacity, DWORD* count)
{
    DWORD available = 0;
    *count = 0;
    if (!InternetQueryDataAvailable(source->request, &available, 0, 0))
        return 0;
    if (available == 0)
        return 1;
    if (!InternetReadFile(source->request, buffer, available < capacity ? available : capacity, count)) {
        if (*count > capacity)
            *count = 0;
        return 0;
    }
    return 1;
}

void CloseSource(ByteSource* source)
{
    if (source->request)
        InternetCloseHandle(source->request);
    if (source->connection)
        InternetCloseHandle(source->connection);
    source->request = NULL;
    source->connection = NULL;
}
