// The animation: random generator, easing, flame level and the spark pool.
#include <gtest/gtest.h>
#include <math.h>

#include "ui/animation.h"

static const float SIXTIETH = 0.016666668f;

class AnimationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAnimation();
        snapshot = StatusSnapshot{};
    }
    void Run(float dt, int frames, float progress)
    {
        snapshot.progress = progress;
        for (int i = 0; i < frames; i++)
            AnimateFrame(dt, &snapshot);
    }
    // Sparks born in one frame: slots whose life went up.
    int Births(float dt, float progress)
    {
        float before[SPARK_POOL_SIZE];
        for (int i = 0; i < SPARK_POOL_SIZE; i++)
            before[i] = SparkPool[i].life;
        Run(dt, 1, progress);
        int births = 0;
        for (int i = 0; i < SPARK_POOL_SIZE; i++)
            births += SparkPool[i].life > before[i];
        return births;
    }
    StatusSnapshot snapshot;
};

TEST_F(AnimationTest, GeneratorStartsFromItsSeed)
{
    const int expected[] = {1096, 3802, 19895};
    for (int value : expected) {
        float real = NextRandom();
        EXPECT_EQ((int)((RandomState >> 16) & 0x7FFF), value);
        EXPECT_EQ(real, (float)value * 0.000030518509f);
    }
}

TEST_F(AnimationTest, NothingMovesWithoutTime)
{
    Run(0.0f, 1, 1.0f);
    Run(-0.5f, 1, 1.0f);
    Run(NAN, 1, 1.0f);
    EXPECT_EQ(Animation.clock, 0.0f);
    EXPECT_EQ(Animation.displayedProgress, 0.0f);
}

TEST_F(AnimationTest, StalledFrameCountsAsATenthOfASecond)
{
    Run(0.5f, 1, 1.0f);
    EXPECT_EQ(Animation.clock, 0.1f);
    EXPECT_FLOAT_EQ(Animation.displayedProgress, 0.32f);  // at most 32 percent of the way
}

TEST_F(AnimationTest, IdleEmitsSixSparksASecond)
{
    int births = 0;
    for (int i = 0; i < 1000; i++)
        births += Births(0.01f, 0.0f);
    EXPECT_EQ(Animation.flameLevel, 0.0f);
    EXPECT_EQ(births, 60);
}

TEST_F(AnimationTest, StepToFullReachesExactlyOneAfterAbout139Frames)
{
    int frames = 0;
    snapshot.progress = 1.0f;
    while (Animation.displayedProgress < 1.0f && frames < 1000) {
        AnimateFrame(SIXTIETH, &snapshot);
        frames++;
    }
    EXPECT_EQ(Animation.displayedProgress, 1.0f);
    EXPECT_GE(frames, 137);
    EXPECT_LE(frames, 141);
}

TEST_F(AnimationTest, SnapsToFullOnlyOnTheWayUp)
{
    Animation.displayedProgress = 0.9996f;
    Run(0.01f, 1, 1.0f);
    EXPECT_EQ(Animation.displayedProgress, 1.0f);
    Run(0.01f, 1, 0.9996f);
    EXPECT_LT(Animation.displayedProgress, 1.0f);
    EXPECT_GT(Animation.displayedProgress, 0.9995f);
    Run(SIXTIETH, 600, 0.0f);  // falls smoothly; a falling bar feeds no flame
    EXPECT_LT(Animation.displayedProgress, 0.001f);
    EXPECT_LT(Animation.flameLevel, 1e-6f);
}

TEST_F(AnimationTest, FlameBurnsWhileTheBarMovesAndDiesDown)
{
    Animation.displayedProgress = 0.25f;
    Run(SIXTIETH, 18, 1.0f);  // 0.3 s
    EXPECT_GT(Animation.flameLevel, 0.5f);
    EXPECT_LE(Animation.flameLevel, 1.0f);
    Run(SIXTIETH, 300, 1.0f);
    EXPECT_LT(Animation.flameLevel, 0.05f);
}

TEST_F(AnimationTest, FullPoolDropsOwedSparksWithoutDrawingNumbers)
{
    for (Spark& spark : SparkPool) {
        spark.life = 1.0f;
        spark.fadeRate = 0.0f;
    }
    Animation.sparkBudget = 5.5f;
    uint32_t state = RandomState;
    Run(0.01f, 1, 0.0f);
    EXPECT_EQ(RandomState, state);
    EXPECT_LT(Animation.sparkBudget, 1.0f);
    EXPECT_GE(Animation.sparkBudget, 0.0f);
}

TEST_F(AnimationTest, SparksLeaveTheMuzzleRisingToTheRight)
{
    SpawnSpark();
    const Spark& spark = SparkPool[0];
    EXPECT_EQ(spark.life, 1.0f);
    EXPECT_GE(spark.x, 517.0f);
    EXPECT_LE(spark.x, 527.0f);
    EXPECT_GE(spark.y, 275.0f);
    EXPECT_LE(spark.y, 287.0f);
    EXPECT_GE(spark.vx, 237.0f);
    EXPECT_LT(spark.vy / spark.vx, 0.0f);
    EXPECT_GE(spark.fadeRate, 1.1f);
    EXPECT_LE(spark.glowSize, 5.2f);
}
