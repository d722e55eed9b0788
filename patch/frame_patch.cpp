// The missing chunks of a patch taken from the file's compressed frames:
// frames hold whole chunks, so the frames that cover a range of missing
// chunks give them back once decoded. Per range the cheaper road is taken:
// the covering frames' compressed bytes (one range of the compressed object,
// less the frame decoded last when it covers the range's start) against the
// range of the raw object. Each frame is checked against its SHA-256 in the
// frame index (whose own digest the manifest gives) before a byte of it is
// decoded, and each chunk taken from it against its record, as from the raw
// object. An index that is not there or does not match, a compressed object
// that is not there, a frame that does not match or decode: one line in the
// log, and the raw object's ranges for the rest of the file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "patch/patch.h"
#include "shell/shell.h"

static const uint32_t NO_FRAME = UINT32_MAX;
// The frame index is fetched whole (its digest is the whole index's): for a
// patch of a few chunks in a large file, or of a file that hardly compresses,
// it would cost more than the frames could save. It is fetched only when what
// the frames may save (the raw bytes the plan fetches, times the share of
// the file that its compressed form saves, from the index's header) is this
// many times the index.
static const uint64_t FRAME_INDEX_PAYBACK = 8;

static int GiveUpFrames(Patch* patch)
{
    patch->frames.state = PATCH_FRAMES_OFF;
    patch->frames.decodedFrame = NO_FRAME;
    return 0;
}

// The index's header alone, by a range: how much the compressed form saves
// decides whether the whole index is worth fetching. (It is read again, and
// checked with the rest, when it is.)
static int FetchFrameHeader(HINTERNET internet, Patch* patch, const char* indexUrl)
{
    uint8_t head[FRAME_INDEX_HEADER_BYTES];
    uint8_t fileDigest[32];
    Collected collected = {head};
    ByteSink sink = {CollectBytes, &collected};
    DWORD refused = 0;
    if (!FetchRange(internet, indexUrl, 0, sizeof head, &sink, &refused))
        return 0;
    patch->frames.indexBytes = sizeof head;
    FrameIndexVerdict verdict =
        ReadDigestHex(patch->file->digest, fileDigest)
            ? ReadFrameIndexHeader(head, sizeof head, patch->file->frameIndexSize, patch->file->size, fileDigest,
                                   &patch->frames.header)
            : FRAMES_OTHER_FILE;
    if (verdict == FRAMES_GOOD)
        return 1;
    LogLine("indice de quadros recusado em %s (%s); remendo por faixas do objeto", patch->file->path,
            FrameIndexVerdictText(verdict));
    return GiveUpFrames(patch);
}

static int FramesMayPay(const Patch* patch)
{
    const FrameIndexHeader* header = &patch->frames.header;
    double saved = (double)(header->fileSize - header->packedSize) / (double)header->fileSize;
    return saved * (double)patch->plannedBytes >= (double)patch->file->frameIndexSize * FRAME_INDEX_PAYBACK;
}

static int FetchFrameIndex(HINTERNET internet, Patch* patch, const char* indexUrl)
{
    PatchFrames* frames = &patch->frames;
    const PatchTarget* file = patch->file;
    if (!FrameIndexNameOf(file->path, frames->indexTarget, sizeof frames->indexTarget) ||
        !TemporaryNameOf(frames->indexTarget, frames->indexName, sizeof frames->indexName))
        return 0;
    FileFetch fetch = {indexUrl, frames->indexTarget, file->frameIndexSize, file->frameIndexDigest,
                       file->frameIndexSize, KEEP_IN_TEMPORARY, CACHE_ANY, NULL, NULL};
    if (!DownloadFile(internet, &fetch))
        return 0;
    frames->indexBytes += file->frameIndexSize;
    return 1;
}

// The records a page at a time (through the patch's window), each checked
// against the frames before it; then the totals.
static FrameIndexVerdict ReadFrameRecords(PatchFrames* frames, FILE* index)
{
    FrameWalk walk;
    StartFrameWalk(&walk, &frames->header);
    for (uint32_t read = 0; read < frames->header.frameCount;) {
        uint32_t left = frames->header.frameCount - read;
        uint32_t count = left < FRAME_PAGE_RECORDS ? left : FRAME_PAGE_RECORDS;
        if (fread(PatchWindow, FRAME_RECORD_BYTES, count, index) != count)
            return FRAMES_WRONG_SIZE;
        FrameIndexVerdict verdict = ReadFramePage(&walk, PatchWindow, count, frames->frames + read);
        if (verdict != FRAMES_GOOD)
            return verdict;
        read += count;
    }
    return FinishFrameWalk(&walk);
}

