// The renderer's state and operations beyond the window: the decoded art, the
// text scratch surface, GDI+ binding, text drawing and the frame's scene.
#pragma once
#include "ui/pixels.h"
#include "ui/ui.h"

extern ArtImage BackgroundArt;
extern ArtImage CharacterArt;
extern ArtImage FlameArt;
extern Surface TextScratch;

int BindGdiPlus(void);
void UnbindGdiPlus(void);
int LoadArtImage(HINSTANCE instance, int resourceId, ArtImage* image);
void FreeArtImage(ArtImage* image);

HFONT CreateUiFont(int pixelHeight, int bold);

// Everything of a frame but its texts: panel, character, flame, glow, sparks, bar.
void ComposeScene(PixelView* frame);
