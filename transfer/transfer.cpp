// The one read loop and the retries that whole files, single ranges and
// manifests share. The loop keeps the stall clock, the deadline, the size cap
// and the sink; the byte source underneath is a step that hands over what has
// arrived, waiting a second at most (async_request.cpp). A broken transfer is
// asked again, going on from where it stopped; a range is asked alone (object
// stores and CDNs answer several ranges in one request with the whole body,
// or not at all) and never read beyond.
#include <stdio.h>

#include "shell/shell.h"
#include "transfer/transfer.h"

static const DWORD STATUS_PARTIAL_CONTENT = 206;

// When a transfer counts as stalled: fewer bytes than the policy's minimum
// over a whole stretch of its window; for a file, too few over any stretch of
// the slow window (judged at marks a sixtieth of it apart); for the manifest,
// its deadline passed. The clock is read once per read.
static const DWORD SLOW_MARKS = 60;

struct StallWatch {
    const Transfer* transfer;
    DWORD since;  // the short stretch began
    uint64_t bytesThen;
    DWORD start;  // the slow window's clock
    DWORD marks;  // of the slow window, passed
    uint64_t receivedAt[SLOW_MARKS + 1];  // the bytes at mark k, at k % (SLOW_MARKS + 1)
};

static void StartWatch(StallWatch* watch, const Transfer* transfer, uint64_t received)
{
    watch->transfer = transfer;
    watch->since = watch->start = GetTickCount();
    watch->bytesThen = received;
    watch->marks = 0;
    watch->receivedAt[0] = received;
}

static int OutOfTime(const Transfer* transfer, DWORD now)
{
    return transfer->withinMs && (int)(now - transfer->deadline) >= 0;
}

// Out of time, and said so.
static int PastDeadline(const Transfer* transfer, DWORD now)
{
    if (!OutOfTime(transfer, now))
        return 0;
    LogLine("resposta incompleta em %s apos %lu s", transfer->url, (transfer->deadline - transfer->started) / 1000);
    return 1;
}

static int StalledBelow(const Transfer* transfer, uint64_t bytes, DWORD minimum, DWORD windowMs)
{
    if (bytes >= minimum)
        return 0;
    LogLine("transferencia parada em %s (menos de %lu bytes em %lu s)", transfer->url, minimum, windowMs / 1000);
    return 1;
}

// Too few bytes over the last whole slow window, at each mark passed.
static int TooSlow(StallWatch* watch, DWORD now, uint64_t received)
{
    DWORD step = TransferPolicy.slowWindowMs / SLOW_MARKS;
    while (step > 0 && now - watch->start >= (watch->marks + 1) * step) {
        watch->marks++;
        watch->receivedAt[watch->marks % (SLOW_MARKS + 1)] = received;
        if (watch->marks < SLOW_MARKS)
            continue;
        uint64_t then = watch->receivedAt[(watch->marks - SLOW_MARKS) % (SLOW_MARKS + 1)];
        if (StalledBelow(watch->transfer, received - then, TransferPolicy.slowMinimumBytes,
                         TransferPolicy.slowWindowMs))
            return 1;
    }
    return 0;
}

static int HasStalled(StallWatch* watch, uint64_t received)
{
    const Transfer* transfer = watch->transfer;
    DWORD now = GetTickCount();
    if (PastDeadline(transfer, now))
        return 1;
    if (!transfer->withinMs && TooSlow(watch, now, received))
        return 1;
    if (now - watch->since < TransferPolicy.stallWindowMs)
        return 0;
    if (StalledBelow(transfer, received - watch->bytesThen, TransferPolicy.stallMinimumBytes,
                     TransferPolicy.stallWindowMs))
        return 1;
    watch->since = now;
    watch->bytesThen = received;
    return 0;
}

void AllowForLength(Transfer* transfer, uint64_t announced)
{
    DWORD allowed = AnswerWithinMs(transfer->withinMs, announced < transfer->maxBytes ? announced : transfer->maxBytes);
    if ((int)(transfer->started + allowed - transfer->deadline) > 0)
        transfer->deadline = transfer->started + allowed;
}

int FitsCap(const Transfer* transfer, uint64_t have, uint64_t more)
{
    if (have <= transfer->maxBytes && more <= transfer->maxBytes - have)
        return 1;
    LogLine("resposta grande demais em %s (%llu bytes, limite de %llu)", transfer->url,
            (unsigned long long)(more > UINT64_MAX - have ? UINT64_MAX : have + more),
            (unsigned long long)transfer->maxBytes);
    return 0;
}

TransferEnd ReadBody(ByteSource* source, const Transfer* transfer, const ByteSink* sink, uint64_t* received)
{
    StallWatch watch;
    StartWatch(&watch, transfer, *received);
    for (;;) {
        const char* bytes;
        DWORD count;
        ReadStep step = ReadArrived(source, LONGEST_WAIT_MS, &bytes, &count);
        if (step == READ_END)
            return TRANSFER_COMPLETE;
        if (step == READ_FAILED)
            return TRANSFER_BROKEN;
        if (transfer->end && transfer->end - *received < count)
            count = (DWORD)(transfer->end - *received);  // an answer longer than the range asked is not read on
        if (count > 0 && (!FitsCap(transfer, *received, count) || !sink->take(sink->context, bytes, count)))
            return TRANSFER_FAILED;
        *received += count;
        if (transfer->end && *received == transfer->end)
            return TRANSFER_COMPLETE;
        if (HasStalled(&watch, *received))
            return TRANSFER_BROKEN;
    }
}

