// The one read loop and the retries that whole files, single ranges and
// manifests share. The loop keeps the stall clock, the size cap and the
// sink; the byte source underneath is a step that reads what has arrived
// (request.cpp). A broken transfer is asked again, going on from where it
// stopped; a range is asked alone (object stores and CDNs answer several
// ranges in one request with the whole body, or not at all) and never read
// beyond.
#include <stdio.h>

#include "shell/shell.h"
#include "transfer/transfer.h"

static const DWORD TRANSFER_CHUNK = 0x8000;
static const DWORD STATUS_PARTIAL_CONTENT = 206;

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

int FitsCap(const Transfer* transfer, DWORD have, DWORD more)
{
    if ((ULONGLONG)have + more <= transfer->maxBytes)
        return 1;
    LogLine("resposta grande demais em %s (%llu bytes, limite de %lu)", transfer->url, (ULONGLONG)have + more,
            transfer->maxBytes);
    return 0;
}

TransferEnd ReadBody(ByteSource* source, const Transfer* transfer, const ByteSink* sink, DWORD* received)
{
    static thread_local char chunk[TRANSFER_CHUNK];  // one per thread of the download phase
    StallWatch watch = {GetTickCount(), *received};
    for (;;) {
        DWORD wanted = sizeof chunk;
        if (transfer->end && transfer->end - *received < wanted)
            wanted = transfer->end - *received;
        DWORD count = 0;
        int broken = !ReadArrived(source, chunk, wanted, &count);  // what a failed read handed over is kept
        if (count == 0)
            return broken ? TRANSFER_BROKEN : TRANSFER_COMPLETE;
        if (!FitsCap(transfer, *received, count) || !sink->take(sink->context, chunk, count))
            return TRANSFER_FAILED;
        *received += count;
        if (transfer->end && *received == transfer->end)
            return TRANSFER_COMPLETE;
        if (broken || HasStalled(&watch, *received, transfer->url))
            return TRANSFER_BROKEN;
    }
}

// One request, from where the transfer stands.
static TransferEnd TransferOnce(HINTERNET internet, Transfer* transfer)
{
    char range[48];
    const char* asked = NULL;
    if (transfer->end) {
        snprintf(range, sizeof range, "%lu-%lu", transfer->held, transfer->end - 1);
        asked = range;
    } else if (transfer->held > 0) {
        snprintf(range, sizeof range, "%lu-", transfer->held);
        asked = range;
    }
    if (transfer->held > 0 && transfer->resumedName)
        LogLine("retomando %s a partir de %lu bytes", transfer->resumedName, transfer->held);
    ByteSource source;
    if (!OpenSource(internet, transfer->url, transfer->cache, asked, &source)) {
        DWORD error = GetLastError();
        LogLine("InternetOpenUrl falhou (%lu) em %s", error, transfer->url);
        return error == ERROR_INTERNET_TIMEOUT ? TRANSFER_BROKEN : TRANSFER_FAILED;
    }
    transfer->status = AnswerNumber(&source, HTTP_QUERY_STATUS_CODE);  // 0 when the query fails: go on
    TransferEnd end = transfer->receive(&source, transfer);
    CloseSource(&source);
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
        if (end != TRANSFER_BROKEN || attempt > retries)
            return end;
        Sleep(TransferPolicy.retryPausesMs[attempt - 1]);
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
    LogLine("transferencia interrompida em %s (%lu bytes recebidos)", transfer->url, transfer->held);
    return TRANSFER_BROKEN;
}

int FetchRange(HINTERNET internet, const char* url, DWORD first, DWORD length, const ByteSink* sink,
               DWORD* refusedStatus)
{
    Transfer transfer = {url, CACHE_ANY, 0, first, first + length, first + length, NULL, ReceiveRange,
                         (void*)sink};
    TransferEnd end = TransferWithRetries(internet, &transfer);
    *refusedStatus = end == TRANSFER_REFUSED ? (transfer.status ? transfer.status : 1) : 0;
    return end == TRANSFER_COMPLETE;
}
