// The chunk index of a large file (written by the publisher's helper, read by
// the launcher) and the plan of a patch: which ranges of the new file it
// fetches. Everything fetched is checked here before use. No Windows headers.
#include <string.h>

#include "update/chunks.h"

static const char CHUNK_INDEX_MAGIC[8] = {'Q', 'R', 'V', 'B', 'L', 'O', 'C', 'O'};

static void Put32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        at[i] = (uint8_t)(value >> (8 * i));
}

static void Put64(uint8_t* at, uint64_t value)
{
    for (int i = 0; i < 8; i++)
        at[i] = (uint8_t)(value >> (8 * i));
}

static uint32_t Get32(const uint8_t* at)
{
    return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

static uint64_t Get64(const uint8_t* at)
{
    return (uint64_t)Get32(at) | (uint64_t)Get32(at + 4) << 32;
}

void WriteChunkIndexHeader(uint8_t* header, const ChunkIndexHeader* fields)
{
    memset(header, 0, CHUNK_INDEX_HEADER_BYTES);
    memcpy(header, CHUNK_INDEX_MAGIC, sizeof CHUNK_INDEX_MAGIC);
    Put32(header + 8, CHUNK_INDEX_VERSION);
    Put32(header + 12, fields->parameters.minimum);
    Put32(header + 16, fields->parameters.average);
    Put32(header + 20, fields->parameters.maximum);
    Put32(header + 24, fields->parameters.backupShift);
    Put64(header + 28, fields->parameters.gearSeed);
    Put64(header + 36, fields->fileSize);
    memcpy(header + 44, fields->fileDigest, 32);
    Put32(header + 76, fields->recordCount);
}

void WriteChunkRecord(uint8_t* record, uint32_t length, const uint8_t digest[32])
{
    Put32(record, length);
    memcpy(record + 4, digest, 32);
}

static int SameParameters(const ChunkParameters* a, const ChunkParameters* b)
{
    return a->minimum == b->minimum && a->average == b->average && a->maximum == b->maximum &&
           a->backupShift == b->backupShift && a->gearSeed == b->gearSeed;
}

ChunkIndexVerdict ReadChunkIndexHeader(const uint8_t* header, uint64_t indexBytes, uint64_t listedSize,
                                       const uint8_t listedDigest[32], ChunkIndexHeader* fields)
{
    if (indexBytes < CHUNK_INDEX_HEADER_BYTES || memcmp(header, CHUNK_INDEX_MAGIC, sizeof CHUNK_INDEX_MAGIC) != 0)
        return INDEX_NOT_AN_INDEX;
    if (Get32(header + 8) != CHUNK_INDEX_VERSION)
        return INDEX_UNKNOWN_VERSION;
    fields->parameters.minimum = Get32(header + 12);
    fields->parameters.average = Get32(header + 16);
    fields->parameters.maximum = Get32(header + 20);
    fields->parameters.backupShift = Get32(header + 24);
    fields->parameters.gearSeed = Get64(header + 28);
    fields->fileSize = Get64(header + 36);
    memcpy(fields->fileDigest, header + 44, 32);
    fields->recordCount = Get32(header + 76);
    if (!SameParameters(&fields->parameters, &CHUNK_PARAMETERS))
        return INDEX_UNKNOWN_PARAMETERS;
    uint64_t records = indexBytes - CHUNK_INDEX_HEADER_BYTES;
    if (records % CHUNK_RECORD_BYTES != 0 || records / CHUNK_RECORD_BYTES != fields->recordCount)
        return INDEX_WRONG_RECORD_COUNT;
    if (fields->fileSize != listedSize || memcmp(fields->fileDigest, listedDigest, 32) != 0)
        return INDEX_OTHER_FILE;
    return INDEX_GOOD;
}

uint32_t ReadChunkRecord(const uint8_t* record, int isLast, uint8_t digest[32])
{
    uint32_t length = Get32(record);
    memcpy(digest, record + 4, 32);
    if (length == 0 || length > CHUNK_PARAMETERS.maximum || (!isLast && length < CHUNK_PARAMETERS.minimum))
        return 0;
    return length;
}

ChunkIndexVerdict ReadChunkIndex(const uint8_t* index, size_t length, uint64_t listedSize,
                                 const uint8_t listedDigest[32], ChunkIndexHeader* header)
{
    ChunkIndexVerdict verdict = ReadChunkIndexHeader(index, length, listedSize, listedDigest, header);
    if (verdict != INDEX_GOOD)
        return verdict;
    uint64_t total = 0;
    uint8_t digest[32];
    for (uint32_t i = 0; i < header->recordCount; i++) {
        uint32_t chunk = ReadChunkRecord(index + CHUNK_INDEX_HEADER_BYTES + (size_t)i * CHUNK_RECORD_BYTES,
                                         i + 1 == header->recordCount, digest);
        if (chunk == 0)
            return INDEX_WRONG_LENGTHS;
        total += chunk;
    }
    return total == header->fileSize ? INDEX_GOOD : INDEX_WRONG_LENGTHS;
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
    case INDEX_WRONG_RECORD_COUNT:
        return "numero de registros nao confere";
    case INDEX_OTHER_FILE:
        return "indice de outro arquivo";
    case INDEX_WRONG_LENGTHS:
        return "comprimentos de blocos invalidos";
    }
    return "?";
}

static int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int ReadDigestHex(const char* text, uint8_t digest[32])
{
    for (int i = 0; i < 32; i++) {
        int high = HexValue(text[2 * i]);
        int low = high < 0 ? -1 : HexValue(text[2 * i + 1]);
        if (low < 0)
            return 0;
        digest[i] = (uint8_t)(high << 4 | low);
    }
    return text[64] == '\0';
}

uint32_t EndOfFetchRange(const uint32_t* lengths, const uint32_t* oldOffsets, uint32_t count, uint32_t first,
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

uint64_t PlannedFetchBytes(const uint32_t* lengths, const uint32_t* oldOffsets, uint32_t count, uint64_t gapBytes)
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
