// Digests as text: compared without regard to case, read from and written as
// 64 hexadecimal characters. No Windows headers.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "transfer/transfer.h"

int DigestsMatch(const char* expected, const char* obtained)
{
    return strcasecmp(expected, obtained) == 0;
}

int IsDigestText(const char* text, size_t length)
{
    return length == 64 && strspn(text, "0123456789abcdefABCDEF") >= 64;
}

static int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int ReadDigestHex(const char* text, uint8_t digest[32])
{
    for (int i = 0; i < 32; i++) {
        int high = HexValue(text[2 * i]);
        int low = high < 0 ? -1 : HexValue(text[2 * i + 1]);
        if (low < 0)
            return 0;
        digest[i] = (uint8_t)(high << 4 | low);
    }
    return text[64] == '\0';
}

void WriteDigestHex(const uint8_t digest[32], char text[65])
{
    for (int i = 0; i < 32; i++)
        snprintf(text + 2 * i, 3, "%02x", digest[i]);
}
