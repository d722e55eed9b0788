// Proof mode: the splash rendered off screen through a fixed simulated
// sequence, written at four marks of the shown progress as bitmap pairs, one
// flattened onto grey and one onto white.
#include <stdio.h>

#include "shell/shell.h"
#include "ui/proof_bmp.h"
#include "ui/ui.h"

static const float PROOF_FRAME_TIME = 0.016666668f;  // 60 frames per second
static const int PROOF_FRAMES = 960;
static const float PROOF_FILL_RATE = 0.07692308f;  // the snapshot reaches 1 after 13 s
static const float PROOF_MARKS[] = {0.02f, 0.35f, 0.78f, 1.0f};
static const int PROOF_COUNT = 4;

void WriteProofImages(Surface* surface)
{
    StatusSnapshot snapshot;
    CopyCut(snapshot.status, sizeof snapshot.status, "Downloading 8 of 12...");
    CopyCut(snapshot.detail, sizeof snapshot.detail, "data\\ost_fell_textures.pack  -  18432 of 24818 KB");
    int proof = 1;
    for (int i = 0; i < PROOF_FRAMES && proof <= PROOF_COUNT; i++) {
        float t = (float)i * PROOF_FRAME_TIME;
        snapshot.progress = t < 13.0f ? t * PROOF_FILL_RATE : 1.0f;
        AnimateFrame(PROOF_FRAME_TIME, &snapshot);
        ComposeFrame(surface, &snapshot);
        if (GetDisplayedProgress() < PROOF_MARKS[proof - 1])
            continue;
        char path[MAX_PATH];
        snprintf(path, sizeof path, "arte\\prova_lnc_%d.bmp", proof);
        WriteProofBmp(&surface->view, path, 118, 122, 126);
        snprintf(path, sizeof path, "arte\\prova_branco_%d.bmp", proof);
        WriteProofBmp(&surface->view, path, 255, 255, 255);
        proof++;
    }
}
