// A whole file fetched as its compressed object: its frames listed by the
// frame index (frame_index_fetch.cpp), or for a file that is one frame, that
// frame's record made from its manifest line alone; the compressed object in
// one request, each frame gathered whole, checked against its SHA-256 and only
// then decoded into "<target>.tmp", on the thread that fetches it. A cut
// answer resumes at the first frame not yet written. Anything that does not
// match (the index, a frame, the decoder's verdict) or is not there hands the
// rest of the file to the raw object, with one line in the log.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "shell/shell.h"
#include "update/frame_fetch.h"

static const DWORD STATUS_OK = 200;
static const DWORD STATUS_PARTIAL_CONTENT = 206;

// A frame gathered whole: its digest, then its bytes decoded and written.
static int WriteFrame(FrameFetch* frames)
{
    const FrameRecord* frame = &frames->page[frames->pageAt];
    const uint8_t* bytes = ProvenFrameBytes(frames->decoder, frame, frames->packed, frames->decoded);
    if (!bytes) {
        LogLine("quadro %lu nao confere em %s; sigo pelo objeto", (unsigned long)frames->written,
                frames->fetch->target);
        frames->badFrame = 1;
        return 0;
    }
    if (!WriteTemporaryBytes(frames->stream, frames->temporary, bytes, frame->decodedLength)) {
        frames->writeFailed = 1;
        return 0;
    }
    AddToRunningDigest(&frames->digest, bytes, frame->decodedLength);
    frames->writtenBytes += frame->decodedLength;
    ShowFileProgress(frames->fetch->target, frames->writtenBytes, frames->fetch->expectedSize, &frames->shown);
    frames->written++;
    frames->gathered = 0;
    frames->pageAt++;
    return frames->written == frames->header.frameCount || frames->pageAt < frames->pageCount || LoadPage(frames);
}

static int TakeFrameBytes(void* context, const char* bytes, DWORD count)
{
    FrameFetch* frames = (FrameFetch*)context;
    frames->receivedBytes += count;
    while (count > 0) {
        if (frames->written == frames->header.frameCount)
            return 0;  // beyond the last frame
        const FrameRecord* frame = &frames->page[frames->pageAt];
        uint32_t wanted = frame->packedLength - frames->gathered;
        uint32_t taken = count < wanted ? count : wanted;
        memcpy(frames->packed + frames->gathered, bytes, taken);
        frames->gathered += taken;
        bytes += taken;
        count -= taken;
        if (frames->gathered == frame->packedLength && !WriteFrame(frames))
            return 0;
    }
    return 1;
}

// The file from its first frame: the temporary file, the walk and the digest
// start over.
static int StartOver(FrameFetch* frames)
{
    if (frames->stream)
        fclose(frames->stream);
    frames->stream = OpenTemporaryFile(frames->temporary, "wb");
    EndRunningDigest(&frames->digest);
    frames->written = 0;
    frames->gathered = 0;
    frames->writtenBytes = 0;
    return frames->stream && StartRunningDigest(&frames->digest) && StartWalk(frames);
}

// One answer: the whole object (200) from the first frame, or (206) the rest
// from the first frame not yet written. A cut answer drops the frame it was
// gathering and asks again from that frame's offset.
static TransferEnd ReceiveFrames(ByteSource* source, Transfer* transfer)
{
    FrameFetch* frames = (FrameFetch*)transfer->context;
    DWORD status = transfer->status;
    int resumed = transfer->held > 0 && status == STATUS_PARTIAL_CONTENT && AnswerStartsAt(source, transfer->held);
    if (status >= 400)
        return TRANSFER_REFUSED;
    if (transfer->held > 0 && !resumed)
        return TRANSFER_UNRESUMED;
    if (!resumed && (status != STATUS_OK || !StartOver(frames)))
        return TRANSFER_FAILED;
    frames->gathered = 0;
    ByteSink sink = {TakeFrameBytes, frames};
    uint64_t received = transfer->held;
    TransferEnd end = ReadBody(source, transfer, &sink, &received);
    if (frames->written == frames->header.frameCount)
        return end == TRANSFER_FAILED ? end : TRANSFER_COMPLETE;  // a cut after the last frame lost nothing
    if (end == TRANSFER_COMPLETE)
        end = TRANSFER_BROKEN;
    if (end == TRANSFER_BROKEN)
        LogLine("transferencia interrompida em %s (%llu bytes recebidos)", transfer->url,
                (unsigned long long)received);
    transfer->held = end == TRANSFER_BROKEN && frames->written > 0 ? frames->page[frames->pageAt].packedOffset : 0;
    return end;
}

