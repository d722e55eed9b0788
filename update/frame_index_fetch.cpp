// The frame index of a file fetched compressed: an object the manifest names
// by digest, judged whole by that digest before any record is read, then
// every record checked against the header and the frames before it. Most
// indexes hold one page of records or less (a file of up to about 64 MB in
// 64 KB frames): those come into memory in one request, with no temporary
// file to make, read back and delete (under Wine that was about half of what
// a compressed file cost more than its raw object). A larger one goes to its
// temporary file and is read a page at a time, in bounded memory.
#include <stdlib.h>
#include <string.h>

#include "shell/shell.h"
#include "update/frame_fetch.h"

static const DWORD STATUS_OK = 200;
// The largest index read in memory: its header and one page of records.
static const uint32_t SMALL_INDEX_BYTES = FRAME_INDEX_HEADER_BYTES + FRAME_PAGE_RECORDS * FRAME_RECORD_BYTES;

int LoadPage(FrameFetch* frames)
{
    uint32_t left = frames->header.frameCount - frames->walk.read;
    uint32_t count = left < FRAME_PAGE_RECORDS ? left : FRAME_PAGE_RECORDS;
    frames->pageCount = count;
    frames->pageAt = 0;
    return frames->index && fread(frames->pageBytes, FRAME_RECORD_BYTES, count, frames->index) == count &&
           ReadFramePage(&frames->walk, frames->pageBytes, count, frames->page) == FRAMES_GOOD;
}

int StartWalk(FrameFetch* frames)
{
    frames->pageAt = 0;
    if (!frames->index)
        return 1;  // every record at hand in the page
    StartFrameWalk(&frames->walk, &frames->header);
    return fseek(frames->index, (long)FRAME_INDEX_HEADER_BYTES, SEEK_SET) == 0 && LoadPage(frames);
}

// A large index: every record read once before a byte is fetched, the frames
// adding up to the file and to the compressed object; then back to the first.
static FrameIndexVerdict CheckPages(FrameFetch* frames)
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

// A small index, all in pageBytes: its records into the page at once.
static FrameIndexVerdict CheckAllRecords(FrameFetch* frames)
{
    StartFrameWalk(&frames->walk, &frames->header);
    frames->pageCount = frames->header.frameCount;
    frames->pageAt = 0;
    FrameIndexVerdict verdict = ReadFramePage(&frames->walk, frames->pageBytes + FRAME_INDEX_HEADER_BYTES,
                                              frames->header.frameCount, frames->page);
    return verdict == FRAMES_GOOD ? FinishFrameWalk(&frames->walk) : verdict;
}

static FrameIndexVerdict ReadIndex(FrameFetch* frames, const uint8_t* head, const IndexListing* listing)
{
    uint8_t fileDigest[32];
    if (!ReadDigestHex(frames->fetch->expectedDigest, fileDigest))
        return FRAMES_OTHER_FILE;
    FrameIndexVerdict verdict = ReadFrameIndexHeader(head, FRAME_INDEX_HEADER_BYTES, listing->size,
                                                     frames->fetch->expectedSize, fileDigest, &frames->header);
    if (verdict != FRAMES_GOOD)
        return verdict;
    return frames->index ? CheckPages(frames) : CheckAllRecords(frames);
}

// A small index's bytes as they arrive, never beyond its listed size.
struct IndexArrival {
    uint8_t* bytes;
    uint32_t size;
    uint32_t have;
};

static int TakeIndexBytes(void* context, const char* bytes, DWORD count)
{
    IndexArrival* arrival = (IndexArrival*)context;
    if (count > arrival->size - arrival->have)
        return 0;
    memcpy(arrival->bytes + arrival->have, bytes, count);
    arrival->have += count;
    return 1;
}

