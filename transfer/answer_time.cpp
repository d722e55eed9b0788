// How long an answer that must arrive whole may take. No Windows headers.
#include "transfer/transfer.h"

// A second more per this many bytes announced: 100 KB/s, which any line that
// can download a game gives.
static const uint64_t BYTES_PER_EXTRA_SECOND = 100 * 1024;
static const uint64_t MS_PER_SECOND = 1000;

uint32_t AnswerWithinMs(uint32_t withinMs, uint64_t announced)
{
    uint64_t extra = announced / BYTES_PER_EXTRA_SECOND * MS_PER_SECOND +
                     announced % BYTES_PER_EXTRA_SECOND * MS_PER_SECOND / BYTES_PER_EXTRA_SECOND;
    uint64_t allowed = withinMs + extra;
    return allowed < UINT32_MAX ? (uint32_t)allowed : UINT32_MAX;
}
