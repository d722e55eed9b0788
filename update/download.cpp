// One file from the distribution server into place: the body goes into
// "<target>.tmp", is verified against the expected digest and only then
// replaces the target. A transfer that breaks off keeps what arrived and is
// tried again, asking only for the rest. Also the folders along a path.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "install/install.h"
#include "shell/platform.h"
#include "shell/shell.h"
#include "update/update.h"

static const DWORD REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                   INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                   INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS;  // 0x8440C000
// Under Wine INTERNET_FLAG_RELOAD sends no header at all, so a proxy between
// a player and the server could answer from its cache: the manifest says it.
static const char FRESH_COPY_HEADERS[] = "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
static const DWORD TRANSFER_CHUNK = 0x8000;
static const int FIRST_FAILING_STATUS = 400;
static const DWORD STATUS_PARTIAL_CONTENT = 206;
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

enum TransferEnd {
    TRANSFER_COMPLETE,
    TRANSFER_BROKEN,    // cut short or timed out: worth another attempt
    TRANSFER_FAILED,    // no connection, or the file could not be written or would grow too large
    TRANSFER_REFUSED,   // the server answered 400 or more
    TRANSFER_UNRESUMED  // the server did not continue where the temporary file ends
};

// One file's fetch: where it goes and how much of it is already held.
struct Transfer {
    const char* url;
    const char* fallbackUrl;
    CacheUse cache;
    DWORD status;  // of the last answer
    const char* target;
    const char* temporary;
    uint32_t expectedSize;
    const char* expectedDigest;
    DWORD maxBytes;
    int resumable;  // a digest will judge the pieces: broken transfers keep them
    DWORD held;     // bytes of the temporary file that the next request continues
    DWORD shown;    // the most this file ever showed: the bar never goes back
    int appended;   // some request continued the file rather than starting it
};

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

void ApplyTransferTimeouts(HINTERNET internet)
{
    InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_TIMEOUT, &TransferPolicy.connectTimeoutMs, sizeof(DWORD));
    InternetSetOptionA(internet, INTERNET_OPTION_SEND_TIMEOUT, &TransferPolicy.sendTimeoutMs, sizeof(DWORD));
    InternetSetOptionA(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, &TransferPolicy.receiveTimeoutMs, sizeof(DWORD));
}

static DWORD QueryNumber(HINTERNET request, DWORD query)
{
    DWORD value = 0;
    DWORD length = sizeof value;
    if (!HttpQueryInfoA(request, query | HTTP_QUERY_FLAG_NUMBER, &value, &length, NULL))
        return 0;
    return value;
}

// "Content-Range: bytes <first>-<last>/<total>" starts where asked.
static int RangeStartsAt(HINTERNET request, DWORD held)
{
    char range[128];
    DWORD length = sizeof range;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_RANGE, range, &length, NULL))
        return 0;
    range[sizeof range - 1] = '\0';
    if (strncmp(range, "bytes ", 6) != 0 || range[6] < '0' || range[6] > '9')
        return 0;
    char* end = NULL;
    unsigned long first = strtoul(range + 6, &end, 10);
    return *end == '-' && first == held;
}

void ShowFileProgress(const char* target, DWORD written, uint32_t expectedSize, DWORD* shown)
{
    if (expectedSize == 0) {
        SetDetailLine("%s  -  %lu KB", target, written >> 10);
        return;
    }
    SetDetailLine("%s  -  %lu of %lu KB", target, written >> 10, (unsigned long)(expectedSize >> 10));
    if (written > *shown)
        *shown = written < expectedSize ? written : expectedSize;
    AdvanceDownloadProgress((double)*shown);
}

static void ShowTransfer(Transfer* transfer, DWORD received)
{
    ShowFileProgress(transfer->target, received, transfer->expectedSize, &transfer->shown);
}

