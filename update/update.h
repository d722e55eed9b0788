// The update engine: brings the game folder into line with the distribution
// server (manifest, digests, verified downloads, self-replacement) and decides
// whether the game may start.
#pragma once
#include <windows.h>
#include <wininet.h>

#include "update/manifest.h"

extern const char USER_AGENT[];  // "QRV-Launcher/1.0"

// SHA-256 of a file as 64 lowercase hexadecimal characters; 1 on success. The
// output is the empty text after any failure.
int ComputeFileDigest(const char* path, char* digest65);

// Creates every folder along a relative path, not its last component.
void MakeParentDirectories(const char* path);

// Fetches url into target through target.tmp, verified against the digest when
// one is given; 1 when target now holds the body.
int DownloadFile(HINTERNET internet, const char* url, const char* target, uint32_t expectedSize,
                 const char* expectedDigest);

// 1 when a new launcher stands under ownName and has been started.
int ReplaceLauncher(HINTERNET internet, const char* ownName, const char* expectedDigest);

// 1: the game may start; 0: it must not (the failure text says why);
// -1: the launcher replaced itself and started its new copy.
int RunUpdate(void);
