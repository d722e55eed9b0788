// WinINet's asynchronous road. Each request reports through a slot of a
// process-wide table that is never freed: WinINet may report on a request
// after its handle was closed (a read it still holds comes back when the
// server sends or closes), so its context must outlive it. A slot is taken
// again only once WinINet has said that it let go of the request
// (INTERNET_STATUS_HANDLE_CLOSING, its last report). WinINet's threads only
// record a completion and wake the waiting thread; everything else happens
// on the thread that drives the transfer.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "shell/platform.h"
#include "shell/shell.h"
#include "transfer/transfer.h"

enum SlotState {
    SLOT_FREE,
    SLOT_OPEN,     // a request in use
    SLOT_CLOSING   // closed; WinINet has not let go of it yet
};

struct RequestSlot {
    volatile LONG state;
    volatile LONG completions;  // INTERNET_STATUS_REQUEST_COMPLETE reports so far
    LONG taken;                 // of those, the ones the driving thread has seen
    volatile LONG succeeded;    // of the last report
    volatile DWORD error;
    HANDLE woken;               // set at every report; made once, kept for the process
    INTERNET_BUFFERSA buffers;  // WinINet's while a read is pending, like the bytes
    char* bytes;                // READ_BYTES
    volatile UINT_PTR socket;   // the connection its reads went through, once seen (0: not yet)
};

static RequestSlot Slots[REQUEST_SLOTS];

// A request of whose answer more than this is left is cut off with its
// connection: WinINet under Wine would read the rest first. Less is read in a
// moment, and the connection then serves the next request.
static const ULONGLONG SMALL_REST_BYTES = 1u << 20;
static const size_t URL_PATH_CAPACITY = 1024;

// The connection an answer comes through is read between these two reports,
// on whichever thread reads it: noted, so that the answer can be cut off.
static void NoteReadsOf(RequestSlot* slot, DWORD status)
{
    DWORD error = GetLastError();  // the thread's own storage clears it
    NoteConnectionOf(status == INTERNET_STATUS_RECEIVING_RESPONSE ? &slot->socket : NULL);
    SetLastError(error);
}

// Runs on WinINet's threads (and inside WinINet calls on the driving thread):
// records, wakes, and touches nothing else.
static void CALLBACK ReportProgress(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                                    DWORD length)
{
    (void)handle;
    RequestSlot* slot = (RequestSlot*)context;
    if (!slot)
        return;
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && information && length >= sizeof(INTERNET_ASYNC_RESULT)) {
        const INTERNET_ASYNC_RESULT* result = (const INTERNET_ASYNC_RESULT*)information;
        slot->error = result->dwError;
        InterlockedExchange(&slot->succeeded, result->dwResult != 0);
        InterlockedIncrement(&slot->completions);
        SetEvent(slot->woken);
        NoteReadsOf(slot, status);
    } else if (status == INTERNET_STATUS_RECEIVING_RESPONSE || status == INTERNET_STATUS_RESPONSE_RECEIVED) {
        NoteReadsOf(slot, status);
    } else if (status == INTERNET_STATUS_HANDLE_CLOSING) {
        InterlockedExchange(&slot->state, SLOT_FREE);
    }
}

HINTERNET OpenInternet(const char* userAgent)
{
    HINTERNET internet = Os.InternetOpenA(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, INTERNET_FLAG_ASYNC);
    if (!internet)
        return NULL;
    WatchAnswerReads();
    if (InternetSetStatusCallbackA(internet, ReportProgress) == INTERNET_INVALID_STATUS_CALLBACK) {
        DWORD error = GetLastError();
        InternetCloseHandle(internet);
        SetLastError(error);
        return NULL;
    }
    // Windows lets a process hold only a few connections to one server at a
    // time; requests given up with a read pending keep theirs a while.
    ULONG connections = REQUEST_SLOTS + 2;
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
    InternetSetOptionA(NULL, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections, sizeof connections);
    return internet;
}

int RequestsLeftBehind(void)
{
    int count = 0;
    for (int i = 0; i < REQUEST_SLOTS; i++)
        count += Slots[i].state == SLOT_CLOSING;
    return count;
}