static FrameIndexVerdict ReadFrameIndex(Patch* patch)
{
    PatchFrames* frames = &patch->frames;
    uint8_t head[FRAME_INDEX_HEADER_BYTES];
    uint8_t fileDigest[32];
    FILE* index = NULL;
    FrameIndexVerdict verdict = FRAMES_NOT_AN_INDEX;
    if (OpenStream(&index, frames->indexName, "rb") && ReadDigestHex(patch->file->digest, fileDigest) &&
        fread(head, 1, sizeof head, index) == sizeof head)
        verdict = ReadFrameIndexHeader(head, sizeof head, patch->file->frameIndexSize, patch->file->size,
                                       fileDigest, &frames->header);
    if (verdict == FRAMES_GOOD && frames->header.frameCount > MostChunksOf(patch->file->size))
        verdict = FRAMES_WRONG_HEADER;  // frames are runs of whole chunks
    if (verdict == FRAMES_GOOD && frames->header.frameCount <= SIZE_MAX / sizeof *frames->frames)  // 32-bit size_t
        frames->frames = (FrameRecord*)malloc((size_t)frames->header.frameCount * sizeof *frames->frames);
    if (verdict == FRAMES_GOOD)
        verdict = frames->frames ? ReadFrameRecords(frames, index) : FRAMES_WRONG_SIZE;
    if (index)
        fclose(index);
    return verdict;
}

static int TakeFrameBuffers(Patch* patch)
{
    PatchFrames* frames = &patch->frames;
    char packedDigest[65];
    WriteDigestHex(frames->header.packedDigest, packedDigest);
    frames->packed = (uint8_t*)malloc(frames->header.largestPacked);
    frames->decoded = (uint8_t*)malloc(frames->header.largestDecoded);
    frames->decoder = (ZstdDecoder*)malloc(sizeof *frames->decoder);
    if (!frames->packed || !frames->decoded || !frames->decoder ||
        !BuildObjectUrl(frames->packedUrl, sizeof frames->packedUrl, patch->file->baseUrl,
                        patch->file->objectsFolder, packedDigest))
        return 0;
    SetUpZstdDecoder(frames->decoder);
    frames->decodedFrame = NO_FRAME;
    return 1;
}

// The frame index fetched and read once, at the first range of chunks; 1 while the frames may serve.
static int FramesReady(HINTERNET internet, Patch* patch)
{
    PatchFrames* frames = &patch->frames;
    if (frames->state != PATCH_FRAMES_UNTRIED || !patch->file->frameIndexDigest)
        return frames->state == PATCH_FRAMES_READY;
    const PatchTarget* file = patch->file;
    char indexUrl[URL_CAPACITY];
    if ((uint64_t)file->frameIndexSize * FRAME_INDEX_PAYBACK > patch->plannedBytes ||
        !BuildObjectUrl(indexUrl, sizeof indexUrl, file->baseUrl, file->objectsFolder, file->frameIndexDigest))
        return GiveUpFrames(patch);  // the frames could not save what the index costs
    if (!FetchFrameHeader(internet, patch, indexUrl)) {
        if (frames->state == PATCH_FRAMES_UNTRIED)  // not refused: not there
            LogLine("quadros indisponiveis em %s; remendo por faixas do objeto", file->path);
        return GiveUpFrames(patch);
    }
    if (!FramesMayPay(patch))
        return GiveUpFrames(patch);
    if (!FetchFrameIndex(internet, patch, indexUrl)) {
        LogLine("quadros indisponiveis em %s; remendo por faixas do objeto", file->path);
        return GiveUpFrames(patch);
    }
    FrameIndexVerdict verdict = ReadFrameIndex(patch);
    if (verdict != FRAMES_GOOD) {
        LogLine("indice de quadros recusado em %s (%s); remendo por faixas do objeto", file->path,
                FrameIndexVerdictText(verdict));
        return GiveUpFrames(patch);
    }
    if (!TakeFrameBuffers(patch))
        return GiveUpFrames(patch);
    frames->state = PATCH_FRAMES_READY;
    return 1;
}

// The frame that holds the file's byte at.
static uint32_t FrameHolding(const PatchFrames* frames, uint64_t at)
{
    const FrameRecord* begin = frames->frames;
    const FrameRecord* end = begin + frames->header.frameCount;
    const FrameRecord* after = std::upper_bound(
        begin, end, at, [](uint64_t offset, const FrameRecord& frame) { return offset < frame.decodedOffset; });
    return (uint32_t)(after - begin) - 1;  // the first frame starts at 0
}

// The decoded frame's bytes from patch->written up to end (or its own end) into the arrival.
static int HandOn(Patch* patch, Arrival* arrival, uint64_t end)
{
    const FrameRecord* frame = &patch->frames.frames[patch->frames.decodedFrame];
    uint64_t frameEnd = frame->decodedOffset + frame->decodedLength;
    uint64_t stop = end < frameEnd ? end : frameEnd;
    if (patch->written >= stop)
        return 1;
    const uint8_t* from = patch->frames.decoded + (patch->written - frame->decodedOffset);
    return TakeArrival(arrival, (const char*)from, (DWORD)(stop - patch->written));
}

