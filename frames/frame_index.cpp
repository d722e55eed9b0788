// The frame index as the launcher reads it: the header against the manifest's
// lines, then the records a page at a time, each checked against the frames
// before it, so nothing out of bounds ever reaches a fetch or a decoder. Sums
// are kept in 64 bits and every length is bounded before it is added: nothing
// wraps, on the 32-bit build either. No Windows headers.
#include <string.h>

#include "frames/frames.h"
#include "shell/byte_order.h"

static const char FRAME_INDEX_MAGIC[8] = {'Q', 'R', 'V', 'Q', 'U', 'A', 'D', 'R'};

static void ReadHeaderFields(const uint8_t* head, FrameIndexHeader* header)
{
    header->fileSize = ReadLittle64(head + 12);
    memcpy(header->fileDigest, head + 20, 32);
    memcpy(header->packedDigest, head + 52, 32);
    header->packedSize = ReadLittle64(head + 84);
    header->frameCount = ReadLittle32(head + 92);
    header->largestDecoded = ReadLittle32(head + 96);
    header->largestPacked = ReadLittle32(head + 100);
}

// Counts and bounds that some frames could meet: at least one frame (an
// empty file has no compressed form), no frame longer than a decoder holds,
// none compressed longer than it decodes, and as many frames as the file's
// bytes could fill at most.
static int HeaderHolds(const FrameIndexHeader* header)
{
    return header->frameCount > 0 && header->largestDecoded > 0 &&
           header->largestDecoded <= FRAME_MOST_DECODED_BYTES && header->largestPacked > 0 &&
           header->largestPacked <= header->largestDecoded && header->packedSize <= header->fileSize &&
           header->frameCount <= header->fileSize &&
           header->fileSize <= (uint64_t)header->frameCount * header->largestDecoded;
}

FrameIndexVerdict ReadFrameIndexHeader(const uint8_t* head, size_t length, uint32_t listedIndexSize,
                                       uint64_t listedFileSize, const uint8_t listedFileDigest[32],
                                       FrameIndexHeader* header)
{
    if (length < FRAME_INDEX_HEADER_BYTES || memcmp(head, FRAME_INDEX_MAGIC, sizeof FRAME_INDEX_MAGIC) != 0)
        return FRAMES_NOT_AN_INDEX;
    if (ReadLittle32(head + 8) != FRAME_INDEX_VERSION)
        return FRAMES_UNKNOWN_VERSION;
    ReadHeaderFields(head, header);
    if ((uint64_t)listedIndexSize != FRAME_INDEX_HEADER_BYTES + (uint64_t)header->frameCount * FRAME_RECORD_BYTES)
        return FRAMES_WRONG_SIZE;
    if (header->fileSize != listedFileSize || memcmp(header->fileDigest, listedFileDigest, 32) != 0)
        return FRAMES_OTHER_FILE;
    return HeaderHolds(header) ? FRAMES_GOOD : FRAMES_WRONG_HEADER;
}

FrameIndexVerdict OneFrameIndex(const uint8_t packedDigest[32], uint32_t packedSize, uint64_t fileSize,
                                const uint8_t fileDigest[32], FrameIndexHeader* header, FrameRecord* frame)
{
    header->fileSize = fileSize;
    memcpy(header->fileDigest, fileDigest, 32);
    memcpy(header->packedDigest, packedDigest, 32);
    header->packedSize = packedSize;
    header->frameCount = 1;
    header->largestDecoded = fileSize <= FRAME_MOST_DECODED_BYTES ? (uint32_t)fileSize : 0;
    header->largestPacked = packedSize;
    if (!HeaderHolds(header) || packedSize >= fileSize)
        return FRAMES_WRONG_HEADER;  // a stored frame would be the raw object again
    frame->packedOffset = 0;
    frame->decodedOffset = 0;
    frame->packedLength = packedSize;
    frame->decodedLength = (uint32_t)fileSize;
    frame->flags = 0;
    memcpy(frame->digest, packedDigest, 32);
    return FRAMES_GOOD;
}

void StartFrameWalk(FrameWalk* walk, const FrameIndexHeader* header)
{
    walk->header = *header;
    walk->read = 0;
    walk->packedOffset = 0;
    walk->decodedOffset = 0;
}

static void ReadRecord(const uint8_t* record, FrameRecord* frame)
{
    frame->packedOffset = ReadLittle64(record);
    frame->packedLength = ReadLittle32(record + 8);
    frame->decodedLength = ReadLittle32(record + 12);
    frame->flags = ReadLittle32(record + 16);
    memcpy(frame->digest, record + 20, 32);
}

// A frame where the one before it ended, within the header's largest, inside
// both totals; stored frames as long as they decode, compressed ones shorter.
static int FrameFits(const FrameWalk* walk, const FrameRecord* frame)
{
    const FrameIndexHeader* header = &walk->header;
    if (frame->packedOffset != walk->packedOffset || frame->decodedLength == 0 ||
        frame->decodedLength > header->largestDecoded || frame->packedLength == 0 ||
        frame->packedLength > header->largestPacked || (frame->flags & ~FRAME_STORED) != 0)
        return 0;
    if (frame->flags == FRAME_STORED ? frame->packedLength != frame->decodedLength
                                     : frame->packedLength >= frame->decodedLength)
        return 0;
    return frame->packedLength <= header->packedSize - walk->packedOffset &&
           frame->decodedLength <= header->fileSize - walk->decodedOffset;
}

FrameIndexVerdict ReadFramePage(FrameWalk* walk, const uint8_t* records, uint32_t count, FrameRecord* frames)
{
    if (count > FRAME_PAGE_RECORDS || count > walk->header.frameCount - walk->read)
        return FRAMES_WRONG_SIZE;
    for (uint32_t i = 0; i < count; i++) {
        FrameRecord* frame = &frames[i];
        ReadRecord(records + (size_t)i * FRAME_RECORD_BYTES, frame);
        if (!FrameFits(walk, frame))
            return FRAMES_WRONG_FRAME;
        frame->decodedOffset = walk->decodedOffset;
        walk->packedOffset += frame->packedLength;
        walk->decodedOffset += frame->decodedLength;
        walk->read++;
    }
    return FRAMES_GOOD;
}

FrameIndexVerdict FinishFrameWalk(const FrameWalk* walk)
{
    const FrameIndexHeader* header = &walk->header;
    return walk->read == header->frameCount && walk->packedOffset == header->packedSize &&
                   walk->decodedOffset == header->fileSize
               ? FRAMES_GOOD
               : FRAMES_WRONG_TOTALS;
}

const char* FrameIndexVerdictText(FrameIndexVerdict verdict)
{
    switch (verdict) {
    case FRAMES_GOOD:
        return "bom";
    case FRAMES_NOT_AN_INDEX:
        return "nao e um indice de quadros";
    case FRAMES_UNKNOWN_VERSION:
        return "versao desconhecida";
    case FRAMES_WRONG_SIZE:
        return "tamanho nao confere";
    case FRAMES_OTHER_FILE:
        return "indice de outro arquivo";
    case FRAMES_WRONG_HEADER:
        return "cabecalho invalido";
    case FRAMES_WRONG_FRAME:
        return "quadro invalido";
    case FRAMES_WRONG_TOTALS:
        return "quadros nao somam o arquivo";
    }
    return "?";
}