// A free slot, ready for a new request; NULL when none is free, or when its
// event or buffer cannot be had.
static RequestSlot* TakeFreeSlot(void)
{
    for (int i = 0; i < REQUEST_SLOTS; i++) {
        RequestSlot* slot = &Slots[i];
        if (InterlockedCompareExchange(&slot->state, SLOT_OPEN, SLOT_FREE) != SLOT_FREE)
            continue;
        if (!slot->woken)
            slot->woken = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (!slot->bytes)
            slot->bytes = (char*)malloc(READ_BYTES);
        if (!slot->woken || !slot->bytes) {
            InterlockedExchange(&slot->state, SLOT_FREE);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return NULL;
        }
        slot->completions = 0;
        slot->taken = 0;
        slot->socket = 0;
        ResetEvent(slot->woken);
        return slot;
    }
    SetLastError(ERROR_BUSY);
    return NULL;
}

// 1 when WinINet reported a completion within waitMs; the thread sleeps a
// second at most each time.
static int AwaitCompletion(RequestSlot* slot, DWORD waitMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (slot->completions != slot->taken) {
            slot->taken++;
            return 1;
        }
        DWORD waited = GetTickCount() - start;
        if (waited >= waitMs)
            return 0;
        DWORD rest = waitMs - waited;
        WaitForSingleObject(slot->woken, rest < LONGEST_WAIT_MS ? rest : LONGEST_WAIT_MS);
    }
}

// Host, port, scheme and the object (path and query) of an http or https URL.
struct UrlParts {
    char host[INTERNET_MAX_HOST_NAME_LENGTH];
    char object[URL_PATH_CAPACITY];
    INTERNET_PORT port;
    int secure;
};

static int CrackHttpUrl(const char* url, UrlParts* out)
{
    char path[URL_PATH_CAPACITY];
    char query[URL_PATH_CAPACITY];
    URL_COMPONENTSA parts;
    ZeroMemory(&parts, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = out->host;
    parts.dwHostNameLength = sizeof out->host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    parts.lpszExtraInfo = query;
    parts.dwExtraInfoLength = sizeof query;
    if (!InternetCrackUrlA(url, 0, 0, &parts))
        return 0;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return 0;
    }
    snprintf(out->object, sizeof out->object, "%s%s", path, query);
    out->port = parts.nPort;
    out->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return 1;
}

// The length the answer announces (read as text: WinINet's number is 32-bit
// and fails beyond 4 GB under Wine), and whether its body comes in chunks.
static void ReadAnnouncement(ByteSource* source)
{
    char text[32];
    DWORD size = sizeof text;
    if (HttpQueryInfoA(source->request, HTTP_QUERY_CONTENT_LENGTH, text, &size, NULL)) {
        text[sizeof text - 1] = '\0';
        char* end = NULL;
        source->length = strtoull(text, &end, 10);
        source->announced = end != text;
    }
    size = sizeof text;
    if (HttpQueryInfoA(source->request, HTTP_QUERY_TRANSFER_ENCODING, text, &size, NULL)) {
        text[sizeof text - 1] = '\0';
        source->chunked = strstr(text, "chunked") != NULL;
    }
}

uint64_t AnswerLength(ByteSource* source)
{
    ReadAnnouncement(source);
    return source->announced ? source->length : 0;
}

// Closes both handles; the slot comes free when WinINet lets go of the
// request (at once, or when a read it still holds comes back).
static void Release(ByteSource* source)
{
    InterlockedExchange(&source->slot->state, SLOT_CLOSING);
    InternetCloseHandle(source->request);
    if (source->connection)
        InternetCloseHandle(source->connection);
    source->request = NULL;
    source->connection = NULL;
}

static int FailOpen(ByteSource* source, DWORD error)
{
    if (source->request)
        Release(source);
    else
        InterlockedExchange(&source->slot->state, SLOT_FREE);  // WinINet never knew it
    if (source->connection)
        InternetCloseHandle(source->connection);
    source->connection = NULL;
    SetLastError(error);
    return 0;
}