// The request goes through a connection handle of its own that carries the
// run's time-outs: a request opened by InternetOpenUrlA has none under Wine,
// and a stalled body would hold it for ever. NULL on failure, with the error
// code kept.
static HINTERNET OpenRequest(HINTERNET internet, const char* url, CacheUse cache, const char* range,
                             HINTERNET* connection)
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
    *connection = NULL;
    if (!InternetCrackUrlA(url, 0, 0, &parts))
        return NULL;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return NULL;
    }
    char object[URL_PATH_CAPACITY];
    snprintf(object, sizeof object, "%s%s", path, query);
    *connection = InternetConnectA(internet, host, parts.nPort, NULL, NULL, INTERNET_SERVICE_HTTP, 0, 0);
    if (!*connection)
        return NULL;
    ApplyTransferTimeouts(*connection);
    DWORD flags = REQUEST_FLAGS | (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
    if (cache == CACHE_ANY)
        flags &= ~(DWORD)INTERNET_FLAG_RELOAD;
    HINTERNET request = HttpOpenRequestA(*connection, "GET", object, NULL, NULL, NULL, flags, 0);
    char headers[128] = "";
    if (range)
        snprintf(headers, sizeof headers, "Range: bytes=%s\r\n", range);
    if (cache == CACHE_NONE_ASKED)
        CopyCut(headers + strlen(headers), sizeof headers - strlen(headers), FRESH_COPY_HEADERS);
    if (request && HttpSendRequestA(request, headers[0] ? headers : NULL, (DWORD)strlen(headers), NULL, 0))
        return request;
    DWORD error = GetLastError();
    if (request)
        InternetCloseHandle(request);
    InternetCloseHandle(*connection);
    *connection = NULL;
    SetLastError(error);
    return NULL;
}

// Reads only what has arrived: a read asked for more waits until it is
// filled, and under Wine nothing interrupts it, so a server that drips a few
// bytes a second would hold it for hours. 0 when the wait for data fails or
// times out; a count of 0 is the end of the body.
static int ReadArrived(HINTERNET request, char* buffer, DWORD capacity, DWORD* count)
{
    DWORD available = 0;
    *count = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0))
        return 0;
    if (available == 0)
        return 1;
    if (!InternetReadFile(request, buffer, available < capacity ? available : capacity, count)) {
        if (*count > capacity)
            *count = 0;
        return 0;
    }
    return 1;
}

// Fewer bytes than the policy's minimum over a whole stretch of its window.
struct StallWatch {
    DWORD since;
    DWORD bytesThen;
};

static int HasStalled(StallWatch* watch, DWORD received, const char* url)
{
    DWORD now = GetTickCount();
    if (now - watch->since < TransferPolicy.stallWindowMs)
        return 0;
    if (received - watch->bytesThen < TransferPolicy.stallMinimumBytes) {
        LogLine("transferencia parada em %s (menos de %lu bytes em %lu s)", url, TransferPolicy.stallMinimumBytes,
                TransferPolicy.stallWindowMs / 1000);
        return 1;
    }
    watch->since = now;
    watch->bytesThen = received;
    return 0;
}

// An answer that would make the file larger than its limit is refused whole:
// a hostile or broken server could otherwise fill the disk.
static int FitsLimit(const Transfer* transfer, DWORD have, DWORD more)
{
    if ((ULONGLONG)have + more <= transfer->maxBytes)
        return 1;
    LogLine("resposta grande demais em %s (%llu bytes, limite de %lu)", transfer->url, (ULONGLONG)have + more,
            transfer->maxBytes);
    return 0;
}

// The temporary file's digest is the expected one; obtained is empty when it
// could not be computed.
static int HoldsExpectedFile(const Transfer* transfer, char* obtained65)
{
    return ComputeFileDigest(transfer->temporary, obtained65) && DigestsMatch(transfer->expectedDigest, obtained65);
}

