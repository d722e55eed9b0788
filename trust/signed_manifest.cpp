// Signed manifests: the streaming scan that separates the signed bytes from
// the signature lines and reads SERIE and EXPIRA, and the verdict on what it
// found. No Windows headers: the hashing and the signature check come in
// through SignedManifestReader.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "shell/shell_rules.h"
#include "trust/trust.h"

static const char SIGNATURE_KEYWORD[] = "ASSINATURA";
static const char NAME_KEYWORD[] = "NOME";
static const char SERIAL_KEYWORD[] = "SERIE";
static const char EXPIRY_KEYWORD[] = "EXPIRA";
static const size_t SCAN_CHUNK = 0x8000;
// Every line that must be read whole (a signature of a 4096-bit key is 684
// base64 characters) fits; a longer line is signed data or a broken signature.
static const size_t SCAN_LINE_CAPACITY = 1024;

struct LineScan {
    const SignedManifestReader* reader;
    SignedManifestFacts* facts;
    int inSignatures;
    int continued;  // the buffered bytes are the rest of a line longer than the buffer
    size_t length;
    char line[SCAN_LINE_CAPACITY];
};

static int IsLineBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The line starts with the keyword followed by a blank or the line end.
static int StartsWithKeyword(const char* line, size_t length, const char* keyword)
{
    size_t keywordLength = strlen(keyword);
    if (length < keywordLength || memcmp(line, keyword, keywordLength) != 0)
        return 0;
    return length == keywordLength || IsLineBlank(line[keywordLength]) || line[keywordLength] == '\r' ||
           line[keywordLength] == '\n';
}

// The word after the keyword: [start, start + length), with only blanks and
// the line end after it; 0 when there is no such single word.
static int TakeSingleWord(const char* line, size_t length, size_t keywordLength, size_t* start, size_t* wordLength)
{
    size_t i = keywordLength;
    while (i < length && IsLineBlank(line[i]))
        i++;
    *start = i;
    while (i < length && !IsLineBlank(line[i]) && line[i] != '\r' && line[i] != '\n')
        i++;
    *wordLength = i - *start;
    while (i < length && IsLineBlank(line[i]))
        i++;
    if (i < length && line[i] == '\r')
        i++;
    if (i < length && line[i] == '\n')
        i++;
    return *wordLength > 0 && i == length;
}

static int IsBase64Word(const char* word, size_t length)
{
    size_t padding = 0;
    for (size_t i = 0; i < length; i++) {
        char c = word[i];
        if (c == '=') {
            padding++;
            continue;
        }
        int alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                       c == '/';
        if (!alphabet || padding > 0)
            return 0;
    }
    return length % 4 == 0 && padding <= 2;
}

static void ReadSignatureLine(LineScan* scan)
{
    SignedManifestFacts* facts = scan->facts;
    size_t start;
    size_t length;
    if (!TakeSingleWord(scan->line, scan->length, sizeof SIGNATURE_KEYWORD - 1, &start, &length) ||
        !IsBase64Word(scan->line + start, length)) {
        facts->malformedSignature = 1;
        return;
    }
    facts->signatureLines++;
    if (scan->reader->checkSignature(scan->reader->context, scan->line + start, length))
        facts->verifiedSignatures++;
}

static void ReadNameLine(LineScan* scan)
{
    SignedManifestFacts* facts = scan->facts;
    facts->nameLines++;
    size_t start;
    size_t length;
    facts->nameReadable = 0;
    if (!TakeSingleWord(scan->line, scan->length, sizeof NAME_KEYWORD - 1, &start, &length) ||
        length >= sizeof facts->name)
        return;
    memcpy(facts->name, scan->line + start, length);
    facts->name[length] = '\0';
    facts->nameReadable = 1;
}

static void ReadSerialLine(LineScan* scan)
{
    SignedManifestFacts* facts = scan->facts;
    facts->serialLines++;
    size_t start;
    size_t length;
    facts->serialReadable = 0;
    if (!TakeSingleWord(scan->line, scan->length, sizeof SERIAL_KEYWORD - 1, &start, &length))
        return;
    char word[16];
    if (length >= sizeof word)
        return;
    memcpy(word, scan->line + start, length);
    word[length] = '\0';
    const char* end = ReadDecimal32(word, &facts->serial);
    facts->serialReadable = end != NULL && *end == '\0';
}

static void ReadExpiryLine(LineScan* scan)
{
    SignedManifestFacts* facts = scan->facts;
    facts->expiryLines++;
    size_t i = sizeof EXPIRY_KEYWORD - 1;
    while (i < scan->length && IsLineBlank(scan->line[i]))
        i++;
    size_t end = i;  // the buffer holds no terminator
    while (end < scan->length && scan->line[end] != '\r' && scan->line[end] != '\n')
        end++;
    size_t shown = end - i < sizeof facts->expiryText - 1 ? end - i : sizeof facts->expiryText - 1;
    memcpy(facts->expiryText, scan->line + i, shown);
    facts->expiryText[shown] = '\0';
    size_t start;
    size_t length;
    facts->expiryDate = 0;
    if (TakeSingleWord(scan->line, scan->length, sizeof EXPIRY_KEYWORD - 1, &start, &length))
        facts->expiryDate = ReadCalendarDate(scan->line + start, length);
    facts->expiryReadable = facts->expiryDate != 0;
}

static void SignBufferedBytes(LineScan* scan)
{
    scan->reader->hashSigned(scan->reader->context, scan->line, scan->length);
}

