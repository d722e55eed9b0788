// libFuzzer target: any bytes as a served signed manifest. The bytes handed
// to the hash must be exactly a prefix of the file, ending at a line start
// where the signatures begin (or at the end of the file).
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "trust/trust.h"

struct Hashed {
    const uint8_t* data;
    size_t size;
    size_t taken;
};

static void HashSigned(void* context, const char* bytes, size_t count)
{
    Hashed* hashed = (Hashed*)context;
    if (hashed->taken + count > hashed->size || memcmp(hashed->data + hashed->taken, bytes, count) != 0)
        __builtin_trap();
    hashed->taken += count;
}

static int CheckSignature(void* context, const char* base64, size_t length)
{
    (void)context;
    if (length == 0)
        __builtin_trap();
    for (size_t i = 0; i < length; i++) {  // the word is not terminated
        if (!strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=", base64[i]) || !base64[i])
            __builtin_trap();
    }
    return length % 8 == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* file = fmemopen((void*)data, size, "rb");
    if (!file)
        return 0;
    Hashed hashed = {data, size, 0};
    SignedManifestReader reader = {HashSigned, CheckSignature, &hashed};
    SignedManifestFacts facts;
    ScanSignedManifest(file, &reader, &facts);
    fclose(file);
    int signaturesBegan = facts.signatureLines > 0 || facts.malformedSignature || facts.lineAfterSignatures;
    if (hashed.taken < size && !signaturesBegan)
        __builtin_trap();
    if (signaturesBegan && (size - hashed.taken < 10 || memcmp(data + hashed.taken, "ASSINATURA", 10) != 0 ||
                            (hashed.taken > 0 && data[hashed.taken - 1] != '\n')))
        __builtin_trap();
    if (facts.verifiedSignatures > facts.signatureLines || strlen(facts.expiryText) >= sizeof facts.expiryText ||
        strnlen(facts.name, sizeof facts.name) >= sizeof facts.name)
        __builtin_trap();
    JudgeSignedManifest(&facts, "manifesto.txt", 0, 20261209);
    return 0;
}
