// The trust room: whether a manifest is the one the studio published, and
// what it says. The manifest (the server's list of the game: a version and one
// line per file with its SHA-256, size and relative path) and its parser; the
// rules on the paths it lists; signed manifests, their scan and verdict; the
// serial floor of the release last accepted and its record; the manifest
// fetched under its temporary name, judged there and only then accepted. It
// may call transfer/ (for the fetch and the digest texts), never patch/,
// update/, ui/ or install/ (but for the manifest name in LauncherConfig).
// The first half is pure and also builds natively (sanitizers, fuzzers); the
// rest needs Windows.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include "transfer/transfer.h"

// The most entries a manifest may list: one more, and the whole manifest is
// refused (a manifest cut short would leave files unchecked).
static const int MANIFEST_MOST_ENTRIES = 1000000;
// The largest size a listed file may have: 2^63 - 1 bytes.
static const uint64_t LARGEST_LISTED_SIZE = INT64_MAX;
// What this build reads, compiled into launcher.exe for the publisher to find:
// "QRV-LIMITES-DO-MANIFESTO <most entries> <bits of a size>".
extern const char MANIFEST_LIMITS_MARK[];

// What the update run found out about an entry; the parser leaves it unchecked.
enum EntryState : uint8_t {
    ENTRY_UNCHECKED,  // not looked at (also the launcher's own entry)
    ENTRY_CURRENT,    // the local file matches the digest
    ENTRY_TO_FETCH,   // missing or different: to be downloaded
    ENTRY_REFUSED,    // its path could write outside the game folder, its digest is unreadable, or it
                      // names the file of an earlier entry with another digest
    ENTRY_SAME_FILE   // names the file of an earlier entry with the same digest: settled with that one
};

// What a line naming one of an entry's indexes (an object too) says of it:
// "BLOCOS <index digest> <index size> <path>", its chunk index (a changed file
// can be rebuilt from the player's old copy), or "QUADROS <index digest>
// <index size> <path>", its frame index (the file also travels compressed).
// "QUADRO <object digest> <object size> <path>" says the file travels as one
// Zstandard frame, the compressed object it names: a small file's form, which
// then costs no request for an index. A file has one of the two lines at most.
enum IndexLine : uint8_t {
    INDEX_LINE_NONE,
    INDEX_LINE_LISTED,
    INDEX_LINE_REPEATED  // given twice: both ignored, the file comes without that index
};

// A chunk or frame index as its line names it.
struct IndexListing {
    uint8_t digest[32];
    uint32_t size;  // in bytes
};

// One listed file, kept small: a manifest may list a million of them.
struct ManifestEntry {
    uint8_t digest[32];  // expected SHA-256
    uint64_t size;       // bytes as listed: progress, the KB figures and the answer's bound
    const char* path;    // relative to the game folder, exactly as listed (in the manifest's path pool)
    uint32_t blocksAt;   // when blocks is INDEX_LINE_LISTED: its chunk index among the manifest's indexes
    uint32_t framesAt;   // when frames is INDEX_LINE_LISTED: its frame index among them
    EntryState state;
    IndexLine blocks;
    IndexLine frames;
    uint8_t oneFrame;    // frames came by a QUADRO line: framesAt names the compressed object itself
    uint8_t digestRead;  // the digest token begins with 64 hexadecimal characters (0: the file can never check)
};

// What the manifest says of immutable objects: "OBJETOS <folder>" says that
// every listed file is also served as URL_BASE + folder + its digest.
enum ObjectsLine {
    OBJECTS_NONE,     // no such line: files come by path
    OBJECTS_VALID,
    OBJECTS_INVALID,  // ignored: files come by path
    OBJECTS_REPEATED  // more than one line: all ignored
};

// Why a manifest with valid lines was not read.
enum ManifestLimit {
    MANIFEST_WITHIN_LIMITS,
    MANIFEST_TOO_MANY_ENTRIES,  // more than MANIFEST_MOST_ENTRIES
    MANIFEST_OUT_OF_MEMORY,     // the entries or their paths found no memory
    MANIFEST_NEEDS_NEWER        // an ARQUIVO-LIMITES line this build does not meet
};

static const size_t OBJECTS_FOLDER_LONGEST = 200;

