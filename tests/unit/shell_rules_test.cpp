// Run-mode choice, progress arithmetic and the frame loop's clocks and end rules.
#include <gtest/gtest.h>
#include <math.h>

#include <string>

#include "shell/shell_rules.h"

struct RunModeCase {
    const char* arguments;
    int configPresent;
    RunMode expected;
    int testMode;
};

TEST(RunModeChoice, FollowsTheOrderOfTheModeTable)
{
    const RunModeCase cases[] = {
        {"-disconnectreportretentiontest", 1, RUN_SELF_TEST, 0},
        {"-disconnectreportretentiontest", 0, RUN_SELF_TEST, 0},
        // Only the whole string is the self-test switch.
        {"-disconnectreportretentiontest ", 0, RUN_INSTALLATION, 0},
        {"-disconnectreportretentiontest ", 1, RUN_NORMAL, 0},
        {" -disconnectreportretentiontest", 1, RUN_NORMAL, 0},
        {"-disconnectreportretentiontest -teste", 0, RUN_TEST_MODE, 1},
        {"-Disconnectreportretentiontest", 1, RUN_NORMAL, 0},
        // Test and proof switches are substrings, case-sensitive.
        {"-teste", 0, RUN_TEST_MODE, 1},
        {"xx-testey", 1, RUN_TEST_MODE, 1},
        {"-TESTE", 1, RUN_NORMAL, 0},
        {"-test", 1, RUN_NORMAL, 0},
        {"-provas", 0, RUN_PROOFS, 0},
        {"-teste -provas", 0, RUN_PROOFS, 1},
        {"foo-provasbar", 1, RUN_PROOFS, 0},
        // Uninstalling: its own mode with or without launcher.cfg (it refuses
        // a folder that holds none itself); the copy that finishes it comes first.
        {"-desinstalar", 1, RUN_UNINSTALL, 0},
        {"-desinstalar", 0, RUN_UNINSTALL, 0},
        {"-teste -desinstalar", 1, RUN_UNINSTALL, 1},
        {"-desinstalar-fim 12 C:\\Jogos\\Quorvane", 1, RUN_FINISH_UNINSTALL, 0},
        {" -desinstalar-fim 12 C:\\x", 1, RUN_UNINSTALL, 0},
        {"-DESINSTALAR", 1, RUN_NORMAL, 0},
        // No switch: installation without launcher.cfg, otherwise a normal run.
        {"", 0, RUN_INSTALLATION, 0},
        {"", 1, RUN_NORMAL, 0},
        {nullptr, 0, RUN_INSTALLATION, 0},
        {nullptr, 1, RUN_NORMAL, 0},
    };
    for (const RunModeCase& c : cases) {
        RunSwitches switches = ReadRunSwitches(c.arguments);
        const char* shown = c.arguments ? c.arguments : "(null)";
        EXPECT_EQ(ChooseRunMode(switches, c.configPresent), c.expected)
            << "'" << shown << "' config " << c.configPresent;
        EXPECT_EQ(switches.testMode, c.testMode) << "'" << shown << "'";
    }
}

TEST(UninstallFinish, ReadsTheProcessAndTheFolderBack)
{
    char arguments[300];
    ASSERT_TRUE(FormatUninstallFinish(arguments, sizeof arguments, 4242, "C:\\Jogos\\My Games\\Quorvane"));
    unsigned long processId = 0;
    char folder[260];
    ASSERT_TRUE(ReadUninstallFinish(arguments, &processId, folder, sizeof folder));
    EXPECT_EQ(processId, 4242u);
    EXPECT_STREQ(folder, "C:\\Jogos\\My Games\\Quorvane");

    const char* refused[] = {"-desinstalar-fim", "-desinstalar-fim  C:\\x", "-desinstalar-fim 12", "-desinstalar-fim 12 ",
                             "-desinstalar-fim x12 C:\\x", "-desinstalar-fim 99999999999 C:\\x", "-desinstalar 12 C:\\x"};
    for (const char* text : refused)
        EXPECT_FALSE(ReadUninstallFinish(text, &processId, folder, sizeof folder)) << text;
    std::string tooLong = "-desinstalar-fim 1 C:\\" + std::string(300, 'x');
    EXPECT_FALSE(ReadUninstallFinish(tooLong.c_str(), &processId, folder, sizeof folder));
    EXPECT_FALSE(FormatUninstallFinish(arguments, 20, 4242, "C:\\Jogos\\Quorvane"));
}

