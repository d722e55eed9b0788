// The proof bitmap writer: a premultiplied frame flattened onto an opaque
// backdrop, saved as a 24-bit bottom-up BMP. No Windows headers.
#pragma once
#include "ui/ui_core.h"

// Bytes per stored row: three per pixel, padded to a multiple of four.
int ProofRowBytes(int width);

// 1 when the file was written; 0 when it cannot be opened or the row buffer
// cannot be allocated.
int WriteProofBmp(const PixelView* view, const char* path, int backRed, int backGreen, int backBlue);