// "REMOVIDO <digest> <path>": a file an earlier release listed and this one
// no longer does, with a digest it had then (a path may come with several).
// Launchers that know no such line pass over it.
struct RemovedFile {
    uint8_t digest[32];
    const char* path;  // exactly as written (in the manifest's path pool)
};

// The manifest as read: the entries in one array and their paths in one pool
// of blocks that never move, both growing with the manifest (about 64 bytes an
// entry and its path's length and terminator). ParseManifest frees what an
// earlier parse held; ReleaseManifest frees the rest.
struct Manifest {
    char version[128];
    ObjectsLine objects;
    char objectsFolder[OBJECTS_FOLDER_LONGEST + 1];  // when valid
    char objectsText[64];  // the first refused line's folder, cut, for the log
    int ignoredBlocks;     // BLOCOS lines that are malformed, name no listed path, or repeat one
    char ignoredBlocksText[128];  // the first of them and why, for the log
    int ignoredFrames;     // QUADROS and QUADRO lines, likewise
    char ignoredFramesText[128];
    int ignoredRemovals;          // REMOVIDO lines without a digest and a path, or beyond the most
    ManifestLimit limit;
    int count;
    ManifestEntry* entries = nullptr;
    int entryRoom = 0;
    IndexListing* indexes = nullptr;  // of BLOCOS and QUADROS lines alike
    uint32_t indexCount = 0;
    uint32_t indexRoom = 0;
    RemovedFile* removed = nullptr;  // at most MANIFEST_MOST_ENTRIES of them
    int removedCount = 0;
    int removedRoom = 0;
    char** pathBlocks = nullptr;
    uint32_t pathBlockCount = 0;
    uint32_t pathBlockRoom = 0;
    size_t pathBlockUsed = 0;  // bytes taken in the last block
};

// Resets the manifest, reads the file and answers the number of valid entries
// (0 when the file cannot be opened, lists no file, or is beyond a limit:
// manifest->limit then says which).
int ParseManifest(const char* fileName, Manifest* manifest);
int ParseManifestStream(FILE* file, Manifest* manifest);
void ReleaseManifest(Manifest* manifest);

// The entry's chunk index, when its BLOCOS line was taken; NULL otherwise.
const IndexListing* ChunkIndexOf(const Manifest* manifest, const ManifestEntry* entry);
// The entry's frame index, when its QUADROS line was taken; NULL otherwise.
const IndexListing* FrameIndexOf(const Manifest* manifest, const ManifestEntry* entry);
// The entry's one-frame compressed object, when its QUADRO line was taken; NULL otherwise.
const IndexListing* OneFrameOf(const Manifest* manifest, const ManifestEntry* entry);

// Inside the room: the parser's storage. Each answers NULL, with
// manifest->limit set, when the manifest is full or memory is short.
// The table made at once for count entries (at most the most there may be).
void ReserveManifestEntries(Manifest* manifest, int count);
ManifestEntry* AddManifestEntry(Manifest* manifest);  // zeroed; count is the caller's to raise
const char* KeepManifestPath(Manifest* manifest, const char* path, size_t length);
IndexListing* AddIndexListing(Manifest* manifest, uint32_t* at);
// "BLOCOS ...", "QUADROS ..." and "QUADRO ..." after their keyword: each
// names an object of the entry listed last but a few, by its path.
void ReadBlocksLine(const char* rest, Manifest* manifest);
void ReadFramesLine(const char* rest, Manifest* manifest);
void ReadOneFrameLine(const char* rest, Manifest* manifest);
// The parser's pieces that those lines share with the others.
const char* SkipBlanks(const char* text);
int TakeRestOfLine(const char* text, char* field, size_t capacity);
int ReadDigestToken(const char* token, size_t length, uint8_t digest[32]);
// Counted in removedCount; NULL beyond MANIFEST_MOST_ENTRIES of them (no limit set).
RemovedFile* AddRemovedFile(Manifest* manifest);

// The most a game file's answer may hold: twice its listed size and 16 MB
// more, so a listed size that is merely wrong still works.
uint64_t AnswerLimitForListedSize(uint64_t listedSize);

// A folder that OBJETOS may name: relative to URL_BASE, ending in "/", at most
// 200 characters of printable ASCII, never climbing with "..", and without
// "\", ":", "?", "#" or "%" (a URL carries it as it stands).
int IsValidObjectsFolder(const char* folder);

