// The patch room: patch-sized updates. The pure half, compiled into the
// launcher and into the publisher's native helper alike so both cut every
// file at the same places: the content-defined chunker, the chunk index and
// its pages, the rules of the plan. The Windows half: a changed file rebuilt
// from the player's old copy, by a plan (old copy scanned, pages matched,
// ranges chosen) and a build (ranges fetched, chunks checked, file
// assembled). It may call transfer/ (ranges, files, digests, SHA-256) and
// frames/ (a file's compressed frames, whose decoded bytes give the missing
// chunks when they cost fewer bytes), never trust/, update/, ui/ or install/:
// the run hands it what the manifest says of the file.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "frames/frames.h"
#include "transfer/transfer.h"

// The chunker: a gear rolling hash over a file's bytes (each byte shifts the
// hash left and adds its gear value, so the hash depends on the last 64 bytes
// alone), cut where the hash's masked bits are all zero, never within the
// minimum. A chunk that reaches the maximum is cut where a weaker mask last
// matched, when it did: periodic data that never meets the mask then still
// falls back into step with the old file after a change, rather than cutting
// at positions that a change moves. An insertion moves only the cuts next to
// it; every chunk after it is found again. The parameters go into every chunk
// index, so a launcher refuses an index cut with others.
struct ChunkParameters {
    uint32_t minimum;
    uint32_t average;      // a power of two: the mask has log2(average) bits
    uint32_t maximum;
    uint32_t backupShift;  // bits fewer in the weaker, backup mask
    uint64_t gearSeed;     // the SplitMix64 seed of the 256 gear values
};

extern const ChunkParameters CHUNK_PARAMETERS;  // what this launcher and publisher cut with
static const uint32_t CHUNK_MAXIMUM_BYTES = 64u << 10;  // CHUNK_PARAMETERS.maximum, for buffers

// The length of the chunk that starts at data. available must reach the
// maximum, or the end of the file (the last chunk ends there).
uint32_t NextChunkLength(const uint8_t* data, size_t available);

// Cuts a whole stream into chunks: read fills a buffer (answers how many
// bytes, 0 at the end, and sets *failed on an error); chunk receives each
// chunk's bytes in order. window is the caller's buffer of windowSize bytes,
// at least twice the maximum. Answers 0 when a read failed.
struct ChunkStream {
    size_t (*read)(void* context, uint8_t* buffer, size_t capacity, int* failed);
    void (*chunk)(void* context, const uint8_t* bytes, uint32_t length);
    void* context;
};
int CutIntoChunks(const ChunkStream* stream, uint8_t* window, size_t windowSize);

// A file's chunk records (36 bytes each: the chunk's length, its SHA-256),
// in file order, are grouped into pages: a page ends after a record whose
// digest begins with a byte below PAGE_CUT_BYTE (one record in 32), or after
// PAGE_MOST_RECORDS. Like the chunks, the pages depend on the content alone:
// an old copy's pages are its release's, so a launcher fetches the records of
// the pages that changed only (a few kilobytes), not the whole list.
static const size_t CHUNK_RECORD_BYTES = 36;
static const uint8_t PAGE_CUT_BYTE = 8;
static const uint32_t PAGE_MOST_RECORDS = 256;

int EndsPage(const uint8_t recordDigest[32], uint32_t recordsInPage);
void WriteChunkRecord(uint8_t* record, uint32_t length, const uint8_t digest[32]);
// A record's length, 0 when it is out of the chunker's bounds (only the last
// chunk of a file may be shorter than the minimum); its digest is copied out.
uint32_t ReadChunkRecord(const uint8_t* record, int isLast, uint8_t digest[32]);

// The chunk index, little-endian, the object a manifest's BLOCOS line names: a
// 128-byte header (magic "QRVBLOCO", format version 2, the chunker's
// parameters, the file's size and SHA-256, the record and page counts, and the
// SHA-256 of the records object: every record, in order), then one 40-byte
// entry per page (its record count, its bytes of the file, the SHA-256 of its
// records).
static const size_t CHUNK_INDEX_HEADER_BYTES = 128;
static const size_t PAGE_ENTRY_BYTES = 40;
static const uint32_t CHUNK_INDEX_VERSION = 2;

