// The manifest (the server's list of the game: a version and one line per file
// with its SHA-256, size and relative path) and the pure rules around it: the
// parser, digest comparison, file URLs and which paths may be written. No
// Windows headers.
#pragma once
#include <stdint.h>
#include <stdio.h>

static const int MANIFEST_CAPACITY = 4096;

// What the update run found out about an entry; the parser leaves it unchecked.
enum EntryState {
    ENTRY_UNCHECKED,  // not looked at (also the launcher's own entry)
    ENTRY_CURRENT,    // the local file matches the digest
    ENTRY_TO_FETCH,   // missing or different: to be downloaded
    ENTRY_REFUSED     // its path could write outside the game folder
};

// What "BLOCOS <index digest> <index size> <path>" says of an entry: its
// chunk index is an object too, and a changed file can be rebuilt from the
// player's old copy.
enum BlocksLine {
    BLOCKS_NONE,
    BLOCKS_LISTED,
    BLOCKS_REPEATED  // given twice: both ignored, the file comes whole
};

struct ManifestEntry {
    char digest[65];  // expected SHA-256 as hexadecimal text, compared without regard to case
    uint32_t size;    // bytes as listed: only for progress and the KB figures
    char path[260];   // relative to the game folder, exactly as listed
    EntryState state;
    BlocksLine blocks;
    char blocksDigest[65];  // the chunk index's SHA-256
    uint32_t blocksSize;    // and its size in bytes
};

// What the manifest says of immutable objects: "OBJETOS <folder>" says that
// every listed file is also served as URL_BASE + folder + its digest.
enum ObjectsLine {
    OBJECTS_NONE,     // no such line: files come by path
    OBJECTS_VALID,
    OBJECTS_INVALID,  // ignored: files come by path
    OBJECTS_REPEATED  // more than one line: all ignored
};

static const size_t OBJECTS_FOLDER_LONGEST = 200;

struct Manifest {
    char version[128];
    ObjectsLine objects;
    char objectsFolder[OBJECTS_FOLDER_LONGEST + 1];  // when valid
    char objectsText[64];  // the first refused line's folder, cut, for the log
    int ignoredBlocks;     // BLOCOS lines that are malformed, name no listed path, or repeat one
    char ignoredBlocksText[128];  // the first of them and why, for the log
    int count;
    ManifestEntry entries[MANIFEST_CAPACITY];
};

// Resets the manifest, reads the file and answers the number of valid entries
// (0 when the file cannot be opened or lists no file).
int ParseManifest(const char* fileName, Manifest* manifest);
int ParseManifestStream(FILE* file, Manifest* manifest);

// Digest texts compared without regard to case.
int DigestsMatch(const char* expected, const char* obtained);

// "<path>.tmp", the name a file is fetched under; 0 when it would not fit.
int TemporaryNameOf(const char* path, char* temporary, size_t capacity);
// "<path>.blocos", the name a file's chunk index is fetched as (into its
// temporary name, and deleted after use); 0 when it would not fit.
int ChunkIndexNameOf(const char* path, char* name, size_t capacity);

// The most a game file's answer may hold: twice its listed size and 16 MB
// more, so a listed size that is merely wrong still works.
uint32_t AnswerLimitForListedSize(uint32_t listedSize);

// URL_BASE followed by the name, every backslash turned into a slash.
void BuildFileUrl(char* url, size_t capacity, const char* baseUrl, const char* name);

// A folder that OBJETOS may name: relative to URL_BASE, ending in "/", at most
// 200 characters of printable ASCII, never climbing with "..", and without
// "\", ":", "?", "#" or "%" (a URL carries it as it stands).
int IsValidObjectsFolder(const char* folder);
// URL_BASE + folder + the digest in lower case: the entry's immutable copy.
// 0 when the digest is not 64 hexadecimal characters or the URL does not fit.
int BuildObjectUrl(char* url, size_t capacity, const char* baseUrl, const char* folder, const char* digest);

// A listed path that could reach outside the game folder or name a device:
// absolute, drive or stream (":"), a ".." component, CON, NUL, COM1 and the like.
int IsSafeManifestPath(const char* path);

// A size or serial: plain decimal digits that fit 32 bits, followed by a blank
// or the end of the text. Answers what follows the digits, or NULL.
const char* ReadDecimal32(const char* text, uint32_t* value);

