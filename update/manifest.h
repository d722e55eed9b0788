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

struct ManifestEntry {
    char digest[65];  // expected SHA-256 as hexadecimal text, compared without regard to case
    uint32_t size;    // bytes as listed: only for progress and the KB figures
    char path[260];   // relative to the game folder, exactly as listed
    EntryState state;
};

struct Manifest {
    char version[128];
    int count;
    ManifestEntry entries[MANIFEST_CAPACITY];
};

// Resets the manifest, reads the file and answers the number of valid entries
// (0 when the file cannot be opened or lists no file).
int ParseManifest(const char* fileName, Manifest* manifest);
int ParseManifestStream(FILE* file, Manifest* manifest);

// Digest texts compared without regard to case.
int DigestsMatch(const char* expected, const char* obtained);

// URL_BASE followed by the name, every backslash turned into a slash.
void BuildFileUrl(char* url, size_t capacity, const char* baseUrl, const char* name);

// A listed path that could reach outside the game folder or name a device:
// absolute, drive or stream (":"), a ".." component, CON, NUL, COM1 and the like.
int IsSafeManifestPath(const char* path);
