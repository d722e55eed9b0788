// Inside the update room: a file fetched as its compressed object (the frames
// and their decoding in compressed_fetch.cpp, the frame index that lists
// them in frame_index_fetch.cpp).
#pragma once
#include <stdio.h>

#include "frames/frames.h"
#include "update/update.h"

struct FrameFetch {
    Transfer transfer;
    const FileFetch* fetch;
    FILE* index;  // a large frame index, read a page at a time; NULL when every record is in page
    char indexName[MAX_PATH];  // its temporary file, "" when none
    FrameIndexHeader header;
    FrameWalk walk;
    uint8_t* pageBytes;  // FRAME_PAGE_RECORDS records as stored (a small index whole)
    FrameRecord* page;   // the index's page (a small one's every record), or only
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

// The index the listing names, fetched and every record checked before a
// byte of the compressed object is asked for: a small index (one page of
// records) fetched into pageBytes and read from there, a larger one into its
// temporary file beside the target and read a page at a time. 0, logged,
// when it is not there or does not read: the raw object takes over.
int TakeFrameIndex(HINTERNET internet, FrameFetch* frames, const IndexListing* listing, const char* indexUrl);
// From the first record on again (a transfer that starts over).
int StartWalk(FrameFetch* frames);
// The next page of a large index, checked against the records before it.
int LoadPage(FrameFetch* frames);
// Before the first request: the whole frames that "<target>.tmp" already
// holds (an earlier run's, or the raw road's) kept and read into the
// digest, and the transfer set to ask from the first frame it lacks.
void TakeHeldFrames(FrameFetch* frames);
// The index's buffers and temporary file let go.
void ReleaseFrameIndex(FrameFetch* frames);
