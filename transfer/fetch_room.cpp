// The room on the disk that fetching a run's files takes at its peak. No
// Windows headers.
#include "transfer/transfer.h"

// Sizes reach 2^63 - 1 each: sums stop at the ends of the range rather than wrap.
static int64_t Plus(int64_t a, int64_t b)
{
    if (b > 0 && a > INT64_MAX - b)
        return INT64_MAX;
    if (b < 0 && a < INT64_MIN - b)
        return INT64_MIN;
    return a + b;
}

static int64_t OldCopiesStillThere(const FetchRoomTally* tally)
{
    int64_t sum = 0;
    for (int i = 0; i + 1 < tally->inFlight && i < FETCH_ROOM_MOST_IN_FLIGHT - 1; i++)
        sum = Plus(sum, (int64_t)tally->largestOld[i]);
    return sum;
}

static void KeepIfLargest(FetchRoomTally* tally, uint64_t oldSize)
{
    int at = FETCH_ROOM_MOST_IN_FLIGHT - 2;  // the last one kept
    if (oldSize <= tally->largestOld[at])
        return;
    for (; at > 0 && tally->largestOld[at - 1] < oldSize; at--)
        tally->largestOld[at] = tally->largestOld[at - 1];
    tally->largestOld[at] = oldSize;
}

// Each file is fetched into a temporary file beside the copy it replaces (a
// patched file's as large as the file), which then takes the copy's place.
// Files start in order, one whenever a fetch ends, so while a file is
// written every file before it is in place except at most inFlight - 1 still
// being fetched: at worst those whose old copies are largest, their temporary
// files whole and their old copies still there.
void CountFetchRoom(FetchRoomTally* tally, uint64_t newSize, uint64_t oldSize, uint64_t heldSize)
{
    int64_t fresh = (int64_t)newSize - (int64_t)heldSize;  // a held temporary file is continued
    int64_t written = Plus(Plus(tally->grown, fresh), OldCopiesStillThere(tally));
    if (written > 0 && (uint64_t)written > tally->peak)
        tally->peak = (uint64_t)written;
    tally->grown = Plus(tally->grown, fresh - (int64_t)oldSize);
    KeepIfLargest(tally, oldSize);
}
