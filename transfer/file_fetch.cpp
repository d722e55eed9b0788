// One file from the distribution server into place: the body goes into
// "<target>.tmp", is verified against the expected digest and only then
// replaces the target. A transfer that breaks off keeps what arrived and is
// tried again, asking only for the rest. Also the folders along a path.
#include <stdio.h>
#include <string.h>

#include "shell/shell.h"
#include "transfer/transfer.h"

static const int FIRST_FAILING_STATUS = 400;
static const DWORD STATUS_PARTIAL_CONTENT = 206;

// One file's fetch: where it goes and how much of it is already held.
struct FileTransfer {
    Transfer transfer;
    const char* fallbackUrl;
    const char* target;
    const char* temporary;
    uint64_t expectedSize;
    const char* expectedDigest;
    int resumable;   // a digest will judge the pieces: broken transfers keep them
    uint64_t shown;  // the most this file ever showed: the bar never goes back
    int appended;   // some request continued the file rather than starting it
    RunningDigest digest;  // of the temporary file's first digested bytes, as they were written
    uint64_t digested;
};

// The temporary file as the body arrives: written, and the progress shown.
struct TemporaryWriter {
    FileTransfer* file;
    FILE* stream;
    uint64_t written;
    int failed;  // a write failed: the transfer ends at once
};

void ShowFileProgress(const char* target, uint64_t written, uint64_t expectedSize, uint64_t* shown)
{
    if (expectedSize == 0) {
        SetDetailLine("%s  -  %llu KB", target, (unsigned long long)(written >> 10));
        return;
    }
    SetDetailLine("%s  -  %llu of %llu KB", target, (unsigned long long)(written >> 10),
                  (unsigned long long)(expectedSize >> 10));
    if (written > *shown)
        *shown = written < expectedSize ? written : expectedSize;
    AdvanceDownloadProgress((double)*shown);
}

static int WriteTemporary(void* context, const char* bytes, DWORD count)
{
    TemporaryWriter* writer = (TemporaryWriter*)context;
    if (!WriteTemporaryBytes(writer->stream, writer->file->temporary, bytes, count)) {
        writer->failed = 1;
        return 0;
    }
    writer->written += count;
    if (AddToRunningDigest(&writer->file->digest, bytes, count))
        writer->file->digested += count;
    ShowFileProgress(writer->file->target, writer->written, writer->file->expectedSize, &writer->file->shown);
    return 1;
}

// The temporary file's digest is the expected one; obtained is empty when it
// could not be computed. Taken as the bytes were written when it saw them
// all (no second open and read of each file); read back otherwise.
static int HoldsExpectedFile(FileTransfer* file, char* obtained65)
{
    int known = file->digest.running ? FinishRunningDigest(&file->digest, obtained65)
                                     : ComputeFileDigest(file->temporary, obtained65);
    return known && DigestsMatch(file->expectedDigest, obtained65);
}

// A body that starts the file starts its digest; one that continues bytes the
// digest did not see (an earlier run's) leaves the judgement to a read back.
static void FollowTemporaryDigest(FileTransfer* file, uint64_t held)
{
    if (held == 0) {
        EndRunningDigest(&file->digest);
        file->digested = 0;
        if (file->resumable)
            StartRunningDigest(&file->digest);
    } else if (file->digested != held) {
        EndRunningDigest(&file->digest);
    }
}

// Fewer bytes than the server announced; or, when it announced none (a
// chunked or close-delimited answer), fewer than the manifest lists, unless
// what arrived is already the listed file (a listed size may be wrong).
static int EndedShort(FileTransfer* file, uint64_t announced, uint64_t received)
{
    if (announced > 0)
        return received - file->transfer.held < announced;
    char obtained[65];
    return file->expectedSize > 0 && received < file->expectedSize &&
           !(file->resumable && HoldsExpectedFile(file, obtained));
}

// Streams the body into the temporary file from where it stands. A wait for
// data that fails or times out, a stall, or fewer bytes than announced or
// listed is a broken transfer; an answer beyond the file's limit is a
// failure; so is a write that fails or falls short (a full disk), which also
// gives up the temporary file at once.
static TransferEnd ReceiveBody(ByteSource* source, FileTransfer* file)
{
    Transfer* transfer = &file->transfer;
    uint64_t announced = AnswerLength(source);
    if (announced > 0 && !FitsCap(transfer, transfer->held, announced)) {
        transfer->held = 0;
        return TRANSFER_FAILED;
    }
    if (transfer->withinMs)
        AllowForLength(transfer, announced);
    FollowTemporaryDigest(file, transfer->held);
    TemporaryWriter writer = {file, OpenTemporaryFile(file->temporary, transfer->held > 0 ? "ab" : "wb"),
                              transfer->held, 0};
    if (!writer.stream) {
        LogLine("nao consegui criar %s", file->temporary);
        return TRANSFER_FAILED;
    }
    ByteSink sink = {WriteTemporary, &writer};
    uint64_t received = transfer->held;
    TransferEnd end = ReadBody(source, transfer, &sink, &received);
    if (writer.failed)
        fclose(writer.stream);
    else if (!CloseTemporaryFile(writer.stream, file->temporary))
        writer.failed = 1;
    if (writer.failed) {
        transfer->held = 0;
        return TRANSFER_FAILED;
    }
    if (end == TRANSFER_COMPLETE && EndedShort(file, announced, received))
        end = TRANSFER_BROKEN;
    if (end != TRANSFER_COMPLETE)
        LogLine("transferencia interrompida em %s (%llu bytes recebidos)", transfer->url,
                (unsigned long long)received);
    transfer->held = end == TRANSFER_BROKEN && file->resumable ? received : 0;
    return end;
}

