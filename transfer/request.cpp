// What a request asks and what its answer says: the request's flags and
// headers (caches, the range asked), the time-outs and bounds of the policy,
// the answer's status and range. The asynchronous road that carries it is
// async_request.cpp; the read loop, its stall clock, caps and progress stand
// outside (transfer.cpp).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "shell/shell_rules.h"
#include "transfer/transfer.h"

static const DWORD REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                   INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                   INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_NO_COOKIES;  // 0x844CC000
// A distribution server sets no cookie the launcher needs, and Wine looks
// cookies up in its URL cache for every component of every request's path
// (a file mapping, a mutex and registry reads each time): tens of calls to
// the wineserver per file.
// Under Wine INTERNET_FLAG_RELOAD sends no header at all, so a proxy between
// a player and the server could answer from its cache: the manifest says it.
static const char FRESH_COPY_HEADERS[] = "Cache-Control: no-cache\r\nPragma: no-cache\r\n";

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
// A file that trickles in below 1 KB/s on average over any minute is stalled
// too; the manifest must arrive whole within two minutes (100 000 entries,
// about 12 MB, need 100 KB/s).
static const DWORD SLOW_WINDOW_MS = 60000;
static const DWORD SLOW_MINIMUM_BYTES = 60 * 1024;
static const DWORD MANIFEST_WITHIN_MS = 120000;

const TransferPolicyRecord DEFAULT_TRANSFER_POLICY = {CONNECT_TIMEOUT_MS,
                                                     SEND_TIMEOUT_MS,
                                                     RECEIVE_TIMEOUT_MS,
                                                     STALL_WINDOW_MS,
                                                     STALL_MINIMUM_BYTES,
                                                     {FIRST_RETRY_PAUSE_MS, SECOND_RETRY_PAUSE_MS},
                                                     SLOW_WINDOW_MS,
                                                     SLOW_MINIMUM_BYTES,
                                                     MANIFEST_WITHIN_MS};
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

int AnswerStartsAt(const ByteSource* source, uint64_t first)
{
    char range[128];
    DWORD length = sizeof range;
    if (!HttpQueryInfoA(source->request, HTTP_QUERY_CONTENT_RANGE, range, &length, NULL))
        return 0;
    range[sizeof range - 1] = '\0';
    if (strncmp(range, "bytes ", 6) != 0 || range[6] < '0' || range[6] > '9')
        return 0;
    char* end = NULL;
    unsigned long long start = strtoull(range + 6, &end, 10);
    return *end == '-' && start == first;
}

static const DWORD STATUS_NOT_MODIFIED = 304;

// A header of the answer as text, "" when it has none or it does not fit.
static void AnswerText(const ByteSource* source, DWORD query, char* text, size_t capacity)
{
    DWORD length = (DWORD)capacity;
    if (!HttpQueryInfoA(source->request, query, text, &length, NULL) || length >= capacity)
        length = 0;
    text[length] = '\0';
}

int AnswerNotModified(const ByteSource* source, DWORD status, HeldCopyValidator* validator)
{
    validator->notModified = status == STATUS_NOT_MODIFIED;
    ValidatorText* answered = &validator->answered;
    if (!validator->notModified) {
        AnswerText(source, HTTP_QUERY_ETAG, answered->etag, sizeof answered->etag);
        AnswerText(source, HTTP_QUERY_LAST_MODIFIED, answered->lastModified, sizeof answered->lastModified);
    }
    return validator->notModified;
}

// "If-None-Match" when the copy held has an ETag (a server that gave one
// goes by it), else "If-Modified-Since"; nothing when it has neither.
static void AddCondition(char* headers, size_t capacity, const HeldCopyValidator* validator)
{
    size_t used = strlen(headers);
    const ValidatorText* held = validator ? &validator->held : NULL;
    if (held && held->etag[0])
        snprintf(headers + used, capacity - used, "If-None-Match: %s\r\n", held->etag);
    else if (held && held->lastModified[0])
        snprintf(headers + used, capacity - used, "If-Modified-Since: %s\r\n", held->lastModified);
}

int OpenSource(HINTERNET internet, const char* url, CacheUse cache, const char* range,
               const HeldCopyValidator* validator, DWORD giveUpMs, ByteSource* source)
{
    DWORD flags = REQUEST_FLAGS;
    if (cache == CACHE_ANY)
        flags &= ~(DWORD)INTERNET_FLAG_RELOAD;
    char headers[128 + VALIDATOR_LONGEST] = "";
    if (range)
        snprintf(headers, sizeof headers, "Range: bytes=%s\r\n", range);
    if (cache == CACHE_NONE_ASKED)
        CopyCut(headers + strlen(headers), sizeof headers - strlen(headers), FRESH_COPY_HEADERS);
    AddCondition(headers, sizeof headers, validator);
    return SendRequest(internet, url, headers, flags, giveUpMs, source);
}