struct ChunkIndexHeader {
    ChunkParameters parameters;
    uint64_t fileSize;
    uint8_t fileDigest[32];
    uint32_t recordCount;
    uint32_t pageCount;
    uint8_t recordsDigest[32];
};

struct PageEntry {
    uint32_t records;
    uint32_t length;
    uint8_t digest[32];
};

void WriteChunkIndexHeader(uint8_t* header, const ChunkIndexHeader* fields);  // CHUNK_INDEX_HEADER_BYTES
void WritePageEntry(uint8_t* entry, const PageEntry* page);
void ReadPageEntry(const uint8_t* entry, PageEntry* page);

enum ChunkIndexVerdict {
    INDEX_GOOD,
    INDEX_NOT_AN_INDEX,         // too short, or another magic
    INDEX_UNKNOWN_VERSION,
    INDEX_UNKNOWN_PARAMETERS,   // cut with another chunker: the launcher cannot find its chunks
    INDEX_WRONG_PAGE_COUNT,     // the pages do not fill the index exactly
    INDEX_OTHER_FILE,           // its size or digest is not the listed file's
    INDEX_WRONG_PAGES,          // a page out of bounds, or pages that do not add up to the file
    INDEX_WRONG_RECORDS         // a page's records that are not what its entry says
};

// The whole index (header and pages) against the file the manifest lists;
// *pages points at the first page entry.
ChunkIndexVerdict ReadChunkIndex(const uint8_t* index, size_t length, uint64_t listedSize,
                                 const uint8_t listedDigest[32], ChunkIndexHeader* header, const uint8_t** pages);
// A page's records as fetched: their SHA-256 must be the page's, and their
// lengths within bounds and adding up to the page's. lastPage: the file's last
// page, whose last chunk may be short.
ChunkIndexVerdict CheckPageRecords(const uint8_t* records, const PageEntry* page, int lastPage);
const char* ChunkIndexVerdictText(ChunkIndexVerdict verdict);  // for the log

// Pages and records as a file's chunks come, in order: what the publisher's
// helper writes, and what a launcher finds in its old copy.
struct PageBuilder {
    Sha256 sha;        // of the current page's records
    uint32_t records;  // in the current page
    uint32_t length;   // its bytes of the file
};
void StartPages(PageBuilder* builder);
// Adds a chunk's record; answers 1 when it ended a page, filled into *page.
int AddChunkToPage(PageBuilder* builder, const uint8_t record[CHUNK_RECORD_BYTES], PageEntry* page);
// The last page when chunks remain in it; 0 when there are none.
int FinishPages(PageBuilder* builder, PageEntry* page);

// The plan: the chunks that the old file does not hold are fetched in file
// order, adjacent ones in one range, and a run of held chunks no longer than
// gapBytes between two fetched ones is fetched too (one request costs more
// than a few kilobytes). oldOffsets[i] is where the old file holds chunk i,
// or CHUNK_NOT_HELD (listed sizes stop at 2^63 - 1). Answers the chunk after
// the last one of the range that starts at first (a chunk not held).
static const uint64_t CHUNK_NOT_HELD = UINT64_MAX;
// The held run a launcher fetches rather than make another request for what follows it.
static const uint64_t PATCH_GAP_BYTES = 32u << 10;
uint32_t EndOfFetchRange(const uint32_t* lengths, const uint64_t* oldOffsets, uint32_t count, uint32_t first,
                         uint64_t gapBytes);
// The bytes a patch fetches under that rule.
uint64_t PlannedFetchBytes(const uint32_t* lengths, const uint64_t* oldOffsets, uint32_t count, uint64_t gapBytes);

#ifdef _WIN32
#include <stdio.h>

// Cuts the file as the publisher's helper does and hands each chunk's SHA-256
// (through the provider), length and offset to visit; 0 when a read or a
// digest failed.
typedef void (*ChunkVisitor)(void* context, const uint8_t digest[32], uint32_t length, uint64_t offset);
int DigestChunksOfFile(FILE* file, HCRYPTPROV provider, ChunkVisitor visit, void* context);