// Fewer bytes than the server announced; or, when it announced none (a
// chunked or close-delimited answer), fewer than the manifest lists, unless
// what arrived is already the listed file (a listed size may be wrong).
static int EndedShort(const Transfer* transfer, DWORD announced, DWORD received)
{
    if (announced > 0)
        return received - transfer->held < announced;
    char obtained[65];
    return transfer->expectedSize > 0 && received < transfer->expectedSize &&
           !(transfer->resumable && HoldsExpectedFile(transfer, obtained));
}

// Streams the body into the temporary file from where it stands. A wait for
// data that fails or times out, a stall, or fewer bytes than announced or
// listed is a broken transfer; a write that fails or falls short, or an
// answer beyond the file's limit, is a failure.
static TransferEnd ReceiveBody(HINTERNET request, Transfer* transfer)
{
    DWORD announced = QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH);
    if (announced > 0 && !FitsLimit(transfer, transfer->held, announced)) {
        transfer->held = 0;
        return TRANSFER_FAILED;
    }
    FILE* file = fopen(transfer->temporary, transfer->held > 0 ? "ab" : "wb");
    if (!file) {
        LogLine("nao consegui criar %s", transfer->temporary);
        return TRANSFER_FAILED;
    }
    static thread_local char chunk[TRANSFER_CHUNK];  // one per thread of the download phase
    DWORD received = transfer->held;
    StallWatch watch = {GetTickCount(), received};
    TransferEnd end = TRANSFER_COMPLETE;
    for (;;) {
        DWORD count = 0;
        if (!ReadArrived(request, chunk, sizeof chunk, &count))
            end = TRANSFER_BROKEN;  // what a failed read handed over is kept; the digest judges it
        if (count == 0)
            break;
        if (!FitsLimit(transfer, received, count) || fwrite(chunk, 1, count, file) != count) {
            end = TRANSFER_FAILED;
            break;
        }
        received += count;
        ShowTransfer(transfer, received);
        if (end == TRANSFER_BROKEN)
            break;
        if (HasStalled(&watch, received, transfer->url)) {
            end = TRANSFER_BROKEN;
            break;
        }
    }
    if (fclose(file) != 0)
        end = TRANSFER_FAILED;
    else if (end == TRANSFER_COMPLETE && EndedShort(transfer, announced, received))
        end = TRANSFER_BROKEN;
    if (end != TRANSFER_COMPLETE)
        LogLine("transferencia interrompida em %s (%lu bytes recebidos)", transfer->url, received);
    transfer->held = end == TRANSFER_BROKEN && transfer->resumable ? received : 0;
    return end;
}

// One request. When resuming, only a 206 that continues the file is appended;
// a 200 starts the file over; anything else is answered by a request without Range.
static TransferEnd TransferOnce(HINTERNET internet, Transfer* transfer)
{
    char rest[32];
    snprintf(rest, sizeof rest, "%lu-", transfer->held);
    if (transfer->held > 0)
        LogLine("retomando %s a partir de %lu bytes", transfer->target, transfer->held);
    HINTERNET connection;
    HINTERNET request = OpenRequest(internet, transfer->url, transfer->cache, transfer->held > 0 ? rest : NULL,
                                    &connection);
    if (!request) {
        DWORD error = GetLastError();
        LogLine("InternetOpenUrl falhou (%lu) em %s", error, transfer->url);
        return error == ERROR_INTERNET_TIMEOUT ? TRANSFER_BROKEN : TRANSFER_FAILED;
    }
    DWORD status = QueryNumber(request, HTTP_QUERY_STATUS_CODE);  // 0 when the query fails: go on
    transfer->status = status;
    TransferEnd end;
    if (transfer->held > 0 && status == STATUS_PARTIAL_CONTENT && RangeStartsAt(request, transfer->held)) {
        transfer->appended = 1;
        end = ReceiveBody(request, transfer);
    } else if (transfer->held > 0 && status != 200) {
        end = TRANSFER_UNRESUMED;
    } else if (status >= (DWORD)FIRST_FAILING_STATUS) {
        LogLine("HTTP %d em %s", (int)status, transfer->url);
        end = TRANSFER_REFUSED;
    } else {
        transfer->held = 0;
        end = ReceiveBody(request, transfer);
    }
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    return end;
}