// One answer. When resuming, only a 206 that continues the file is appended;
// a 200 starts the file over; anything else is answered by a request without Range.
static TransferEnd ReceiveFile(ByteSource* source, Transfer* transfer)
{
    FileTransfer* file = (FileTransfer*)transfer->context;
    DWORD status = transfer->status;
    if (transfer->held > 0 && status == STATUS_PARTIAL_CONTENT && AnswerStartsAt(source, transfer->held)) {
        file->appended = 1;
        return ReceiveBody(source, file);
    }
    if (transfer->held > 0 && status != 200)
        return TRANSFER_UNRESUMED;
    if (transfer->validator && AnswerNotModified(source, status, transfer->validator))
        return TRANSFER_COMPLETE;  // the copy held stands: nothing to fetch
    if (status >= (DWORD)FIRST_FAILING_STATUS) {
        LogLine("HTTP %d em %s", (int)status, transfer->url);
        return TRANSFER_REFUSED;
    }
    transfer->held = 0;
    return ReceiveBody(source, file);
}

// An object the server does not have (a studio that publishes objects for
// some files only, a server that lost one) is asked for once by its path.
static TransferEnd TransferFromEitherSource(HINTERNET internet, FileTransfer* file)
{
    Transfer* transfer = &file->transfer;
    TransferEnd end = TransferWithRetries(internet, transfer);
    if (end != TRANSFER_REFUSED || !file->fallbackUrl)
        return end;
    LogLine("objeto indisponivel (HTTP %lu) em %s; sigo por %s", transfer->status, transfer->url, file->fallbackUrl);
    transfer->url = file->fallbackUrl;
    file->fallbackUrl = NULL;
    transfer->cache = CACHE_NONE;
    return TransferWithRetries(internet, transfer);
}

static int VerifyDigest(FileTransfer* file)
{
    char obtained[65];
    if (HoldsExpectedFile(file, obtained))
        return 1;
    LogLine("hash nao confere em %s (esperado %s, obtido %s)", file->target, file->expectedDigest, obtained);
    return 0;
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

int PlaceFetchedFile(const FileFetch* fetch, const char* temporary)
{
    if (fetch->placement == KEEP_IN_TEMPORARY)
        return 1;
    if (fetch->placement == PLACE_AS_TARGET_DURABLY && !FlushToDisk(temporary)) {
        NoteFailedWrite(temporary);
        DeleteFileA(temporary);
        return 0;
    }
    return MoveIntoPlace(temporary, fetch->target);
}

// What an earlier run left in the temporary file and this one may continue:
// only for a file a digest will check, and only while it is shorter than the
// file the manifest lists.
static uint64_t HeldFromEarlierRun(const char* temporary, uint64_t expectedSize, int resumable)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!resumable || expectedSize == 0 || !GetFileAttributesExA(temporary, GetFileExInfoStandard, &attributes))
        return 0;
    uint64_t held = (uint64_t)attributes.nFileSizeHigh << 32 | attributes.nFileSizeLow;
    return held < expectedSize ? held : 0;
}

// A resumed file that fails its digest may have begun as an older release's
// bytes: it is fetched once more from its first byte.
static int FetchVerifyAndPlace(HINTERNET internet, const FileFetch* fetch, FileTransfer* file)
{
    for (int fromScratch = 0; fromScratch < 2; fromScratch++) {
        file->appended = 0;
        TransferEnd end = TransferFromEitherSource(internet, file);
        if (end != TRANSFER_COMPLETE) {
            if (file->transfer.held == 0)
                DeleteFileA(file->temporary);
            return 0;  // a broken transfer keeps its temporary file for a later run
        }
        if (!file->resumable || VerifyDigest(file))
            return PlaceFetchedFile(fetch, file->temporary);
        DeleteFileA(file->temporary);
        if (!file->appended)
            return 0;
        file->transfer.held = 0;
    }
    return 0;
}

int DownloadFile(HINTERNET internet, const FileFetch* fetch)
{
    return DownloadFileWithin(internet, fetch, 0);
}

int DownloadFileWithin(HINTERNET internet, const FileFetch* fetch, DWORD withinMs)
{
    char temporary[MAX_PATH];
    if (!TemporaryNameOf(fetch->target, temporary, sizeof temporary)) {
        LogLine("caminho longo demais para o arquivo temporario de %s", fetch->target);
        return 0;
    }
    int checked = fetch->expectedDigest && fetch->expectedDigest[0];
    DWORD now = GetTickCount();
    FileTransfer file = {{fetch->url, fetch->cache, 0, 0, 0, fetch->maxBytes, fetch->target, ReceiveFile, NULL,
                          withinMs, now + withinMs, now, fetch->validator},
                         fetch->fallbackUrl,
                         fetch->target,
                         temporary,
                         fetch->expectedSize,
                         fetch->expectedDigest,
                         checked,
                         0,
                         0,
                         {},
                         0};
    file.transfer.context = &file;
    file.transfer.held = HeldFromEarlierRun(temporary, fetch->expectedSize, checked);
    int placed = FetchVerifyAndPlace(internet, fetch, &file);
    EndRunningDigest(&file.digest);
    return placed;
}