// A whole line (or the last piece of a long one) is in the buffer.
static void FinishLine(LineScan* scan)
{
    if (scan->continued) {
        if (!scan->inSignatures)
            SignBufferedBytes(scan);
    } else if (StartsWithKeyword(scan->line, scan->length, SIGNATURE_KEYWORD)) {
        scan->inSignatures = 1;
        ReadSignatureLine(scan);
    } else if (scan->inSignatures) {
        scan->facts->lineAfterSignatures = 1;
    } else {
        SignBufferedBytes(scan);
        if (StartsWithKeyword(scan->line, scan->length, NAME_KEYWORD))
            ReadNameLine(scan);
        else if (StartsWithKeyword(scan->line, scan->length, SERIAL_KEYWORD))
            ReadSerialLine(scan);
        else if (StartsWithKeyword(scan->line, scan->length, EXPIRY_KEYWORD))
            ReadExpiryLine(scan);
    }
    scan->length = 0;
    scan->continued = 0;
}

// The buffer is full in the middle of a line: only signed data may be that
// long. A long NOME, SERIE or EXPIRA line counts, unreadable.
static void SpillLongLine(LineScan* scan)
{
    if (!scan->continued) {
        if (scan->inSignatures || StartsWithKeyword(scan->line, scan->length, SIGNATURE_KEYWORD)) {
            scan->facts->malformedSignature = 1;
            scan->inSignatures = 1;
        } else if (StartsWithKeyword(scan->line, scan->length, NAME_KEYWORD)) {
            scan->facts->nameLines++;
            scan->facts->nameReadable = 0;
        } else if (StartsWithKeyword(scan->line, scan->length, SERIAL_KEYWORD)) {
            scan->facts->serialLines++;
            scan->facts->serialReadable = 0;
        } else if (StartsWithKeyword(scan->line, scan->length, EXPIRY_KEYWORD)) {
            scan->facts->expiryLines++;
            scan->facts->expiryReadable = 0;
            CopyCut(scan->facts->expiryText, sizeof scan->facts->expiryText, "(linha longa demais)");
        }
    }
    if (!scan->inSignatures)
        SignBufferedBytes(scan);
    scan->length = 0;
    scan->continued = 1;
}

static void AppendToLine(LineScan* scan, const char* bytes, size_t count)
{
    while (count > 0) {
        if (scan->length == sizeof scan->line)
            SpillLongLine(scan);
        size_t room = sizeof scan->line - scan->length;
        size_t taken = count < room ? count : room;
        memcpy(scan->line + scan->length, bytes, taken);
        scan->length += taken;
        bytes += taken;
        count -= taken;
    }
}

void ScanSignedManifest(FILE* file, const SignedManifestReader* reader, SignedManifestFacts* facts)
{
    memset(facts, 0, sizeof *facts);
    static LineScan scan;  // one scan at a time, on the update worker
    scan.reader = reader;
    scan.facts = facts;
    scan.inSignatures = 0;
    scan.continued = 0;
    scan.length = 0;
    static char chunk[SCAN_CHUNK];
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, file)) > 0) {
        const char* next = chunk;
        const char* end = chunk + count;
        while (next < end) {
            const char* lineEnd = (const char*)memchr(next, '\n', (size_t)(end - next));
            const char* stop = lineEnd ? lineEnd + 1 : end;
            AppendToLine(&scan, next, (size_t)(stop - next));
            if (lineEnd)
                FinishLine(&scan);
            next = stop;
        }
    }
    if (scan.length > 0 || scan.continued)
        FinishLine(&scan);
    facts->readFailed = ferror(file) != 0;
}

static int IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

static int DaysInMonth(int year, int month)
{
    static const int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : DAYS[month - 1];
}

static int ReadDigits(const char* text, size_t count)
{
    int value = 0;
    for (size_t i = 0; i < count; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

int ReadCalendarDate(const char* text, size_t length)
{
    if (length != 10 || text[4] != '-' || text[7] != '-')
        return 0;
    int year = ReadDigits(text, 4);
    int month = ReadDigits(text + 5, 2);
    int day = ReadDigits(text + 8, 2);
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return 0;
    return year * 10000 + month * 100 + day;
}

void FormatCalendarDate(char* text, size_t capacity, int date)
{
    snprintf(text, capacity, "%04d-%02d-%02d", date / 10000, date / 100 % 100, date % 100);
}

ManifestTrust JudgeSignedManifest(const SignedManifestFacts* facts, const char* askedName, uint32_t acceptedSerial,
                                  int today)
{
    if (facts->readFailed || facts->malformedSignature || facts->lineAfterSignatures ||
        facts->verifiedSignatures == 0)
        return TRUST_UNSIGNED;
    // Both manifests of a release carry one serial: only the name tells the
    // complete list from the normal one, which leaves the player's own files alone.
    if (facts->nameLines != 1 || !facts->nameReadable || strcasecmp(facts->name, askedName) != 0)
        return TRUST_OTHER_NAME;
    if (facts->serialLines != 1 || !facts->serialReadable)
        return TRUST_NO_SERIAL;
    if (facts->serial < acceptedSerial)
        return TRUST_OLDER;
    if (facts->expiryLines > 0 && (facts->expiryLines > 1 || !facts->expiryReadable || facts->expiryDate < today))
        return TRUST_EXPIRED;
    return TRUST_ACCEPTED;
}