// Up to two more attempts after a broken transfer, after pauses, each going
// on from what arrived.
static TransferEnd TransferWithRetries(HINTERNET internet, Transfer* transfer)
{
    int retries = (int)(sizeof TransferPolicy.retryPausesMs / sizeof TransferPolicy.retryPausesMs[0]);
    for (int attempt = 1;; attempt++) {
        TransferEnd end = TransferOnce(internet, transfer);
        if (end == TRANSFER_UNRESUMED) {
            transfer->held = 0;
            end = TransferOnce(internet, transfer);
        }
        if (end != TRANSFER_BROKEN || attempt > retries)
            return end;
        Sleep(TransferPolicy.retryPausesMs[attempt - 1]);
        LogLine("nova tentativa %d de %s", attempt + 1, transfer->url);
    }
}

// One range of an object: asked alone (object stores and CDNs answer several
// ranges in one request with the whole body, or not at all) and never read
// beyond. A broken answer goes on from where it stopped, tried as often as a
// file.
int FetchRange(HINTERNET internet, const char* url, DWORD first, DWORD length, const RangeSink* sink,
               DWORD* refusedStatus)
{
    static thread_local char chunk[TRANSFER_CHUNK];  // one per thread of the download phase
    int retries = (int)(sizeof TransferPolicy.retryPausesMs / sizeof TransferPolicy.retryPausesMs[0]);
    DWORD done = 0;
    *refusedStatus = 0;
    for (int attempt = 1;; attempt++) {
        char range[48];
        snprintf(range, sizeof range, "%lu-%lu", first + done, first + length - 1);
        HINTERNET connection;
        HINTERNET request = OpenRequest(internet, url, CACHE_ANY, range, &connection);
        if (!request) {
            DWORD error = GetLastError();
            LogLine("InternetOpenUrl falhou (%lu) em %s", error, url);
            if (error != ERROR_INTERNET_TIMEOUT)
                return 0;
        } else {
            DWORD status = QueryNumber(request, HTTP_QUERY_STATUS_CODE);
            if (status != STATUS_PARTIAL_CONTENT || !RangeStartsAt(request, first + done)) {
                *refusedStatus = status ? status : 1;
                InternetCloseHandle(request);
                InternetCloseHandle(connection);
                return 0;
            }
            StallWatch watch = {GetTickCount(), done};
            for (;;) {
                DWORD wanted = length - done < sizeof chunk ? length - done : (DWORD)sizeof chunk;
                DWORD count = 0;
                int readFailed = !ReadArrived(request, chunk, wanted, &count);
                if (count > 0 && !sink->take(sink->context, chunk, count)) {
                    InternetCloseHandle(request);
                    InternetCloseHandle(connection);
                    return 0;
                }
                done += count;
                if (done == length || readFailed || count == 0 || HasStalled(&watch, done, url))
                    break;
            }
            InternetCloseHandle(request);
            InternetCloseHandle(connection);
            if (done == length)
                return 1;
            LogLine("transferencia interrompida em %s (%lu bytes recebidos)", url, first + done);
        }
        if (attempt > retries)
            return 0;
        Sleep(TransferPolicy.retryPausesMs[attempt - 1]);
        LogLine("nova tentativa %d de %s", attempt + 1, url);
    }
}

// An object the server does not have (a studio that publishes objects for
// some files only, a server that lost one) is asked for once by its path.
static TransferEnd TransferFromEitherSource(HINTERNET internet, Transfer* transfer)
{
    TransferEnd end = TransferWithRetries(internet, transfer);
    if (end != TRANSFER_REFUSED || !transfer->fallbackUrl)
        return end;
    LogLine("objeto indisponivel (HTTP %lu) em %s; sigo por %s", transfer->status, transfer->url,
            transfer->fallbackUrl);
    transfer->url = transfer->fallbackUrl;
    transfer->fallbackUrl = NULL;
    transfer->cache = CACHE_NONE;
    return TransferWithRetries(internet, transfer);
}

