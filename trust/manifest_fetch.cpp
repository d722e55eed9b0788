// The manifest's road: fetched under its temporary name, judged and parsed
// from that same open file (nothing can change it in between), and moved over
// the local copy only once accepted. A refused or empty answer (an attacker's
// manifest, a captive portal's page, an empty 200) changes nothing on disk:
// the uninstall trusts the local copy to say what the launcher put there.
// The request carries the validator of that copy: a 304 (no body) means the
// copy stands, and it is judged and parsed again as if it had arrived.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "install/install.h"
#include "shell/shell.h"
#include "trust/trust.h"

// A manifest of the most entries the launcher reads, 1 000 000, with paths of
// 150 characters on average and a BLOCOS line for one file in ten, is about
// 260 MB (100 000 entries of typical paths are about 12 MB). The answer is
// written to disk, never held in memory.
static const DWORD MANIFEST_MAX_BYTES = 256u << 20;

// A manifest read only in part: the run may still replace the launcher from
// it, but never starts the game by it.
static void LogLimit(const Manifest* manifest, const char* name)
{
    switch (manifest->limit) {
    case MANIFEST_WITHIN_LIMITS:
        break;
    case MANIFEST_TOO_MANY_ENTRIES:
        LogLine("%s lista mais de %d arquivos, o limite deste atualizador: lido ate o limite", name,
                MANIFEST_MOST_ENTRIES);
        break;
    case MANIFEST_OUT_OF_MEMORY:
        LogLine("memoria insuficiente para %s: lido ate %d arquivos", name, manifest->count);
        break;
    case MANIFEST_NEEDS_NEWER:
        LogLine("%s exige um atualizador mais novo (linha ARQUIVO-LIMITES)", name);
        break;
    }
}

// Opened so that no other program may write to it while it is judged and parsed.
static FILE* OpenUnchangeable(const char* path)
{
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return NULL;
    int descriptor = _open_osfhandle((intptr_t)handle, _O_RDONLY | _O_BINARY);
    if (descriptor == -1) {
        CloseHandle(handle);
        return NULL;
    }
    FILE* file = _fdopen(descriptor, "rb");
    if (!file)
        _close(descriptor);
    return file;
}

// From the file's first byte; the file stays open for the caller to close.
static ManifestOutcome JudgeAndParseOpen(FILE* file, const char* name, const AcceptedRelease* floor,
                                         Manifest* manifest, AcceptedRelease* accepted)
{
    if (ManifestKeys.count > 0 && (!floor || !JudgeManifest(file, name, floor, accepted)))
        return MANIFEST_REFUSED;
    rewind(file);
    ManifestOutcome outcome = MANIFEST_ACCEPTED;
    if (ParseManifestStream(file, manifest) == 0 && manifest->limit == MANIFEST_WITHIN_LIMITS)
        outcome = MANIFEST_EMPTY;
    LogLimit(manifest, name);
    return outcome;
}

static ManifestOutcome JudgeAndParse(const char* temporary, const char* name, const AcceptedRelease* floor,
                                     Manifest* manifest, AcceptedRelease* accepted)
{
    FILE* file = OpenUnchangeable(temporary);
    if (!file) {
        LogLine("nao consegui ler %s (%lu)", temporary, GetLastError());
        return MANIFEST_UNAVAILABLE;
    }
    ManifestOutcome outcome = JudgeAndParseOpen(file, name, floor, manifest, accepted);
    fclose(file);
    return outcome;
}

// The accepted copy, open and unchangeable, when its validator can be asked
// with: it is still the very copy accepted. NULL otherwise (the validator is
// then empty, and the whole manifest is asked for).
static FILE* OpenHeldCopy(const char* name, HeldCopyValidator* validator)
{
    uint8_t digest[32];
    if (!ReadHeldValidator(name, validator, digest))
        return NULL;
    FILE* copy = OpenUnchangeable(name);
    if (copy && HoldsCopyOf(copy, digest))
        return copy;
    if (copy)
        fclose(copy);
    LogLine("%s mudou desde que foi aceito: peco o manifesto inteiro", name);
    ZeroMemory(validator, sizeof *validator);
    ForgetHeldValidator(name);
    return NULL;
}

// A 304: the copy accepted last is still the server's, and is judged again
// as if it had just arrived (a 304 keeps no one past its EXPIRA). Refused,
// it loses its validator: the next start asks for the whole manifest.
static ManifestOutcome JudgeHeldCopy(FILE* held, const char* name, const AcceptedRelease* floor,
                                     Manifest* manifest, AcceptedRelease* accepted)
{
    if (!held) {
        LogLine("resposta 304 a um pedido sem validador: %s", name);
        return MANIFEST_UNAVAILABLE;
    }
    LogLine("manifesto nao mudou no servidor (304): uso a copia aceita");
    ManifestOutcome outcome = JudgeAndParseOpen(held, name, floor, manifest, accepted);
    if (outcome != MANIFEST_ACCEPTED)
        ForgetHeldValidator(name);
    return outcome;
}

// The answer accepted becomes the local copy, and its validator the one kept
// beside it (the old one goes first, so a copy never stands beside another's).
static void KeepAccepted(const char* temporary, const char* name, const ValidatorText* validator)
{
    ForgetHeldValidator(name);
    // The uninstall goes by the local copy: flushed, so that a power cut
    // never leaves it empty under its name.
    if (!FlushToDisk(temporary))
        LogLine("nao consegui gravar %s (%lu)", temporary, GetLastError());
    else if (!MoveWhenFree(temporary, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        LogLine("nao consegui renomear %s para %s (%lu)", temporary, name, GetLastError());
    else
        KeepHeldValidator(name, validator);
}

static int IsFrozen(const AcceptedRelease* floor)
{
    return floor->expiry != 0 && floor->expiry < TodayUtc();
}

ManifestOutcome FetchManifest(HINTERNET internet, const char* url, Manifest* manifest, int* frozenSince)
{
    const char* name = LauncherConfig.manifestName;
    AcceptedRelease floor = {0, 0};
    int floorKnown = ManifestKeys.count == 0 || ReadSerialFloor(&floor);
    char temporary[MAX_PATH];
    HeldCopyValidator validator;
    FILE* held = OpenHeldCopy(name, &validator);
    FileFetch fetch = {url, name, 0, NULL, MANIFEST_MAX_BYTES, KEEP_IN_TEMPORARY, CACHE_NONE_ASKED, NULL, &validator};
    ManifestOutcome outcome = MANIFEST_UNAVAILABLE;
    AcceptedRelease accepted = {0, 0};
    if (TemporaryNameOf(name, temporary, sizeof temporary) &&
        DownloadFileWithin(internet, &fetch, TransferPolicy.manifestWithinMs)) {
        if (validator.notModified) {
            outcome = JudgeHeldCopy(held, name, floorKnown ? &floor : NULL, manifest, &accepted);
        } else {
            if (held)
                fclose(held);  // its name is about to be taken
            held = NULL;
            outcome = JudgeAndParse(temporary, name, floorKnown ? &floor : NULL, manifest, &accepted);
            if (outcome == MANIFEST_ACCEPTED)
                KeepAccepted(temporary, name, &validator.answered);
        }
        if (outcome == MANIFEST_ACCEPTED && ManifestKeys.count > 0)
            RaiseSerialFloor(&accepted);
        DeleteFileA(temporary);
    }
    if (held)
        fclose(held);
    *frozenSince = outcome != MANIFEST_ACCEPTED && IsFrozen(&floor) ? floor.expiry : 0;
    return outcome;
}
