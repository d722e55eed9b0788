// Benchmark of ComposeFrame at a busy moment (full flame, live sparks, all
// texts), against a plain clear-and-copy of the same frame in the same run,
// and of the frame loop's incremental pass over the same frames.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "bench_support.h"
#include "ui/animation.h"
#include "ui/renderer.h"

static const int FRAMES = 2000;

static void Report(const char* what, double* seconds, int count)
{
    std::sort(seconds, seconds + count);
    double sum = 0;
    for (int i = 0; i < count; i++)
        sum += seconds[i];
    printf("  %-34s mean %6.3f ms   p99 %6.3f ms\n", what, sum / count * 1000, seconds[count * 99 / 100] * 1000);
}

int main(void)
{
    Surface frame, kept;
    if (!CreateSurface(&frame, 1120, 700) || !CreateSurface(&kept, 1120, 700) ||
        !RendererInit(GetModuleHandleA(NULL))) {
        fprintf(stderr, "compose_bench: no surface or no art\n");
        return 1;
    }
    PrintMachine();
    static double composed[FRAMES], scene[FRAMES], floor[FRAMES], changes[FRAMES];
    static FrameMemory memory;
    ForgetFrame(&memory);
    double changedArea = 0;
    StatusSnapshot snapshot = {0.0f, "Downloading 8 of 12...", "data\\ost_fell_textures.pack  -  18432 of 24818 KB"};
    size_t bytes = (size_t)1120 * 700 * 4;
    uint8_t* copy = (uint8_t*)malloc(bytes);
    int live = 0;
    for (int i = 0; i < FRAMES; i++) {
        snapshot.progress = (float)(i % 400) / 400.0f;  // always moving: the flame stays up
        AnimateFrame(0.016666668f, &snapshot);
        double start = SecondsNow();
        ComposeFrame(&frame, &snapshot);
        composed[i] = SecondsNow() - start;
        start = SecondsNow();
        ComposeScene(&frame.view);
        scene[i] = SecondsNow() - start;
        start = SecondsNow();
        memset(frame.view.pixels, 0, bytes);
        memcpy(frame.view.pixels, copy, bytes);
        floor[i] = SecondsNow() - start;
        start = SecondsNow();
        PixelBox changed = ComposeFrameChanges(&kept, &snapshot, &memory);
        changes[i] = SecondsNow() - start;
        changedArea += (double)(changed.x1 - changed.x0) * (changed.y1 - changed.y0);
        for (const Spark& spark : SparkPool)
            live += spark.life > 0.0f;
    }
    printf("compose: %d frames of 1120 x 700, flame level %.2f at the end, %.1f live sparks per frame\n", FRAMES,
           Animation.flameLevel, (double)live / FRAMES);
    double meanComposed = 0, meanFloor = 0, meanChanges = 0;
    for (int i = 0; i < FRAMES; i++) {
        meanComposed += composed[i];
        meanFloor += floor[i];
        meanChanges += changes[i];
    }
    Report("ComposeFrame (art, flame, texts)", composed, FRAMES);
    Report("  of which the scene without texts", scene, FRAMES);
    Report("clear and copy of the frame", floor, FRAMES);
    printf("  ratio to the floor: %.1f\n", meanComposed / meanFloor);
    Report("incremental pass of the frame loop", changes, FRAMES);
    printf("  ratio to ComposeFrame: %.2f; presented box %.0f pixels on average (the frame has %d)\n",
           meanChanges / meanComposed, changedArea / FRAMES, 1120 * 700);
    free(copy);
    RendererShutdown();
    DestroySurface(&kept);
    DestroySurface(&frame);
    return 0;
}
