// The publisher's one read of a large file, a library it loads in-process
// (publish_release.py compiles it beside the chunk helper): the file's bytes
// are digested, copied into its object's temporary file and, when asked, cut
// into chunks with the launcher's own chunker, all from the same read. The
// caller's interpreter runs other files meanwhile: nothing here takes its lock.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "patch/patch.h"

static const size_t READ_WINDOW = 4 << 20;  // reads of 4 MB; twice the chunker's maximum at least

// What one read made; index and records are the caller's to release with QrvReleaseReading.
struct QrvReading {
    uint64_t size;
    uint8_t digest[32];
    uint8_t* index;
    size_t indexLength;
    uint8_t* records;
    size_t recordsLength;
};

struct Reading {
    int input, copy;
    uint64_t size;
    Sha256 whole;
    PageBuilder pages;
    std::vector<uint8_t> records;
    std::vector<uint8_t> entries;
};

static int IsZeros(const uint8_t* bytes, size_t count)
{
    return count > 0 && bytes[0] == 0 && memcmp(bytes, bytes + 1, count - 1) == 0;
}

// Pieces of zeros are skipped, not written: a pack that is mostly empty space stays sparse.
static int CopyPiece(int copy, const uint8_t* bytes, size_t count)
{
    if (copy < 0)
        return 1;
    if (IsZeros(bytes, count))
        return lseek(copy, (off_t)count, SEEK_CUR) >= 0;
    while (count > 0) {
        ssize_t written = write(copy, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return 0;
        bytes += written;
        count -= (size_t)written;
    }
    return 1;
}

static size_t ReadPiece(void* context, uint8_t* buffer, size_t capacity, int* failed)
{
    Reading* reading = (Reading*)context;
    ssize_t count;
    do
        count = read(reading->input, buffer, capacity);
    while (count < 0 && errno == EINTR);
    *failed = count < 0 || !CopyPiece(reading->copy, buffer, count < 0 ? 0 : (size_t)count);
    if (*failed)
        return 0;
    Sha256Add(&reading->whole, buffer, (size_t)count);
    reading->size += (uint64_t)count;
    return (size_t)count;
}

static void AddEntry(Reading* reading, const PageEntry* page)
{
    uint8_t entry[PAGE_ENTRY_BYTES];
    WritePageEntry(entry, page);
    reading->entries.insert(reading->entries.end(), entry, entry + sizeof entry);
}

static void AddRecord(void* context, const uint8_t* bytes, uint32_t length)
{
    Reading* reading = (Reading*)context;
    Sha256 chunk;
    uint8_t digest[32];
    Sha256Start(&chunk);
    Sha256Add(&chunk, bytes, length);
    Sha256Finish(&chunk, digest);
    uint8_t record[CHUNK_RECORD_BYTES];
    WriteChunkRecord(record, length, digest);
    reading->records.insert(reading->records.end(), record, record + sizeof record);
    PageEntry page;
    if (AddChunkToPage(&reading->pages, record, &page))
        AddEntry(reading, &page);
}

static int ReadPlainly(Reading* reading, std::vector<uint8_t>* window)
{
    int failed = 0;
    while (ReadPiece(reading, window->data(), window->size(), &failed) > 0) {
    }
    return !failed;
}

static uint8_t* Handed(const std::vector<uint8_t>& bytes)
{
    uint8_t* copy = (uint8_t*)malloc(bytes.size() ? bytes.size() : 1);
    if (copy && !bytes.empty())
        memcpy(copy, bytes.data(), bytes.size());
    return copy;
}

// The chunk index (header and pages) and the records, as the launcher reads them.
static int HandIndex(Reading* reading, QrvReading* result)
{
    PageEntry last;
    if (FinishPages(&reading->pages, &last))
        AddEntry(reading, &last);
    ChunkIndexHeader header = {CHUNK_PARAMETERS, reading->size, {0},
                               (uint32_t)(reading->records.size() / CHUNK_RECORD_BYTES),
                               (uint32_t)(reading->entries.size() / PAGE_ENTRY_BYTES), {0}};
    memcpy(header.fileDigest, result->digest, 32);
    Sha256 records;
    Sha256Start(&records);
    if (!reading->records.empty())  // an empty file has none, and no buffer to point at
        Sha256Add(&records, reading->records.data(), reading->records.size());
    Sha256Finish(&records, header.recordsDigest);
    std::vector<uint8_t> index(CHUNK_INDEX_HEADER_BYTES);
    WriteChunkIndexHeader(index.data(), &header);
    index.insert(index.end(), reading->entries.begin(), reading->entries.end());
    result->index = Handed(index);
    result->records = Handed(reading->records);
    result->indexLength = index.size();
    result->recordsLength = reading->records.size();
    return result->index && result->records;
}

extern "C" {

// Reads input to its end, copying it into copy (-1: no copy; ends at the size read, holes and all) and,
// when chunked, cutting it into its chunk index and records. Answers 1, or 0 with errno set.
int QrvReadOnce(int input, int copy, int chunked, QrvReading* result)
{
    memset(result, 0, sizeof *result);
    Reading reading;
    reading.input = input;
    reading.copy = copy;
    reading.size = 0;
    Sha256Start(&reading.whole);
    StartPages(&reading.pages);
    std::vector<uint8_t> window(READ_WINDOW);
    ChunkStream stream = {ReadPiece, AddRecord, &reading};
    int read = chunked ? CutIntoChunks(&stream, window.data(), window.size()) : ReadPlainly(&reading, &window);
    if (!read || (copy >= 0 && ftruncate(copy, (off_t)reading.size) != 0))
        return 0;
    result->size = reading.size;
    Sha256Finish(&reading.whole, result->digest);
    if (chunked && !HandIndex(&reading, result)) {
        errno = ENOMEM;
        return 0;
    }
    return 1;
}

void QrvReleaseReading(QrvReading* result)
{
    free(result->index);
    free(result->records);
    result->index = result->records = NULL;
}
}
