// The update engine: brings the game folder into line with the distribution
// server (manifest, digests, verified downloads, self-replacement) and decides
// whether the game may start.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <wincrypt.h>

#include "update/manifest.h"

extern const char USER_AGENT[];  // "QRV-Launcher/1.0"

// SHA-256 of a file as 64 lowercase hexadecimal characters; 1 on success. The
// output is the empty text after any failure.
int ComputeFileDigest(const char* path, char* digest65);
// The provider's DLL is loaded at every acquire of a context and unloaded at
// every release unless someone else holds it: under Wine that costs about
// 3 ms per file digest. One reference held for the whole process makes it a
// few hundredths of a millisecond; without it only the speed changes. Called
// once at start-up, before the update.
void KeepCryptoProviderLoaded(void);
// A context of the provider that does SHA-256 and RSA, with no key container.
int AcquireShaProvider(HCRYPTPROV* provider);

// The public keys (PEM, "BEGIN PUBLIC KEY", RSA) that manifests must be signed
// with. None: manifests are taken as they come, unsigned, as they always were.
struct ManifestKeyList {
    const char* const* pems;
    int count;
};
extern ManifestKeyList ManifestKeys;  // the launcher starts with BUILT_IN_MANIFEST_KEYS
extern const ManifestKeyList BUILT_IN_MANIFEST_KEYS;  // generated from QRV_MANIFEST_KEYS
extern const char SERIAL_FILE_NAME[];  // "launcher.serie": the serial last accepted

// With keys: 1 when the local manifest copy is signed by one of them, is no
// older than the release last accepted and has not expired, after recording
// its serial; 0 after logging why it was refused. Without keys: 1.
int AcceptManifest(const char* manifestName);

// Creates every folder along a relative path, not its last component.
void MakeParentDirectories(const char* path);

// How long a transfer waits and how it is tried again. The launcher keeps
// DEFAULT_TRANSFER_POLICY (the time-outs Windows uses by default; pauses of 1 s
// and 3 s before the two further attempts); tests may shorten them.
struct TransferPolicyRecord {
    DWORD connectTimeoutMs;
    DWORD sendTimeoutMs;
    DWORD receiveTimeoutMs;
    DWORD retryPausesMs[2];
};
extern const TransferPolicyRecord DEFAULT_TRANSFER_POLICY;
extern TransferPolicyRecord TransferPolicy;

// Sets the policy's time-outs on the run's internet handle.
void ApplyTransferTimeouts(HINTERNET internet);

// MoveFileExA, tried again for about 2 s while another program holds a file.
int MoveWhenFree(const char* from, const char* to, DWORD flags);

// Fetches url into target through target.tmp, verified against the digest when
// one is given; 1 when target now holds the body. A broken transfer is tried
// twice more; with a digest to check, each attempt continues what arrived, and
// a temporary file left by an earlier run is continued too.
int DownloadFile(HINTERNET internet, const char* url, const char* target, uint32_t expectedSize,
                 const char* expectedDigest);

// 1 when a new launcher stands under ownName and has been started.
int ReplaceLauncher(HINTERNET internet, const char* ownName, const char* expectedDigest);

// 1: the game may start; 0: it must not (the failure text says why);
// -1: the launcher replaced itself and started its new copy.
int RunUpdate(void);
