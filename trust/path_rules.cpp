// Which paths a manifest may name: nothing outside the game folder, no
// device, none of the launcher's own files; and the objects folder it may
// point at; and the folded form that tells two paths of one file. The
// uninstall goes by the same rule. No Windows headers.
#include <ctype.h>
#include <string.h>
#include <strings.h>

#include "trust/trust.h"

static const char* const DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
static const char* const NUMBERED_DEVICE_NAMES[] = {"COM", "LPT"};

// COM and LPT take a digit from 1 to 9, or a superscript 1, 2 or 3 (code page 1252).
static int IsDeviceNumber(char c)
{
    return (c >= '1' && c <= '9') || c == '\xB9' || c == '\xB2' || c == '\xB3';
}

// The platform ignores an extension and trailing dots and blanks on a device name.
static int NamesDevice(const char* component, size_t length)
{
    size_t base = 0;
    while (base < length && component[base] != '.' && component[base] != ' ')
        base++;
    for (const char* device : DEVICE_NAMES) {
        if (base == strlen(device) && strncasecmp(component, device, base) == 0)
            return 1;
    }
    for (const char* device : NUMBERED_DEVICE_NAMES) {
        if (base == 4 && strncasecmp(component, device, 3) == 0 && IsDeviceNumber(component[3]))
            return 1;
    }
    return 0;
}

// "..", and anything the platform would shorten to it (trailing dots and blanks).
static int ClimbsUp(const char* component, size_t length)
{
    size_t dots = 0;
    for (size_t i = 0; i < length; i++) {
        if (component[i] == '.')
            dots++;
        else if (component[i] != ' ')
            return 0;
    }
    return dots >= 2 || (dots == 1 && length > 1);
}

int IsSafeManifestPath(const char* path)
{
    if (path[0] == '\0' || path[0] == '\\' || path[0] == '/' || strchr(path, ':'))
        return 0;
    const char* component = path;
    for (;;) {
        size_t length = strcspn(component, "\\/");
        if (ClimbsUp(component, length) || NamesDevice(component, length))
            return 0;
        if (component[length] == '\0')
            return 1;
        component += length + 1;
    }
}

// A component as Windows keeps it: without its trailing dots and blanks.
static size_t KeptLength(const char* component, size_t length)
{
    while (length > 0 && (component[length - 1] == '.' || component[length - 1] == ' '))
        length--;
    return length;
}

// Letters in one case, as Windows compares names: ASCII and the letters of
// code page 1252 (the launcher's paths are ANSI).
static char FoldCase(char c)
{
    unsigned char u = (unsigned char)c;
    if ((u >= 0xC0 && u <= 0xDE && u != 0xD7) || u == 0x8A || u == 0x8C || u == 0x8E)
        return (char)(u + (u >= 0xC0 ? 0x20 : 0x10));
    if (u == 0x9F)
        return (char)0xFF;
    return (char)tolower(u);
}

int FoldFileName(const char* path, char* folded, size_t capacity)
{
    if (capacity == 0)
        return 0;
    size_t used = 0;
    for (const char* component = path;; component++) {
        size_t length = strcspn(component, "\\/");
        size_t kept = KeptLength(component, length);
        if (kept == 0 && !(length == 1 && component[0] == '.'))
            kept = length;  // "..", which no safe path holds, stays itself; "." goes
        if (kept > 0) {
            if (used + (used > 0) + kept >= capacity)
                return 0;
            if (used > 0)
                folded[used++] = '\\';
            for (size_t i = 0; i < kept; i++)
                folded[used++] = FoldCase(component[i]);
        }
        component += length;
        if (*component == '\0')
            break;
    }
    folded[used] = '\0';
    return 1;
}

int NamesLauncherFile(const char* path, const char* fileName)
{
    for (;;) {
        size_t length = strcspn(path, "\\/");
        if (path[length] == '\0')
            break;
        if (length != 1 || path[0] != '.')
            return 0;  // only ".\" leads back to the same folder
        path += length + 1;
    }
    size_t nameLength = strlen(fileName);
    if (strncasecmp(path, fileName, nameLength) != 0)
        return 0;
    return strspn(path + nameLength, ". ") == strlen(path + nameLength);
}

int IsValidObjectsFolder(const char* folder)
{
    size_t length = strlen(folder);
    if (length == 0 || length > OBJECTS_FOLDER_LONGEST || folder[0] == '/' || folder[length - 1] != '/' ||
        strpbrk(folder, "\\:?#%"))
        return 0;
    for (const char* c = folder; *c; c++) {
        if (*c <= ' ' || *c > '~')
            return 0;
    }
    for (const char* component = folder; *component;) {
        size_t componentLength = strcspn(component, "/");
        if (componentLength == 0 || ClimbsUp(component, componentLength))
            return 0;
        component += componentLength + 1;
    }
    return 1;
}
