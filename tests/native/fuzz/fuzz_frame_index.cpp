// libFuzzer target: any bytes as a fetched frame index, checked against the
// file that the index itself names and the size it has (so the walk is
// reached), read in pages of a size the first byte picks. An index found good
// must give frames that follow one another and add up to the file and the
// compressed object, none beyond what a decoder holds.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "frames/frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t digest[32] = {0};
    uint64_t fileSize = 0;
    if (size >= FRAME_INDEX_HEADER_BYTES) {
        memcpy(digest, data + 20, 32);
        for (int i = 7; i >= 0; i--)
            fileSize = fileSize << 8 | data[12 + i];
    }
    FrameIndexHeader header;
    if (size > UINT32_MAX || ReadFrameIndexHeader(data, size, (uint32_t)size, fileSize, digest, &header) != FRAMES_GOOD)
        return 0;
    if (size != FRAME_INDEX_HEADER_BYTES + (size_t)header.frameCount * FRAME_RECORD_BYTES)
        __builtin_trap();
    const uint32_t pageRecords = 1 + data[0] % FRAME_PAGE_RECORDS;
    std::vector<FrameRecord> page(pageRecords);
    FrameWalk walk;
    StartFrameWalk(&walk, &header);
    uint64_t packed = 0, decoded = 0;
    for (uint32_t at = 0; at < header.frameCount; at += pageRecords) {
        uint32_t count = header.frameCount - at < pageRecords ? header.frameCount - at : pageRecords;
        if (ReadFramePage(&walk, data + FRAME_INDEX_HEADER_BYTES + (size_t)at * FRAME_RECORD_BYTES, count,
                          page.data()) != FRAMES_GOOD)
            return 0;
        for (uint32_t i = 0; i < count; i++) {
            const FrameRecord& frame = page[i];
            if (frame.packedOffset != packed || frame.decodedOffset != decoded || frame.decodedLength == 0 ||
                frame.decodedLength > FRAME_MOST_DECODED_BYTES || frame.packedLength > frame.decodedLength ||
                (frame.flags == FRAME_STORED) != (frame.packedLength == frame.decodedLength))
                __builtin_trap();
            packed += frame.packedLength;
            decoded += frame.decodedLength;
        }
    }
    if (FinishFrameWalk(&walk) == FRAMES_GOOD && (packed != header.packedSize || decoded != header.fileSize))
        __builtin_trap();
    return 0;
}
