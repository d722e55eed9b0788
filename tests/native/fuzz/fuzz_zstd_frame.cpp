// libFuzzer target: any bytes as a Zstandard frame, decoded into a buffer of
// 512 KB and into one of 64 bytes. A frame found good never says it wrote
// more than the buffer holds; the sanitizers see any read or write beyond.
#include <stdint.h>
#include <stdlib.h>

#include "frames/frames.h"

static const size_t LARGE_CAPACITY = 512u << 10, SMALL_CAPACITY = 64;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static ZstdDecoder* decoder;
    static uint8_t* large;
    if (!decoder) {
        decoder = (ZstdDecoder*)malloc(sizeof *decoder);
        SetUpZstdDecoder(decoder);
        large = (uint8_t*)malloc(LARGE_CAPACITY);
    }
    uint8_t* small = (uint8_t*)malloc(SMALL_CAPACITY);
    size_t length = 0;
    if (DecodeZstdFrame(decoder, data, size, large, LARGE_CAPACITY, &length) == ZSTD_DECODED &&
        length > LARGE_CAPACITY)
        __builtin_trap();
    if (DecodeZstdFrame(decoder, data, size, small, SMALL_CAPACITY, &length) == ZSTD_DECODED &&
        length > SMALL_CAPACITY)
        __builtin_trap();
    free(small);
    return 0;
}
