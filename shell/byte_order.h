// Little-endian words in the launcher's own formats (the chunk index, the
// frame index) and in Zstandard frames, at any offset. One load or store each:
// the launcher and the native tools alike run on little-endian x86, and the
// decoder's bit reader reads a word per refill. No Windows headers.
#pragma once
#include <stdint.h>
#include <string.h>

static inline uint32_t ReadLittle32(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

static inline uint64_t ReadLittle64(const uint8_t* at)
{
    uint64_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

static inline void WriteLittle32(uint8_t* at, uint32_t value)
{
    memcpy(at, &value, sizeof value);
}

static inline void WriteLittle64(uint8_t* at, uint64_t value)
{
    memcpy(at, &value, sizeof value);
}
