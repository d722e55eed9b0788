// The chunk index of a large file (written by the publisher's helper, read by
// the launcher) and the plan of a patch: which ranges of the new file it
// fetches. Everything fetched is checked here before use. No Windows headers.
#include <string.h>

#include "patch/patch.h"
#include "shell/byte_order.h"

static const char CHUNK_INDEX_MAGIC[8] = {'Q', 'R', 'V', 'B', 'L', 'O', 'C', 'O'};

void WriteChunkIndexHeader(uint8_t* header, const ChunkIndexHeader* fields)
{
    memset(header, 0, CHUNK_INDEX_HEADER_BYTES);
    memcpy(header, CHUNK_INDEX_MAGIC, sizeof CHUNK_INDEX_MAGIC);
    WriteLittle32(header + 8, CHUNK_INDEX_VERSION);
    WriteLittle32(header + 12, fields->parameters.minimum);
    WriteLittle32(header + 16, fields->parameters.average);
    WriteLittle32(header + 20, fields->parameters.maximum);
    WriteLittle32(header + 24, fields->parameters.backupShift);
    WriteLittle64(header + 28, fields->parameters.gearSeed);
    WriteLittle64(header + 36, fields->fileSize);
    memcpy(header + 44, fields->fileDigest, 32);
    WriteLittle32(header + 76, fields->recordCount);
    WriteLittle32(header + 80, fields->pageCount);
    memcpy(header + 84, fields->recordsDigest, 32);
}

void WritePageEntry(uint8_t* entry, const PageEntry* page)
{
    WriteLittle32(entry, page->records);
    WriteLittle32(entry + 4, page->length);
    memcpy(entry + 8, page->digest, 32);
}

void ReadPageEntry(const uint8_t* entry, PageEntry* page)
{
    page->records = ReadLittle32(entry);
    page->length = ReadLittle32(entry + 4);
    memcpy(page->digest, entry + 8, 32);
}

void WriteChunkRecord(uint8_t* record, uint32_t length, const uint8_t digest[32])
{
    WriteLittle32(record, length);
    memcpy(record + 4, digest, 32);
}

uint32_t ReadChunkRecord(const uint8_t* record, int isLast, uint8_t digest[32])
{
    uint32_t length = ReadLittle32(record);
    memcpy(digest, record + 4, 32);
    if (length == 0 || length > CHUNK_PARAMETERS.maximum || (!isLast && length < CHUNK_PARAMETERS.minimum))
        return 0;
    return length;
}

int EndsPage(const uint8_t recordDigest[32], uint32_t recordsInPage)
{
    return recordDigest[0] < PAGE_CUT_BYTE || recordsInPage >= PAGE_MOST_RECORDS;
}

static int SameParameters(const ChunkParameters* a, const ChunkParameters* b)
{
    return a->minimum == b->minimum && a->average == b->average && a->maximum == b->maximum &&
           a->backupShift == b->backupShift && a->gearSeed == b->gearSeed;
}

// Pages of one to PAGE_MOST_RECORDS records and some bytes each, adding up
// to the file's records and bytes.
static int PagesAddUp(const uint8_t* pages, const ChunkIndexHeader* header)
{
    uint64_t records = 0;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < header->pageCount; i++) {
        PageEntry page;
        ReadPageEntry(pages + (size_t)i * PAGE_ENTRY_BYTES, &page);
        if (page.records == 0 || page.records > PAGE_MOST_RECORDS || page.length < page.records ||
            (uint64_t)page.length > (uint64_t)page.records * CHUNK_PARAMETERS.maximum)
            return 0;
        records += page.records;
        bytes += page.length;
    }
    return records == header->recordCount && bytes == header->fileSize;
}

ChunkIndexVerdict ReadChunkIndex(const uint8_t* index, size_t length, uint64_t listedSize,
                                 const uint8_t listedDigest[32], ChunkIndexHeader* header, const uint8_t** pages)
{
    if (length < CHUNK_INDEX_HEADER_BYTES || memcmp(index, CHUNK_INDEX_MAGIC, sizeof CHUNK_INDEX_MAGIC) != 0)
        return INDEX_NOT_AN_INDEX;
    if (ReadLittle32(index + 8) != CHUNK_INDEX_VERSION)
        return INDEX_UNKNOWN_VERSION;
    header->parameters.minimum = ReadLittle32(index + 12);
    header->parameters.average = ReadLittle32(index + 16);
    header->parameters.maximum = ReadLittle32(index + 20);
    header->parameters.backupShift = ReadLittle32(index + 24);
    header->parameters.gearSeed = ReadLittle64(index + 28);
    header->fileSize = ReadLittle64(index + 36);
    memcpy(header->fileDigest, index + 44, 32);
    header->recordCount = ReadLittle32(index + 76);
    header->pageCount = ReadLittle32(index + 80);
    memcpy(header->recordsDigest, index + 84, 32);
    if (!SameParameters(&header->parameters, &CHUNK_PARAMETERS))
        return INDEX_UNKNOWN_PARAMETERS;
    size_t entries = length - CHUNK_INDEX_HEADER_BYTES;
    if (entries % PAGE_ENTRY_BYTES != 0 || entries / PAGE_ENTRY_BYTES != header->pageCount)
        return INDEX_WRONG_PAGE_COUNT;
    if (header->fileSize != listedSize || memcmp(header->fileDigest, listedDigest, 32) != 0)
        return INDEX_OTHER_FILE;
    *pages = index + CHUNK_INDEX_HEADER_BYTES;
    return PagesAddUp(*pages, header) ? INDEX_GOOD : INDEX_WRONG_PAGES;
}

