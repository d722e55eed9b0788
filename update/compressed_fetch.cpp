// A whole file fetched as its compressed object: the frame index (an object
// the manifest names by digest) read a page at a time, or for a file that is
// one frame, that frame's record from its manifest line alone; the compressed
// object in one request, each frame gathered whole, checked against its SHA-256 and
// only then decoded into "<target>.tmp", on the thread that fetches it. A cut
// answer resumes at the first frame not yet written. Anything that does not
// match (the index, a frame, the decoder's verdict) or is not there hands the
// rest of the file to the raw object, with one line in the log.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "frames/frames.h"
#include "shell/shell.h"
#include "update/update.h"

static const DWORD STATUS_OK = 200;
static const DWORD STATUS_PARTIAL_CONTENT = 206;

struct FrameFetch {
    Transfer transfer;
    const FileFetch* fetch;
    FILE* index;  // the frame index, read a page at a time; NULL for one frame
    FrameIndexHeader header;
    FrameWalk walk;
    uint8_t* pageBytes;  // FRAME_PAGE_RECORDS records as stored
    FrameRecord* page;   // the index's page, or only
    FrameRecord only;    // the frame of a file that is one frame
    uint32_t pageCount;  // records in the page
    uint32_t pageAt;     // the frame being gathered
    uint32_t written;    // frames written
    uint8_t* packed;     // the frame being gathered, largestPacked bytes
    uint32_t gathered;
    uint8_t* decoded;  // largestDecoded bytes
    ZstdDecoder* decoder;
    const char* temporary;
    FILE* stream;
    RunningDigest digest;
    uint64_t receivedBytes;  // of the compressed object, every answer's
    uint64_t writtenBytes;
    uint64_t shown;
    int badFrame;    // a frame that did not match or decode: the raw object takes over
    int writeFailed;
};

static int LoadPage(FrameFetch* frames)
{
    uint32_t left = frames->header.frameCount - frames->walk.read;
    uint32_t count = left < FRAME_PAGE_RECORDS ? left : FRAME_PAGE_RECORDS;
    frames->pageCount = count;
    frames->pageAt = 0;
    return fread(frames->pageBytes, FRAME_RECORD_BYTES, count, frames->index) == count &&
           ReadFramePage(&frames->walk, frames->pageBytes, count, frames->page) == FRAMES_GOOD;
}

// From the first record on: the walk that checks them, and the first page.
static int StartWalk(FrameFetch* frames)
{
    frames->pageAt = 0;
    if (!frames->index)
        return 1;  // one frame, its record at hand
    StartFrameWalk(&frames->walk, &frames->header);
    return fseek(frames->index, (long)FRAME_INDEX_HEADER_BYTES, SEEK_SET) == 0 && LoadPage(frames);
}

// Every record read once before a byte is fetched: the frames must add up to
// the file and to the compressed object.
static FrameIndexVerdict CheckRecords(FrameFetch* frames)
{
    if (!StartWalk(frames))
        return FRAMES_WRONG_FRAME;
    while (frames->walk.read < frames->header.frameCount) {
        if (!LoadPage(frames))
            return FRAMES_WRONG_FRAME;
    }
    FrameIndexVerdict verdict = FinishFrameWalk(&frames->walk);
    return verdict == FRAMES_GOOD && !StartWalk(frames) ? FRAMES_WRONG_FRAME : verdict;
}

static int ReadIndex(FrameFetch* frames, const char* indexName, const IndexListing* listing)
{
    uint8_t head[FRAME_INDEX_HEADER_BYTES];
    uint8_t fileDigest[32];
    FrameIndexVerdict verdict = FRAMES_NOT_AN_INDEX;
    if (OpenStream(&frames->index, indexName, "rb") && ReadDigestHex(frames->fetch->expectedDigest, fileDigest) &&
        fread(head, 1, sizeof head, frames->index) == sizeof head)
        verdict = ReadFrameIndexHeader(head, sizeof head, listing->size, frames->fetch->expectedSize, fileDigest,
                                       &frames->header);
    if (verdict == FRAMES_GOOD)
        verdict = CheckRecords(frames);
    if (verdict == FRAMES_GOOD)
        return 1;
    LogLine("indice de quadros recusado em %s (%s); sigo pelo objeto", frames->fetch->target,
            FrameIndexVerdictText(verdict));
    return 0;
}

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

static int FetchIndex(HINTERNET internet, const FileFetch* fetch, const char* indexUrl, const char* indexTarget,
                      const char* indexDigest, uint32_t indexSize)
{
    FileFetch index = {indexUrl, indexTarget, indexSize, indexDigest, indexSize, KEEP_IN_TEMPORARY, CACHE_ANY,
                       NULL, NULL};
    if (DownloadFile(internet, &index))
        return 1;
    LogLine("quadros indisponiveis em %s; sigo pelo objeto", fetch->target);
    return 0;
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
    char indexDigest[65], indexTarget[MAX_PATH], indexName[MAX_PATH] = "", indexUrl[URL_CAPACITY];
    WriteDigestHex(listing->digest, indexDigest);
    CompressedOutcome outcome = COMPRESSED_NOT_TAKEN;
    FrameFetch frames = {};
    frames.fetch = fetch;
    frames.pageBytes = (uint8_t*)malloc(FRAME_PAGE_RECORDS * FRAME_RECORD_BYTES);
    frames.page = (FrameRecord*)malloc(FRAME_PAGE_RECORDS * sizeof *frames.page);
    if (frames.pageBytes && frames.page &&
        BuildObjectUrl(indexUrl, sizeof indexUrl, baseUrl, objectsFolder, indexDigest) &&
        FrameIndexNameOf(fetch->target, indexTarget, sizeof indexTarget) &&
        TemporaryNameOf(indexTarget, indexName, sizeof indexName) &&
        FetchIndex(internet, fetch, indexUrl, indexTarget, indexDigest, listing->size) &&
        ReadIndex(&frames, indexName, listing))
        outcome = FetchListedFrames(internet, &frames, baseUrl, objectsFolder);
    if (frames.index)
        fclose(frames.index);
    if (indexName[0])
        DeleteFileA(indexName);
    free(frames.pageBytes);
    free(frames.page);
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
