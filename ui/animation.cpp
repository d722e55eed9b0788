// Easing, flame level, flicker and the spark pool, advanced once per frame.
#include "ui/animation.h"

#include <math.h>
#include <string.h>

#include "ui/pixels.h"

AnimationState Animation;
Spark SparkPool[SPARK_POOL_SIZE];
uint32_t RandomState = RANDOM_SEED;

static const float LONGEST_STEP = 0.1f;  // a stalled frame advances at most 100 ms
static const float SNAP_ABOVE = 0.9995f;
static const float EASING_RATE = 3.2f;
static const float SPEED_SMOOTHING = 4.0f;
static const float FULL_ACTIVITY_SPEED = 26.0f;  // shown speed of 1/26 per second burns at full
static const float FLAME_RESPONSE = 6.0f;
static const float SPARKS_AT_FULL_FLAME = 130.0f;
static const float IDLE_SPARKS = 6.0f;
static const float GRAVITY = 187.0f;
static const float HORIZONTAL_DRAG = 0.9f;
static const float MUZZLE_X = 517.0f, MUZZLE_Y = 281.0f;

float NextRandom(void)
{
    RandomState = RandomState * 1103515245u + 12345u;
    return (float)((RandomState >> 16) & 0x7FFF) * 0.000030518509f;
}

void ClearSparkPool(void)
{
    memset(SparkPool, 0, sizeof SparkPool);
}

void ResetAnimation(void)
{
    memset(&Animation, 0, sizeof Animation);
    ClearSparkPool();
    RandomState = RANDOM_SEED;
}

void SpawnSpark(void)
{
    Spark* spark = NULL;
    for (int i = 0; i < SPARK_POOL_SIZE && !spark; i++) {
        if (SparkPool[i].life <= 0.0f)
            spark = &SparkPool[i];
    }
    if (!spark)
        return;  // a full pool drops the spark, and draws no random numbers
    float r1 = NextRandom(), r2 = NextRandom(), r3 = NextRandom();
    float r4 = NextRandom(), r5 = NextRandom(), r6 = NextRandom();
    float angle = (r1 - 0.5f) * 0.55f;
    float speed = r2 * 425.0f + 237.0f;
    spark->x = r3 * 10.0f + MUZZLE_X;
    spark->y = (r4 - 0.5f) * 12.0f + MUZZLE_Y;
    spark->vx = speed;
    spark->vy = (angle - 0.2818f) * speed;
    spark->life = 1.0f;
    spark->fadeRate = r5 * 1.6f + 1.1f;
    spark->glowSize = r6 * 3.2f + 2.0f;
}

static void EaseProgress(float dt, float target)
{
    float previous = Animation.displayedProgress;
    Animation.displayedProgress += Clamp(EASING_RATE * dt, 0.0f, 1.0f) * (target - Animation.displayedProgress);
    if (Animation.displayedProgress > SNAP_ABOVE && Animation.displayedProgress > previous)
        Animation.displayedProgress = 1.0f;
    float rate = (Animation.displayedProgress - previous) / dt;
    Animation.progressSpeed += Clamp(SPEED_SMOOTHING * dt, 0.0f, 1.0f) * (rate - Animation.progressSpeed);
}

static void BurnFlame(float dt, float target)
{
    float activity = target > 0.0f ? Clamp(FULL_ACTIVITY_SPEED * Animation.progressSpeed, 0.0f, 1.0f) : 0.0f;
    float flicker = 0.8f + 0.2f * sinf(21.0f * Animation.clock) * sinf(7.3f * Animation.clock);
    Animation.flameLevel += Clamp(FLAME_RESPONSE * dt, 0.0f, 1.0f) * (flicker * activity - Animation.flameLevel);
    Animation.flameLevel = Clamp(Animation.flameLevel, 0.0f, 1.0f);
}

static void MoveSparks(float dt)
{
    for (Spark& spark : SparkPool) {
        if (spark.life <= 0.0f)
            continue;
        spark.x += dt * spark.vx;
        spark.y += dt * spark.vy;
        spark.vy += dt * GRAVITY;
        spark.vx -= dt * spark.vx * HORIZONTAL_DRAG;
        spark.life -= dt * spark.fadeRate;
        if (spark.life < 0.0f)
            spark.life = 0.0f;
    }
}

void AnimateFrame(float dt, const StatusSnapshot* snapshot)
{
    if (!(dt > 0.0f))
        return;
    if (dt > LONGEST_STEP)
        dt = LONGEST_STEP;
    Animation.clock += dt;
    float target = Clamp(snapshot->progress, 0.0f, 1.0f);
    EaseProgress(dt, target);
    BurnFlame(dt, target);
    Animation.sparkBudget += dt * (SPARKS_AT_FULL_FLAME * Animation.flameLevel + IDLE_SPARKS);
    while (Animation.sparkBudget >= 1.0f) {
        Animation.sparkBudget -= 1.0f;
        SpawnSpark();
    }
    MoveSparks(dt);
}

float GetDisplayedProgress(void)
{
    return Animation.displayedProgress;
}

static float SparkRadius(const Spark* spark)
{
    return (0.6f * spark->life + 0.4f) * spark->glowSize;
}

static float SparkStrength(const Spark* spark)
{
    return 0.85f * spark->life;
}

PixelBox SparkBox(const Spark* spark)
{
    PixelBox none = {0, 0, 0, 0};
    return spark->life <= 0.0f ? none : GlowBox(spark->x, spark->y, SparkRadius(spark), SparkStrength(spark));
}

void DrawSparksIn(PixelView* target, PixelBox clip)
{
    for (const Spark& spark : SparkPool) {
        if (spark.life <= 0.0f)
            continue;
        AddGlowIn(target, clip, spark.x, spark.y, SparkRadius(&spark), SparkStrength(&spark), 255,
                  (int)(150.0f * spark.life + 70.0f), (int)(90.0f * spark.life * spark.life + 20.0f));
    }
}