// How long an answer's headers may take: WinINet's own time-outs end the wait
// first, unless the transfer's deadline comes sooner.
static DWORD OpenWaitMs(const Transfer* transfer)
{
    DWORD wait = TransferPolicy.connectTimeoutMs + TransferPolicy.sendTimeoutMs + TransferPolicy.receiveTimeoutMs;
    if (!transfer->withinMs)
        return wait;
    int left = (int)(transfer->deadline - GetTickCount());
    return left <= 0 ? 0 : (DWORD)left < wait ? (DWORD)left : wait;
}

// No answer came within the request's time-outs, whatever code WinINet gives
// for it: under Wine a wait for the headers that runs into the receive
// time-out ends with 12030, and a connection reset before any of the answer
// came with 12031. Either is a broken transfer, worth another attempt.
static int NoAnswerInTime(DWORD error)
{
    return error == ERROR_INTERNET_TIMEOUT || error == ERROR_INTERNET_CONNECTION_ABORTED ||
           error == ERROR_INTERNET_CONNECTION_RESET;
}

// One request, from where the transfer stands.
static TransferEnd TransferOnce(HINTERNET internet, Transfer* transfer)
{
    char range[48];
    const char* asked = NULL;
    if (transfer->end) {
        snprintf(range, sizeof range, "%llu-%llu", (unsigned long long)transfer->held,
                 (unsigned long long)(transfer->end - 1));
        asked = range;
    } else if (transfer->held > 0) {
        snprintf(range, sizeof range, "%llu-", (unsigned long long)transfer->held);
        asked = range;
    }
    if (transfer->held > 0 && transfer->resumedName)
        LogLine("retomando %s a partir de %llu bytes", transfer->resumedName, (unsigned long long)transfer->held);
    ByteSource source;
    if (!OpenSource(internet, transfer->url, transfer->cache, asked, transfer->validator, OpenWaitMs(transfer),
                    &source)) {
        DWORD error = GetLastError();
        LogLine("InternetOpenUrl falhou (%lu) em %s", error, transfer->url);
        PastDeadline(transfer, GetTickCount());
        NoteServerUnreached(error, NoAnswerInTime(error));
        return NoAnswerInTime(error) ? TRANSFER_BROKEN : TRANSFER_FAILED;
    }
    transfer->status = AnswerNumber(&source, HTTP_QUERY_STATUS_CODE);  // 0 when the query fails: go on
    TransferEnd end = transfer->receive(&source, transfer);
    CloseSource(&source);
    if (end != TRANSFER_COMPLETE)
        NoteServerAnswer(transfer->status, end);
    return end;
}

TransferEnd TransferWithRetries(HINTERNET internet, Transfer* transfer)
{
    int retries = (int)(sizeof TransferPolicy.retryPausesMs / sizeof TransferPolicy.retryPausesMs[0]);
    for (int attempt = 1;; attempt++) {
        TransferEnd end = TransferOnce(internet, transfer);
        if (end == TRANSFER_UNRESUMED) {
            transfer->held = 0;
            end = TransferOnce(internet, transfer);
        }
        if (end == TRANSFER_COMPLETE)
            ClearServerNote();
        if (end != TRANSFER_BROKEN || attempt > retries || OutOfTime(transfer, GetTickCount()) || !AskAgainHere())
            return end;
        Sleep(TransferPolicy.retryPausesMs[attempt - 1]);
        if (PastDeadline(transfer, GetTickCount()))
            return end;
        LogLine("nova tentativa %d de %s", attempt + 1, transfer->url);
    }
}

// Only a 206 that starts where asked is a range; its bytes go to the sink.
static TransferEnd ReceiveRange(ByteSource* source, Transfer* transfer)
{
    if (transfer->status != STATUS_PARTIAL_CONTENT || !AnswerStartsAt(source, transfer->held))
        return TRANSFER_REFUSED;
    TransferEnd end = ReadBody(source, transfer, (const ByteSink*)transfer->context, &transfer->held);
    if (end == TRANSFER_FAILED)
        return end;  // the sink stopped it, and says why
    if (transfer->held == transfer->end)
        return TRANSFER_COMPLETE;
    LogLine("transferencia interrompida em %s (%llu bytes recebidos)", transfer->url,
            (unsigned long long)transfer->held);
    return TRANSFER_BROKEN;
}

int FetchRange(HINTERNET internet, const char* url, uint64_t first, uint64_t length, const ByteSink* sink,
               DWORD* refusedStatus)
{
    Transfer transfer = {url, CACHE_ANY, 0, first, first + length, first + length, NULL, ReceiveRange,
                         (void*)sink, 0, 0, 0, NULL};
    TransferEnd end = TransferWithRetries(internet, &transfer);
    *refusedStatus = end == TRANSFER_REFUSED ? (transfer.status ? transfer.status : 1) : 0;
    return end == TRANSFER_COMPLETE;
}
