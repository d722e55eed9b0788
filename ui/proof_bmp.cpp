// The proof bitmap: a 14-byte file header, a 40-byte information header and
// bottom-up rows of B, G, R padded with zeros, little-endian throughout.
#include "ui/proof_bmp.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const int BMP_HEADERS_SIZE = 54;

int ProofRowBytes(int width)
{
    return (width * 3 + 3) / 4 * 4;
}

static void Put16(uint8_t* at, uint32_t value)
{
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
}

static void Put32(uint8_t* at, uint32_t value)
{
    Put16(at, value);
    Put16(at + 2, value >> 16);
}

static void FillHeaders(uint8_t* header, int width, int height)
{
    memset(header, 0, BMP_HEADERS_SIZE);
    header[0] = 'B';
    header[1] = 'M';
    Put32(header + 2, (uint32_t)(height * ProofRowBytes(width) + BMP_HEADERS_SIZE));
    Put32(header + 10, BMP_HEADERS_SIZE);
    Put32(header + 14, 40);
    Put32(header + 18, (uint32_t)width);
    Put32(header + 22, (uint32_t)height);  // positive: rows stored bottom-up
    Put16(header + 26, 1);
    Put16(header + 28, 24);
}

// The premultiplied "over": transparent shows the backdrop, opaque the frame.
static void FlattenRow(const uint8_t* pixels, int width, uint8_t* row, int backRed, int backGreen, int backBlue)
{
    for (int x = 0; x < width; x++, pixels += 4, row += 3) {
        int k = 255 - pixels[3];
        row[0] = (uint8_t)(pixels[0] + (k * backBlue) / 255);
        row[1] = (uint8_t)(pixels[1] + (k * backGreen) / 255);
        row[2] = (uint8_t)(pixels[2] + (k * backRed) / 255);
    }
}

int WriteProofBmp(const PixelView* view, const char* path, int backRed, int backGreen, int backBlue)
{
    int rowBytes = ProofRowBytes(view->width);
    FILE* file = fopen(path, "wb");
    if (!file)
        return 0;
    uint8_t header[BMP_HEADERS_SIZE];
    FillHeaders(header, view->width, view->height);
    fwrite(header, 1, sizeof header, file);
    uint8_t* row = (uint8_t*)calloc(1, (size_t)rowBytes);  // its padding stays zero
    if (!row) {
        fclose(file);
        return 0;
    }
    for (int y = view->height - 1; y >= 0; y--) {
        FlattenRow(view->pixels + (size_t)y * view->width * 4, view->width, row, backRed, backGreen, backBlue);
        fwrite(row, 1, (size_t)rowBytes, file);
    }
    free(row);
    fclose(file);
    return 1;
}