// Sends the request and waits for the answer's headers.
static int SendAndAwait(ByteSource* source, const char* headers, DWORD giveUpMs)
{
    RequestSlot* slot = source->slot;
    DWORD length = (DWORD)strlen(headers);
    if (HttpSendRequestA(source->request, length ? headers : NULL, length, NULL, 0))
        return 1;
    if (GetLastError() != ERROR_IO_PENDING)
        return FailOpen(source, GetLastError());
    if (!AwaitCompletion(slot, giveUpMs))
        return FailOpen(source, ERROR_INTERNET_TIMEOUT);
    if (!slot->succeeded)
        return FailOpen(source, slot->error);
    return 1;
}

int SendRequest(HINTERNET internet, const char* url, const char* headers, DWORD flags, DWORD giveUpMs,
                ByteSource* source)
{
    ZeroMemory(source, sizeof *source);
    UrlParts parts;
    if (!CrackHttpUrl(url, &parts))
        return 0;
    source->slot = TakeFreeSlot();
    if (!source->slot) {
        DWORD error = GetLastError();
        if (error == ERROR_BUSY)
            LogLine("pedidos demais sem resposta do servidor; nao abro %s", url);
        SetLastError(error);
        return 0;
    }
    // The connection handle reports nothing (context 0): only the request's
    // reports are waited for.
    source->connection =
        InternetConnectA(internet, parts.host, parts.port, NULL, NULL, INTERNET_SERVICE_HTTP, 0, 0);
    if (!source->connection)
        return FailOpen(source, GetLastError());
    ApplyTransferTimeouts(source->connection);
    DWORD secure = parts.secure ? INTERNET_FLAG_SECURE : 0;
    source->request = HttpOpenRequestA(source->connection, "GET", parts.object, NULL, NULL, NULL, flags | secure,
                                       (DWORD_PTR)source->slot);
    if (!source->request)
        return FailOpen(source, GetLastError());
    return SendAndAwait(source, headers, giveUpMs);
}

// The next read, into the slot's buffer. With IRF_NO_WAIT a read that finds
// nothing goes to WinINet's thread and reports when something has arrived (or
// the body ended); the read after that hands it over at once.
ReadStep ReadArrived(ByteSource* source, DWORD waitMs, const char** bytes, DWORD* count)
{
    RequestSlot* slot = source->slot;
    *bytes = slot->bytes;
    *count = 0;
    DWORD start = GetTickCount();
    for (;;) {
        if (!source->readPending) {
            ZeroMemory(&slot->buffers, sizeof slot->buffers);
            slot->buffers.dwStructSize = sizeof slot->buffers;
            slot->buffers.lpvBuffer = slot->bytes;
            slot->buffers.dwBufferLength = READ_BYTES;
            if (InternetReadFileExA(source->request, &slot->buffers, IRF_ASYNC | IRF_NO_WAIT, (DWORD_PTR)slot)) {
                *count = slot->buffers.dwBufferLength <= READ_BYTES ? slot->buffers.dwBufferLength : 0;
                source->received += *count;
                source->ended = *count == 0;
                return *count ? READ_ARRIVED : READ_END;
            }
            if (GetLastError() != ERROR_IO_PENDING)
                return READ_FAILED;
            source->readPending = 1;
        }
        DWORD waited = GetTickCount() - start;
        if (!AwaitCompletion(slot, waited < waitMs ? waitMs - waited : 0))
            return READ_NOTHING_YET;
        source->readPending = 0;
        if (!slot->succeeded) {
            SetLastError(slot->error);
            return READ_FAILED;
        }
    }
}

// More than a little of the answer is left, and WinINet would read it on
// closing: with a length or in chunks (an answer that ends when the
// connection closes is closed without a read).
static int LeavesMuchUnread(ByteSource* source)
{
    if (source->ended)
        return 0;
    ReadAnnouncement(source);
    if (source->chunked)
        return 1;
    return source->announced && source->length > source->received &&
           source->length - source->received > SMALL_REST_BYTES;
}

void CloseSource(ByteSource* source)
{
    if (!source->request)
        return;
    int cut = LeavesMuchUnread(source);
    if (cut)
        BeginCutOff(source->slot->socket);
    Release(source);
    if (cut)
        EndCutOff();
}