// A changed file as the manifest lists it, with its chunk index (BLOCOS).
struct PatchTarget {
    const char* path;           // relative to the game folder, where the old copy stands
    uint64_t size;              // as listed
    const char* digest;         // its SHA-256 as listed
    const char* indexDigest;    // the chunk index's SHA-256
    uint32_t indexSize;         // and its size in bytes
    const char* baseUrl;        // URL_BASE
    const char* objectsFolder;  // where the objects are, below URL_BASE
    const char* frameIndexDigest;  // the frame index's SHA-256 (QUADROS), NULL when the file has none
    uint32_t frameIndexSize;
};

// A changed file rebuilt from its old copy: the chunks the old copy holds are
// copied, the others fetched by single ranges of its object, or of its
// compressed object where the frames that hold them cost fewer bytes, every
// piece checked, the whole file judged by its digest before it replaces the
// old one. The log's line of a patch ends with the bytes it fetched (indexes
// included) against the bytes of the file written from them.
enum PatchOutcome {
    PATCH_NOT_MADE,  // the file is to be fetched whole instead (the reason is logged: that is no failure)
    PATCH_MADE,
    // The rebuilt file could not be written (a full disk) or could not take
    // the old copy's name (another program holds it): the file fails, as its
    // whole download would.
    PATCH_FILE_FAILED
};
PatchOutcome PatchFile(HINTERNET internet, const PatchTarget* file);

// Inside the room: the plan and the build share one record of the patch.

static const size_t PATCH_WINDOW_BYTES = 256u << 10;
// The scan's window (at least twice the chunker's maximum), then the buffer
// of the copies and checks: one per thread that patches.
extern thread_local uint8_t PatchWindow[PATCH_WINDOW_BYTES];

// A chunk's SHA-256: through the processor's SHA instructions where it has
// them, else through the CryptoAPI provider. FinishChunkHash always releases
// what StartChunkHash took.
struct ChunkHash {
    Sha256 sha;
    HCRYPTHASH crypto;
};
int StartChunkHash(HCRYPTPROV provider, ChunkHash* hash);
int AddToChunkHash(ChunkHash* hash, const void* bytes, DWORD length);
int FinishChunkHash(ChunkHash* hash, uint8_t digest[32]);
// DigestChunksOfFile over the next length bytes of the file only.
int ScanBytes(FILE* file, uint64_t length, HCRYPTPROV provider, ChunkVisitor visit, void* context);

static const size_t REASON_CAPACITY = 96;

// A chunk of the old copy, looked up by its digest's first 8 bytes (a
// mistaken match would fail the whole file's digest, and the file would come
// whole: it cannot slip through).
struct OldChunk {
    uint64_t prefix;
    uint64_t offset;
    uint32_t length;
};

// A page of the old copy: the old release's page of that digest.
struct OldPage {
    uint8_t digest[32];
    uint64_t offset;
    uint32_t length;
};

// The file's frames, for the missing chunks: fetched and checked once a
// range of chunks is to be fetched, and given up (PATCH_FRAMES_OFF) for the
// rest of the file once anything of them fails.
enum PatchFramesState { PATCH_FRAMES_UNTRIED, PATCH_FRAMES_READY, PATCH_FRAMES_OFF };

struct PatchFrames {
    PatchFramesState state;
    char indexTarget[MAX_PATH];  // "<path>.quadros", fetched into its .tmp
    char indexName[MAX_PATH];    // "<path>.quadros.tmp"
    char packedUrl[URL_CAPACITY];
    uint32_t indexBytes;    // of the frame index, once fetched
    FrameIndexHeader header;
    FrameRecord* frames;    // every frame's record, in file order
    uint8_t* packed;        // the frame being gathered: the largest compressed frame
    uint8_t* decoded;       // the last frame decoded: the largest decoded frame
    uint32_t decodedFrame;  // which one, or UINT32_MAX
    ZstdDecoder* decoder;
};

