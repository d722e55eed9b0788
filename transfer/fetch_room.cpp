// The room on the disk that fetching a run's files takes at its peak. No
// Windows headers.
#include "transfer/transfer.h"

// Files are fetched one at a time, each into a temporary file beside the copy
// it replaces (a patched file's as large as the file), which then takes the
// copy's place: the peak comes while some file is written, with every file
// before it in place and its own old copy still there.
void CountFetchRoom(FetchRoomTally* tally, uint64_t newSize, uint64_t oldSize, uint64_t heldSize)
{
    int64_t fresh = (int64_t)newSize - (int64_t)heldSize;  // a held temporary file is continued
    if (tally->grown + fresh > 0 && (uint64_t)(tally->grown + fresh) > tally->peak)
        tally->peak = (uint64_t)(tally->grown + fresh);
    tally->grown += fresh - (int64_t)oldSize;
}