// A path that names one of the launcher's own state files (such as
// "launcher.serie"), as the file system would resolve it: without regard to
// case, trailing dots and blanks, or leading ".\" components.
int NamesLauncherFile(const char* path, const char* fileName);

// What a signed manifest says about itself. A signed manifest is an ordinary
// one followed by "NOME <its own name>", "SERIE <n>", at most one
// "EXPIRA <yyyy-mm-dd>", and one or more "ASSINATURA <base64>" lines that end
// the file, each a signature over every byte before the first of them.
struct SignedManifestFacts {
    int signatureLines;       // well-formed ASSINATURA lines
    int verifiedSignatures;   // of those, the ones that a known key verifies
    int malformedSignature;   // a signature line that is not one base64 word, or too long
    int lineAfterSignatures;  // anything but a signature line after the first one
    int nameLines;
    int nameReadable;         // the one NOME line holds a single word that fits name
    char name[64];            // the manifest name it was published under
    int serialLines;
    int serialReadable;       // the one SERIE line holds a plain number
    uint32_t serial;
    int expiryLines;
    int expiryReadable;       // the one EXPIRA line holds a real date
    int expiryDate;           // yyyymmdd
    char expiryText[32];      // the date as written (cut), for the log
    int readFailed;
};

// How the scan hands on what it reads: every signed byte, in order, to
// hashSigned; every well-formed signature's base64 text to checkSignature,
// which answers 1 when a known key verifies it over the bytes hashed so far.
struct SignedManifestReader {
    void (*hashSigned)(void* context, const char* bytes, size_t count);
    int (*checkSignature)(void* context, const char* base64, size_t length);
    void* context;
};

// Streams through a manifest as served (binary) with fixed buffers.
void ScanSignedManifest(FILE* file, const SignedManifestReader* reader, SignedManifestFacts* facts);

enum ManifestTrust {
    TRUST_ACCEPTED,
    TRUST_UNSIGNED,    // no signature line, a malformed one, a line after them, or none verifies
    TRUST_OTHER_NAME,  // no NOME line, more than one, or another manifest's name
    TRUST_NO_SERIAL,   // no SERIE line, more than one, or one without a number
    TRUST_OLDER,     // a serial below the one last accepted
    TRUST_EXPIRED    // an EXPIRA date before today, unreadable, or given twice
};

// The verdict on scanned facts, given the name the manifest was asked for
// (compared without regard to case), the serial last accepted and today's UTC
// date as yyyymmdd.
ManifestTrust JudgeSignedManifest(const SignedManifestFacts* facts, const char* askedName, uint32_t acceptedSerial,
                                  int today);

// "yyyy-mm-dd" of a real calendar day, as yyyymmdd; 0 otherwise.
int ReadCalendarDate(const char* text, size_t length);
// yyyymmdd as "yyyy-mm-dd" (at least 11 bytes of room).
void FormatCalendarDate(char* text, size_t capacity, int date);

// The release a launcher last accepted, as it keeps it twice (beside itself
// and in the registry): its manifest's serial, the floor no later manifest
// may go below, and that manifest's EXPIRA date (yyyymmdd, 0 for none).
struct AcceptedRelease {
    uint32_t serial;
    int expiry;
};

enum FloorCopyState {
    FLOOR_COPY_ABSENT,
    FLOOR_COPY_READ,
    FLOOR_COPY_UNREADABLE,  // it exists, but is empty, cut or not a number
    FLOOR_COPY_HELD         // another program kept it from being read: it may say more than the other
};

struct FloorCopy {
    FloorCopyState state;
    AcceptedRelease release;
};

// "<serial>\r\n", then "<yyyy-mm-dd>\r\n" when the release expires: what both
// copies hold. Answers the length written (0 when it does not fit).
size_t FormatAcceptedRelease(char* text, size_t capacity, const AcceptedRelease* release);
// FLOOR_COPY_READ with the release, or FLOOR_COPY_UNREADABLE.
FloorCopyState ReadAcceptedRelease(const char* text, size_t length, AcceptedRelease* release);
// The floor that two copies give: the higher readable one (serial 0 when
// neither exists). 0 when a copy exists but none can be read, or when one is
// held (it may hold the higher serial): the floor is then unknown and no
// manifest may be accepted.
int CombineFloorCopies(const FloorCopy* first, const FloorCopy* second, AcceptedRelease* floor);