// A listed path that could reach outside the game folder or name a device:
// absolute, drive or stream (":"), a ".." component, CON, NUL, COM1 and the like.
int IsSafeManifestPath(const char* path);
// The file a listed path names on Windows, as one text for all the spellings
// that name it: letter case, "/" or "\\", repeated separators, "." components
// and the trailing dots and blanks that Windows drops from a name ("..",
// which no safe path holds, stays itself). 0 when it would not fit.
int FoldFileName(const char* path, char* folded, size_t capacity);

// A serial or an index size: plain decimal digits that fit 32 bits, followed
// by a blank or the end of the text. Answers what follows the digits, or NULL.
const char* ReadDecimal32(const char* text, uint32_t* value);
// A listed size: the same, up to LARGEST_LISTED_SIZE.
const char* ReadDecimal64(const char* text, uint64_t* value);


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

#ifdef _WIN32
// The public keys (PEM, "BEGIN PUBLIC KEY", RSA) that manifests must be signed
// with. None: manifests are taken as they come, unsigned, as they always were.
struct ManifestKeyList {
    const char* const* pems;
    int count;
};
extern ManifestKeyList ManifestKeys;  // the launcher starts with BUILT_IN_MANIFEST_KEYS
extern const ManifestKeyList BUILT_IN_MANIFEST_KEYS;  // generated from QRV_MANIFEST_KEYS
extern const char SERIAL_FILE_NAME[];  // "launcher.serie": one copy of the serial floor

// Today's date in UTC, as yyyymmdd.
int TodayUtc(void);

// With keys: 1 when the manifest (an open file, read from its first byte) is
// signed by one of them, names itself askedName, is no older than the floor
// and has not expired; *accepted then holds its serial and expiry. 0 after
// logging why it was refused. Records nothing.
int JudgeManifest(FILE* manifest, const char* askedName, const AcceptedRelease* floor, AcceptedRelease* accepted);

// The floor of the release last accepted, from the higher readable of its two
// copies (serial 0 when there is none yet); a missing, damaged or lower copy
// is rewritten from it. 0, logged, when a copy exists but none can be read,
// or when another program holds launcher.serie.
int ReadSerialFloor(AcceptedRelease* floor);
// Both copies hold the accepted release afterwards (a copy is never lowered).
void RaiseSerialFloor(const AcceptedRelease* accepted);
// The uninstall's part: the registry copy of this game folder goes.
void ForgetSerialFloor(void);
// The registry value of this game folder's floor, named after the folder's
// identity (its file index), so that every path that reaches the folder finds
// the one value. 0 when the file system gives no index: the value is then
// named after the folder's path.
int SerialFloorValueName(char* name, size_t capacity);

// The manifest that the run goes by. It is fetched under its temporary name,
// judged and parsed from that same open file, and moved over the local copy
// only once it is accepted, so the local copy is always the last manifest
// accepted.
enum ManifestOutcome {
    MANIFEST_ACCEPTED,
    MANIFEST_UNAVAILABLE,  // not fetched: the reason is in the log
    MANIFEST_REFUSED,      // not what the studio published (signature, name, serial, expiry)
    MANIFEST_EMPTY         // no valid file line
};
// Beside the accepted copy, "<manifest name>.validador": what the server named
// it by (its ETag, else Last-Modified) and the copy's own SHA-256.
int ValidatorNameOf(const char* manifestName, char* name, size_t capacity);
// 1 with the validator and the copy's digest, when both the validator and the
// copy are there and the validator names the copy by something.
int ReadHeldValidator(const char* manifestName, HeldCopyValidator* validator, uint8_t copyDigest[32]);
// Kept for the copy now under manifestName (nothing when the server named it by nothing).
void KeepHeldValidator(const char* manifestName, const ValidatorText* validator);
void ForgetHeldValidator(const char* manifestName);
// 1 when the open file, from where it stands, hashes to digest; rewound after.
int HoldsCopyOf(FILE* copy, const uint8_t digest[32]);

// *frozenSince: when no manifest was accepted and the EXPIRA of the last one
// accepted has passed, that date (yyyymmdd); else 0.
ManifestOutcome FetchManifest(HINTERNET internet, const char* url, Manifest* manifest, int* frozenSince);
#endif
