// The art: GDI+ bound at run time (only to decode the three PNG pictures in the
// executable's resources), the decoded pictures, and the renderer's start and end.
#include <objbase.h>
#include <stdlib.h>
#include <string.h>

#include "shell/platform.h"
#include "ui/animation.h"
#include "ui/renderer.h"

ArtImage BackgroundArt;
ArtImage CharacterArt;
ArtImage FlameArt;
Surface TextScratch;

static const int BACKGROUND_RESOURCE = 101;
static const int CHARACTER_RESOURCE = 102;
static const int FLAME_RESOURCE = 103;

// The GDI+ flat API, declared here because only these few calls are used.
struct GdiplusStartupInput {
    UINT32 GdiplusVersion;
    void* DebugEventCallback;
    BOOL SuppressBackgroundThread;
    BOOL SuppressExternalCodecs;
};
struct GdipRect {
    INT X, Y, Width, Height;
};
struct GdipBitmapData {
    UINT Width, Height;
    INT Stride;
    INT PixelFormat;
    void* Scan0;
    UINT_PTR Reserved;
};
typedef void GpBitmap;
static const int GDIP_OK = 0;
static const UINT IMAGE_LOCK_MODE_READ = 1;
static const INT PIXEL_FORMAT_32BPP_ARGB = 0x0026200A;  // straight alpha, bytes B, G, R, A

static struct {
    HMODULE module;
    ULONG_PTR token;
    int(WINAPI* Startup)(ULONG_PTR*, const GdiplusStartupInput*, void*);
    void(WINAPI* Shutdown)(ULONG_PTR);
    int(WINAPI* CreateBitmapFromStream)(IStream*, GpBitmap**);
    int(WINAPI* GetImageWidth)(GpBitmap*, UINT*);
    int(WINAPI* GetImageHeight)(GpBitmap*, UINT*);
    int(WINAPI* BitmapLockBits)(GpBitmap*, const GdipRect*, UINT, INT, GdipBitmapData*);
    int(WINAPI* BitmapUnlockBits)(GpBitmap*, GdipBitmapData*);
    int(WINAPI* DisposeImage)(GpBitmap*);
} Gdiplus;

template <typename Call>
static int LookUp(Call* call, const char* name)
{
    *call = (Call)(void*)GetProcAddress(Gdiplus.module, name);
    return *call != NULL;
}

int BindGdiPlus(void)
{
    if (Gdiplus.module)
        return 1;
    Gdiplus.module = Os.LoadLibraryA("gdiplus.dll");
    if (!Gdiplus.module)
        return 0;
    int found = LookUp(&Gdiplus.Startup, "GdiplusStartup") & LookUp(&Gdiplus.Shutdown, "GdiplusShutdown") &
                LookUp(&Gdiplus.CreateBitmapFromStream, "GdipCreateBitmapFromStream") &
                LookUp(&Gdiplus.GetImageWidth, "GdipGetImageWidth") &
                LookUp(&Gdiplus.GetImageHeight, "GdipGetImageHeight") &
                LookUp(&Gdiplus.BitmapLockBits, "GdipBitmapLockBits") &
                LookUp(&Gdiplus.BitmapUnlockBits, "GdipBitmapUnlockBits") &
                LookUp(&Gdiplus.DisposeImage, "GdipDisposeImage");
    GdiplusStartupInput input = {1, NULL, FALSE, FALSE};
    if (found && Gdiplus.Startup(&Gdiplus.token, &input, NULL) == GDIP_OK)
        return 1;
    FreeLibrary(Gdiplus.module);
    Gdiplus.module = NULL;
    return 0;
}

void UnbindGdiPlus(void)
{
    if (!Gdiplus.module)
        return;
    if (Gdiplus.Shutdown)
        Gdiplus.Shutdown(Gdiplus.token);
    FreeLibrary(Gdiplus.module);
    Gdiplus.module = NULL;
}

