// The text of the release a launcher last accepted, and which of its two
// copies counts. No Windows headers.
#include <stdio.h>
#include <string.h>

#include "trust/trust.h"

size_t FormatAcceptedRelease(char* text, size_t capacity, const AcceptedRelease* release)
{
    char date[16] = "";
    if (release->expiry)
        FormatCalendarDate(date, sizeof date, release->expiry);
    int length = snprintf(text, capacity, "%lu\r\n%s%s", (unsigned long)release->serial, date,
                          release->expiry ? "\r\n" : "");
    return length > 0 && (size_t)length < capacity ? (size_t)length : 0;
}

// One line of [start, end): its length without the line end; 0 when the line
// end is missing (a cut write).
static size_t LineLength(const char* start, const char* end, const char** next)
{
    const char* lineEnd = (const char*)memchr(start, '\n', (size_t)(end - start));
    if (!lineEnd)
        return 0;
    *next = lineEnd + 1;
    return (size_t)(lineEnd - start) - (lineEnd > start && lineEnd[-1] == '\r' ? 1 : 0);
}

FloorCopyState ReadAcceptedRelease(const char* text, size_t length, AcceptedRelease* release)
{
    const char* end = text + length;
    const char* next = text;
    size_t serialLength = LineLength(text, end, &next);
    char digits[16];
    if (serialLength == 0 || serialLength >= sizeof digits)
        return FLOOR_COPY_UNREADABLE;
    memcpy(digits, text, serialLength);
    digits[serialLength] = '\0';
    const char* afterDigits = ReadDecimal32(digits, &release->serial);
    if (!afterDigits || *afterDigits != '\0')
        return FLOOR_COPY_UNREADABLE;
    release->expiry = 0;
    if (next == end)
        return FLOOR_COPY_READ;
    const char* dateStart = next;
    size_t dateLength = LineLength(dateStart, end, &next);
    release->expiry = ReadCalendarDate(dateStart, dateLength);
    return release->expiry && next == end ? FLOOR_COPY_READ : FLOOR_COPY_UNREADABLE;
}

int CombineFloorCopies(const FloorCopy* first, const FloorCopy* second, AcceptedRelease* floor)
{
    floor->serial = 0;
    floor->expiry = 0;
    if (first->state == FLOOR_COPY_HELD || second->state == FLOOR_COPY_HELD)
        return 0;
    const FloorCopy* best = NULL;
    if (first->state == FLOOR_COPY_READ)
        best = first;
    if (second->state == FLOOR_COPY_READ && (!best || second->release.serial > best->release.serial))
        best = second;
    if (best) {
        *floor = best->release;
        return 1;
    }
    return first->state == FLOOR_COPY_ABSENT && second->state == FLOOR_COPY_ABSENT;
}