// The frames of one range of the compressed object as they arrive: each
// gathered whole, checked, decoded and handed on.
struct Gathering {
    Patch* patch;
    Arrival* arrival;
    uint64_t end;      // of the chunks, in the file
    uint32_t frame;    // being gathered
    uint32_t gathered; // of its bytes
    int badFrame;
};

// A frame gathered whole: its SHA-256, then its bytes as the file holds them.
static int UnpackFrame(PatchFrames* frames, uint32_t index)
{
    const FrameRecord* frame = &frames->frames[index];
    frames->decodedFrame = NO_FRAME;  // a refused frame may leave anything in the buffer
    const uint8_t* bytes = ProvenFrameBytes(frames->decoder, frame, frames->packed, frames->decoded);
    if (!bytes)
        return 0;
    if (bytes != frames->decoded)  // a stored frame: kept while the next frame is gathered
        memcpy(frames->decoded, bytes, frame->packedLength);
    frames->decodedFrame = index;
    return 1;
}

static int TakeFrameBytes(void* context, const char* bytes, DWORD count)
{
    Gathering* gathering = (Gathering*)context;
    PatchFrames* frames = &gathering->patch->frames;
    gathering->patch->fetchedBytes += count;
    while (count > 0) {
        const FrameRecord* frame = &frames->frames[gathering->frame];
        uint32_t wanted = frame->packedLength - gathering->gathered;
        uint32_t taken = count < wanted ? count : wanted;
        memcpy(frames->packed + gathering->gathered, bytes, taken);
        gathering->gathered += taken;
        bytes += taken;
        count -= taken;
        if (gathering->gathered < frame->packedLength)
            continue;
        if (!UnpackFrame(frames, gathering->frame)) {
            gathering->badFrame = 1;
            return 0;
        }
        if (!HandOn(gathering->patch, gathering->arrival, gathering->end))
            return 0;
        gathering->frame++;
        gathering->gathered = 0;
    }
    return 1;
}

// Frames [first, last] in one range of the compressed object.
static FromFrames FetchFrames(HINTERNET internet, Patch* patch, Arrival* arrival, uint64_t end, uint32_t first,
                              uint32_t last)
{
    PatchFrames* frames = &patch->frames;
    const FrameRecord* from = &frames->frames[first];
    uint64_t length = frames->frames[last].packedOffset + frames->frames[last].packedLength - from->packedOffset;
    Gathering gathering = {patch, arrival, end, first, 0, 0};
    ByteSink sink = {TakeFrameBytes, &gathering};
    DWORD refused = 0;
    if (FetchRange(internet, frames->packedUrl, from->packedOffset, length, &sink, &refused))
        return FROM_FRAMES_DONE;
    if (gathering.badFrame) {
        LogLine("quadro %lu nao confere em %s; remendo por faixas do objeto", (unsigned long)gathering.frame,
                patch->file->path);
        GiveUpFrames(patch);
        return FROM_FRAMES_NOT_TAKEN;  // what the frames before it gave is written and checked
    }
    if (refused >= 400) {
        LogLine("objeto comprimido indisponivel (HTTP %lu) em %s; remendo por faixas do objeto", refused,
                patch->file->path);
        GiveUpFrames(patch);
        return FROM_FRAMES_NOT_TAKEN;
    }
    RefuseRange(patch, refused, "transferencia interrompida");
    return FROM_FRAMES_FAILED;
}

FromFrames TakeFromFrames(HINTERNET internet, Patch* patch, Arrival* arrival, uint64_t end)
{
    if (patch->written >= end || !FramesReady(internet, patch))
        return FROM_FRAMES_NOT_TAKEN;
    PatchFrames* frames = &patch->frames;
    uint32_t first = FrameHolding(frames, patch->written);
    uint32_t last = FrameHolding(frames, end - 1);
    uint32_t fetchFirst = first == frames->decodedFrame ? first + 1 : first;
    uint64_t cost = fetchFirst > last ? 0
                                      : frames->frames[last].packedOffset + frames->frames[last].packedLength -
                                            frames->frames[fetchFirst].packedOffset;
    if (cost >= end - patch->written)
        return FROM_FRAMES_NOT_TAKEN;
    if (first != fetchFirst && !HandOn(patch, arrival, end))
        return FROM_FRAMES_FAILED;
    return fetchFirst > last ? FROM_FRAMES_DONE : FetchFrames(internet, patch, arrival, end, fetchFirst, last);
}

void ReleasePatchFrames(Patch* patch)
{
    PatchFrames* frames = &patch->frames;
    free(frames->frames);
    free(frames->packed);
    free(frames->decoded);
    free(frames->decoder);
    if (frames->indexName[0])
        DeleteFileA(frames->indexName);  // never left in the game folder
}
