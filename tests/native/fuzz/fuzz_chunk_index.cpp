// libFuzzer target: any bytes as a fetched chunk index, checked against the
// file that the index itself names (so the deeper checks are reached), and
// any bytes as a page's records. An index found good must describe its file
// exactly; the plan over it must never fetch more than the file.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "patch/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The same bytes as a page entry followed by its fetched records.
    if (size >= PAGE_ENTRY_BYTES) {
        PageEntry page;
        ReadPageEntry(data, &page);
        if (page.records <= PAGE_MOST_RECORDS && size - PAGE_ENTRY_BYTES == (size_t)page.records * CHUNK_RECORD_BYTES)
            CheckPageRecords(data + PAGE_ENTRY_BYTES, &page, data[0] & 1);
    }
    uint8_t digest[32] = {0};
    uint64_t listedSize = 0;
    if (size >= CHUNK_INDEX_HEADER_BYTES) {
        memcpy(digest, data + 44, 32);
        for (int i = 7; i >= 0; i--)
            listedSize = listedSize << 8 | data[36 + i];
    }
    ChunkIndexHeader header;
    const uint8_t* pages;
    if (ReadChunkIndex(data, size, listedSize, digest, &header, &pages) != INDEX_GOOD)
        return 0;
    // A good index describes its file exactly: pages of records adding up to it.
    uint64_t records = 0, bytes = 0;
    for (uint32_t i = 0; i < header.pageCount; i++) {
        PageEntry page;
        ReadPageEntry(pages + (size_t)i * PAGE_ENTRY_BYTES, &page);
        if (page.records == 0 || page.records > PAGE_MOST_RECORDS || page.length < page.records)
            __builtin_trap();
        records += page.records;
        bytes += page.length;
    }
    if (records != header.recordCount || bytes != header.fileSize ||
        size != CHUNK_INDEX_HEADER_BYTES + (size_t)header.pageCount * PAGE_ENTRY_BYTES)
        __builtin_trap();
    // The plan over any held/not-held split never fetches more than the chunks.
    std::vector<uint32_t> lengths(header.pageCount);
    std::vector<uint64_t> held(header.pageCount);
    for (uint32_t i = 0; i < header.pageCount; i++) {
        PageEntry page;
        ReadPageEntry(pages + (size_t)i * PAGE_ENTRY_BYTES, &page);
        lengths[i] = page.length;
        held[i] = page.digest[0] & 1 ? CHUNK_NOT_HELD : 0;
    }
    if (PlannedFetchBytes(lengths.data(), held.data(), header.pageCount, PATCH_GAP_BYTES) > bytes)
        __builtin_trap();
    return 0;
}
