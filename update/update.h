// The update room and the face the shell calls: the update run (the check
// phase, the download phase, the outcome that lets the game start or blocks
// it) and the launcher's replacement of itself. It may call the rooms below
// it: trust/ (the manifest and whether to believe it), patch/ (a changed file
// rebuilt from its old copy), frames/ (the frame index and the decoder of a
// file fetched compressed) and transfer/ (every fetch, the file digest);
// never ui/, and install/ only for the configuration it runs by.
#pragma once
#include "patch/patch.h"
#include "transfer/transfer.h"
#include "trust/trust.h"

extern const char USER_AGENT[];  // "QRV-Launcher/1.0"

// Where a listed file comes from: its immutable object under the manifest's
// objects folder when there is one (its path URL then the fallback), else its
// path URL. Both buffers hold URL_CAPACITY bytes.
void ChooseFileSource(FileFetch* fetch, char* pathUrl, char* objectUrl, const char* baseUrl, const char* name,
                      const char* digest, const char* objectsFolder);

// A file's size on disk, 0 when it is not there (disk_room.cpp).
uint64_t SizeOnDisk(const char* path);

// A whole file by its compressed object, the frame index listing its frames
// (the manifest's QUADROS line): each frame checked by its SHA-256 before it
// is decoded into the temporary file, the file judged by its digest before it
// takes its name.
enum CompressedOutcome {
    COMPRESSED_NOT_TAKEN,  // the raw object is to be fetched instead (the reason is logged: no failure)
    COMPRESSED_PLACED,
    COMPRESSED_FAILED      // the file could not be written or take its name: it fails
};
CompressedOutcome FetchCompressed(HINTERNET internet, const FileFetch* fetch, const IndexListing* listing,
                                  const char* baseUrl, const char* objectsFolder);
// The same for a file that is one frame (the manifest's QUADRO line): the
// compressed object the line names is that frame; no index to fetch.
CompressedOutcome FetchOneFrame(HINTERNET internet, const FileFetch* fetch, const IndexListing* listing,
                                const char* baseUrl, const char* objectsFolder);

// 1 when a new launcher stands under ownName and has been started; it comes
// from baseUrl, from the objects folder when the manifest names one (NULL: by
// its path).
int ReplaceLauncher(HINTERNET internet, const char* baseUrl, const char* ownName, const char* expectedDigest,
                    const char* objectsFolder);

// The run's servers, URL_BASE then the mirrors (servers.cpp), from the
// configuration; the end says which served how many files when a mirror was used.
void StartServers(void);
void EndServers(void);
// The manifest from the first server in the order that gives one the
// launcher accepts; that server is then asked first for files. url holds
// URL_CAPACITY bytes: the manifest's URL last asked.
ManifestOutcome FetchManifestFromServers(HINTERNET internet, Manifest* manifest, int* frozenSince, char* url);
// The base URL of the server asked first.
const char* FirstServerBase(void);
// The file through fetchFrom from each server in the order until one brings
// it into line; a server that failed meanwhile goes to the end. 1 when one did.
int FetchFromServers(const ManifestEntry* entry, int (*fetchFrom)(const ManifestEntry* entry, const char* baseUrl));

// The download phase: every entry marked to fetch, up to connections files at
// once, each through its whole road; answers how many failed. The status
// line, the detail line and the log go in manifest order, as one file at a
// time would have them.
int FetchFilesInTurns(HINTERNET internet, const Manifest* manifest, int toFetch, const char* objectsFolder,
                      int connections);
// The entry that lists the running launcher (ownName: its file name, or
// empty when it could not be read): its own road replaces it.
int IsOwnEntry(const ManifestEntry* entry, const char* ownName);
// The check phase: hashes every listed file that is not settled yet (on up
// to one thread per processor), showing them in manifest order; refuses and
// counts in *failures the paths that could write outside the game folder or
// name the launcher's serial file, and unreadable digests. Answers how many
// are to fetch, whose sizes it adds to BytesToFetch.
int CheckFiles(Manifest* manifest, const char* ownName, int* failures);
// Two listed paths that name one file on Windows.
int NameSameFile(const char* one, const char* other);
// Marks each entry that names the file of an earlier one: settled with it
// when their digests agree, else refused (logged: the manifest is
// inconsistent). Answers how many were refused.
int SettleEntriesNamingOneFile(Manifest* manifest);
// Whether the game folder's disk has room for fetching the manifest's entries
// to fetch (toFetch of them, up to inFlight at once) at the peak of the
// download phase. 0 when it has not: logged, and the failure text says how
// much more room is needed where.
int RoomForFetches(const Manifest* manifest, int toFetch, int inFlight);
// The disk the game folder is on ("C:\"), for the player.
void NameGameDisk(char* disk, size_t capacity);

// After a run that brought every listed file into line: each file the
// manifest's REMOVIDO lines name is deleted where it holds one of the digests
// given for it, its path is safe and none of the launcher's own, and the
// release does not list it again. Every deletion and every file kept or left
// is logged; nothing here fails the run.
void RemoveDroppedFiles(const Manifest* manifest, const char* ownName);

// 1: the game may start; 0: it must not (the failure text says why);
// -1: the launcher replaced itself and started its new copy.
int RunUpdate(void);