struct Patch {
    const PatchTarget* file;
    char indexUrl[URL_CAPACITY];
    char recordsUrl[URL_CAPACITY];
    char objectUrl[URL_CAPACITY];
    char indexTarget[MAX_PATH];  // "<path>.blocos", fetched into its .tmp
    char indexName[MAX_PATH];    // "<path>.blocos.tmp"
    char temporary[MAX_PATH];    // "<path>.tmp": the file being rebuilt
    uint8_t* index;              // the whole index: header and page entries
    ChunkIndexHeader header;
    const uint8_t* pages;
    FILE* old;
    FILE* rebuilt;
    HCRYPTPROV provider;
    OldChunk* oldChunks;  // sorted by prefix after the scan
    uint32_t oldChunkCount, oldChunkRoom;
    OldPage* oldPages;    // sorted by digest after the scan
    uint32_t oldPageCount, oldPageRoom;
    PageBuilder oldPageBuilder;
    uint64_t oldPageStart;
    uint64_t* pageOldOffsets;  // per new page: where the old copy holds it, or CHUNK_NOT_HELD
    uint32_t* pageFirstMissing;  // per new page the old copy lacks: its first record among the fetched
    uint8_t* records;      // the fetched records of the pages the old copy lacks, in file order
    uint32_t* lengths;     // and per fetched record: its chunk's length
    uint64_t* oldOffsets;  // and where the old copy holds that chunk, or CHUNK_NOT_HELD
    uint32_t missingRecords;
    uint32_t firstPageToWrite;  // pages before it are in the temporary file already, checked
    uint64_t written;  // bytes of the new file in the temporary file
    uint64_t shown;
    uint64_t reusedBytes;
    uint64_t plannedBytes;  // the records and the ranges of the raw object the plan fetches
    uint64_t fetchedBytes;  // chunks (or frames) and records
    uint64_t fetchedWritten;  // bytes of the new file written from fetched chunks
    PatchFrames frames;
    int discardRebuilt;     // the temporary file holds bytes that failed their check, or is given up
    int localFailure;       // the file fails here: no whole download after it
    char reason[REASON_CAPACITY];  // why the file is fetched whole, for the log
};


// 0, with why the file is fetched whole, for the log.
int Refuse(Patch* patch, const char* why);
// Why a range did not come: the answer's status when it was no range at all.
int RefuseRange(Patch* patch, DWORD refused, const char* otherwise);
PageEntry PageAt(const Patch* patch, uint32_t page);
int OpenStream(FILE** file, const char* name, const char* mode);
// The records of the run of pages the old copy lacks that starts at page
// first: [*firstRecord, *endRecord). Answers the page after the run.
uint32_t MissingRun(const Patch* patch, uint32_t first, uint32_t* firstRecord, uint32_t* endRecord);
// The most chunks a file of that size can have, and so the most frames.
uint64_t MostChunksOf(uint64_t fileSize);
// A range's bytes gathered into memory, one after another.
struct Collected {
    uint8_t* at;
};
int CollectBytes(void* context, const char* bytes, DWORD count);

// The chunks of one range as they arrive, from the object or from decoded
// frames: written, and each one checked against its record as soon as it is
// whole.
struct Arrival {
    Patch* patch;
    uint32_t record;     // among the fetched: the chunk the next byte belongs to
    uint32_t received;   // of its bytes
    int hashing;         // hash holds the chunk's bytes so far
    ChunkHash hash;
};
int TakeArrival(void* context, const char* bytes, DWORD count);

enum FromFrames {
    FROM_FRAMES_DONE,       // every chunk up to the end arrived from frames
    FROM_FRAMES_NOT_TAKEN,  // the object's range from patch->written on is cheaper, or the frames failed
    FROM_FRAMES_FAILED      // the patch stops (a chunk that does not match, a write that failed, no ranges)
};
// The new file's bytes [patch->written, end), whole chunks, into arrival from
// the frames that hold them, when those cost fewer bytes than the range.
FromFrames TakeFromFrames(HINTERNET internet, Patch* patch, Arrival* arrival, uint64_t end);
void ReleasePatchFrames(Patch* patch);

// The index fetched and read, the old copy scanned, its pages matched, the
// records of the others fetched; 1 when the patch pays.
int PlanPatch(HINTERNET internet, Patch* patch);
// The file built by the plan, judged by its digest and moved into place.
int BuildPatch(HINTERNET internet, Patch* patch);
#endif
