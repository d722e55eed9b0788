// libFuzzer target: any bytes as a fetched chunk index, checked against the
// file that the index itself names (so the deeper checks are reached). An
// index found good must describe its file exactly; the plan over it must
// never fetch more than the file.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "update/chunks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t digest[32] = {0};
    uint64_t listedSize = 0;
    if (size >= CHUNK_INDEX_HEADER_BYTES) {
        memcpy(digest, data + 44, 32);
        for (int i = 7; i >= 0; i--)
            listedSize = listedSize << 8 | data[36 + i];
    }
    ChunkIndexHeader header;
    if (ReadChunkIndex(data, size, listedSize, digest, &header) != INDEX_GOOD)
        return 0;
    std::vector<uint32_t> lengths(header.recordCount), held(header.recordCount);
    uint64_t total = 0;
    uint8_t chunk[32];
    for (uint32_t i = 0; i < header.recordCount; i++) {
        lengths[i] = ReadChunkRecord(data + CHUNK_INDEX_HEADER_BYTES + (size_t)i * CHUNK_RECORD_BYTES,
                                     i + 1 == header.recordCount, chunk);
        held[i] = chunk[0] & 1 ? CHUNK_NOT_HELD : 0;  // some held, some not
        total += lengths[i];
    }
    if (total != header.fileSize || size != CHUNK_INDEX_HEADER_BYTES + (size_t)header.recordCount * CHUNK_RECORD_BYTES)
        __builtin_trap();
    if (PlannedFetchBytes(lengths.data(), held.data(), header.recordCount, PATCH_GAP_BYTES) > total)
        __builtin_trap();
    return 0;
}