// The whole object in a 200 (a broken answer is asked again from the start).
static TransferEnd ReceiveIndex(ByteSource* source, Transfer* transfer)
{
    IndexArrival* arrival = (IndexArrival*)transfer->context;
    if (transfer->status >= 400) {
        LogLine("HTTP %lu em %s", transfer->status, transfer->url);
        return TRANSFER_REFUSED;
    }
    if (transfer->status != STATUS_OK)
        return TRANSFER_FAILED;
    arrival->have = 0;
    ByteSink sink = {TakeIndexBytes, arrival};
    uint64_t received = 0;
    return ReadBody(source, transfer, &sink, &received);
}

// A small index into pageBytes, judged by the digest its line gives.
static int FetchSmallIndex(HINTERNET internet, FrameFetch* frames, const IndexListing* listing, const char* url)
{
    IndexArrival arrival = {frames->pageBytes, listing->size, 0};
    Transfer transfer = {url, CACHE_ANY, 0, 0, 0, listing->size, NULL, ReceiveIndex, &arrival, 0, 0,
                         GetTickCount(), NULL};
    if (TransferWithRetries(internet, &transfer) != TRANSFER_COMPLETE || arrival.have != listing->size)
        return 0;
    Sha256 sha;
    uint8_t obtained[32];
    char expectedText[65], obtainedText[65];
    Sha256Start(&sha);
    Sha256Add(&sha, arrival.bytes, arrival.have);
    Sha256Finish(&sha, obtained);
    if (memcmp(obtained, listing->digest, sizeof obtained) == 0)
        return 1;
    WriteDigestHex(listing->digest, expectedText);
    WriteDigestHex(obtained, obtainedText);
    LogLine("hash nao confere no indice de quadros de %s (esperado %s, obtido %s)", frames->fetch->target,
            expectedText, obtainedText);
    return 0;
}

// A large index into its temporary file, judged there by the download.
static int FetchLargeIndex(HINTERNET internet, FrameFetch* frames, const IndexListing* listing, const char* url)
{
    char indexDigest[65], indexTarget[MAX_PATH];
    WriteDigestHex(listing->digest, indexDigest);
    if (!FrameIndexNameOf(frames->fetch->target, indexTarget, sizeof indexTarget) ||
        !TemporaryNameOf(indexTarget, frames->indexName, sizeof frames->indexName))
        return 0;
    FileFetch index = {url,        indexTarget, listing->size, indexDigest, listing->size, KEEP_IN_TEMPORARY,
                       CACHE_ANY, NULL,        NULL};
    return DownloadFile(internet, &index) && OpenStream(&frames->index, frames->indexName, "rb");
}

int TakeFrameIndex(HINTERNET internet, FrameFetch* frames, const IndexListing* listing, const char* indexUrl)
{
    int small = listing->size <= SMALL_INDEX_BYTES;
    uint8_t head[FRAME_INDEX_HEADER_BYTES];
    frames->pageBytes = (uint8_t*)malloc(SMALL_INDEX_BYTES);
    frames->page = (FrameRecord*)malloc(FRAME_PAGE_RECORDS * sizeof *frames->page);
    if (!frames->pageBytes || !frames->page)
        return 0;
    if (!(small ? FetchSmallIndex(internet, frames, listing, indexUrl)
                : FetchLargeIndex(internet, frames, listing, indexUrl))) {
        LogLine("quadros indisponiveis em %s; sigo pelo objeto", frames->fetch->target);
        return 0;
    }
    if (small)
        memcpy(head, frames->pageBytes, sizeof head);
    FrameIndexVerdict verdict =
        small || fread(head, 1, sizeof head, frames->index) == sizeof head ? ReadIndex(frames, head, listing)
                                                                             : FRAMES_NOT_AN_INDEX;
    if (verdict == FRAMES_GOOD)
        return 1;
    LogLine("indice de quadros recusado em %s (%s); sigo pelo objeto", frames->fetch->target,
            FrameIndexVerdictText(verdict));
    return 0;
}

void ReleaseFrameIndex(FrameFetch* frames)
{
    if (frames->index)
        fclose(frames->index);
    frames->index = NULL;
    if (frames->indexName[0])
        DeleteFileA(frames->indexName);
    free(frames->pageBytes);
    free(frames->page);
}