TEST(UpdateOutcome, MapsTheRunResult)
{
    EXPECT_EQ(OutcomeOfUpdateResult(-1), OUTCOME_REPLACED);
    EXPECT_EQ(OutcomeOfUpdateResult(0), OUTCOME_BLOCKED);
    EXPECT_EQ(OutcomeOfUpdateResult(1), OUTCOME_START_GAME);
    EXPECT_EQ(OutcomeOfUpdateResult(7), OUTCOME_START_GAME);
    EXPECT_EQ(OutcomeOfUpdateResult(-2), OUTCOME_START_GAME);
}

TEST(Progress, ClampsToTheUnitRange)
{
    EXPECT_EQ(ClampProgress(-0.5f), 0.0f);
    EXPECT_EQ(ClampProgress(1.7f), 1.0f);
    EXPECT_EQ(ClampProgress(NAN), 0.0f);
    EXPECT_EQ(ClampProgress(1.0f), 1.0f);
    EXPECT_EQ(ClampProgress(0.3f), 0.3f);
}

TEST(Progress, DownloadShareFollowsTheByteTally)
{
    EXPECT_EQ(DownloadProgressFraction(0, 0, 0), 1.0f);
    EXPECT_EQ(DownloadProgressFraction(0, 0, NAN), 1.0f);
    EXPECT_EQ(DownloadProgressFraction(100, 0, 400), 0.4375f);
    EXPECT_EQ(DownloadProgressFraction(0, 100, 400), 0.4375f);
    EXPECT_EQ(DownloadProgressFraction(400, 0, 400), 1.0f);
    EXPECT_EQ(DownloadProgressFraction(0, 0, 400), 0.25f);
}

TEST(FrameLoopClocks, TestClockWrapsOnlyAboveTheCycle)
{
    EXPECT_EQ(AdvanceTestClock(23.99f, 0.02f), 0.0f);
    EXPECT_EQ(AdvanceTestClock(23.0f, 1.0f), 24.0f);
    EXPECT_EQ(AdvanceTestClock(1.5f, 0.25f), 1.75f);
}

TEST(FrameLoopClocks, DragMapsClientXToProgress)
{
    EXPECT_EQ(ClampProgress(DragProgress(60)), 0.0f);
    EXPECT_NEAR(DragProgress(440), 0.5f, 1e-6);
    EXPECT_NEAR(DragProgress(820), 1.0f, 1e-6);
    EXPECT_EQ(ClampProgress(DragProgress(1000)), 1.0f);
    EXPECT_EQ(ClampProgress(DragProgress(10)), 0.0f);
}

// Feeds the end rules pass by pass and answers the pass (from 1) that ends the
// loop, or 0 when none of maxPasses does.
static int PassThatEnds(int outcome, float displayed, float frameTime, int maxPasses, float* endTimer)
{
    *endTimer = -1.0f;
    for (int pass = 1; pass <= maxPasses; pass++) {
        if (EndRulesSayQuit(endTimer, frameTime, outcome, displayed))
            return pass;
    }
    return 0;
}

TEST(FrameLoopEndRules, NoOutcomeNeverEnds)
{
    float endTimer;
    EXPECT_EQ(PassThatEnds(OUTCOME_NONE, 1.0f, 0.5f, 100, &endTimer), 0);
    EXPECT_EQ(endTimer, -1.0f);
}

TEST(FrameLoopEndRules, BlockedOrReplacedEndAtOnce)
{
    float endTimer;
    EXPECT_EQ(PassThatEnds(OUTCOME_BLOCKED, 0.0f, 0.1f, 10, &endTimer), 1);
    EXPECT_EQ(endTimer, 0.0f);  // the first pass that sees the outcome is time 0
    EXPECT_EQ(PassThatEnds(OUTCOME_REPLACED, 0.0f, 0.1f, 10, &endTimer), 1);
}

TEST(FrameLoopEndRules, FullBarEndsAfterTheMinimumTime)
{
    float endTimer;
    // Timer 0, .125, .25, .375, .5: only the fifth pass is past 0.45 s.
    EXPECT_EQ(PassThatEnds(OUTCOME_START_GAME, 1.0f, 0.125f, 100, &endTimer), 5);
    EXPECT_EQ(PassThatEnds(OUTCOME_START_GAME, 0.999f, 0.125f, 100, &endTimer), 5);
    // Even a huge first frame does not end the pass that first sees the outcome.
    EXPECT_EQ(PassThatEnds(OUTCOME_START_GAME, 1.0f, 5.0f, 100, &endTimer), 2);
}

