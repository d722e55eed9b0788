// A compressed file that an earlier run (or the raw road) left half-fetched
// in "<target>.tmp" goes on from there instead of from its first byte: the
// whole frames the temporary file holds are kept, read back once into the
// file's running digest (the finished file is still judged whole by it), the
// file is cut back to the last of them, and the compressed object is asked
// from the first frame it lacks. A held file no shorter than the listed one
// is not continued, as on the raw road; nor is a file of one frame, whose
// frame is gathered whole anyway.
#include <io.h>
#include <stdio.h>

#include "shell/shell.h"
#include "update/frame_fetch.h"

// Moves the walk to the first frame that the held bytes do not hold whole
// (never past the last frame); 0 when the index could not be read again.
static int SkipHeldFrames(FrameFetch* frames, uint64_t held)
{
    if (!StartWalk(frames))
        return 0;
    while (frames->written + 1 < frames->header.frameCount) {
        const FrameRecord* frame = &frames->page[frames->pageAt];
        if (frame->decodedOffset + frame->decodedLength > held)
            break;
        frames->written++;
        frames->pageAt++;
        if (frames->pageAt == frames->pageCount && !LoadPage(frames))
            return 0;
    }
    return 1;
}

// The first kept bytes of the open temporary file into the running digest,
// the rest cut off; the stream then stands where the next frame goes.
static int KeepHeldBytes(FrameFetch* frames, FILE* stream, uint64_t kept)
{
    if (!StartRunningDigest(&frames->digest))
        return 0;
    for (uint64_t read = 0; read < kept;) {
        uint64_t left = kept - read;
        size_t step = left < frames->header.largestDecoded ? (size_t)left : frames->header.largestDecoded;
        if (fread(frames->decoded, 1, step, stream) != step ||
            !AddToRunningDigest(&frames->digest, frames->decoded, (DWORD)step))
            return 0;
        read += step;
    }
    return fflush(stream) == 0 && _chsize_s(_fileno(stream), (__int64)kept) == 0 &&
           _fseeki64(stream, (__int64)kept, SEEK_SET) == 0;
}

void TakeHeldFrames(FrameFetch* frames)
{
    uint64_t held = frames->header.frameCount > 1 ? SizeOnDisk(frames->temporary) : 0;
    if (held == 0 || held >= frames->fetch->expectedSize || !SkipHeldFrames(frames, held) || frames->written == 0) {
        frames->written = 0;
        return;
    }
    const FrameRecord* next = &frames->page[frames->pageAt];
    FILE* stream = fopen(frames->temporary, "r+b");
    if (!stream || !KeepHeldBytes(frames, stream, next->decodedOffset)) {
        if (stream)
            fclose(stream);
        EndRunningDigest(&frames->digest);
        frames->written = 0;
        return;  // from the first frame, as if nothing were held
    }
    frames->stream = stream;
    frames->writtenBytes = next->decodedOffset;
    frames->shown = 0;
    frames->transfer.held = next->packedOffset;
}
