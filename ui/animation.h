// The splash's life: the progress bar eases toward the reported progress, and
// the cannon's flame, glow and sparks burn as fast as the shown progress moves.
// No Windows headers.
#pragma once
#include <stdint.h>

#include "ui/pixels.h"

struct AnimationState {
    float clock;              // seconds of animation: the sum of clamped frame times
    float displayedProgress;  // what the bar and the percentage show
    float progressSpeed;      // smoothed rate of change of the shown progress, per second
    float flameLevel;         // 0..1: flame picture, muzzle glow, spark emission
    float sparkBudget;        // sparks owed, below 1 after every step
};

struct Spark {
    float x, y;
    float vx, vy;  // pixels per second; y grows downward
    float life;    // 1 at birth, live while above 0
    float fadeRate;
    float glowSize;
};

static const int SPARK_POOL_SIZE = 96;
static const uint32_t RANDOM_SEED = 20050413u;

extern AnimationState Animation;
extern Spark SparkPool[SPARK_POOL_SIZE];
extern uint32_t RandomState;

float NextRandom(void);
// The state of program start: nothing animated, every spark free, the seed.
void ResetAnimation(void);
void SpawnSpark(void);
void ClearSparkPool(void);
void DrawSparksIn(PixelView* target, PixelBox clip);
// Where a spark's glow lies; empty for a spark that is not alive.
PixelBox SparkBox(const Spark* spark);