ChunkIndexVerdict CheckPageRecords(const uint8_t* records, const PageEntry* page, int lastPage)
{
    Sha256 sha;
    uint8_t digest[32];
    Sha256Start(&sha);
    Sha256Add(&sha, records, (size_t)page->records * CHUNK_RECORD_BYTES);
    Sha256Finish(&sha, digest);
    if (memcmp(digest, page->digest, 32) != 0)
        return INDEX_WRONG_RECORDS;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < page->records; i++) {
        uint32_t length = ReadChunkRecord(records + (size_t)i * CHUNK_RECORD_BYTES,
                                          lastPage && i + 1 == page->records, digest);
        if (length == 0)
            return INDEX_WRONG_RECORDS;
        bytes += length;
    }
    return bytes == page->length ? INDEX_GOOD : INDEX_WRONG_RECORDS;
}

const char* ChunkIndexVerdictText(ChunkIndexVerdict verdict)
{
    switch (verdict) {
    case INDEX_GOOD:
        return "bom";
    case INDEX_NOT_AN_INDEX:
        return "nao e um indice de blocos";
    case INDEX_UNKNOWN_VERSION:
        return "versao desconhecida";
    case INDEX_UNKNOWN_PARAMETERS:
        return "parametros de blocos desconhecidos";
    case INDEX_WRONG_PAGE_COUNT:
        return "numero de paginas nao confere";
    case INDEX_OTHER_FILE:
        return "indice de outro arquivo";
    case INDEX_WRONG_PAGES:
        return "paginas invalidas";
    case INDEX_WRONG_RECORDS:
        return "registros de uma pagina nao conferem";
    }
    return "?";
}

void StartPages(PageBuilder* builder)
{
    Sha256Start(&builder->sha);
    builder->records = 0;
    builder->length = 0;
}

static void TakePage(PageBuilder* builder, PageEntry* page)
{
    page->records = builder->records;
    page->length = builder->length;
    Sha256Finish(&builder->sha, page->digest);
    StartPages(builder);
}

int AddChunkToPage(PageBuilder* builder, const uint8_t record[CHUNK_RECORD_BYTES], PageEntry* page)
{
    Sha256Add(&builder->sha, record, CHUNK_RECORD_BYTES);
    builder->records++;
    builder->length += ReadLittle32(record);
    if (!EndsPage(record + 4, builder->records))
        return 0;
    TakePage(builder, page);
    return 1;
}

int FinishPages(PageBuilder* builder, PageEntry* page)
{
    if (builder->records == 0)
        return 0;
    TakePage(builder, page);
    return 1;
}

uint32_t EndOfFetchRange(const uint32_t* lengths, const uint64_t* oldOffsets, uint32_t count, uint32_t first,
                         uint64_t gapBytes)
{
    uint32_t end = first + 1;
    while (end < count) {
        if (oldOffsets[end] == CHUNK_NOT_HELD) {
            end++;
            continue;
        }
        // A run of held chunks: bridged when it is short and a fetched chunk follows.
        uint32_t after = end;
        uint64_t run = 0;
        while (after < count && oldOffsets[after] != CHUNK_NOT_HELD && run <= gapBytes)
            run += lengths[after++];
        if (after == count || run > gapBytes || oldOffsets[after] != CHUNK_NOT_HELD)
            return end;
        end = after;
    }
    return end;
}

uint64_t PlannedFetchBytes(const uint32_t* lengths, const uint64_t* oldOffsets, uint32_t count, uint64_t gapBytes)
{
    uint64_t fetched = 0;
    for (uint32_t i = 0; i < count;) {
        if (oldOffsets[i] != CHUNK_NOT_HELD) {
            i++;
            continue;
        }
        uint32_t end = EndOfFetchRange(lengths, oldOffsets, count, i, gapBytes);
        for (; i < end; i++)
            fetched += lengths[i];
    }
    return fetched;
}