// The judged file in place, or COMPRESSED_NOT_TAKEN when the road failed short of it.
static CompressedOutcome FetchFrames(HINTERNET internet, FrameFetch* frames, const char* objectUrl)
{
    frames->transfer.url = objectUrl;
    frames->transfer.cache = CACHE_ANY;
    frames->transfer.maxBytes = frames->header.packedSize;
    frames->transfer.resumedName = frames->fetch->target;
    frames->transfer.receive = ReceiveFrames;
    frames->transfer.context = frames;
    frames->transfer.started = GetTickCount();
    TakeHeldFrames(frames);
    TransferEnd end = TransferWithRetries(internet, &frames->transfer);
    if (frames->stream && !CloseTemporaryFile(frames->stream, frames->temporary))
        frames->writeFailed = 1;
    frames->stream = NULL;
    if (frames->writeFailed)
        return COMPRESSED_FAILED;
    if (end == TRANSFER_REFUSED)
        LogLine("objeto comprimido indisponivel (HTTP %lu) em %s; sigo pelo objeto", frames->transfer.status,
                objectUrl);
    else if (end != TRANSFER_COMPLETE && !frames->badFrame)
        LogLine("objeto comprimido nao chegou em %s; sigo pelo objeto", objectUrl);
    char obtained[65];
    if (end != TRANSFER_COMPLETE || !FinishRunningDigest(&frames->digest, obtained))
        return COMPRESSED_NOT_TAKEN;
    if (!DigestsMatch(frames->fetch->expectedDigest, obtained)) {
        LogLine("hash nao confere em %s (esperado %s, obtido %s); sigo pelo objeto", frames->fetch->target,
                frames->fetch->expectedDigest, obtained);
        DeleteFileA(frames->temporary);
        return COMPRESSED_NOT_TAKEN;
    }
    LogLine("baixado comprimido: %s (%llu bytes recebidos, %llu gravados)", frames->fetch->target,
            (unsigned long long)frames->receivedBytes, (unsigned long long)frames->writtenBytes);
    return PlaceFetchedFile(frames->fetch, frames->temporary) ? COMPRESSED_PLACED : COMPRESSED_FAILED;
}

// The frames the header and page name, from the compressed object.
static CompressedOutcome FetchListedFrames(HINTERNET internet, FrameFetch* frames, const char* baseUrl,
                                           const char* objectsFolder)
{
    char packedDigest[65], objectUrl[URL_CAPACITY], temporary[MAX_PATH];
    WriteDigestHex(frames->header.packedDigest, packedDigest);
    frames->temporary = temporary;
    frames->packed = (uint8_t*)malloc(frames->header.largestPacked);
    frames->decoded = (uint8_t*)malloc(frames->header.largestDecoded);
    frames->decoder = (ZstdDecoder*)malloc(sizeof *frames->decoder);
    if (!frames->packed || !frames->decoded || !frames->decoder ||
        !TemporaryNameOf(frames->fetch->target, temporary, sizeof temporary) ||
        !BuildObjectUrl(objectUrl, sizeof objectUrl, baseUrl, objectsFolder, packedDigest))
        return COMPRESSED_NOT_TAKEN;
    SetUpZstdDecoder(frames->decoder);
    // Short of the whole file, the frames written stay in the temporary file:
    // checked bytes of the file, which the raw object continues.
    return FetchFrames(internet, frames, objectUrl);
}

static void ReleaseFrameFetch(FrameFetch* frames)
{
    EndRunningDigest(&frames->digest);
    free(frames->decoder);
    free(frames->packed);
    free(frames->decoded);
}

CompressedOutcome FetchCompressed(HINTERNET internet, const FileFetch* fetch, const IndexListing* listing,
                                  const char* baseUrl, const char* objectsFolder)
{
    char indexDigest[65], indexUrl[URL_CAPACITY];
    WriteDigestHex(listing->digest, indexDigest);
    CompressedOutcome outcome = COMPRESSED_NOT_TAKEN;
    FrameFetch frames = {};
    frames.fetch = fetch;
    if (BuildObjectUrl(indexUrl, sizeof indexUrl, baseUrl, objectsFolder, indexDigest) &&
        TakeFrameIndex(internet, &frames, listing, indexUrl))
        outcome = FetchListedFrames(internet, &frames, baseUrl, objectsFolder);
    ReleaseFrameIndex(&frames);
    ReleaseFrameFetch(&frames);
    return outcome;
}

CompressedOutcome FetchOneFrame(HINTERNET internet, const FileFetch* fetch, const IndexListing* listing,
                                const char* baseUrl, const char* objectsFolder)
{
    uint8_t fileDigest[32];
    CompressedOutcome outcome = COMPRESSED_NOT_TAKEN;
    FrameFetch frames = {};
    frames.fetch = fetch;
    frames.page = &frames.only;
    frames.pageCount = 1;
    FrameIndexVerdict verdict = ReadDigestHex(fetch->expectedDigest, fileDigest)
                                    ? OneFrameIndex(listing->digest, listing->size, fetch->expectedSize,
                                                    fileDigest, &frames.header, &frames.only)
                                    : FRAMES_OTHER_FILE;
    if (verdict == FRAMES_GOOD)
        outcome = FetchListedFrames(internet, &frames, baseUrl, objectsFolder);
    else
        LogLine("quadro unico recusado em %s (%s); sigo pelo objeto", fetch->target, FrameIndexVerdictText(verdict));
    ReleaseFrameFetch(&frames);
    return outcome;
}