static int VerifyDigest(const Transfer* transfer)
{
    char obtained[65];
    if (HoldsExpectedFile(transfer, obtained))
        return 1;
    LogLine("hash nao confere em %s (esperado %s, obtido %s)", transfer->target, transfer->expectedDigest, obtained);
    return 0;
}

int IsHeldByAnotherProgram(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

int MoveWhenFree(const char* from, const char* to, DWORD flags)
{
    for (int attempt = 1;; attempt++) {
        if (Os.MoveFileExA(from, to, flags))
            return 1;
        DWORD error = GetLastError();
        if (attempt == MOVE_ATTEMPTS || !IsHeldByAnotherProgram(error))
            return 0;
        Sleep(MOVE_PAUSE_MS);
        SetLastError(error);
    }
}

// One atomic replacement: the old target stays whole until the new one takes
// its name, and stays as it was when that fails.
static int MoveIntoPlace(const char* temporary, const char* target)
{
    if (MoveWhenFree(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    LogLine("nao consegui renomear %s para %s (%lu)", temporary, target, GetLastError());
    DeleteFileA(temporary);
    return 0;
}

// What an earlier run left in the temporary file and this one may continue:
// only for a file a digest will check, and only while it is shorter than the
// file the manifest lists.
static DWORD HeldFromEarlierRun(const char* temporary, uint32_t expectedSize, int resumable)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!resumable || expectedSize == 0 || !GetFileAttributesExA(temporary, GetFileExInfoStandard, &attributes))
        return 0;
    if (attributes.nFileSizeHigh != 0 || attributes.nFileSizeLow >= expectedSize)
        return 0;
    return attributes.nFileSizeLow;
}

void ChooseFileSource(FileFetch* fetch, char* pathUrl, char* objectUrl, const char* name, const char* digest,
                      const char* objectsFolder)
{
    BuildFileUrl(pathUrl, URL_CAPACITY, LauncherConfig.baseUrl, name);
    fetch->url = pathUrl;
    fetch->fallbackUrl = NULL;
    fetch->cache = CACHE_NONE;
    if (objectsFolder && BuildObjectUrl(objectUrl, URL_CAPACITY, LauncherConfig.baseUrl, objectsFolder, digest)) {
        fetch->url = objectUrl;
        fetch->fallbackUrl = pathUrl;
        fetch->cache = CACHE_ANY;
    }
}

int DownloadFile(HINTERNET internet, const FileFetch* fetch)
{
    char temporary[MAX_PATH];
    if (!TemporaryNameOf(fetch->target, temporary, sizeof temporary)) {
        LogLine("caminho longo demais para o arquivo temporario de %s", fetch->target);
        return 0;
    }
    int checked = fetch->expectedDigest && fetch->expectedDigest[0];
    Transfer transfer = {fetch->url,          fetch->fallbackUrl,    fetch->cache,    0,       fetch->target,
                         temporary,           fetch->expectedSize,   fetch->expectedDigest, fetch->maxBytes,
                         checked,             0,                     0,               0};
    transfer.held = HeldFromEarlierRun(temporary, fetch->expectedSize, checked);
    // A resumed file that fails its digest may have begun as an older
    // release's bytes: it is fetched once more from its first byte.
    for (int fromScratch = 0; fromScratch < 2; fromScratch++) {
        transfer.appended = 0;
        TransferEnd end = TransferFromEitherSource(internet, &transfer);
        if (end != TRANSFER_COMPLETE) {
            if (transfer.held == 0)
                DeleteFileA(temporary);
            return 0;  // a broken transfer keeps its temporary file for a later run
        }
        if (!checked || VerifyDigest(&transfer))
            return fetch->keepInTemporary ? 1 : MoveIntoPlace(temporary, fetch->target);
        DeleteFileA(temporary);
        if (!transfer.appended)
            return 0;
        transfer.held = 0;
    }
    return 0;
}
