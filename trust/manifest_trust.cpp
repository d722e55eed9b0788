// Whether a fetched manifest is what the studio published: its signature by a
// built-in key (CryptoAPI), the name it was published under, its serial
// against the floor of the release last accepted, and its expiry date.
#include <stdio.h>

#include "shell/shell.h"
#include "trust/trust.h"

static const int MAX_MANIFEST_KEYS = 8;
static const DWORD MAX_SIGNATURE_BYTES = 512;  // RSA 4096
static const DWORD MAX_KEY_INFO_BYTES = 1024;

ManifestKeyList ManifestKeys = {NULL, 0};

struct SignatureCheck {
    HCRYPTPROV provider;
    HCRYPTHASH hash;
    HCRYPTKEY keys[MAX_MANIFEST_KEYS];
    int keyCount;
    int hashFailed;
};

static void HashSigned(void* context, const char* bytes, size_t count)
{
    SignatureCheck* check = (SignatureCheck*)context;
    if (!CryptHashData(check->hash, (const BYTE*)bytes, (DWORD)count, 0))
        check->hashFailed = 1;
}

// OpenSSL writes the signature most significant byte first; CryptoAPI wants
// it the other way round.
static void ReverseBytes(BYTE* bytes, DWORD count)
{
    for (DWORD i = 0; i < count / 2; i++) {
        BYTE b = bytes[i];
        bytes[i] = bytes[count - 1 - i];
        bytes[count - 1 - i] = b;
    }
}

static int CheckSignature(void* context, const char* base64, size_t length)
{
    SignatureCheck* check = (SignatureCheck*)context;
    BYTE signature[MAX_SIGNATURE_BYTES];
    DWORD size = sizeof signature;
    if (check->hashFailed ||
        !CryptStringToBinaryA(base64, (DWORD)length, CRYPT_STRING_BASE64, signature, &size, NULL, NULL))
        return 0;
    ReverseBytes(signature, size);
    for (int i = 0; i < check->keyCount; i++) {
        if (CryptVerifySignatureA(check->hash, signature, size, check->keys[i], NULL, 0))
            return 1;
    }
    return 0;
}

static int ImportPublicKey(HCRYPTPROV provider, const char* pem, HCRYPTKEY* key)
{
    BYTE der[MAX_KEY_INFO_BYTES];
    DWORD derSize = sizeof der;
    if (!CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, der, &derSize, NULL, NULL))
        return 0;
    CERT_PUBLIC_KEY_INFO* info = NULL;
    DWORD infoSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der, derSize, CRYPT_DECODE_ALLOC_FLAG, NULL,
                             &info, &infoSize))
        return 0;
    BOOL imported = CryptImportPublicKeyInfo(provider, X509_ASN_ENCODING, info, key);
    LocalFree(info);
    return imported;
}

// Facts of the manifest with every signature checked against every key; a
// manifest that cannot be read or checked has readFailed set.
static void ScanWithKeys(FILE* file, SignedManifestFacts* facts)
{
    SignatureCheck check;
    ZeroMemory(&check, sizeof check);
    if (!AcquireShaProvider(&check.provider) || !CryptCreateHash(check.provider, CALG_SHA_256, 0, 0, &check.hash)) {
        ZeroMemory(facts, sizeof *facts);
        facts->readFailed = 1;
        goto done;
    }
    for (int i = 0; i < ManifestKeys.count && check.keyCount < MAX_MANIFEST_KEYS; i++) {
        if (ImportPublicKey(check.provider, ManifestKeys.pems[i], &check.keys[check.keyCount]))
            check.keyCount++;
    }
    {
        SignedManifestReader reader = {HashSigned, CheckSignature, &check};
        ScanSignedManifest(file, &reader, facts);
    }
done:
    for (int i = 0; i < check.keyCount; i++)
        CryptDestroyKey(check.keys[i]);
    if (check.hash)
        CryptDestroyHash(check.hash);
    if (check.provider)
        CryptReleaseContext(check.provider, 0);
}

int TodayUtc(void)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    return now.wYear * 10000 + now.wMonth * 100 + now.wDay;
}

int JudgeManifest(FILE* manifest, const char* askedName, const AcceptedRelease* floor, AcceptedRelease* accepted)
{
    SignedManifestFacts facts;
    ScanWithKeys(manifest, &facts);
    switch (JudgeSignedManifest(&facts, askedName, floor->serial, TodayUtc())) {
    case TRUST_ACCEPTED:
        break;
    case TRUST_UNSIGNED:
        LogLine("manifesto sem assinatura valida: %s", askedName);
        return 0;
    case TRUST_OTHER_NAME:
        LogLine("manifesto com outro nome: %s", askedName);
        return 0;
    case TRUST_NO_SERIAL:
        LogLine("manifesto sem SERIE: %s", askedName);
        return 0;
    case TRUST_OLDER:
        LogLine("manifesto mais antigo que o aceito: serie %lu < %lu", (unsigned long)facts.serial,
                (unsigned long)floor->serial);
        return 0;
    case TRUST_EXPIRED:
        LogLine("manifesto expirado em %s", facts.expiryText);
        return 0;
    }
    accepted->serial = facts.serial;
    accepted->expiry = facts.expiryDate;
    return 1;
}
