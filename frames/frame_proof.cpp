// A frame's bytes turned back only once they are proven: the whole-file
// road and the patch road both gather a frame, then ask here.
#include <string.h>

#include "frames/frames.h"
#include "transfer/transfer.h"

const uint8_t* ProvenFrameBytes(ZstdDecoder* decoder, const FrameRecord* frame, const uint8_t* packed,
                                uint8_t* decoded)
{
    uint8_t digest[32];
    Sha256 sha;
    Sha256Start(&sha);
    Sha256Add(&sha, packed, frame->packedLength);
    Sha256Finish(&sha, digest);
    if (memcmp(digest, frame->digest, sizeof digest) != 0)
        return NULL;
    if (frame->flags & FRAME_STORED)
        return packed;
    size_t length = 0;
    int whole = DecodeZstdFrame(decoder, packed, frame->packedLength, decoded, frame->decodedLength, &length) ==
                    ZSTD_DECODED &&
                length == frame->decodedLength;
    return whole ? decoded : NULL;
}
