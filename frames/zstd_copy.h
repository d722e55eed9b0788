// The copies of sequence execution, 16 bytes at a time where the output
// has room for the overrun (what is written beyond a copy's end is written
// over by the next one), byte by byte near the output's end.
#pragma once
#include <string.h>

#include "frames/frames.h"

static const size_t COPY_STEP = 16;

static inline void Copy16(uint8_t* to, const uint8_t* from)
{
    memcpy(to, from, COPY_STEP);
}

// Literals from the workspace, whose slack allows reading 16 bytes beyond them.
static inline void CopyLiterals(uint8_t* op, const uint8_t* literal, size_t length, const uint8_t* outEnd)
{
    if ((size_t)(outEnd - op) - length < COPY_STEP) {
        memcpy(op, literal, length);
        return;
    }
    for (size_t done = 0; done < length; done += COPY_STEP)
        Copy16(op + done, literal + done);
}

// A match of length bytes from offset bytes back (offset <= what is written).
// A short offset repeats a pattern: once 16 bytes of it are written byte by
// byte, a whole number of periods of at least 16 bytes back holds the same
// bytes, and the rest copies 16 at a time from there.
static inline void CopyMatch(uint8_t* op, size_t offset, size_t length, const uint8_t* outEnd)
{
    const uint8_t* match = op - offset;
    if ((size_t)(outEnd - op) - length < COPY_STEP) {
        for (size_t i = 0; i < length; i++)
            op[i] = match[i];
        return;
    }
    if (offset == 1) {
        memset(op, match[0], length);
        return;
    }
    size_t distance = offset, done = 0;
    if (offset < COPY_STEP) {
        for (; done < COPY_STEP; done++)
            op[done] = match[done];
        distance = offset * ((COPY_STEP + offset - 1) / offset);
    }
    for (; done < length; done += COPY_STEP)
        Copy16(op + done, op + done - distance);
}