TEST(FrameLoopEndRules, UnfinishedBarEndsAfterTheTimeLimit)
{
    float endTimer;
    // Timer reaches exactly 3.0 on pass 13 (not above the limit), 3.25 on pass 14.
    EXPECT_EQ(PassThatEnds(OUTCOME_START_GAME, 0.998f, 0.25f, 100, &endTimer), 14);
    EXPECT_EQ(endTimer, 3.25f);
}

TEST(FramePace, WholeRefreshesThatKeepPresentingWithinItsShare)
{
    struct Row {
        int refresh;
        double presentSeconds, frameSeconds;
    } rows[] = {
        {60, 0.0, 1 / 60.0},   {0, 0.0, 1 / 60.0},     {1, 0.001, 1 / 60.0},  // 0 or 1: the system does not say
        {60, 0.0025, 1 / 60.0}, {60, 0.005, 2 / 60.0},  {60, 0.0051, 3 / 60.0},
        {60, 0.013, 6 / 60.0},  {60, 0.05, 6 / 60.0},   // never slower than 10 a second
        {144, 0.0, 1 / 144.0},  {144, 0.013, 13 / 144.0}, {30, 0.0, 1 / 30.0}, {5, 0.0, 1 / 5.0},
    };
    for (const Row& row : rows)
        EXPECT_NEAR(FrameSeconds(row.refresh, row.presentSeconds), row.frameSeconds, 1e-12)
            << row.refresh << " Hz, " << row.presentSeconds << " s";
}

TEST(FramePace, PresentCostIsARunningAverage)
{
    EXPECT_EQ(SmoothPresentCost(0.0, 0.004), 0.004);
    EXPECT_EQ(SmoothPresentCost(0.004, 0.012), 0.005);
    EXPECT_EQ(SmoothPresentCost(0.008, 0.008), 0.008);
}

TEST(FramePace, NextFrameKeepsTheCadenceUnlessAWholeFrameLate)
{
    EXPECT_EQ(NextFrameDue(1000, 100, 1000), 1100);
    EXPECT_EQ(NextFrameDue(1000, 100, 1040), 1100);  // a late pass keeps the cadence
    EXPECT_EQ(NextFrameDue(1000, 100, 1100), 1200);
    EXPECT_EQ(NextFrameDue(1000, 100, 1350), 1450);  // frames are not made up
    EXPECT_EQ(NextFrameDue(1000, 100, 900), 1100);   // a pass before its time (the outcome came)
}

TEST(FramePace, WaitIsRoundedUpToWholeMilliseconds)
{
    EXPECT_EQ(MillisecondsUntil(1000, 1000, 10000000), 0ul);
    EXPECT_EQ(MillisecondsUntil(1000, 2000, 10000000), 0ul);
    EXPECT_EQ(MillisecondsUntil(10001, 0, 10000000), 2ul);
    EXPECT_EQ(MillisecondsUntil(10000, 0, 10000000), 1ul);
    EXPECT_EQ(MillisecondsUntil(333334, 0, 10000000), 34ul);
    EXPECT_EQ(MillisecondsUntil(5, 0, 0), 0ul);
}

TEST(BoundedCopy, CutsAndAlwaysTerminates)
{
    char buffer[4];
    EXPECT_EQ(CopyCut(buffer, sizeof buffer, "abcdef"), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(CopyCut(buffer, sizeof buffer, "ab"), 2u);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(CopyCut(buffer, 1, "ab"), 0u);
    EXPECT_STREQ(buffer, "");
}

TEST(ByteSizes, ReadAsThePublisherPrintsThem)
{
    const struct {
        unsigned long long bytes;
        const char* text;
    } cases[] = {
        {0, "0 bytes"},         {1, "1 byte"},         {248, "248 bytes"},    {1023, "1023 bytes"},
        {1024, "1.0 KB"},       {44032, "43.0 KB"},    {1048576, "1.0 MB"},   {4194304, "4.0 MB"},
        {5ull << 30, "5120.0 MB"},
    };
    for (const auto& c : cases) {
        char text[32];
        FormatByteSize(text, sizeof text, c.bytes);
        EXPECT_STREQ(text, c.text) << c.bytes;
    }
}