// A memory stream holding a copy of the resource's bytes; releasing the
// stream frees them.
static IStream* OpenResourceStream(HINSTANCE instance, int resourceId)
{
    HRSRC resource = FindResourceA(instance, MAKEINTRESOURCEA(resourceId), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    DWORD size = resource ? SizeofResource(instance, resource) : 0;
    HGLOBAL loaded = resource ? LoadResource(instance, resource) : NULL;
    const void* bytes = loaded ? LockResource(loaded) : NULL;
    if (!size || !bytes)
        return NULL;
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!copy)
        return NULL;
    memcpy(GlobalLock(copy), bytes, size);
    GlobalUnlock(copy);
    IStream* stream = NULL;
    if (CreateStreamOnHGlobal(copy, TRUE, &stream) != S_OK) {
        GlobalFree(copy);
        return NULL;
    }
    return stream;
}

static void CopyLockedRows(const GdipBitmapData* locked, UINT width, UINT height, ArtImage* image)
{
    size_t rowBytes = (size_t)width * 4;
    image->pixels = (uint8_t*)malloc(rowBytes * height);
    if (!image->pixels)
        return;
    for (UINT row = 0; row < height; row++)
        memcpy(image->pixels + row * rowBytes, (const uint8_t*)locked->Scan0 + (ptrdiff_t)row * locked->Stride,
               rowBytes);
    image->width = (int32_t)width;
    image->height = (int32_t)height;
}

int LoadArtImage(HINSTANCE instance, int resourceId, ArtImage* image)
{
    ZeroMemory(image, sizeof *image);
    if (!Gdiplus.module)
        return 0;
    IStream* stream = OpenResourceStream(instance, (WORD)resourceId);
    if (!stream)
        return 0;
    GpBitmap* bitmap = NULL;
    UINT width = 0, height = 0;
    if (Gdiplus.CreateBitmapFromStream(stream, &bitmap) == GDIP_OK && bitmap) {
        Gdiplus.GetImageWidth(bitmap, &width);
        Gdiplus.GetImageHeight(bitmap, &height);
        GdipRect whole = {0, 0, (INT)width, (INT)height};
        GdipBitmapData locked;
        if (width && height &&
            Gdiplus.BitmapLockBits(bitmap, &whole, IMAGE_LOCK_MODE_READ, PIXEL_FORMAT_32BPP_ARGB, &locked) ==
                GDIP_OK) {
            CopyLockedRows(&locked, width, height, image);
            Gdiplus.BitmapUnlockBits(bitmap, &locked);
        }
        Gdiplus.DisposeImage(bitmap);
    }
    stream->Release();
    return image->pixels != NULL;
}

void FreeArtImage(ArtImage* image)
{
    free(image->pixels);
    ZeroMemory(image, sizeof *image);
}

int RendererInit(HINSTANCE instance)
{
    ZeroMemory(&BackgroundArt, sizeof BackgroundArt);
    ZeroMemory(&CharacterArt, sizeof CharacterArt);
    ZeroMemory(&FlameArt, sizeof FlameArt);
    ClearSparkPool();
    CreateSurface(&TextScratch, TEXT_SCRATCH_WIDTH, TEXT_SCRATCH_HEIGHT);  // without it, only text is lost
    if (!BindGdiPlus())
        return 0;
    LoadArtImage(instance, BACKGROUND_RESOURCE, &BackgroundArt);
    LoadArtImage(instance, CHARACTER_RESOURCE, &CharacterArt);
    LoadArtImage(instance, FLAME_RESOURCE, &FlameArt);
    return CharacterArt.pixels != NULL;
}

void RendererShutdown(void)
{
    FreeArtImage(&BackgroundArt);
    FreeArtImage(&CharacterArt);
    FreeArtImage(&FlameArt);
    DestroySurface(&TextScratch);
    UnbindGdiPlus();
}
